#!/usr/bin/env python3
"""The failure paths and the guards of the real zav in a real X window (Xvfb), in three
sessions of the frame in e2e_session.py (--session picks one):

  guard        login backup damaged restore wtfgone running initialize
  fulldisk     login backup fulldisk        (root: mounts a tmpfs for the game folder)
  lockedfonts  login lockedfonts            (root: chattr +i on the Fonts folder)

Every session records the game folder ".../World of Warcraft" in the registry file without its
final separator, and after every step checks that nothing appeared beside it (such as
"World of WarcraftRalum" or "World of WarcraftWTF"): everything must happen inside it.

Steps:
  login        as in member_session.py
  backup       check the font box and back up all four categories; the stored archives are kept
               for the comparisons that follow
  damaged      cut the account's SavedVariables/WeakAuras.lua off inside a table and back up:
               a Yes/No question names the file; No uploads nothing and the stored archives stay
               byte-identical
  restore      change WTF and restore: the game folder as backed up, Ralum/Recent/WTF the WTF
               the restore replaced
  wtfgone      delete WTF and restore: WTF comes back and the Recent copy of WTF made by the
               restore before survives
  running      a process named Wow.exe (a copy of sleep) runs with the game folder as its working
               folder: restore and initialize refuse with the running message, the game folder
               stays as it is and nothing is downloaded; once the process has ended, restore
               works
  initialize   initialize: every file that was in WTF is found under Ralum/Reset/<time>/WTF
  fulldisk     fill the game folder's tmpfs so that the archives cannot be written whole and
               back up: a failure message, never the upload text, no upload, the stored archives
               byte-identical, Ralum/Temp empty
  lockedfonts  make Fonts immutable and initialize: the message starts with the failure text
               and names Fonts, never the plain success text; Fonts stays as it was, Interface
               and WTF go to Ralum/Reset/<time>

A session that needs a privilege it does not have prints SKIPPED with the reason and exits
with status 77. The texts of the boxes are read from the program's source.
"""
import os
import re
import shutil
import subprocess
import sys

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
from e2e_harness import (StepFailed, StepSkipped, compare_trees, copy_game, log, reset_copies,
                         source_text, stop_process)
from e2e_session import (BTN_BACKUP, BTN_INITIALIZE, BTN_RESTORE, CATEGORIES, CHK_BACKUP_FONT,
                         MEMBER_ID, SOURCE_DIR, TXT_BACKUP_ASK, TXT_BACKUP_DONE, TXT_INIT_ASK,
                         TXT_INIT_DONE, Session, main, program_text)

TXT_GAME_RUNNING = program_text("app/app_messages.h", "kMsgGameRunning")
TXT_INIT_FAILED = program_text("restore/restore_messages.h", "kMsgInitializeFailed")
TXT_DAMAGED = program_text("app/app_messages.h", "kMsgDamagedHead")
# The boxes of a packing step that fails; the backup's own failure box follows them.
TXT_PACK_STEPS = [program_text("backup/backup_messages.h", name) for name in
                  ("kMsgCreateArchiveFailed", "kMsgAddFileFailed", "kMsgCloseArchiveFailed")]

UPLOAD_PATH = "/Kelpo/html/post.php"


class FailureSession(Session):
    game_name = "World of Warcraft"

    def __init__(self, args):
        super().__init__(args)
        self.beside = set()  # what the game folder's parent holds besides the game folder
        self.stored = {}  # archive name -> bytes the service holds after the backup step
        self.wow = None
        self.locked = None  # a folder this session made immutable

    def game_parent(self):
        return os.path.join(self.work, "games")

    def registry_value(self):
        return self.game.rstrip("/")

    def probe_folder(self):
        """Where a session tries whether folders can be made immutable."""
        return os.path.join(self.game_parent(), "immutable-probe")

    def release_leftovers(self):
        for folder in (os.path.join(self.game, "Fonts"), self.probe_folder()):
            if shutil.which("chattr") and os.path.isdir(folder):
                subprocess.run(["chattr", "-i", folder], capture_output=True)
        for point in mount_points_below(self.out):
            subprocess.run(["umount", point], capture_output=True)

    def prepare(self):
        os.makedirs(self.game_parent(), exist_ok=True)
        super().prepare()
        self.beside = set(os.listdir(self.game_parent())) - {self.game_name}

    def after_step(self, step):
        stray = set(os.listdir(self.game_parent())) - self.beside - {self.game_name}
        if stray:
            raise StepFailed(f"after step {step}, beside the game folder: {sorted(stray)} "
                             "(everything must happen inside it)")

    def shutdown(self):
        stop_process(self.wow, "Wow.exe")
        super().shutdown()
        if self.locked:
            subprocess.run(["chattr", "-i", self.locked], capture_output=True)
            self.locked = None

    # -- observation --

    def uploads(self):
        return self.service.request_count("POST", UPLOAD_PATH)

    def downloads(self):
        return sum(self.service.request_count("GET", f"/Kelpo/UserData/{MEMBER_ID}/{archive}")
                   for _, _, archive in CATEGORIES)

    def stored_problems(self):
        """The service's archives must be the ones the backup step stored, byte for byte."""
        problems = []
        for archive, kept in self.stored.items():
            status, body = self.service.fetch_archive(MEMBER_ID, archive)
            if status != 200 or body != kept:
                problems.append(f"{archive} on the service changed (status {status}, "
                                f"{len(body)} bytes, {len(kept)} before)")
        return problems

    def settle(self, name):
        """The backup button's question opens only once the window has finished the command
        before; No to it starts nothing. So the command is over, and nothing else came."""
        self.display.click(self.main_wid, BTN_BACKUP)
        self.expect_box("confirm", TXT_BACKUP_ASK, 60, f"{name}-settled", answer="n")
        self.no_new_messages()

    def initialize_moved(self, names, before):
        """Problems unless each folder of names left the game folder whole, for the dated copy
        under Ralum/Reset that this initialize made (the newest)."""
        problems = []
        copies = reset_copies(self.game)
        if not copies:
            return ["no copy under Ralum/Reset"]
        for name in names:
            if os.path.exists(os.path.join(self.game, name)):
                problems.append(f"{name} is still in the game folder")
            problems += compare_trees(os.path.join(copies[-1], name),
                                      os.path.join(before, name), f"Ralum/Reset/<time>/{name}")
        return problems

    # -- steps --

    def step_backup(self):
        self.display.click(self.main_wid, CHK_BACKUP_FONT)  # unchecked at the start
        self.stored = self.backup_all()

    def step_damaged(self):
        wtf = os.path.join(self.game, "WTF")
        accounts = os.path.join(wtf, "Account")
        account = os.path.join(accounts, sorted(os.listdir(accounts))[0])
        path = os.path.join(account, "SavedVariables", "WeakAuras.lua")
        with open(path, "rb") as f:
            text = f.read()
        # Cut after a line that opens a keyed table in the second half: inside that table.
        opened = re.compile(rb'\n\t+\["[^"\n]*"\] = \{\n').search(text, len(text) // 2)
        if not opened:
            raise StepFailed(f"{path}: no keyed table opens in the second half")
        with open(path, "wb") as f:
            f.write(text[:opened.end()])
        name = os.path.relpath(path, wtf)
        uploads = self.uploads()

        self.display.click(self.main_wid, BTN_BACKUP)
        self.expect_box("confirm", TXT_BACKUP_ASK, 30, "damaged-backup-confirm")
        entry = self.next_box(60, "the question about the damaged file")
        shown = entry.get("text", "")
        if entry.get("kind") != "confirm" or not shown.startswith(TXT_DAMAGED):
            raise StepFailed(f'expected the Yes/No question "{TXT_DAMAGED.strip()}...", the '
                             f"program showed {entry}")
        if name not in shown:
            raise StepFailed(f"the question does not name {name}: {shown!r}")
        log(f"confirm box names {name}")
        self.answer_box("damaged-question", answer="n")
        self.settle("damaged")
        problems = self.stored_problems() + self.temp_archives()
        if self.uploads() != uploads:
            problems.append(f"the service received {self.uploads() - uploads} upload(s)")
        if problems:
            raise StepFailed("after No to the damaged file:\n  " + "\n  ".join(problems))
        shutil.copy2(os.path.join(self.saved, "WTF", name), path)

    def step_restore(self):
        config = os.path.join(self.game, "WTF", "Config.wtf")
        os.chmod(config, 0o644)
        with open(config, "ab") as f:
            f.write(b'SET gxWindow "changed before the restore"\n')
        with open(os.path.join(self.game, "WTF", "added-before-restore.txt"), "wb") as f:
            f.write(b"only in the Recent copy after the restore\n")
        before = os.path.join(self.work, "before-restore")
        copy_game(self.game, before)
        self.restore("restore")
        problems = compare_trees(self.game, self.saved, "restored game folder",
                                 skip_top={"Ralum"})
        problems += compare_trees(os.path.join(self.game, "Ralum", "Recent", "WTF"),
                                  os.path.join(before, "WTF"), "Ralum/Recent/WTF")
        if problems:
            raise StepFailed("after the restore:\n  " + "\n  ".join(problems))

    def step_wtfgone(self):
        recent = os.path.join(self.game, "Ralum", "Recent", "WTF")
        kept = os.path.join(self.work, "recent-wtf")
        shutil.copytree(recent, kept, symlinks=True)
        shutil.rmtree(os.path.join(self.game, "WTF"))
        self.restore("wtfgone")
        problems = compare_trees(self.game, self.saved, "game folder restored without WTF",
                                 skip_top={"Ralum"})
        problems += compare_trees(recent, kept, "Ralum/Recent/WTF of the restore before")
        if problems:
            raise StepFailed("after the restore into a deleted WTF:\n  " + "\n  ".join(problems))

    def step_running(self):
        # Something for the restore to put back once it may.
        addons = os.path.join(self.game, "Interface", "AddOns")
        shutil.rmtree(os.path.join(addons, sorted(os.listdir(addons))[0]))
        client = os.path.join(self.work, "bin", "Wow.exe")
        os.makedirs(os.path.dirname(client))
        shutil.copy2(shutil.which("sleep"), client)
        self.wow = subprocess.Popen([client, "3600"], cwd=self.game)
        log(f"Wow.exe runs (pid {self.wow.pid}) in the game folder")
        before = os.path.join(self.work, "before-running")
        shutil.copytree(self.game, before, symlinks=True)
        downloads = self.downloads()
        for button, name in ((BTN_RESTORE, "restore"), (BTN_INITIALIZE, "initialize")):
            self.display.click(self.main_wid, button)
            self.expect_box("message", TXT_GAME_RUNNING, 30, f"running-{name}")
            problems = compare_trees(self.game, before, f"game folder after the refused {name}")
            if self.downloads() != downloads:
                problems.append(f"the refused {name} downloaded archives")
            if problems:
                raise StepFailed("while Wow.exe runs:\n  " + "\n  ".join(problems))
        stop_process(self.wow, "Wow.exe")
        log("Wow.exe ended")
        self.restore("after-running")
        problems = compare_trees(self.game, self.saved, "game folder restored after Wow.exe",
                                 skip_top={"Ralum"})
        if problems:
            raise StepFailed("after Wow.exe ended:\n  " + "\n  ".join(problems))

    def step_initialize(self):
        before = os.path.join(self.work, "before-initialize")
        shutil.copytree(self.game, before, symlinks=True)
        self.display.click(self.main_wid, BTN_INITIALIZE)
        self.expect_box("confirm", TXT_INIT_ASK, 30, "initialize-confirm")
        self.expect_box("message", TXT_INIT_DONE, 120, "initialize-done", prefix=True)
        self.no_new_messages()
        problems = self.initialize_moved(["Fonts", "Interface", "WTF"], before)
        if problems:
            raise StepFailed("after initialize:\n  " + "\n  ".join(problems))

    def step_fulldisk(self):
        parent = self.game_parent()
        # Room for the first archive and half of the second: the packing fails on the way.
        room = len(self.stored["__Interface.zip"]) + len(self.stored["__WTF.zip"]) // 2
        stat = os.statvfs(parent)
        free = stat.f_bavail * stat.f_frsize
        if free <= room:
            raise StepFailed(f"the tmpfs has {free} bytes free, {room} wanted")
        filler = os.path.join(parent, "filler")
        fd = os.open(filler, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
        try:
            os.posix_fallocate(fd, 0, free - room)
        finally:
            os.close(fd)
        self.beside.add("filler")
        stat = os.statvfs(parent)
        log(f"tmpfs: {stat.f_bavail * stat.f_frsize} bytes free for archives of "
            f"{sum(len(b) for b in self.stored.values())} bytes")
        uploads = self.uploads()

        self.display.click(self.main_wid, BTN_BACKUP)
        self.expect_box("confirm", TXT_BACKUP_ASK, 30, "fulldisk-confirm")
        shown = []
        while True:
            entry = self.next_box(self.args.transfer_timeout, "the backup's failure message")
            shown.append(entry)
            log(f"box: {entry}")
            if entry.get("kind") != "message" or entry.get("text") == TXT_BACKUP_DONE:
                raise StepFailed(f"the backup onto a full disk showed {entry}")
            self.answer_box(f"fulldisk-box{len(shown)}")
            if not any(entry["text"].startswith(t) for t in TXT_PACK_STEPS):
                break
        self.settle("fulldisk")
        problems = self.stored_problems() + self.temp_archives()
        if self.uploads() != uploads:
            problems.append(f"the service received {self.uploads() - uploads} upload(s)")
        os.remove(filler)
        self.beside.discard("filler")
        if problems:
            raise StepFailed("after the backup onto a full disk:\n  " + "\n  ".join(problems))

    def step_lockedfonts(self):
        before = os.path.join(self.work, "before-initialize")
        shutil.copytree(self.game, before, symlinks=True)
        fonts = os.path.join(self.game, "Fonts")
        chattr("+i", fonts)
        self.locked = fonts
        self.display.click(self.main_wid, BTN_INITIALIZE)
        self.expect_box("confirm", TXT_INIT_ASK, 30, "lockedfonts-confirm")
        entry = self.next_box(120, "the initialize's message")
        shown = entry.get("text", "")
        log(f"box: {entry}")
        self.answer_box("lockedfonts-message")
        self.no_new_messages()
        chattr("-i", fonts)
        self.locked = None
        problems = []
        lines = shown.split("\n")
        if entry.get("kind") != "message" or not shown.startswith(TXT_INIT_FAILED):
            problems.append(f'the message does not start with "{TXT_INIT_FAILED}": {entry}')
        if "Fonts" not in lines:
            problems.append(f"the message does not name Fonts: {shown!r}")
        problems += [f"the message names {name} as failed" for name in ("Interface", "WTF")
                     if name in lines]
        problems += compare_trees(fonts, os.path.join(before, "Fonts"), "Fonts (immutable)")
        problems += self.initialize_moved(["Interface", "WTF"], before)
        if problems:
            raise StepFailed("after initialize with an immutable Fonts:\n  " +
                             "\n  ".join(problems))


class GuardSession(FailureSession):
    steps = ["login", "backup", "damaged", "restore", "wtfgone", "running", "initialize"]
    needs = {"backup": "login", "damaged": "backup", "restore": "backup", "wtfgone": "restore",
             "running": "backup", "initialize": "login"}


class FullDiskSession(FailureSession):
    steps = ["login", "backup", "fulldisk"]
    needs = {"backup": "login", "fulldisk": "backup"}

    def game_parent(self):
        return os.path.join(self.work, "disk")

    def check_privileges(self):
        if os.geteuid() != 0:
            raise StepSkipped("mounting a tmpfs for the game folder needs root")
        parent = self.game_parent()
        os.makedirs(parent)
        # Room for the game folder and its archives; a tmpfs takes memory only for its files.
        size_mb = 64 + int(3 * 620 * float(self.args.scale))
        result = subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size_mb}m,mode=0755",
                                 "zav-e2e", parent], capture_output=True, text=True)
        if result.returncode != 0:
            raise StepSkipped(f"cannot mount a tmpfs: {result.stderr.strip()}")
        log(f"tmpfs of {size_mb} MB mounted on {parent}")

    def shutdown(self):
        super().shutdown()
        for point in mount_points_below(self.out):
            result = subprocess.run(["umount", point], capture_output=True, text=True)
            if result.returncode != 0:
                log(f"umount {point} failed: {result.stderr.strip()}")
                self.failed = True


class LockedFontsSession(FailureSession):
    steps = ["login", "lockedfonts"]
    needs = {"lockedfonts": "login"}

    def check_privileges(self):
        if os.geteuid() != 0:
            raise StepSkipped("chattr +i needs root")
        if shutil.which("chattr") is None:
            raise StepSkipped("chattr is not installed (Debian package e2fsprogs)")
        probe = self.probe_folder()
        os.makedirs(probe)
        result = subprocess.run(["chattr", "+i", probe], capture_output=True, text=True)
        if result.returncode != 0:
            raise StepSkipped(f"chattr +i is refused here: {result.stderr.strip()}")
        chattr("-i", probe)
        os.rmdir(probe)


def chattr(flags, path):
    result = subprocess.run(["chattr", flags, path], capture_output=True, text=True)
    if result.returncode != 0:
        raise StepFailed(f"chattr {flags} {path}: {result.stderr.strip()}")


def mount_points_below(root):
    """The mount points at or below root, deepest first."""
    root = os.path.realpath(root)
    points = []
    with open("/proc/self/mounts", encoding="utf-8", errors="replace") as f:
        for line in f:
            fields = line.split()
            # Blanks and backslashes in the mount point are written as octal escapes.
            point = re.sub(r"\\([0-7]{3})", lambda m: chr(int(m.group(1), 8)), fields[1])
            if point == root or point.startswith(root + "/"):
                points.append(point)
    return sorted(points, key=len, reverse=True)


if __name__ == "__main__":
    sys.exit(main({"guard": GuardSession, "fulldisk": FullDiskSession,
                   "lockedfonts": LockedFontsSession}, __doc__))
