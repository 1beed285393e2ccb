#!/usr/bin/env python3
"""zavzip.exe under Wine against the Linux zavzip on the same game folder, with the Windows
build's archive layer before (zlib alone) and after libdeflate:

usage: bench_windows.py --linux ZAVZIP --zlib ZAVZIP_EXE --libdeflate ZAVZIP_EXE
                        --wine-run SCRIPT --prefix WINEPREFIX --corpus DIR [--runs 3]
                        [--work DIR] [--extract-root /dev/shm/zav-windows-bench]
                        [--out bench/results/windows.md]

For every run, in interleaved order (reversed every other run):
  pack:    the four category folders of the corpus into one archive, each build on its
           default thread count (one thread per core);
  extract: the Linux build's archive into an empty folder under --extract-root (tmpfs by
           default), each build; all three extract the same archive.
In the first run every archive is extracted by the Linux zavzip and compared file by file with
the corpus. Wall time by the clock around each command (a Windows program's includes Wine
starting it, measured on its own: zavzip.exe without arguments); CPU time from /usr/bin/time,
and the Wine server's, which that does not count, from /proc. The report gives medians and
ratios to the Linux zavzip (below 1 means faster than Linux) and the libdeflate build against
the zlib one.
"""
import argparse
import os
import platform
import shutil
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "zip"))
from bench_zip import CATEGORIES, measure, same_trees, tree_size  # noqa: E402

BUILDS = ["Linux", "Windows, zlib alone", "Windows, libdeflate"]


def server_cpu(prefix):
    """CPU seconds used so far by the Wine server of prefix (0 when none runs): every file a
    Windows program opens or creates goes through it."""
    total = 0.0
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                name = os.path.basename(f.read().split(b"\0")[0])
            if not name.startswith(b"wineserver"):
                continue
            with open(f"/proc/{pid}/environ", "rb") as f:
                if b"WINEPREFIX=" + prefix.encode() not in f.read().split(b"\0"):
                    continue
            with open(f"/proc/{pid}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            total += (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
        except (OSError, IndexError, ValueError):
            continue
    return total


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--linux", required=True)
    ap.add_argument("--zlib", required=True)
    ap.add_argument("--libdeflate", required=True)
    ap.add_argument("--wine-run", required=True)
    ap.add_argument("--prefix", required=True)
    ap.add_argument("--corpus", required=True)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--work", default="/tmp/zav-windows-bench-work")
    ap.add_argument("--extract-root", default="/dev/shm/zav-windows-bench")
    ap.add_argument("--out", default="bench/results/windows.md")
    ap.add_argument("--scale", default="?", help="the corpus's scale, for the report")
    a = ap.parse_args()
    corpus = os.path.abspath(a.corpus)
    work, xroot = os.path.abspath(a.work), os.path.abspath(a.extract_root)
    for d in (work, xroot):
        shutil.rmtree(d, ignore_errors=True)
        os.makedirs(d)
    wine = [os.path.abspath(a.wine_run), os.path.abspath(a.prefix)]
    command = {"Linux": [os.path.abspath(a.linux)],
               "Windows, zlib alone": wine + [os.path.abspath(a.zlib)],
               "Windows, libdeflate": wine + [os.path.abspath(a.libdeflate)]}
    archive = {b: os.path.join(work, f"pack{i}.zip") for i, b in enumerate(BUILDS)}
    subprocess.run(wine + ["--start-server"], check=True)
    load_start = open("/proc/loadavg").read().split()[:3]
    results = {}  # (case, build) -> [(wall, cpu, rss)]

    prefix = os.path.abspath(a.prefix)

    def rec(case, build, m):
        results.setdefault((case, build), []).append(m)

    def timed(case, build, cmd, cwd):
        before = server_cpu(prefix)
        wall, cpu, rss = measure(cmd, cwd)
        rec(case, build, (wall, cpu, rss, server_cpu(prefix) - before))

    try:
        for run in range(a.runs):
            order = list(BUILDS) if run % 2 == 0 else list(reversed(BUILDS))
            for build in order:
                # Wine starting a console program that only prints its usage (exit code 2).
                start = time.perf_counter()
                subprocess.run(command[build], stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
                rec("start", build, (time.perf_counter() - start, 0.0, 0.0))
            for build in order:
                if os.path.exists(archive[build]):
                    os.remove(archive[build])
                timed("pack", build, command[build] + ["pack", archive[build]] + CATEGORIES,
                      corpus)
            if run == 0:
                for build in BUILDS:
                    check = os.path.join(xroot, "check")
                    shutil.rmtree(check, ignore_errors=True)
                    subprocess.run(command["Linux"] + ["extract", archive[build], check],
                                   check=True, stdout=subprocess.DEVNULL)
                    for folder in CATEGORIES:
                        if not same_trees(os.path.join(corpus, folder),
                                          os.path.join(check, folder)):
                            sys.exit(f"the archive of {build} differs from {folder}")
                    shutil.rmtree(check)
            for build in order:
                dest = os.path.join(xroot, f"x{BUILDS.index(build)}")
                shutil.rmtree(dest, ignore_errors=True)
                subprocess.run(["sync"])
                timed("extract", build, command[build] + ["extract", archive["Linux"], dest],
                      work)
                shutil.rmtree(dest)
            print(f"run {run + 1}/{a.runs} done", file=sys.stderr)
        sizes = {b: os.path.getsize(archive[b]) for b in BUILDS}
    finally:
        subprocess.run(wine + ["--stop-server"])
        shutil.rmtree(xroot, ignore_errors=True)
    load_end = open("/proc/loadavg").read().split()[:3]

    def med(case, build, i=0):
        return statistics.median(m[i] for m in results[(case, build)])

    size, files = tree_size(corpus, CATEGORIES)
    cpu = subprocess.run(["sh", "-c", "grep -m1 'model name' /proc/cpuinfo | cut -d: -f2"],
                         capture_output=True, text=True).stdout.strip()
    wine_version = subprocess.run(wine + ["--version"], capture_output=True,
                                  text=True).stdout.strip()
    lines = ["# Windows: zavzip.exe under Wine against the Linux zavzip", "",
             f"Machine: {cpu}, {os.cpu_count()} cores, {platform.system()} "
             f"{platform.release()}, {wine_version}; load average {' '.join(load_start)} at "
             f"the start, {' '.join(load_end)} at the end.",
             f"Date: {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}. Runs per case: "
             f"{a.runs}, interleaved; medians. Corpus: the four category folders of "
             f"`bench/make_game_folder.py` at scale {a.scale}, {size / 1e6:.0f} MB in {files} "
             "files, packed into one archive (level 6, one thread per core); extraction of "
             f"the Linux build's archive into {xroot} (tmpfs). Release builds.", "",
             "Reproduce: `bench/windows/run.sh [SCALE]` (default 0.25; `RUNS=N` for another "
             "number of runs): it builds the Linux zavzip (build/release) and zavzip.exe "
             "twice, with ZAV_WITH_LIBDEFLATE off and on (build/bench-windows-zlib, "
             "build/bench-windows), makes the corpus and runs "
             "this script.", "",
             f"Archive sizes: Linux {sizes['Linux'] / 1e6:.1f} MB, Windows with zlib alone "
             f"{sizes['Windows, zlib alone'] / 1e6:.1f} MB, Windows with libdeflate "
             f"{sizes['Windows, libdeflate'] / 1e6:.1f} MB; every archive extracted to the "
             "corpus's files byte for byte.", "",
             "| case | build | wall s | CPU s | Wine server CPU s | peak RSS MiB | wall / Linux "
             "| CPU / Linux |",
             "|---|---|---|---|---|---|---|---|"]
    for case in ("pack", "extract"):
        for build in BUILDS:
            w, c, r = med(case, build), med(case, build, 1), med(case, build, 2)
            server = f"{med(case, build, 3):.2f}" if build != "Linux" else "-"
            wr = f"{w / med(case, 'Linux'):.2f}x" if build != "Linux" else "1 (base)"
            cr = f"{c / med(case, 'Linux', 1):.2f}x" if build != "Linux" else "1 (base)"
            lines.append(f"| {case} | {build} | {w:.2f} | {c:.2f} | {server} | {r:.1f} | {wr} "
                         f"| {cr} |")
    starts = ", ".join(f"{b} {med('start', b):.2f} s" for b in BUILDS)
    lines += ["", f"Start of a program that only prints its usage: {starts} (the Windows "
              "figures are Wine's own start; the pack and extract times above include it).", ""]
    for case in ("pack", "extract"):
        before, after = med(case, "Windows, zlib alone"), med(case, "Windows, libdeflate")
        lines.append(f"- {case}: libdeflate takes {after / before:.2f}x the time of zlib alone "
                     f"on Windows ({before:.2f} s -> {after:.2f} s); against Linux "
                     f"{before / med(case, 'Linux'):.2f}x before, "
                     f"{after / med(case, 'Linux'):.2f}x after.")
    os.makedirs(os.path.dirname(os.path.abspath(a.out)), exist_ok=True)
    with open(a.out, "w") as f:
        f.write("\n".join(lines) + "\n")
    print("\n".join(lines))


if __name__ == "__main__":
    main()
