#!/usr/bin/env python3
"""A member's whole session with the real zav binary in a real X window (Xvfb).

Starts zav-service on ephemeral loopback ports with one member, builds a small game folder with
bench/make_game_folder.py, records it in the program's registry file under a private
XDG_CONFIG_HOME, starts zav and then works it with real keyboard and mouse input (XTEST through
xdotool): log in, back up, break the game folder, restore, initialize, remove everything from
the server. Every message box the program opens is read from its ZAV_MESSAGE_LOG file and
answered with the keyboard. A screenshot of the whole screen is taken at every step.

Steps (--steps picks which run; the ones not picked are reported as skipped, with the reason):
  login       type id and a wrong password, press Enter, read the refusal; type the right
              password, press Enter, the main window opens
  backup      click the backup button and answer No (nothing is sent); check the font box,
              click again, confirm, wait for the upload; check the server's archives
  restore     change and delete files, click restore, confirm, wait; check the game folder byte
              for byte (and the read-only Config.wtf) and the Recent and Original copies; then
              once more with only the add-on box checked
  initialize  click initialize, confirm; Fonts, Interface and WTF are gone, the cache stays
  removeall   click remove all, confirm; the server holds nothing for the member any more

Exit status: 0 when every step that ran passed, 1 when one failed (the message log and the
program's output are printed; screenshots and the work folder are kept), 2 for bad arguments.
Python 3 standard library only; needs Xvfb, xdotool and ImageMagick's import.
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import time
import traceback

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
from e2e_harness import (Display, Service, StepFailed, archive_problems, compare_trees,
                         copy_game, log, stop_process, wait_until)

LSAN_SUPPRESSIONS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "lsan.supp")

ALL_STEPS = ["login", "backup", "restore", "initialize", "removeall"]
NEEDS = {"backup": "login", "restore": "backup", "initialize": "login", "removeall": "login"}

MEMBER_ID = "gamer01"
MEMBER_PW = "s3cret-pw"
MEMBER_NICK = "달빛궁수"

LOGIN_SIZE = (471, 259)
MAIN_SIZE = (644, 433)

# Category folders of the game folder, their Recent/Original copy names and archives.
CATEGORIES = [
    ("Fonts", "Fonts", "__Fonts.zip"),
    ("Interface", "Interface", "__Interface.zip"),
    ("Cache/WDB/koKR", "WDB", "__WDB.zip"),
    ("WTF", "WTF", "__WTF.zip"),
]

# The program's own texts.
TXT_LOGIN_REFUSED = "아이디 또는 비밀번호가 올바르지 않습니다."  # the service's text
TXT_BACKUP_ASK = "회원님의 설정파일들을 서버에 백업하시겠습니까?"
TXT_BACKUP_DONE = "업로드가 완료되었습니다."
TXT_RESTORE_ASK = "회원님의 설정파일들을 다운로드하고 적용하시겠습니까?"
TXT_RESTORE_DONE = "다운로드 및 적용이 완료되었습니다."
TXT_INIT_ASK = "현재 시스템의 설정파일들을 초기화 하시겠습니까?"
TXT_INIT_DONE = "초기화가 완료되었습니다."
TXT_REMOVE_ASK = ("서버에 존재하는 모든 업로드 파일을 삭제합니다.\n\n"
                  "삭제후 복구되지 않습니다. 정말 삭제하시겠습니까?")
TXT_REMOVE_DONE = "서버에 업로드 되어 있는 모든 파일이 정상적으로 삭제되었습니다."


def dlu_rect(x, y, cx, cy):
    """Dialog units of the window templates to client pixels (7/4 across, 12/8 down)."""
    return (x * 7 / 4, y * 12 / 8, cx * 7 / 4, cy * 12 / 8)


BTN_BACKUP = dlu_rect(14, 70, 81, 37)
BTN_RESTORE = dlu_rect(274, 70, 81, 37)
BTN_INITIALIZE = dlu_rect(200, 239, 62, 16)
BTN_REMOVE_ALL = dlu_rect(264, 239, 87, 16)
CHK_BACKUP_FONT = dlu_rect(18, 139, 49, 10)
CHK_RESTORE_CACHE = dlu_rect(278, 125, 57, 10)
CHK_RESTORE_FONT = dlu_rect(278, 139, 49, 10)


def change_game_folder(game, round_no):
    """What a member might do between backup and restore: edit, add and delete files. Each
    round changes other files, so that the copies of different rounds differ."""
    tag = f"round {round_no}".encode()
    config = os.path.join(game, "WTF", "Config.wtf")
    os.chmod(config, 0o644)  # read-only at the backup
    with open(config, "ab") as f:
        f.write(b'SET gxWindow "' + tag + b'"\n')
    account = os.path.join(game, "WTF", "Account")
    account = os.path.join(account, sorted(os.listdir(account))[0])
    with open(os.path.join(account, f"added-in-round-{round_no}.txt"), "wb") as f:
        f.write(b"only in the Recent copy after the restore\n")
    # A file below a Hangul-named realm folder: truncated.
    for base, _, names in os.walk(account):
        if any(ord(c) > 127 for c in base) and names:
            with open(os.path.join(base, sorted(names)[0]), "wb") as f:
                f.write(tag)
            break
    else:
        raise StepFailed("the game folder has no file below a Hangul folder name")
    addons = os.path.join(game, "Interface", "AddOns")
    shutil.rmtree(os.path.join(addons, sorted(os.listdir(addons))[round_no]))
    fonts = os.path.join(game, "Fonts")
    os.remove(os.path.join(fonts, sorted(os.listdir(fonts))[round_no]))
    wdb = os.path.join(game, "Cache", "WDB", "koKR")
    with open(os.path.join(wdb, sorted(os.listdir(wdb))[0]), "r+b") as f:
        f.write(tag * 8)


# ---- the session ----------------------------------------------------------------------------

class Session:
    def __init__(self, args):
        self.args = args
        self.out = os.path.abspath(args.out)
        self.work = os.path.join(self.out, "work")
        self.game = os.path.join(self.work, "와우 World of Warcraft") + "/"
        self.saved = os.path.join(self.work, "saved")
        self.msg_log = os.path.join(self.out, "messages.jsonl")
        self.zav_log = os.path.join(self.out, "zav.log")
        self.shot_no = 0
        self.seen = 0  # message-log entries already accounted for
        self.display = Display(self.out)
        self.service = Service(args.service, self.work)
        self.zav = None
        self.login_wid = None
        self.main_wid = None
        self.failed = False

    # -- set-up --

    def prepare(self):
        if os.path.exists(self.out):
            shutil.rmtree(self.out)
        os.makedirs(self.work)
        for tool in ("Xvfb", "xdotool", "import"):
            if shutil.which(tool) is None:
                raise StepFailed(f"{tool} is not installed (scripts/install-deps installs it)")
        if not os.path.isfile(self.args.game_folder_script):
            raise StepFailed(f"game-folder generator not found: {self.args.game_folder_script}")
        result = subprocess.run([sys.executable, self.args.game_folder_script, self.game,
                                 str(self.args.scale)], capture_output=True, text=True,
                                timeout=600)
        if result.returncode != 0:
            raise StepFailed(f"make_game_folder.py failed: {result.stderr.strip()}")
        log("game folder (scale %s):\n%s" % (self.args.scale, result.stdout.rstrip()))
        # Players often keep Config.wtf read-only so that the game cannot change it.
        os.chmod(os.path.join(self.game, "WTF", "Config.wtf"), 0o444)
        copy_game(self.game, self.saved)

        config = os.path.join(self.work, "config")
        os.makedirs(os.path.join(config, "zav"))
        value = self.game.replace("\\", "\\\\").replace('"', '\\"')
        with open(os.path.join(config, "zav", "registry.reg"), "w", encoding="utf-8") as f:
            f.write("REGEDIT4\n\n"
                    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Blizzard Entertainment\\World of Warcraft]\n"
                    f'"InstallPath"="{value}"\n\n')
        self.config_home = config

        self.service.add_member(MEMBER_ID, MEMBER_PW, MEMBER_NICK)
        self.service.start()
        self.display.start()

    def start_zav(self):
        home = os.path.join(self.work, "home")
        os.makedirs(home, mode=0o700, exist_ok=True)
        env = dict(self.display.env)
        env.update({
            "HOME": home,
            "XDG_CONFIG_HOME": self.config_home,
            "XDG_RUNTIME_DIR": home,
            "WINEPREFIX": os.path.join(self.work, "no-wine"),
            "ZAV_SERVICE_URL": self.service.http,
            "ZAV_PORTAL_URL": self.service.https,
            "ZAV_BOARD_URL": self.service.http + "/board/powerbbs.php?come_idx=1206",
            "ZAV_CA_FILE": self.service.ca_file,
            "ZAV_MESSAGE_LOG": self.msg_log,
            "QT_QPA_PLATFORM": "xcb",
            # System libraries under Qt keep a few allocations to the end; the program's own
            # leaks are still reported.
            "LSAN_OPTIONS": ":".join(filter(None, [os.environ.get("LSAN_OPTIONS"),
                                                   "suppressions=" + LSAN_SUPPRESSIONS])),
            "LANG": "C.UTF-8",
            "LC_ALL": "C.UTF-8",
        })
        env.pop("ZAV_SERVICE_HASH_ITERATIONS", None)
        self.zav_logf = open(self.zav_log, "wb")
        self.zav = subprocess.Popen([self.args.zav], env=env, cwd=self.work,
                                    stdout=self.zav_logf, stderr=subprocess.STDOUT,
                                    start_new_session=True)
        log(f"zav started (pid {self.zav.pid})")

    # -- observation --

    def check_alive(self):
        if self.zav is not None and self.zav.poll() is not None:
            raise StepFailed(f"zav exited unexpectedly with status {self.zav.returncode}")

    def messages(self):
        try:
            with open(self.msg_log, "rb") as f:
                data = f.read()
        except FileNotFoundError:
            return []
        entries = []
        for line in data.split(b"\n")[:-1]:  # a line counts once its newline is written
            try:
                entries.append(json.loads(line.decode("utf-8")))
            except (UnicodeDecodeError, json.JSONDecodeError) as error:
                raise StepFailed(f"bad line in the message log: {line!r} ({error})")
        return entries

    def no_new_messages(self):
        entries = self.messages()
        if len(entries) > self.seen:
            raise StepFailed(f"unexpected message box: {entries[self.seen]}")

    def boxes(self):
        """Visible message boxes of the program: title ZAV, neither main nor login window."""
        return {w: g for w, g in self.display.visible_windows().items()
                if w not in (self.login_wid, self.main_wid)}

    def screenshot(self, name):
        self.shot_no += 1
        path = os.path.join(self.out, f"{self.shot_no:02d}-{name}.png")
        self.display.screenshot(path)
        log(f"screenshot {os.path.basename(path)}")

    def window_shot(self, wid, name):
        """One window alone (for the documentation)."""
        path = os.path.join(self.out, name)
        self.display.tool("import", "-window", str(wid), path, timeout=60)
        log(f"screenshot {name}")

    def expect_box(self, kind, text, timeout, shot, answer="Return", on_shown=None,
                   prefix=False):
        """Waits for the next box, checks its kind and text (or, with prefix, how its text
        begins), shoots it, answers it with keys. on_shown runs while the box is still open;
        its result is returned."""
        def next_entry():
            self.check_alive()
            entries = self.messages()
            return entries[self.seen] if len(entries) > self.seen else None

        entry = wait_until(next_entry, timeout, f'the {kind} box "{text}"', interval=0.25)
        self.seen += 1
        shown = entry.get("text", "")
        if entry.get("kind") != kind or (shown[:len(text)] if prefix else shown) != text:
            raise StepFailed(f'expected the {kind} box "{text}", the program showed {entry}')
        log(f'{kind} box: "{text}"')
        boxes = wait_until(lambda: self.check_alive() or self.boxes(), 30,
                           "the box's window to appear")
        wid = sorted(boxes)[-1]
        time.sleep(0.3)  # let it paint
        self.screenshot(shot)
        result = on_shown() if on_shown else None
        self.display.focus(wid)
        self.display.key(answer)
        wait_until(lambda: self.check_alive() or wid not in self.boxes(), 30,
                   f"the box to close after {answer}")
        return result

    def account_queries(self):
        return self.service.request_count("POST", "/Kelpo/html/auth.php")

    def wait_transfer_end(self, queries_before):
        """A worker refreshes the account status after its last box and then ends: wait for
        that query, so that the next command does not find the transfer still running."""
        wait_until(lambda: self.check_alive() or self.account_queries() > queries_before, 60,
                   "the account status refresh at the end of the transfer")
        time.sleep(0.5)

    # -- steps --

    def step_login(self):
        self.start_zav()
        def login_window():
            self.check_alive()
            for w, g in self.display.visible_windows().items():
                if g[2:] == LOGIN_SIZE:
                    return w
            return None
        self.login_wid = wait_until(login_window, 120, "the login window (471 x 259)")
        time.sleep(0.5)
        self.no_new_messages()
        self.screenshot("login")
        self.display.focus(self.login_wid)
        # A mistyped password first: the service's refusal is shown as it is, and the dialog
        # stays for another try with the focus in the id field.
        self.display.type_text(MEMBER_ID)
        self.display.key("Tab")
        self.display.type_text(MEMBER_PW + "x")
        self.display.key("Return")
        self.expect_box("message", TXT_LOGIN_REFUSED, 60, "login-refused")
        if self.login_wid not in self.display.visible_windows():
            raise StepFailed("the login window is gone after a refused login")
        self.display.focus(self.login_wid)
        self.display.key("Tab")  # to the password field, which selects its text
        self.display.type_text(MEMBER_PW)
        self.screenshot("login-typed")
        self.window_shot(self.login_wid, "window-login.png")
        self.display.key("Return")

        def main_window():
            self.check_alive()
            if len(self.messages()) > self.seen:
                raise StepFailed(f"the login showed a box: {self.messages()[self.seen]}")
            for w, g in self.display.visible_windows().items():
                if g[2:] == MAIN_SIZE:
                    return w
            return None
        self.main_wid = wait_until(main_window, 120, "the main window (644 x 433)")
        if self.login_wid in self.display.visible_windows():
            raise StepFailed("the login window is still visible after the login")
        time.sleep(1.5)  # the web view loads its page
        self.no_new_messages()
        self.screenshot("main")

    def step_backup(self):
        # First answered No (the key of the box's "&No" button): nothing is packed or sent.
        self.display.click(self.main_wid, BTN_BACKUP)
        self.expect_box("confirm", TXT_BACKUP_ASK, 30, "backup-confirm-no", answer="n")
        time.sleep(2)
        self.no_new_messages()
        problems = self.temp_archives()
        for _, _, archive in CATEGORIES:
            status, _ = self.service.fetch_archive(MEMBER_ID, archive)
            if status != 404:
                problems.append(f"{archive}: the service answers {status} after No")
        if problems:
            raise StepFailed("after answering No to the backup:\n  " + "\n  ".join(problems))

        # The font box starts unchecked: check it, so that all four categories go up.
        self.display.click(self.main_wid, CHK_BACKUP_FONT)
        time.sleep(0.3)
        self.display.click(self.main_wid, BTN_BACKUP)
        self.expect_box("confirm", TXT_BACKUP_ASK, 30, "backup-confirm")
        queries = self.expect_box("message", TXT_BACKUP_DONE, self.args.transfer_timeout,
                                  "backup-done", on_shown=self.account_queries)
        self.wait_transfer_end(queries)
        self.no_new_messages()
        self.screenshot("after-backup")
        self.window_shot(self.main_wid, "window-main.png")

        problems = self.temp_archives()
        for folder, _, archive in CATEGORIES:
            status, body = self.service.fetch_archive(MEMBER_ID, archive)
            if status != 200:
                problems.append(f"{archive}: the service answers {status}")
                continue
            problems += archive_problems(body, folder, self.saved, archive)
        if problems:
            raise StepFailed("after the backup:\n  " + "\n  ".join(problems))

    def temp_archives(self):
        """Problems: Ralum/Temp is missing or holds something (a backup leaves it empty)."""
        temp = os.path.join(self.game, "Ralum", "Temp")
        if not os.path.isdir(temp):
            return ["Ralum/Temp is missing"]
        left = sorted(os.listdir(temp))
        return [f"Ralum/Temp is not empty: {left}"] if left else []

    def restore_round(self, name, before):
        """Clicks restore, confirms, waits for the end; before: copy of the game folder."""
        copy_game(self.game, before)
        self.screenshot(f"before-{name}")
        self.display.click(self.main_wid, BTN_RESTORE)
        self.expect_box("confirm", TXT_RESTORE_ASK, 30, f"{name}-confirm")
        queries = self.expect_box("message", TXT_RESTORE_DONE, self.args.transfer_timeout,
                                  f"{name}-done", on_shown=self.account_queries, prefix=True)
        self.wait_transfer_end(queries)
        self.no_new_messages()
        self.screenshot(f"after-{name}")

    def step_restore(self):
        change_game_folder(self.game, 0)
        if not compare_trees(self.game, self.saved, "changed folder", skip_top={"Ralum"}):
            raise StepFailed("changing the game folder changed nothing")
        first = os.path.join(self.work, "before-restore")
        self.restore_round("restore", first)
        problems = compare_trees(self.game, self.saved, "restored game folder",
                                 skip_top={"Ralum"})
        ralum = os.path.join(self.game, "Ralum")
        for folder, copy_name, archive in CATEGORIES:
            before = os.path.join(first, folder)
            problems += compare_trees(os.path.join(ralum, "Recent", copy_name), before,
                                      f"Ralum/Recent/{copy_name}")
            # The first restore takes the Original copies, of what was there just before it.
            problems += compare_trees(os.path.join(ralum, "Original", copy_name), before,
                                      f"Ralum/Original/{copy_name}")
            if not os.path.isfile(os.path.join(ralum, "Temp", archive)):
                problems.append(f"Ralum/Temp/{archive}: the downloaded archive is missing")
        if problems:
            raise StepFailed("after the restore:\n  " + "\n  ".join(problems))

        # Again, with only the add-on box on the restore side: Interface and WTF come back,
        # the cache and the fonts stay as they are; the Original copies stay the first ones.
        change_game_folder(self.game, 1)
        if not compare_trees(os.path.join(self.game, "Fonts"),
                             os.path.join(first, "Fonts"), "second change"):
            raise StepFailed("the second change left Fonts as the first one did")
        self.display.click(self.main_wid, CHK_RESTORE_CACHE)
        self.display.click(self.main_wid, CHK_RESTORE_FONT)
        second = os.path.join(self.work, "before-second-restore")
        self.restore_round("second-restore", second)
        restored = {"Interface", "WTF"}
        for folder, copy_name, _ in CATEGORIES:
            if copy_name in restored:
                problems += compare_trees(os.path.join(self.game, folder),
                                          os.path.join(self.saved, folder), folder)
                recent = os.path.join(second, folder)
            else:
                problems += compare_trees(os.path.join(self.game, folder),
                                          os.path.join(second, folder), f"{folder} (kept)")
                recent = os.path.join(first, folder)
            problems += compare_trees(os.path.join(ralum, "Recent", copy_name), recent,
                                      f"Ralum/Recent/{copy_name}")
            problems += compare_trees(os.path.join(ralum, "Original", copy_name),
                                      os.path.join(first, folder), f"Ralum/Original/{copy_name}")
        if problems:
            raise StepFailed("after the second restore:\n  " + "\n  ".join(problems))

    def step_initialize(self):
        keep = os.path.join(self.work, "before-initialize")
        shutil.copytree(self.game, keep, symlinks=True)
        self.display.click(self.main_wid, BTN_INITIALIZE)
        self.expect_box("confirm", TXT_INIT_ASK, 30, "initialize-confirm")
        self.expect_box("message", TXT_INIT_DONE, 120, "initialize-done", prefix=True)
        time.sleep(0.5)
        self.no_new_messages()
        self.screenshot("after-initialize")
        problems = [f"{name} still exists after initialize" for name in
                    ("Fonts", "Interface", "WTF") if os.path.exists(os.path.join(self.game, name))]
        # The folders wait under Ralum/Reset, where the member can take them back.
        for name in ("Fonts", "Interface", "WTF"):
            problems += compare_trees(os.path.join(self.game, "Ralum", "Reset", name),
                                      os.path.join(keep, name), f"Ralum/Reset/{name}")
        problems += compare_trees(self.game, keep, "initialized game folder",
                                  skip_top={"Fonts", "Interface", "WTF", "Ralum"})
        problems += compare_trees(os.path.join(self.game, "Ralum"), os.path.join(keep, "Ralum"),
                                  "Ralum", skip_top={"Reset"})
        if problems:
            raise StepFailed("after initialize:\n  " + "\n  ".join(problems))

    def step_removeall(self):
        self.display.click(self.main_wid, BTN_REMOVE_ALL)
        self.expect_box("confirm", TXT_REMOVE_ASK, 30, "removeall-confirm")
        self.expect_box("message", TXT_REMOVE_DONE, 120, "removeall-done")
        time.sleep(1)
        self.no_new_messages()
        self.screenshot("after-removeall")
        problems = []
        for _, _, archive in CATEGORIES:
            status, _ = self.service.fetch_archive(MEMBER_ID, archive)
            if status != 404:
                problems.append(f"{archive}: the service answers {status} after remove all")
        if problems:
            raise StepFailed("after remove all:\n  " + "\n  ".join(problems))

    def close_zav(self):
        """Closes the main window as its close box does; the program must end cleanly."""
        self.no_new_messages()
        self.display.close_window(self.main_wid)
        try:
            status = self.zav.wait(120)
        except subprocess.TimeoutExpired:
            raise StepFailed("zav did not end within 120 s after its main window was closed")
        self.no_new_messages()
        if status != 0:
            raise StepFailed(f"zav ended with status {status} after its window was closed")
        log("zav ended with status 0")

    # -- driver --

    def run(self):
        wanted = self.args.steps
        passed, skipped = [], []
        try:
            self.prepare()
            for step in ALL_STEPS:
                need = NEEDS.get(step)
                if step not in wanted:
                    reason = self.args.skip_reason or "not in --steps"
                    skipped.append(step)
                    log(f"SKIPPED step {step}: {reason}")
                    continue
                if need and need not in passed:
                    raise StepFailed(f"step {step} needs step {need}, which did not run")
                log(f"step {step}")
                getattr(self, "step_" + step)()
                passed.append(step)
                log(f"step {step} passed")
            if self.main_wid is not None:
                self.close_zav()
        except StepFailed as error:
            self.failed = True
            log(f"FAILED: {error}")
            self.failure_screenshot()
        except Exception:  # a fault of the harness or its tools: report it as a failure
            self.failed = True
            log("FAILED with an error of the harness:\n" + traceback.format_exc())
            self.failure_screenshot()
        finally:
            self.shutdown()
        if self.failed:
            self.report_failure()
            return 1
        log(f"passed: {', '.join(passed)}" +
            (f"; SKIPPED: {', '.join(skipped)}" if skipped else ""))
        if not self.args.keep:
            shutil.rmtree(self.work, ignore_errors=True)
        return 0

    def failure_screenshot(self):
        if self.display.env is not None:
            try:
                self.screenshot("failure")
            except (StepFailed, OSError, subprocess.SubprocessError) as shot_error:
                log(f"(no failure screenshot: {shot_error})")

    def shutdown(self):
        if self.zav is not None and self.zav.poll() is None:
            stop_process(self.zav, "zav")
        if self.zav is not None:
            self.zav_logf.close()
        status = self.service.stop()
        if status not in (None, 0):
            log(f"zav-service ended with status {status}")
            self.failed = True
        self.display.stop()

    def report_failure(self):
        print("---- message log (" + self.msg_log + ") ----")
        try:
            with open(self.msg_log, encoding="utf-8", errors="replace") as f:
                print(f.read().rstrip() or "(empty)")
        except FileNotFoundError:
            print("(no box was shown)")
        for title, path in (("zav output", self.zav_log),
                            ("zav-service log", self.service.log_path)):
            print(f"---- {title} (last 60 lines of {path}) ----")
            try:
                with open(path, encoding="utf-8", errors="replace") as f:
                    print("".join(f.readlines()[-60:]).rstrip())
            except FileNotFoundError:
                print("(none)")
        print(f"---- screenshots and the work folder are kept in {self.out}")


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--zav", required=True, help="the zav executable")
    parser.add_argument("--service", required=True, help="the zav-service executable")
    parser.add_argument("--game-folder-script", required=True, help="bench/make_game_folder.py")
    parser.add_argument("--out", required=True, help="output folder (screenshots, logs)")
    parser.add_argument("--scale", default="0.02", help="scale of the game folder (default 0.02)")
    parser.add_argument("--steps", default=",".join(ALL_STEPS),
                        help="comma-separated steps to run (default: all)")
    parser.add_argument("--skip-reason", default="",
                        help="printed for each step that is not run")
    parser.add_argument("--transfer-timeout", type=float, default=300,
                        help="seconds to wait for an upload or a restore")
    parser.add_argument("--keep", action="store_true", help="keep the work folder on success")
    args = parser.parse_args()
    for name in ("zav", "service", "game_folder_script", "out"):
        setattr(args, name, os.path.abspath(getattr(args, name)))
    args.steps = [s for s in args.steps.replace(";", ",").split(",") if s]
    unknown = [s for s in args.steps if s not in ALL_STEPS]
    if unknown:
        parser.error(f"unknown steps {unknown}; known: {ALL_STEPS}")
    return Session(args).run()


if __name__ == "__main__":
    sys.exit(main())
