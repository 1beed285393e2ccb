#!/usr/bin/env python3
"""What a member's settings survive, in the real window: a second window on the same game
folder, the program killed in the middle of a restore's swaps (then the game making a new WTF
and the program started again), and a second initialize after the game made default settings.

  login          log in (the session of e2e_session.py)
  backup         back up all four folders (what the later restores bring back)
  twowindows     a second zav logs in on the same game folder while the first one's restore
                 holds it (its done box is still open): the second window's restore and
                 initialize say that another window works there, nothing is downloaded and the
                 game folder stays as it is; once the first is done, the second restores
  crash          for each of three renames of a restore's apply, the program is killed there
                 (SIGKILL from a preloaded library, tests/e2e/crash_at_rename.c), the game makes
                 a new WTF when there is none, and the program is started again: it says that
                 the interrupted restore was finished, the game folder holds the backup, the
                 Recent copies hold the folders the restore replaced, and the game's new WTF is
                 kept under Ralum/Kept and named
  reinitialize   initialize, the game makes a default WTF, initialize again: two dated copies
                 under Ralum/Reset, the first with the member's real WTF as it was
"""
import json
import os
import shutil
import signal
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
from e2e_harness import StepFailed, compare_trees, copy_game, log, reset_copies, wait_until
from e2e_session import (BTN_INITIALIZE, BTN_RESTORE, LOGIN_SIZE, MAIN_SIZE, MEMBER_ID,
                         MEMBER_PW, TXT_INIT_ASK, TXT_INIT_DONE, TXT_RESTORE_ASK,
                         TXT_RESTORE_DONE, main, program_text)
from failure_session import FailureSession

TXT_IN_USE = program_text("app/app_messages.h", "kMsgFolderInUse")
TXT_RESUMED = program_text("restore/restore_messages.h", "kMsgApplyResumed")
TXT_KEPT = program_text("restore/restore_messages.h", "kMsgFoldersKept")


class SafetySession(FailureSession):
    steps = ["login", "backup", "twowindows", "crash", "reinitialize"]
    needs = {"backup": "login", "twowindows": "backup", "crash": "backup",
             "reinitialize": "login"}

    def __init__(self, args):
        super().__init__(args)
        self.other = None  # the second window's process
        self.foreign = set()  # its windows, never taken for a box of the first window
        self.other_log = os.path.join(self.out, "messages-second.jsonl")

    def shutdown(self):
        if self.other is not None and self.other.poll() is None:
            self.other.kill()
            self.other.wait()
        super().shutdown()

    def boxes(self):
        return {w: g for w, g in super().boxes().items() if w not in self.foreign}

    def restart(self, extra_env=None, wait_main=True):
        """Starts zav again (the previous one has ended) and logs it in."""
        self.login_wid = self.main_wid = None
        self.start_zav(extra_env)
        self.login(wait_main)

    def other_boxes(self):
        try:
            with open(self.other_log, encoding="utf-8") as f:
                return [json.loads(line) for line in f.read().split("\n")[:-1]]
        except FileNotFoundError:
            return []

    # -- steps --

    def step_twowindows(self):
        # The first window's restore, stopped at its done box: its worker holds the folder.
        self.display.click(self.main_wid, BTN_RESTORE)
        self.expect_box("confirm", TXT_RESTORE_ASK, 30, "first-restore-confirm")
        entry = self.next_box(self.args.transfer_timeout, "the first window's done box")
        if not entry.get("text", "").startswith(TXT_RESTORE_DONE):
            raise StepFailed(f"the first window's restore showed {entry}")
        first_boxes = set(self.boxes())
        after_first = os.path.join(self.work, "after-first-restore")
        shutil.copytree(self.game, after_first, symlinks=True)
        downloads = self.downloads()

        # The second window on the same folder.
        env = self.zav_env(self.other_log)
        logf = open(os.path.join(self.out, "zav-second.log"), "wb")
        self.other = subprocess.Popen([self.args.zav], env=env, cwd=self.work, stdout=logf,
                                      stderr=subprocess.STDOUT, start_new_session=True)
        known = set(self.display.visible_windows())

        def new_window(size):
            for w, g in self.display.visible_windows().items():
                if g[2:] == size and w not in known:
                    return w
            return None
        login = wait_until(lambda: new_window(LOGIN_SIZE), 120, "the second login window")
        time.sleep(0.5)
        self.display.focus(login)
        self.display.type_text(MEMBER_ID)
        self.display.key("Tab")
        self.display.type_text(MEMBER_PW)
        self.display.key("Return")
        second = wait_until(lambda: new_window(MAIN_SIZE), 120, "the second main window")
        self.foreign |= {login, second}
        time.sleep(1)

        def second_box(n, what):
            return wait_until(lambda: self.other_boxes()[n] if len(self.other_boxes()) > n
                              else None, 60, what)

        def answer_second(key="Return"):
            wid = wait_until(lambda: sorted(set(self.display.visible_windows()) - known -
                                            {second, login} - first_boxes) or None, 30,
                             "the second window's box")[-1]
            self.foreign.add(wid)
            self.display.focus(wid)
            self.display.key(key)
            wait_until(lambda: wid not in self.display.visible_windows() or None, 30,
                       "the second window's box to close")

        n = 0
        for button, name, ask in ((BTN_RESTORE, "restore", TXT_RESTORE_ASK),
                                  (BTN_INITIALIZE, "initialize", TXT_INIT_ASK)):
            self.display.click(second, button)
            entry = second_box(n, f"the second window's {name} question")
            if entry != {"kind": "confirm", "text": ask}:
                raise StepFailed(f"the second window's {name} showed {entry}")
            answer_second("Return")
            entry = second_box(n + 1, f"the second window's {name} refusal")
            if entry != {"kind": "message", "text": TXT_IN_USE}:
                raise StepFailed(f"the second window's {name} showed {entry}, not the refusal")
            self.screenshot(f"second-{name}-refused")
            answer_second("Return")
            n += 2
        problems = compare_trees(self.game, after_first, "game folder while two windows")
        if self.downloads() != downloads:
            problems.append("the second window downloaded archives")
        if problems:
            raise StepFailed("with the first window's restore holding the folder:\n  " +
                             "\n  ".join(problems))

        # The first window finishes; the second may work now.
        queries = self.account_queries()
        self.answer_box("first-restore-done")
        self.wait_transfer_end(queries)
        self.display.click(second, BTN_RESTORE)
        second_box(n, "the second window's restore question")
        answer_second("Return")
        entry = second_box(n + 1, "the second window's done box")
        if not entry.get("text", "").startswith(TXT_RESTORE_DONE):
            raise StepFailed(f"the second window's restore showed {entry}")
        answer_second("Return")
        time.sleep(1)
        self.other.terminate()
        self.other.wait(30)
        self.other = None
        self.foreign.clear()  # the X server gives its window ids to the next programs
        logf.close()
        problems = compare_trees(self.game, self.saved, "game folder after both restores",
                                 skip_top={"Ralum"})
        if problems:
            raise StepFailed("after the second window's restore:\n  " + "\n  ".join(problems))

    def step_crash(self):
        shim = os.environ.get("ZAV_CRASH_SHIM", "")
        if not os.path.isfile(shim):
            raise StepFailed(f"the crash library is not built: {shim}")
        game = self.game
        cases = [(game + "Interface", "after", False),       # one category swapped
                 (game + "Ralum/Recent/WTF", "after", True),  # WTF moved out, new one not in
                 (game + "WTF", "after", False)]              # every swap made, not settled
        for target, when, game_starts in cases:
            name = os.path.relpath(target, game).replace("/", "-")
            with open(os.path.join(game, "WTF", f"before-crash-{name}.txt"), "w") as f:
                f.write("the member's own change before the restore\n")
            before = os.path.join(self.work, f"before-crash-{name}")
            copy_game(game, before)
            self.close_zav()
            self.restart({"LD_PRELOAD": shim, "ZAV_CRASH_AT_RENAME": target,
                          "ZAV_CRASH_WHEN": when,
                          "ASAN_OPTIONS": "verify_asan_link_order=0:" +
                                          os.environ.get("ASAN_OPTIONS", "")})
            self.display.click(self.main_wid, BTN_RESTORE)
            self.expect_box("confirm", TXT_RESTORE_ASK, 30, f"crash-{name}-confirm")
            try:
                status = self.zav.wait(self.args.transfer_timeout)
            except subprocess.TimeoutExpired:
                raise StepFailed(f"zav was not killed at the rename to {target}")
            if status != -signal.SIGKILL:
                raise StepFailed(f"zav ended with {status}, not killed at the rename to {target}")
            log(f"zav killed {when} the rename to {target}")
            fresh = game_starts and not os.path.exists(os.path.join(game, "WTF"))
            if game_starts and not fresh:
                raise StepFailed("WTF stands after the program was killed with it in Recent")
            if fresh:
                os.makedirs(os.path.join(game, "WTF"))
                with open(os.path.join(game, "WTF", "Config.wtf"), "w") as f:
                    f.write('SET locale "koKR"\nSET fresh "the game made this"\n')
                log("the game made a new WTF")

            self.seen = len(self.messages())
            self.restart(wait_main=False)
            # Told as the main window opens, before it shows.
            entry = self.next_box(60, "the message on the interrupted restore")
            text = entry.get("text", "")
            if not text.startswith(TXT_RESUMED) or (fresh and TXT_KEPT not in text):
                raise StepFailed(f"after the kill at {target} the program showed {entry}")
            self.answer_box(f"crash-{name}-resumed")
            self.wait_main_window()
            problems = compare_trees(game, self.saved, "game folder after the restart",
                                     skip_top={"Ralum"})
            for folder, copy in (("WTF", "WTF"), ("Interface", "Interface")):
                problems += compare_trees(os.path.join(game, "Ralum", "Recent", copy),
                                          os.path.join(before, folder), f"Ralum/Recent/{copy}")
            if fresh:
                kept = [line for line in text.split("\n") if "Kept" in line]
                if not kept or not os.path.isfile(os.path.join(kept[0], "Config.wtf")):
                    problems.append(f"the game's new WTF is not where the message says: {text!r}")
                else:
                    with open(os.path.join(kept[0], "Config.wtf")) as f:
                        if "the game made this" not in f.read():
                            problems.append(f"{kept[0]} is not the game's new WTF")
            if os.path.exists(os.path.join(game, "Ralum", "zav-apply.journal")):
                problems.append("the journal is still there")
            if problems:
                raise StepFailed(f"after the kill at {target}:\n  " + "\n  ".join(problems))

    def step_reinitialize(self):
        before = os.path.join(self.work, "before-reinitialize")
        shutil.copytree(self.game, before, symlinks=True)
        for n in (1, 2):
            self.display.click(self.main_wid, BTN_INITIALIZE)
            self.expect_box("confirm", TXT_INIT_ASK, 30, f"reinitialize-{n}-confirm")
            self.expect_box("message", TXT_INIT_DONE, 120, f"reinitialize-{n}-done", prefix=True)
            self.no_new_messages()
            if n == 1:  # the game makes default settings
                os.makedirs(os.path.join(self.game, "WTF"))
                with open(os.path.join(self.game, "WTF", "Config.wtf"), "w") as f:
                    f.write('SET locale "koKR"\n')
        copies = reset_copies(self.game)
        problems = [] if len(copies) == 2 else [f"expected two copies, found {copies}"]
        if copies:
            for name in ("Fonts", "Interface", "WTF"):
                problems += compare_trees(os.path.join(copies[0], name),
                                          os.path.join(before, name), f"first copy's {name}")
        if len(copies) == 2:
            second = os.path.join(copies[1], "WTF")
            if sorted(os.listdir(second)) != ["Config.wtf"]:
                problems.append(f"the second copy's WTF holds {os.listdir(second)}")
        if problems:
            raise StepFailed("after two initializes:\n  " + "\n  ".join(problems))


if __name__ == "__main__":
    sys.exit(main({"safety": SafetySession}, __doc__))
