"""The frame of a real-window session: a game folder made by bench/make_game_folder.py and
recorded in the program's registry file under a private XDG_CONFIG_HOME, zav-service with one
member, Xvfb, the real zav driven with xdotool, its boxes read from its ZAV_MESSAGE_LOG file and
answered with the keyboard, the login, and the driver that runs the steps of a session.

A session script subclasses Session, lists its steps (methods step_<name>) in `steps` and the
step each one needs in `needs`, and calls main(). Exit status of a session: 0 when every step
that ran passed, 1 when one failed (the message log and the program's output are printed;
screenshots and the work folder are kept), 2 for bad arguments, 77 (SKIPPED) when the session
cannot run here, for instance without the privilege to mount.
"""
import argparse
import os
import shutil
import subprocess
import sys
import time
import traceback

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
from e2e_harness import (Display, Service, StepFailed, StepSkipped, archive_problems, copy_game,
                         log, print_logs, read_json_lines, source_text, stop_process, wait_until)

LSAN_SUPPRESSIONS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "lsan.supp")
SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
EXIT_SKIPPED = 77

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

TXT_LOGIN_REFUSED = "아이디 또는 비밀번호가 올바르지 않습니다."  # the service's text


def program_text(relative_path, name):
    """The text constant name of the program's source file."""
    return source_text(os.path.join(SOURCE_DIR, relative_path), name + " =")


TXT_BACKUP_ASK = program_text("backup/backup_messages.h", "kMsgConfirmBackup")
TXT_BACKUP_DONE = program_text("backup/backup_messages.h", "kMsgUploadDone")
TXT_RESTORE_ASK = program_text("restore/restore_messages.h", "kAskRestore")
TXT_RESTORE_DONE = program_text("restore/restore_messages.h", "kMsgRestoreDone")
TXT_INIT_ASK = program_text("restore/restore_messages.h", "kAskInitialize")
TXT_INIT_DONE = program_text("restore/restore_messages.h", "kMsgInitialized")


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


class Session:
    steps = ["login"]
    needs = {}
    game_name = "와우 World of Warcraft"

    def __init__(self, args):
        self.args = args
        self.out = os.path.abspath(args.out)
        self.work = os.path.join(self.out, "work")
        self.game = os.path.join(self.game_parent(), self.game_name) + "/"
        self.saved = os.path.join(self.work, "saved")
        self.msg_log = os.path.join(self.out, "messages.jsonl")
        self.zav_log = os.path.join(self.out, "zav.log")
        self.config_home = os.path.join(self.work, "config")
        self.shot_no = 0
        self.seen = 0  # message-log entries already accounted for
        self.display = Display(self.out)
        self.service = Service(args.service, self.work)
        self.zav = None
        self.zav_logf = None
        self.login_wid = None
        self.main_wid = None
        self.failed = False

    # -- set-up; subclasses adjust these --

    def game_parent(self):
        """The folder the game folder is made in."""
        return self.work

    def registry_value(self):
        """The game folder as the registry file records it."""
        return self.game

    def release_leftovers(self):
        """Undoes what a stopped earlier run may have left that would keep its output folder
        from being removed."""

    def check_privileges(self):
        """Raises StepSkipped when the session cannot run here."""

    def after_step(self, step):
        """Runs after every step that passed; raises StepFailed for what a step left wrong."""

    def prepare_work(self):
        self.release_leftovers()
        if os.path.exists(self.out):
            shutil.rmtree(self.out)
        os.makedirs(self.work)
        for tool in ("Xvfb", "xdotool", "import"):
            if shutil.which(tool) is None:
                raise StepFailed(f"{tool} is not installed (scripts/install-deps installs it)")
        if not os.path.isfile(self.args.game_folder_script):
            raise StepFailed(f"game-folder generator not found: {self.args.game_folder_script}")

    def prepare(self):
        result = subprocess.run([sys.executable, self.args.game_folder_script, self.game,
                                 str(self.args.scale)], capture_output=True, text=True,
                                timeout=600)
        if result.returncode != 0:
            raise StepFailed(f"make_game_folder.py failed: {result.stderr.strip()}")
        log("game folder (scale %s):\n%s" % (self.args.scale, result.stdout.rstrip()))
        # Players often keep Config.wtf read-only so that the game cannot change it.
        os.chmod(os.path.join(self.game, "WTF", "Config.wtf"), 0o444)
        copy_game(self.game, self.saved)

        os.makedirs(os.path.join(self.config_home, "zav"))
        value = self.registry_value().replace("\\", "\\\\").replace('"', '\\"')
        with open(os.path.join(self.config_home, "zav", "registry.reg"), "w",
                  encoding="utf-8") as f:
            f.write("REGEDIT4\n\n"
                    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Blizzard Entertainment\\World of Warcraft]\n"
                    f'"InstallPath"="{value}"\n\n')

        self.service.add_member(MEMBER_ID, MEMBER_PW, MEMBER_NICK)
        self.service.start()
        self.display.start()

    def zav_env(self, msg_log):
        """The environment of a zav of this session whose boxes go to msg_log."""
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
            "ZAV_MESSAGE_LOG": msg_log,
            "QT_QPA_PLATFORM": "xcb",
            # System libraries under Qt keep a few allocations to the end; the program's own
            # leaks are still reported.
            "LSAN_OPTIONS": ":".join(filter(None, [os.environ.get("LSAN_OPTIONS"),
                                                   "suppressions=" + LSAN_SUPPRESSIONS])),
            "LANG": "C.UTF-8",
            "LC_ALL": "C.UTF-8",
        })
        env.pop("ZAV_SERVICE_HASH_ITERATIONS", None)
        return env

    def start_zav(self, extra_env=None):
        env = self.zav_env(self.msg_log)
        env.update(extra_env or {})
        if self.zav_logf is not None:
            self.zav_logf.close()
        self.zav_logf = open(self.zav_log, "ab")
        self.zav = subprocess.Popen([self.args.zav], env=env, cwd=self.work,
                                    stdout=self.zav_logf, stderr=subprocess.STDOUT,
                                    start_new_session=True)
        log(f"zav started (pid {self.zav.pid})")

    # -- observation --

    def check_alive(self):
        if self.zav is not None and self.zav.poll() is not None:
            raise StepFailed(f"zav exited unexpectedly with status {self.zav.returncode}")

    def messages(self):
        return read_json_lines(self.msg_log, "message log")

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

    def next_box(self, timeout, what):
        """Waits for the next entry of the message log and returns it ({kind, text})."""
        def next_entry():
            self.check_alive()
            entries = self.messages()
            return entries[self.seen] if len(entries) > self.seen else None

        entry = wait_until(next_entry, timeout, what, interval=0.25)
        self.seen += 1
        return entry

    def answer_box(self, shot, answer="Return", on_shown=None):
        """Shoots the open box, runs on_shown while it is open, answers it with keys and waits
        until it closes; returns what on_shown returned."""
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

    def expect_box(self, kind, text, timeout, shot, answer="Return", on_shown=None,
                   prefix=False):
        """Waits for the next box, checks its kind and text (or, with prefix, how its text
        begins), shoots it, answers it with keys. on_shown runs while the box is still open;
        its result is returned."""
        entry = self.next_box(timeout, f'the {kind} box "{text}"')
        shown = entry.get("text", "")
        if entry.get("kind") != kind or (shown[:len(text)] if prefix else shown) != text:
            raise StepFailed(f'expected the {kind} box "{text}", the program showed {entry}')
        log(f'{kind} box: "{text}"')
        return self.answer_box(shot, answer, on_shown)

    def account_queries(self):
        return self.service.request_count("POST", "/Kelpo/html/auth.php")

    def wait_transfer_end(self, queries_before):
        """A worker refreshes the account status after its last box and then ends: wait for
        that query, so that the next command does not find the transfer still running."""
        wait_until(lambda: self.check_alive() or self.account_queries() > queries_before, 60,
                   "the account status refresh at the end of the transfer")
        time.sleep(0.5)

    def temp_archives(self):
        """Problems: Ralum/Temp is missing or holds something (a backup leaves it empty)."""
        temp = os.path.join(self.game, "Ralum", "Temp")
        if not os.path.isdir(temp):
            return ["Ralum/Temp is missing"]
        left = sorted(os.listdir(temp))
        return [f"Ralum/Temp is not empty: {left}"] if left else []

    def backup_all(self):
        """Backs up with the boxes as they are: click, confirm, wait for the upload; the service
        must then hold all four archives, equal to the saved game folder. Returns them
        ({archive name: bytes})."""
        self.display.click(self.main_wid, BTN_BACKUP)
        self.expect_box("confirm", TXT_BACKUP_ASK, 30, "backup-confirm")
        queries = self.expect_box("message", TXT_BACKUP_DONE, self.args.transfer_timeout,
                                  "backup-done", on_shown=self.account_queries)
        self.wait_transfer_end(queries)
        self.no_new_messages()
        problems = self.temp_archives()
        stored = {}
        for folder, _, archive in CATEGORIES:
            status, body = self.service.fetch_archive(MEMBER_ID, archive)
            if status != 200:
                problems.append(f"{archive}: the service answers {status}")
                continue
            problems += archive_problems(body, folder, self.saved, archive)
            stored[archive] = body
        if problems:
            raise StepFailed("after the backup:\n  " + "\n  ".join(problems))
        return stored

    def restore(self, name):
        """Restores with the boxes as they are: click, confirm, wait for the end."""
        self.display.click(self.main_wid, BTN_RESTORE)
        self.expect_box("confirm", TXT_RESTORE_ASK, 30, f"{name}-confirm")
        queries = self.expect_box("message", TXT_RESTORE_DONE, self.args.transfer_timeout,
                                  f"{name}-done", on_shown=self.account_queries, prefix=True)
        self.wait_transfer_end(queries)
        self.no_new_messages()

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

    def login(self, wait_main=True):
        """Logs a started zav in (no mistyped password) and waits for its main window, or with
        wait_main false returns once the password is sent (a box may come first)."""
        def window(size):
            self.check_alive()
            for w, g in self.display.visible_windows().items():
                if g[2:] == size and w not in (self.login_wid, self.main_wid):
                    return w
            return None
        self.login_wid = wait_until(lambda: window(LOGIN_SIZE), 120, "the login window")
        time.sleep(0.5)
        self.display.focus(self.login_wid)
        self.display.type_text(MEMBER_ID)
        self.display.key("Tab")
        self.display.type_text(MEMBER_PW)
        self.display.key("Return")
        if wait_main:
            self.wait_main_window()

    def wait_main_window(self):
        def window():
            self.check_alive()
            for w, g in self.display.visible_windows().items():
                if g[2:] == MAIN_SIZE and w != self.login_wid:
                    return w
            return None
        self.main_wid = wait_until(window, 120, "the main window")

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
        not_here = None  # why the session cannot run here
        try:
            self.prepare_work()
            self.check_privileges()
            self.prepare()
            for step in self.steps:
                need = self.needs.get(step)
                if step not in wanted:
                    reason = self.args.skip_reason or "not in --steps"
                    skipped.append(step)
                    log(f"SKIPPED step {step}: {reason}")
                    continue
                if need and need not in passed:
                    raise StepFailed(f"step {step} needs step {need}, which did not run")
                log(f"step {step}")
                getattr(self, "step_" + step)()
                self.after_step(step)
                passed.append(step)
                log(f"step {step} passed")
            if self.main_wid is not None:
                self.close_zav()
        except StepSkipped as reason:
            not_here = str(reason)
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
        if not_here is not None:
            log(f"SKIPPED: {', '.join(s for s in self.steps if s in wanted)}: {not_here}")
            shutil.rmtree(self.work, ignore_errors=True)
            return EXIT_SKIPPED
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
        """Stops what the session started; a subclass releases its own additions after this."""
        if self.zav is not None and self.zav.poll() is None:
            stop_process(self.zav, "zav")
        if self.zav_logf is not None:
            self.zav_logf.close()
            self.zav_logf = None
        status = self.service.stop()
        if status not in (None, 0):
            log(f"zav-service ended with status {status}")
            self.failed = True
        self.display.stop()

    def report_failure(self):
        print_logs(self.msg_log, (("zav output", self.zav_log),
                                  ("zav-service log", self.service.log_path)), 60)
        print(f"---- screenshots and the work folder are kept in {self.out}")


def main(sessions, doc):
    """Runs the session class of sessions ({name: class}) that --session names (no such option
    when there is only one) and returns its exit status."""
    parser = argparse.ArgumentParser(description=doc,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    if len(sessions) > 1:
        parser.add_argument("--session", required=True, choices=sorted(sessions),
                            help="which session to run")
    parser.add_argument("--zav", required=True, help="the zav executable")
    parser.add_argument("--service", required=True, help="the zav-service executable")
    parser.add_argument("--game-folder-script", required=True, help="bench/make_game_folder.py")
    parser.add_argument("--out", required=True, help="output folder (screenshots, logs)")
    parser.add_argument("--scale", default="0.02", help="scale of the game folder (default 0.02)")
    parser.add_argument("--steps", help="comma-separated steps to run (default: all)")
    parser.add_argument("--skip-reason", default="",
                        help="printed for each step that is not run")
    parser.add_argument("--transfer-timeout", type=float, default=300,
                        help="seconds to wait for an upload or a restore")
    parser.add_argument("--keep", action="store_true", help="keep the work folder on success")
    args = parser.parse_args()
    session_class = sessions[args.session] if len(sessions) > 1 else next(iter(sessions.values()))
    for name in ("zav", "service", "game_folder_script", "out"):
        setattr(args, name, os.path.abspath(getattr(args, name)))
    steps = args.steps if args.steps is not None else ",".join(session_class.steps)
    args.steps = [s for s in steps.replace(";", ",").split(",") if s]
    unknown = [s for s in args.steps if s not in session_class.steps]
    if unknown:
        parser.error(f"unknown steps {unknown}; known: {session_class.steps}")
    return session_class(args).run()
