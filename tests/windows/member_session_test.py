#!/usr/bin/env python3
"""A member's whole session with the installed Windows program under Wine, on Xvfb:

    member_session_test.py SETUP_EXE PROGRAM_EXE IDLE_EXE ZAV_SERVICE GAME_FOLDER_SCRIPT WORK_DIR

zav-service runs natively on loopback with one member. A fresh session prefix
(scripts/wine-session-prefix: Korean locale and fonts, the service's certificate in the ROOT
store) gets the setup installed silently, a game folder made by GAME_FOLDER_SCRIPT under
C:\\Games (Hangul in its own, its realms' and its characters' names; IDLE_EXE as its Wow.exe)
and the game's InstallPath in the registry's 32-bit view, without the final backslash. The
installed zav.exe reaches the login over HTTPS as localhost, trusted by the system's store
alone, and is worked with xdotool through its control map and message log:

  login       a mistyped password is refused and the dialog stays; the right one opens the
              main window
  backup      No to the question sends nothing; with the font box checked, all four
              categories are uploaded: the stored archives hold the game folder byte for byte,
              their raw names use '/' only, in CP949 with bit 11 clear
  restore     WTF changed, then restored: the game folder is the backup again, byte for byte
              (read-only Config.wtf included); Ralum/Recent/WTF and the Original copies are
              what the restore replaced
  running     Wow.exe runs from the game folder: restore and initialize are refused with the
              running message, nothing is downloaded or changed
  initialize  after Wow.exe ended: Fonts, Interface and WTF go to Ralum/Reset/<yyyymmdd-hhmmss>,
              which the done message names; the rest stays
  close       the main window's close box ends the program
  uninstall   the entry's QuietUninstallString removes the program, its shortcut and entry;
              the game folder and the diagnostic log stay as they were

After each step nothing may have appeared beside the game folder. Installed files are checked,
not exit codes (wine64 can end with 0 after a failed start). Every window and box is shot into
WORK_DIR/shots; window-login.png and window-main.png are the pictures of the README. On a
failure the message log, the program's diagnostic log and output and the service's log are
printed, and WORK_DIR is kept. Exits 0 when every step passed, 1 otherwise.
"""
import os
import shutil
import struct
import subprocess
import sys
import traceback

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
from wine_session import (Display, StepFailed, WinePrefix, WineWindows,  # noqa: E402
                          changed_paths, log, snapshot, stop_program, wait_until)
from e2e_harness import (Service, archive_problems, compare_trees, copy_game,  # noqa: E402
                         initialize_problems, print_logs, reset_copies, stop_process)
from e2e_session import (CATEGORIES, MEMBER_ID, MEMBER_NICK, MEMBER_PW,  # noqa: E402
                         TXT_BACKUP_ASK, TXT_BACKUP_DONE, TXT_INIT_ASK, TXT_INIT_DONE,
                         TXT_LOGIN_REFUSED, TXT_RESTORE_ASK, TXT_RESTORE_DONE, program_text)

TXT_GAME_RUNNING = program_text("app/app_messages.h", "kMsgGameRunning")

# Control ids (app/view.h).
IDC_LOGIN_ID, IDC_LOGIN, IDC_LOGIN_PW = 1000, 1001, 1002
IDC_BACKUP, IDC_RESTORE, IDC_BACKUP_FONT = 1002, 1003, 1006
IDC_INITIALIZE, IDC_REMOVE_ALL = 1015, 1016
LOGIN_IDS = (IDC_LOGIN_ID, IDC_LOGIN, IDC_LOGIN_PW)
MAIN_IDS = (IDC_BACKUP, IDC_RESTORE, IDC_BACKUP_FONT, IDC_INITIALIZE, IDC_REMOVE_ALL)

GAMES = "C:\\Games"
GAME = GAMES + "\\와우 World of Warcraft"
INSTALL = "C:\\Program Files\\ZAV"
GAME_KEY = "HKLM\\SOFTWARE\\Blizzard Entertainment\\World of Warcraft"
UNINSTALL_KEY = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\ZAV"
SHORTCUT = ("ProgramData", "Microsoft", "Windows", "Start Menu", "Programs", "ZAV.lnk")
SCALE = "0.02"
TRANSFER_TIMEOUT = 300


def central_directory(data):
    """[(general purpose flags, raw name bytes)] of a zip archive's central directory, as
    stored; StepFailed when it cannot be walked."""
    end = data.rfind(b"PK\x05\x06")
    if end < 0 or len(data) < end + 22:
        raise StepFailed("no end of central directory record")
    count, size, offset = struct.unpack_from("<HII", data, end + 10)
    entries, at = [], offset
    for _ in range(count):
        if data[at:at + 4] != b"PK\x01\x02" or at + 46 > offset + size:
            raise StepFailed(f"no central directory header at {at}")
        flags = struct.unpack_from("<H", data, at + 8)[0]
        name_len, extra_len, comment_len = struct.unpack_from("<HHH", data, at + 28)
        entries.append((flags, data[at + 46:at + 46 + name_len]))
        at += 46 + name_len + extra_len + comment_len
    return entries


def raw_name_problems(data, name):
    """The stored names the Windows clients of the service write: '/' as the only separator,
    CP949 with flag bit 11 clear. Returns (problems, number of names with Hangul)."""
    problems, hangul = [], 0
    try:
        entries = central_directory(data)
    except StepFailed as error:
        return [f"{name}: {error}"], 0
    for flags, raw in entries:
        if flags & 0x800:
            problems.append(f"{name}: {raw!r} is marked UTF-8 (bit 11)")
        if b"\\" in raw:
            problems.append(f"{name}: {raw!r} holds a backslash")
        if raw.startswith(b"/") or b"//" in raw or b":" in raw:
            problems.append(f"{name}: {raw!r} is not a relative path")
        try:
            text = raw.decode("cp949")
        except UnicodeDecodeError:
            problems.append(f"{name}: {raw!r} is not CP949")
            continue
        if any("\uac00" <= c <= "\ud7a3" for c in text):
            hangul += 1
    return problems[:10], hangul


class MemberSession:
    steps = ["login", "backup", "restore", "running", "initialize", "close", "uninstall"]

    def __init__(self, setup, program, idle, service, game_script, work):
        self.setup, self.program, self.idle = setup, program, idle
        self.game_script = game_script
        self.work = os.path.abspath(work)
        self.shots = os.path.join(self.work, "shots")
        self.saved = os.path.join(self.work, "saved")
        self.msg_log = os.path.join(self.work, "messages.jsonl")
        self.control_map = os.path.join(self.work, "controls.jsonl")
        self.zav_out = os.path.join(self.work, "zav.out")
        self.service = Service(service, self.work)
        self.display = Display(self.work)
        self.prefix = None
        self.windows = WineWindows(self.display, self.control_map, self.msg_log)
        self.zav = None
        self.wow = None
        self.shot_no = 0

    # -- paths and observation --

    @property
    def game(self):
        return self.prefix.host_path(GAME)

    def diag_log(self):
        """The program's diagnostic log in the prefix (%LOCALAPPDATA%\\zav\\zav.log)."""
        users = self.prefix.drive_c("users")
        for user in sorted(os.listdir(users)) if os.path.isdir(users) else []:
            path = os.path.join(users, user, "AppData", "Local", "zav", "zav.log")
            if os.path.isfile(path):
                return path
        return None

    def alive(self):
        if self.zav is not None and self.zav.poll() is not None:
            raise StepFailed(f"zav.exe ended unexpectedly with status {self.zav.returncode}")

    def shot(self, name):
        self.shot_no += 1
        self.windows.screenshot(os.path.join(self.shots, f"{self.shot_no:02d}-{name}.png"))

    def window_shot(self, window, name):
        """One window alone, with the frame Wine draws (for the README)."""
        wid = self.windows.window_of(window)
        if wid is None:
            raise StepFailed(f"the {window} window is not on the screen")
        self.display.tool("import", "-window", str(wid), os.path.join(self.shots, name),
                          timeout=60)
        log(f"screenshot {name}")

    def expect_box(self, kind, text, timeout, shot, answer="Return", prefix=False):
        """Waits for the program's next box, checks its kind and text (or how the text begins),
        shoots it and answers it with a key; returns its text."""
        entry = self.windows.next_message(timeout, f'the {kind} box "{text}"', alive=self.alive)
        shown = entry.get("text", "")
        if entry.get("kind") != kind or (shown[:len(text)] if prefix else shown) != text:
            raise StepFailed(f'expected the {kind} box "{text}", the program showed {entry}')
        log(f'{kind} box: "{text}"')
        self.shot_no += 1
        self.windows.answer(answer, shot=os.path.join(self.shots, f"{self.shot_no:02d}-{shot}.png"),
                            alive=self.alive)
        return shown

    def no_new_messages(self):
        entries = self.windows.messages()
        if len(entries) > self.windows.seen:
            raise StepFailed(f"unexpected message box: {entries[self.windows.seen]}")

    def account_queries(self):
        return self.service.request_count("POST", "/Kelpo/html/auth.php")

    def downloads(self):
        return sum(self.service.request_count("GET", f"/Kelpo/UserData/{MEMBER_ID}/{archive}")
                   for _, _, archive in CATEGORIES)

    def settle(self, name):
        """The backup's question opens only once the command before it has ended; No to it
        starts nothing. So that command is over, and it showed nothing more."""
        self.windows.click("main", IDC_BACKUP)
        self.expect_box("confirm", TXT_BACKUP_ASK, 60, f"{name}-settled", answer="n")

    def transfer(self, button, ask, done, name):
        """Clicks a transfer's button, confirms, waits for its done box (whose text begins with
        done) and for the account refresh after it, which the worker makes last."""
        queries = self.account_queries()
        self.windows.click("main", button)
        self.expect_box("confirm", ask, 60, f"{name}-confirm")
        self.expect_box("message", done, TRANSFER_TIMEOUT, f"{name}-done", prefix=True)
        wait_until(lambda: self.alive() or self.account_queries() > queries, 60,
                   f"the account refresh at the end of the {name}")
        self.settle(name)

    def temp_problems(self):
        temp = os.path.join(self.game, "Ralum", "Temp")
        if not os.path.isdir(temp):
            return ["Ralum/Temp is missing"]
        left = sorted(os.listdir(temp))
        return [f"Ralum/Temp is not empty: {left}"] if left else []

    def after_step(self, step):
        """Everything happens inside the game folder, whose registry value has no final
        backslash: nothing may appear beside it (such as "... WarcraftRalum")."""
        beside = set(os.listdir(self.prefix.host_path(GAMES)))
        if beside != {GAME.rsplit("\\", 1)[1]}:
            raise StepFailed(f"after step {step}, {GAMES} holds {sorted(beside)}")

    # -- set-up --

    def prepare(self):
        shutil.rmtree(self.work, ignore_errors=True)
        os.makedirs(self.shots)
        for tool in ("Xvfb", "xdotool", "import"):
            if shutil.which(tool) is None:
                raise StepFailed(f"{tool} is not installed (scripts/install-deps installs it)")
        self.service.add_member(MEMBER_ID, MEMBER_PW, MEMBER_NICK)
        self.service.start()
        log("making the session prefix")
        self.prefix = WinePrefix.session(os.path.join(self.work, "session"),
                                         self.service.ca_file)

        log("installing silently")
        self.prefix.run([self.setup, "/S"], timeout=300)
        self.prefix.wait_idle()
        exe = self.prefix.host_path(INSTALL + "\\zav.exe")
        built = _read(self.program)
        if not os.path.isfile(exe) or _read(exe) != built:
            raise StepFailed(f"the silent install did not put the built program at {exe}")
        if not os.path.isfile(self.prefix.host_path(INSTALL + "\\zav-uninstall.exe")):
            raise StepFailed("the silent install wrote no uninstaller")

        done = subprocess.run([sys.executable, self.game_script, self.game, SCALE],
                              capture_output=True, text=True, timeout=600)
        if done.returncode != 0:
            raise StepFailed(f"make_game_folder.py failed: {done.stderr.strip()}")
        log(f"game folder {GAME} (scale {SCALE}):\n{done.stdout.rstrip()}")
        shutil.copy2(self.idle, os.path.join(self.game, "Wow.exe"))
        # Players often keep Config.wtf read-only so that the game cannot change it.
        os.chmod(os.path.join(self.game, "WTF", "Config.wtf"), 0o444)
        copy_game(self.game, self.saved)
        self.prefix.run(["reg", "add", GAME_KEY, "/v", "InstallPath", "/d", GAME, "/f",
                         "/reg:32"], what="reg add InstallPath")
        self.display.start()

    def start_zav(self):
        port = self.service.https.rsplit(":", 1)[1]
        env = {
            "ZAV_SERVICE_URL": self.service.http,
            # Windows matches the certificate against the host name; the prefix's ROOT store
            # trusts it, so no ZAV_CA_FILE.
            "ZAV_PORTAL_URL": f"https://localhost:{port}",
            "ZAV_BOARD_URL": self.service.http + "/board/powerbbs.php?come_idx=1206",
            "ZAV_MESSAGE_LOG": WinePrefix.windows_path(self.msg_log),
            "ZAV_CONTROL_MAP": WinePrefix.windows_path(self.control_map),
        }
        # As the Start-menu shortcut starts it: in the installation folder.
        self.zav = self.prefix.start([INSTALL + "\\zav.exe"], self.display, env=env,
                                     log_path=self.zav_out,
                                     cwd=self.prefix.host_path(INSTALL))
        log(f"zav.exe started (pid {self.zav.pid})")

    # -- steps --

    def step_login(self):
        self.start_zav()
        self.windows.wait_window("login", LOGIN_IDS, timeout=120, alive=self.alive)
        self.no_new_messages()
        self.shot("login")
        # A mistyped password first: the service's refusal, and the dialog stays.
        self.windows.type_into("login", IDC_LOGIN_ID, MEMBER_ID)
        self.windows.type_into("login", IDC_LOGIN_PW, MEMBER_PW + "x")
        self.display.key("Return")
        self.expect_box("message", TXT_LOGIN_REFUSED, 60, "login-refused")
        if self.windows.window_of("login") is None:
            raise StepFailed("the login window is gone after a refused login")
        self.windows.type_into("login", IDC_LOGIN_PW, MEMBER_PW)
        self.window_shot("login", "window-login.png")
        self.display.key("Return")

        def no_box():
            self.alive()
            if len(self.windows.messages()) > self.windows.seen:
                raise StepFailed(f"the login showed a box: "
                                 f"{self.windows.messages()[self.windows.seen]}")
        self.windows.wait_window("main", MAIN_IDS, timeout=120, alive=no_box)
        if self.windows.window_of("login") is not None:
            raise StepFailed("the login window is still on the screen after the login")
        self.shot("main")

    def step_backup(self):
        uploads = self.service.request_count("POST", "/Kelpo/html/post.php")
        self.windows.click("main", IDC_BACKUP)
        self.expect_box("confirm", TXT_BACKUP_ASK, 60, "backup-confirm-no", answer="n")
        # The font box starts unchecked: checked, all four categories go up. The next box must
        # be the question again: No packed and sent nothing.
        self.windows.click("main", IDC_BACKUP_FONT)
        self.transfer(IDC_BACKUP, TXT_BACKUP_ASK, TXT_BACKUP_DONE, "backup")
        problems = self.temp_problems()
        if self.service.request_count("POST", "/Kelpo/html/post.php") != uploads + 1:
            problems.append("not exactly one upload")
        hangul = 0
        for folder, _, archive in CATEGORIES:
            status, body = self.service.fetch_archive(MEMBER_ID, archive)
            if status != 200:
                problems.append(f"{archive}: the service answers {status}")
                continue
            problems += archive_problems(body, folder, self.saved, archive)
            found, with_hangul = raw_name_problems(body, archive)
            problems += found
            hangul += with_hangul
        if not hangul:
            problems.append("no stored name holds Hangul: the CP949 names went untested")
        if problems:
            raise StepFailed("after the backup:\n  " + "\n  ".join(problems))
        log(f"stored names: '/' only, CP949, bit 11 clear ({hangul} with Hangul)")
        self.shot("after-backup")
        self.window_shot("main", "window-main.png")

    def step_restore(self):
        wtf = os.path.join(self.game, "WTF")
        config = os.path.join(wtf, "Config.wtf")
        os.chmod(config, 0o644)
        with open(config, "ab") as f:
            f.write(b'SET gxWindow "changed before the restore"\n')
        with open(os.path.join(wtf, "added-before-restore.txt"), "wb") as f:
            f.write(b"only in the Recent copy after the restore\n")
        # A file below a Hangul realm folder, cut short.
        for base, _, names in sorted(os.walk(os.path.join(wtf, "Account"))):
            if any(ord(c) > 127 for c in os.path.basename(base)) and names:
                with open(os.path.join(base, sorted(names)[0]), "r+b") as f:
                    f.truncate(3)
                break
        else:
            raise StepFailed("WTF has no file below a Hangul folder name")
        before = os.path.join(self.work, "before-restore")
        copy_game(self.game, before)
        downloads = self.downloads()
        self.transfer(IDC_RESTORE, TXT_RESTORE_ASK, TXT_RESTORE_DONE, "restore")
        problems = compare_trees(self.game, self.saved, "restored game folder",
                                 skip_top={"Ralum"})
        ralum = os.path.join(self.game, "Ralum")
        problems += compare_trees(os.path.join(ralum, "Recent", "WTF"), os.path.join(before, "WTF"),
                                  "Ralum/Recent/WTF")
        for folder, copy_name, _ in CATEGORIES:
            # The first restore takes the Original copies, of what was there just before it.
            problems += compare_trees(os.path.join(ralum, "Original", copy_name),
                                      os.path.join(before, folder), f"Ralum/Original/{copy_name}")
        if self.downloads() != downloads + len(CATEGORIES):
            problems.append(f"{self.downloads() - downloads} archives downloaded, expected "
                            f"{len(CATEGORIES)}")
        if problems:
            raise StepFailed("after the restore:\n  " + "\n  ".join(problems))
        self.shot("after-restore")

    def step_running(self):
        # Something for a restore to put back, were it allowed.
        addons = os.path.join(self.game, "Interface", "AddOns")
        shutil.rmtree(os.path.join(addons, sorted(os.listdir(addons))[0]))
        self.wow = self.prefix.start([GAME + "\\Wow.exe", "-", "0"], self.display,
                                     cwd=self.game)
        wait_until(lambda: self.wow.poll() is None and _wine_started(self.wow.pid), 60,
                   "Wow.exe to run from the game folder")
        log(f"Wow.exe runs (pid {self.wow.pid}) from the game folder")
        before = os.path.join(self.work, "before-running")
        shutil.copytree(self.game, before, symlinks=True)
        downloads = self.downloads()
        for button, name in ((IDC_RESTORE, "restore"), (IDC_INITIALIZE, "initialize")):
            self.windows.click("main", button)
            self.expect_box("message", TXT_GAME_RUNNING, 60, f"running-{name}")
            problems = compare_trees(self.game, before, f"game folder after the refused {name}")
            if self.downloads() != downloads:
                problems.append(f"the refused {name} downloaded archives")
            if problems:
                raise StepFailed("while Wow.exe runs:\n  " + "\n  ".join(problems))
        stop_process(self.wow, "Wow.exe")
        self.wow = None
        log("Wow.exe ended")

    def step_initialize(self):
        before = os.path.join(self.work, "before-initialize")
        shutil.copytree(self.game, before, symlinks=True)
        self.windows.click("main", IDC_INITIALIZE)
        self.expect_box("confirm", TXT_INIT_ASK, 60, "initialize-confirm")
        text = self.expect_box("message", TXT_INIT_DONE, 120, "initialize-done", prefix=True)
        self.settle("initialize")
        problems = initialize_problems(self.game, before)
        copies = reset_copies(self.game)
        if len(copies) == 1:
            dated = os.path.basename(copies[0])
            if len(dated) != 15 or dated[8] != "-" or not (dated[:8] + dated[9:]).isdigit():
                problems.append(f"Ralum/Reset/{dated} is not named yyyymmdd-hhmmss")
            named = GAME + "\\Ralum\\Reset\\" + dated
            if text.rstrip("\n").rsplit("\n", 1)[-1].rstrip("\\") != named:
                problems.append(f"the done message does not end with {named}: {text!r}")
        if problems:
            raise StepFailed("after initialize:\n  " + "\n  ".join(problems))
        self.shot("after-initialize")

    def step_close(self):
        self.no_new_messages()
        wid = self.windows.window_of("main")
        if wid is None:
            raise StepFailed("the main window is not on the screen")
        self.display.close_window(wid)
        try:
            status = self.zav.wait(120)
        except subprocess.TimeoutExpired:
            raise StepFailed("zav.exe did not end within 120 s after its window was closed")
        self.no_new_messages()
        if status != 0:
            raise StepFailed(f"zav.exe ended with status {status} after its window was closed")
        self.zav = None
        self.prefix.wait_idle()
        log("zav.exe ended with status 0")

    def step_uninstall(self):
        game_before = snapshot(self.game)
        diag = self.diag_log()
        if diag is None:
            raise StepFailed("the program wrote no diagnostic log")
        diag_before = _read(diag)
        entry = self.prefix.registry("system").get(UNINSTALL_KEY) or {}
        quiet = entry.get("QuietUninstallString", "")
        if not (quiet.startswith('"') and quiet.count('"') == 2):
            raise StepFailed(f"QuietUninstallString {quiet!r}")
        exe, args = quiet[1:quiet.index('"', 1)], quiet[quiet.index('"', 1) + 1:].split()
        self.prefix.run([exe] + args, timeout=300)
        self.prefix.wait_idle()  # the uninstaller goes on in a copy of itself
        problems = [f"{path} is still there" for path in
                    (self.prefix.host_path(INSTALL), self.prefix.drive_c(*SHORTCUT))
                    if os.path.exists(path)]
        if UNINSTALL_KEY in self.prefix.registry("system"):
            problems.append("the uninstall entry is still there")
        after = snapshot(self.game)
        changed = changed_paths(game_before, after)
        if changed:
            problems.append(f"the uninstaller changed the game folder: {changed[:10]}")
        if not os.path.isfile(diag) or _read(diag) != diag_before:
            problems.append(f"the uninstaller changed the diagnostic log {diag}")
        if problems:
            raise StepFailed("after the uninstall:\n  " + "\n  ".join(problems))

    # -- driver --

    def run(self):
        failed = False
        try:
            self.prepare()
            for step in self.steps:
                log(f"step {step}")
                getattr(self, "step_" + step)()
                self.after_step(step)
                log(f"step {step} passed")
        except StepFailed as error:
            failed = True
            log(f"FAILED: {error}")
        except Exception:  # a fault of the harness or its tools: a failure too
            failed = True
            log("FAILED with an error of the harness:\n" + traceback.format_exc())
        if failed and self.display.name:
            try:
                self.shot("failure")
            except (StepFailed, OSError, subprocess.SubprocessError) as error:
                log(f"(no failure screenshot: {error})")
        self.shutdown()
        if failed:
            self.report_failure()
            return 1
        # The prefix is large; the pictures and logs stay.
        shutil.rmtree(os.path.join(self.work, "session"), ignore_errors=True)
        for name in ("saved", "before-restore", "before-running", "before-initialize"):
            shutil.rmtree(os.path.join(self.work, name), ignore_errors=True)
        log(f"member session: every step passed; screenshots in {self.shots}")
        return 0

    def shutdown(self):
        stop_process(self.wow, "Wow.exe")
        if self.prefix is not None:
            if self.zav is not None:
                stop_program(self.zav, self.prefix, "zav.exe")
            self.prefix.kill()
        self.service.stop()
        self.display.stop()

    def report_failure(self):
        print_logs(self.msg_log, [("diagnostic log", self.diag_log() if self.prefix else None),
                                  ("zav.exe output", self.zav_out),
                                  ("zav-service log", self.service.log_path)], 40)
        print(f"---- screenshots in {self.shots}, the prefix and the rest in {self.work}")


def _read(path):
    with open(path, "rb") as f:
        return f.read()


def _wine_started(pid):
    """True once Wine has started the program of process pid: it names the process by the
    program's Windows path instead of Wine's loader, and kernel32 is mapped, which the
    process's start-up loads after the Wine server knows its image (so the system's process
    list names it)."""
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            first = f.read().split(b"\0", 1)[0]
        with open(f"/proc/{pid}/maps", encoding="utf-8", errors="replace") as f:
            maps = f.read()
    except OSError:
        return False
    return first[1:3] == b":\\" and "kernel32.dll" in maps


def main(argv):
    if len(argv) != 7:
        print(__doc__, file=sys.stderr)
        return 2
    return MemberSession(*argv[1:7]).run()


if __name__ == "__main__":
    sys.exit(main(sys.argv))
