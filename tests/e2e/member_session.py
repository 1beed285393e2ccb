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
The texts of the boxes are read from the program's source. Python 3 standard library only;
needs Xvfb, xdotool and ImageMagick's import.
"""
import os
import shutil
import sys
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
from e2e_harness import StepFailed, compare_trees, copy_game, initialize_problems
from e2e_session import (BTN_BACKUP, BTN_INITIALIZE, BTN_REMOVE_ALL, CATEGORIES, CHK_BACKUP_FONT,
                         CHK_RESTORE_CACHE, CHK_RESTORE_FONT, MEMBER_ID, TXT_BACKUP_ASK,
                         TXT_INIT_ASK, TXT_INIT_DONE, Session, main, program_text)

TXT_REMOVE_ASK = program_text("restore/restore_messages.h", "kAskRemoveAll")
TXT_REMOVE_DONE = program_text("restore/restore_messages.h", "kMsgRemoved")


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


class MemberSession(Session):
    steps = ["login", "backup", "restore", "initialize", "removeall"]
    needs = {"backup": "login", "restore": "backup", "initialize": "login",
             "removeall": "login"}

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
        self.backup_all()
        self.screenshot("after-backup")
        self.window_shot(self.main_wid, "window-main.png")

    def restore_round(self, name, before):
        """Clicks restore, confirms, waits for the end; before: copy of the game folder."""
        copy_game(self.game, before)
        self.screenshot(f"before-{name}")
        self.restore(name)
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
        # The folders wait in a dated folder under Ralum/Reset, where the member can take them
        # back.
        problems = initialize_problems(self.game, keep)
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


if __name__ == "__main__":
    sys.exit(main({"member": MemberSession}, __doc__))
