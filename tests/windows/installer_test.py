#!/usr/bin/env python3
"""The installer under Wine, in a fresh prefix of its own:

    installer_test.py SETUP_EXE PROGRAM_EXE VERSION WORK_DIR

Installs silently (/S) into Program Files, then checks what is on disk and in the registry,
not exit codes (Wine can end with 0 after a program failed to start): zav.exe as built, the
uninstaller, the Start-menu shortcut and what it points at, the uninstall entry's values in
the 64-bit view. Then runs the entry's QuietUninstallString, waits for the uninstaller's copy
of itself to end, and checks that everything it installed is gone while a game folder with
its Ralum folder in the prefix is exactly as before. Once more with the game folder itself as
the installation folder (/D=), where the uninstaller must take its own two files and nothing
else, and leave the folder.

Exits 0 when everything holds; otherwise 1, each difference on its own line.
"""
import os
import sys

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
from wine_session import StepFailed, WinePrefix, changed_paths, log, snapshot  # noqa: E402

UNINSTALL_KEY = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\ZAV"
GAME = "C:\\Games\\World of Warcraft"
GAME_FILES = {
    "Wow.exe": b"MZ game client\n",
    "WTF/Config.wtf": 'SET locale "koKR"\n'.encode(),
    "Interface/AddOns/\uce90\ub9ad\ud130/\uc124\uc815.lua": b"local x = 1\n",
    "Ralum/Recent/WTF/Config.wtf": b'SET locale "koKR"\n',
    "Ralum/Original/WTF/Config.wtf": b'SET gxWindow "1"\n',
    "Ralum/Temp/__WTF.zip": b"PK\x05\x06" + bytes(18),
}


def shortcut_paths(path):
    """(target, working folder, icon) of a Windows shortcut (.lnk): the target from its link
    information's local path, the others from its Unicode strings."""
    with open(path, "rb") as f:
        data = f.read()

    def u16(at):
        return int.from_bytes(data[at:at + 2], "little")

    def u32(at):
        return int.from_bytes(data[at:at + 4], "little")

    if len(data) < 0x4C or u32(0) != 0x4C:
        raise StepFailed(f"{path} is not a shortcut")
    flags, at = u32(0x14), 0x4C
    if flags & 0x01:  # HasLinkTargetIDList
        at += 2 + u16(at)
    target = None
    if flags & 0x02:  # HasLinkInfo
        base = at + u32(at + 16)
        target = data[base:data.index(b"\0", base)].decode("cp949")
        at += u32(at)
    strings = []
    for bit in (0x04, 0x08, 0x10, 0x20, 0x40):  # name, relative path, folder, arguments, icon
        if flags & bit:
            count = u16(at)
            text = (data[at + 2:at + 2 + 2 * count].decode("utf-16-le") if flags & 0x80
                    else data[at + 2:at + 2 + count].decode("cp949"))
            strings.append(text.rstrip("\0"))  # Wine counts the terminating null too
            at += 2 + (2 * count if flags & 0x80 else count)
        else:
            strings.append(None)
    return target, strings[2], strings[4]


class InstallerTest:
    def __init__(self, setup, program, version, work):
        self.setup, self.program, self.version = setup, program, version
        self.prefix = WinePrefix(os.path.join(work, "prefix"))
        self.problems = []

    def check(self, ok, what):
        if not ok:
            self.problems.append(what)
        return ok

    def install(self, folder=None):
        if folder:
            # /D= must come last and unquoted, spaces and all; Wine would quote an argument
            # with spaces, so cmd starts the installer with the command line as written.
            args = ["cmd", "/c", f"{WinePrefix.windows_path(self.setup)} /S /D={folder}"]
        else:
            args = [self.setup, "/S"]
        self.prefix.run(args, timeout=300)
        self.prefix.wait_idle()

    def entry(self):
        return self.prefix.registry("system").get(UNINSTALL_KEY)

    def uninstall(self):
        entry = self.entry() or {}
        quiet = entry.get("QuietUninstallString", "")
        # "C:\...\zav-uninstall.exe" /S, as a system's list of programs runs it.
        if not self.check(quiet.startswith('"') and quiet.count('"') == 2,
                          f"QuietUninstallString {quiet!r}"):
            return
        exe, args = quiet[1:quiet.index('"', 1)], quiet[quiet.index('"', 1) + 1:].split()
        self.prefix.run([exe] + args, timeout=300)
        self.prefix.wait_idle()  # the uninstaller goes on in a copy of itself

    def check_installed(self, folder):
        """What one installation into folder (a Windows path) must have left."""
        exe = self.prefix.host_path(folder + "\\zav.exe")
        uninstaller = self.prefix.host_path(folder + "\\zav-uninstall.exe")
        with open(self.program, "rb") as f:
            built = f.read()
        if self.check(os.path.isfile(exe), f"{exe} is missing"):
            with open(exe, "rb") as f:
                self.check(f.read() == built, f"{exe} differs from the built program")
        self.check(os.path.isfile(uninstaller), f"{uninstaller} is missing")
        lnk = self.prefix.drive_c("ProgramData", "Microsoft", "Windows", "Start Menu",
                                  "Programs", "ZAV.lnk")
        if self.check(os.path.isfile(lnk), f"no Start-menu shortcut {lnk}"):
            target, workdir, icon = shortcut_paths(lnk)
            self.check(target == folder + "\\zav.exe", f"shortcut target {target!r}")
            self.check(workdir == folder, f"shortcut folder {workdir!r}")
            self.check(icon == folder + "\\zav.exe", f"shortcut icon {icon!r}")
        entry = self.entry()
        if not self.check(entry is not None, f"no uninstall entry {UNINSTALL_KEY}"):
            return
        size_kib = -(-(len(built) + (os.path.getsize(uninstaller) if os.path.isfile(uninstaller)
                                     else 0)) // 1024)
        expected = {
            "DisplayName": "ZAV",
            "DisplayVersion": self.version,
            "DisplayIcon": folder + "\\zav.exe,0",
            "InstallLocation": folder,
            "UninstallString": f'"{folder}\\zav-uninstall.exe"',
            "QuietUninstallString": f'"{folder}\\zav-uninstall.exe" /S',
            "NoModify": 1,
            "NoRepair": 1,
            "EstimatedSize": size_kib,
        }
        for name, value in expected.items():
            self.check(entry.get(name) == value,
                       f"uninstall entry {name}: {entry.get(name)!r}, expected {value!r}")
        wow = UNINSTALL_KEY.replace("Software\\", "Software\\Wow6432Node\\", 1)
        self.check(wow not in self.prefix.registry("system"),
                   "the uninstall entry is in the 32-bit view")

    def check_removed(self, folder, folder_goes):
        for name in ("zav.exe", "zav-uninstall.exe"):
            path = self.prefix.host_path(folder + "\\" + name)
            self.check(not os.path.exists(path), f"{path} is still there")
        host_folder = self.prefix.host_path(folder)
        if folder_goes:
            self.check(not os.path.exists(host_folder), f"{host_folder} is still there")
        lnk = self.prefix.drive_c("ProgramData", "Microsoft", "Windows", "Start Menu",
                                  "Programs", "ZAV.lnk")
        self.check(not os.path.exists(lnk), "the Start-menu shortcut is still there")
        self.check(self.entry() is None, "the uninstall entry is still there")

    def run(self):
        log("making a fresh prefix")
        self.prefix = WinePrefix.bare(self.prefix.prefix)
        game = self.prefix.host_path(GAME)
        for name, data in GAME_FILES.items():
            path = os.path.join(game, name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)
        game_before = snapshot(game)

        folder = "C:\\Program Files\\ZAV"
        log(f"silent install into {folder}")
        self.install()
        self.check_installed(folder)
        log("silent uninstall")
        self.uninstall()
        self.check_removed(folder, folder_goes=True)
        self.check_unchanged(game, game_before)

        # Into the game folder itself: the uninstaller's folder is the game's, full of files
        # that are not its own.
        log(f"silent install into {GAME}")
        self.install(GAME)
        self.check_installed(GAME)
        log("silent uninstall")
        self.uninstall()
        self.check_removed(GAME, folder_goes=False)
        self.check_unchanged(game, game_before)
        self.prefix.kill()

    def check_unchanged(self, root, before):
        after = snapshot(root)
        changed = changed_paths(before, after)
        self.check(not changed, f"the uninstaller changed the game folder: {changed[:10]}")


def main(argv):
    if len(argv) != 5:
        print(__doc__, file=sys.stderr)
        return 2
    test = InstallerTest(*argv[1:5])
    try:
        test.run()
    except StepFailed as error:
        test.problems.append(str(error))
    finally:
        test.prefix.kill()
    for problem in test.problems:
        print(f"installer: {problem}", file=sys.stderr)
    if not test.problems:
        log("installer: every check holds")
    return 1 if test.problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
