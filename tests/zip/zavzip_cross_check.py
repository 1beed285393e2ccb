#!/usr/bin/env python3
"""zavzip.exe under Wine against the Linux zavzip, on the same files:

    zavzip_cross_check.py LINUX_ZAVZIP WINE_RUN WINE_PREFIX ZAVZIP_EXE

Korean file and folder names through pack and extract in both directions, the listing byte for
byte, and the refusals (zip-slip, a damaged archive, a missing one, bad usage) with the same
exit codes and messages; names Windows cannot hold are refused by zavzip.exe alone, before it
writes anything. Exits non-zero with the differences when they disagree.
"""

import filecmp
import os
import subprocess
import sys
import tempfile
import zipfile

TREE = {
    "WTF/Config.wtf": b'SET locale "koKR"\n',
    "WTF/Account/\ud55c\uae00\uacc4\uc815/\ub9e4\ud06c\ub85c.txt": b"/dance\n" * 50,
    "WTF/empty.txt": b"",
    "Interface/AddOns/\uce90\ub9ad\ud130/\uc124\uc815.lua": b"local x = 1\n" * 4000,
    "Interface/AddOns/\uce90\ub9ad\ud130/random.bin": os.urandom(70000),
}


def run(command, cwd):
    done = subprocess.run(command, cwd=cwd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE,
                          timeout=120)
    return done.returncode, done.stdout, done.stderr


def same_tree(a, b):
    compared = filecmp.dircmp(a, b)
    if compared.left_only or compared.right_only or compared.diff_files or compared.funny_files:
        return False
    return all(same_tree(os.path.join(a, d), os.path.join(b, d)) for d in compared.common_dirs)


def compressed(path):
    """{entry name: its stored (compressed) bytes} of an archive."""
    data = {}
    with zipfile.ZipFile(path) as archive, open(path, "rb") as raw:
        for info in archive.infolist():
            raw.seek(info.header_offset)
            header = raw.read(30)
            raw.seek(int.from_bytes(header[26:28], "little") +
                     int.from_bytes(header[28:30], "little"), os.SEEK_CUR)
            name = info.filename
            if not info.flag_bits & 0x800:  # CP949, read by zipfile as CP437
                name = name.encode("cp437").decode("cp949")
            data[name] = raw.read(info.compress_size)
    return data


def main(argv):
    linux, wine_run, prefix, exe = argv[1:5]
    windows = [wine_run, prefix, exe]
    failures = []

    def check(ok, what):
        if not ok:
            failures.append(what)

    with tempfile.TemporaryDirectory(prefix="zavzip-cross-") as work:
        for name, data in TREE.items():
            path = os.path.join(work, "src", name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as out:
                out.write(data)

        # Packed on Linux: the same listing, the same files out of zavzip.exe.
        check(run([linux, "pack", "linux.zip", "src"], work)[0] == 0, "Linux pack")
        linux_list = run([linux, "list", "linux.zip"], work)
        windows_list = run(windows + ["list", "linux.zip"], work)
        check(windows_list == linux_list, "listing of the Linux archive: %r != %r"
              % (windows_list, linux_list))
        check(run(windows + ["extract", "linux.zip", "out-w"], work)[0] == 0, "Windows extract")
        check(same_tree(os.path.join(work, "src"), os.path.join(work, "out-w", "src")),
              "files extracted by zavzip.exe")

        # Packed by zavzip.exe (Korean names on its command line too): the same files out of
        # the Linux zavzip, the same names, CRCs, sizes and compressed bytes (both builds
        # compress with the same libdeflate and zlib).
        os.rename(os.path.join(work, "src", "Interface"), os.path.join(work, "\uc778\ud130\ud398\uc774\uc2a4"))
        check(run(windows + ["pack", "windows.zip", "src", "\uc778\ud130\ud398\uc774\uc2a4"], work)[0] == 0,
              "Windows pack")
        os.rename(os.path.join(work, "\uc778\ud130\ud398\uc774\uc2a4"), os.path.join(work, "src", "Interface"))
        code, listing, _ = run([linux, "list", "windows.zip"], work)
        check(code == 0, "Linux list of the Windows archive")

        def entries(text):
            fields = [line.split(b"\t") for line in text.splitlines()]
            return sorted((f[7], f[1], f[2], f[3], f[4], f[5], f[6]) for f in fields)
        expected = entries(linux_list[1].replace(b"src/Interface", "\uc778\ud130\ud398\uc774\uc2a4".encode()))
        check(entries(listing) == expected, "entries of the Windows archive: %r != %r"
              % (entries(listing), expected))
        windows_data = compressed(os.path.join(work, "windows.zip"))
        linux_data = compressed(os.path.join(work, "linux.zip"))
        for name, data in sorted(linux_data.items()):
            name = name.replace("src/Interface", "\uc778\ud130\ud398\uc774\uc2a4")
            check(windows_data.get(name) == data, "compressed bytes of %s" % name)
        check(run([linux, "extract", "windows.zip", "out-l"], work)[0] == 0, "Linux extract")
        check(same_tree(os.path.join(work, "src", "WTF"), os.path.join(work, "out-l", "src", "WTF")),
              "WTF extracted by the Linux zavzip")
        check(same_tree(os.path.join(work, "src", "Interface"),
                        os.path.join(work, "out-l", "\uc778\ud130\ud398\uc774\uc2a4")),
              "Interface extracted by the Linux zavzip")

        # Refusals: the same exit code and message on both systems.
        with zipfile.ZipFile(os.path.join(work, "slip.zip"), "w") as slip:
            slip.writestr("ok.txt", "1")
            slip.writestr("../bad.txt", "2")
        with open(os.path.join(work, "junk.zip"), "wb") as junk:
            junk.write(b"j" * 100)
        for args in (["extract", "slip.zip", "slip-out"], ["list", "junk.zip"],
                     ["list", "missing.zip"], ["bogus", "x", "y"], ["pack", "-j", "0", "z.zip", "src"]):
            linux_result = run([linux] + args, work)
            windows_result = run(windows + args, work)
            check(windows_result[0] == linux_result[0], "exit code of %s: %d != %d"
                  % (" ".join(args), windows_result[0], linux_result[0]))
            if args[1] != "missing.zip":  # the system's own words for a missing file differ
                check(windows_result[2] == linux_result[2], "message of %s: %r != %r"
                      % (" ".join(args), windows_result[2], linux_result[2]))
        check(not os.path.exists(os.path.join(work, "bad.txt")), "zip-slip wrote outside")

        # Names Windows cannot hold: zavzip.exe refuses the archive before writing anything,
        # the Linux zavzip extracts it.
        for index, name in enumerate(["CON.txt", "sub/aux", "dots...", "space ", "sub/a:b", "q?",
                                      "ctl\x01", "LPT9.log/x"]):
            archive = "winname%d.zip" % index
            with zipfile.ZipFile(os.path.join(work, archive), "w") as names:
                names.writestr("ok.txt", "1")
                names.writestr(name, "2")
            out = "winname-out%d" % index
            windows_result = run(windows + ["extract", archive, out], work)
            check(windows_result[0] == 1 and windows_result[2] == b"stopped at entry 1\n",
                  "zavzip.exe on the name %r: %r" % (name, windows_result))
            check(not os.path.exists(os.path.join(work, out)),
                  "zavzip.exe wrote %s before refusing %r" % (out, name))
            check(run([linux, "extract", archive, out + "-l"], work)[0] == 0,
                  "the Linux zavzip refused %r" % name)

    for failure in failures:
        print("zavzip.exe differs: " + failure, file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
