#!/usr/bin/env python3
"""Pack and extract timings of zavzip against Info-ZIP zip/unzip on the same trees.

usage: bench_zip.py --zavzip PATH --corpus DIR [--folders Interface WTF all] [--runs 5]
                    [--threads 1 2] [--work /tmp/zip-bench-work]
                    [--extract-root /dev/shm/zip-bench] [--out bench/results/zip.md]

CORPUS is a game folder made by bench/make_game_folder.py; "all" stands for its four category
folders in one archive. For every folder and run, in interleaved order (reversed every other
run):
  pack:    zip -r -q -6 A FOLDER | zavzip pack -j N A FOLDER for each N of --threads |
           zavzip pack A FOLDER (the default: one thread per core); every zavzip archive must
           be byte-identical to the default one;
  extract: unzip -q -o A -d D | zavzip extract -j 1 A D | zavzip extract A D, all of the
           default archive, first into an empty folder under --extract-root (tmpfs by default),
           then again over the tree just extracted.
In the first run the default archive is also checked by `unzip -t`, Python's zipfile and
zavzip's own extraction, compared file by file with the source.
Wall time by the clock around each command; CPU time and peak RSS from /usr/bin/time. The
report gives medians and the ratios zavzip / Info-ZIP (below 1 means zavzip is faster).
"""
import argparse
import filecmp
import os
import platform
import shutil
import statistics
import subprocess
import sys
import time

CATEGORIES = ["Interface", "WTF", "Fonts", "Cache/WDB/koKR"]


def measure(cmd, cwd):
    stats = "/tmp/zip-bench-time.txt"
    start = time.perf_counter()
    subprocess.run(["/usr/bin/time", "-f", "%U %S %M", "-o", stats] + cmd, cwd=cwd,
                   check=True, stdout=subprocess.DEVNULL)
    wall = time.perf_counter() - start
    user, sys_, rss = open(stats).read().split()[-3:]
    return wall, float(user) + float(sys_), int(rss) / 1024.0


def tree_size(root, folders):
    total, files = 0, 0
    for folder in folders:
        for base, _, names in os.walk(os.path.join(root, folder)):
            for n in names:
                total += os.path.getsize(os.path.join(base, n))
                files += 1
    return total, files


def same_trees(a, b):
    cmp = filecmp.dircmp(a, b)
    if cmp.left_only or cmp.right_only or cmp.funny_files:
        return False
    _, mismatch, errors = filecmp.cmpfiles(a, b, cmp.common_files, shallow=False)
    if mismatch or errors:
        return False
    return all(same_trees(os.path.join(a, d), os.path.join(b, d)) for d in cmp.common_dirs)


def check_archive(archive, zavzip, corpus, folders, scratch):
    subprocess.run(["unzip", "-tqq", archive], check=True)
    subprocess.run([sys.executable, "-c", "import sys, zipfile; "
                    "sys.exit(zipfile.ZipFile(sys.argv[1]).testzip() is not None)", archive],
                   check=True)
    shutil.rmtree(scratch, ignore_errors=True)
    subprocess.run([zavzip, "extract", archive, scratch], check=True)
    for folder in folders:
        if not same_trees(os.path.join(corpus, folder), os.path.join(scratch, folder)):
            sys.exit(f"zavzip's extraction of {archive} differs from {folder}")
    shutil.rmtree(scratch)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--zavzip", required=True)
    ap.add_argument("--corpus", required=True)
    ap.add_argument("--folders", nargs="+", default=["Interface", "WTF", "all"])
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--threads", nargs="+", type=int, default=[1, 2])
    ap.add_argument("--work", default="/tmp/zip-bench-work")
    ap.add_argument("--extract-root", default="/dev/shm/zip-bench")
    ap.add_argument("--out", default="bench/results/zip.md")
    a = ap.parse_args()
    zavzip = os.path.abspath(a.zavzip)
    corpus = os.path.abspath(a.corpus)
    work, xroot = a.work, a.extract_root
    for d in (work, xroot):
        shutil.rmtree(d, ignore_errors=True)
        os.makedirs(d)
    load_start = open("/proc/loadavg").read().split()[:3]
    results = {}  # (folder, case) -> list of (wall, cpu, rss)

    def rec(folder, case, m):
        results.setdefault((folder, case), []).append(m)

    pack_cases = [f"zavzip pack -j {n}" for n in a.threads] + ["zavzip pack"]
    for folder in a.folders:
        folders = CATEGORIES if folder == "all" else [folder]
        for run in range(a.runs):
            iz = os.path.join(work, "iz.zip")
            zz = {case: os.path.join(work, f"zz{i}.zip") for i, case in enumerate(pack_cases)}
            for f in [iz] + list(zz.values()):
                if os.path.exists(f):
                    os.remove(f)
            order = [("zip -6", ["zip", "-r", "-q", "-6", iz] + folders)]
            for case in pack_cases:
                option = case.split()[2:]
                order.append((case, [zavzip, "pack"] + option + [zz[case]] + folders))
            if run % 2:
                order.reverse()
            for case, cmd in order:
                rec(folder, case, measure(cmd, corpus))
            default = zz["zavzip pack"]
            for case in pack_cases:
                if open(zz[case], "rb").read() != open(default, "rb").read():
                    sys.exit(f"{case} wrote another archive than the default thread count")
            if run == 0:
                check_archive(default, zavzip, corpus, folders, os.path.join(xroot, "check"))
            for phase in ("empty", "existing"):
                cases = [("unzip", ["unzip", "-q", "-o", default, "-d",
                                    os.path.join(xroot, "u")]),
                         ("zavzip extract -j 1", [zavzip, "extract", "-j", "1", default,
                                                  os.path.join(xroot, "z1")]),
                         ("zavzip extract", [zavzip, "extract", default,
                                             os.path.join(xroot, "z")])]
                if run % 2:
                    cases.reverse()
                for case, cmd in cases:
                    if phase == "empty":
                        shutil.rmtree(cmd[-1], ignore_errors=True)
                    subprocess.run(["sync"])
                    rec(folder, f"{case} ({phase})", measure(cmd, work))
            sizes = {"zip -6": os.path.getsize(iz), "zavzip": os.path.getsize(default)}
            results.setdefault((folder, "sizes"), sizes)
            print(f"{folder} run {run + 1}/{a.runs} done", file=sys.stderr)
        for d in ("u", "z1", "z"):
            shutil.rmtree(os.path.join(xroot, d), ignore_errors=True)

    def med(folder, case, i):
        return statistics.median(m[i] for m in results[(folder, case)])

    cpu = subprocess.run(["sh", "-c", "grep -m1 'model name' /proc/cpuinfo | cut -d: -f2"],
                         capture_output=True, text=True).stdout.strip()
    load_end = open("/proc/loadavg").read().split()[:3]
    fs = subprocess.run(["stat", "-f", "-c", "%T", xroot], capture_output=True,
                        text=True).stdout.strip()
    lines = ["# Archive layer: zavzip against Info-ZIP zip/unzip", "",
             f"Machine: {cpu}, {os.cpu_count()} cores, {platform.system()} "
             f"{platform.release()}; load average {' '.join(load_start)} at the start, "
             f"{' '.join(load_end)} at the end (the machine is shared with other jobs).",
             f"Date: {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}. "
             f"Runs per case: {a.runs}, interleaved; medians. Extraction into {xroot} "
             f"({fs}).", "",
             "Reproduce: `cmake --preset release && cmake --build --preset release --target "
             "zavzip`, `python3 bench/make_game_folder.py /tmp/corpus 1`, then `python3 "
             "bench/zip/bench_zip.py --zavzip build/release/tools/zavzip/zavzip --corpus "
             "/tmp/corpus`.", ""]
    for folder in a.folders:
        folders = CATEGORIES if folder == "all" else [folder]
        size, files = tree_size(corpus, folders)
        s = results[(folder, "sizes")]
        title = "All four folders in one archive" if folder == "all" else folder
        lines += [f"## {title}: {size / 1e6:.0f} MB in {files} files", "",
                  f"Archive size: zip -6 {s['zip -6'] / 1e6:.1f} MB, zavzip "
                  f"{s['zavzip'] / 1e6:.1f} MB; the zavzip archives of every thread count "
                  "were byte-identical in every run.", "",
                  "| case | wall s | CPU s | peak RSS MiB | wall ratio | CPU ratio |",
                  "|---|---|---|---|---|---|"]
        pairs = [("zip -6", None)] + [(c, "zip -6") for c in pack_cases]
        for phase in ("empty", "existing"):
            pairs += [(f"unzip ({phase})", None),
                      (f"zavzip extract -j 1 ({phase})", f"unzip ({phase})"),
                      (f"zavzip extract ({phase})", f"unzip ({phase})")]
        for case, base in pairs:
            w, c, r = med(folder, case, 0), med(folder, case, 1), med(folder, case, 2)
            if base:
                wr = f"{w / med(folder, base, 0):.2f}x"
                cr = f"{c / med(folder, base, 1):.2f}x"
            else:
                wr = cr = "1 (base)"
            lines.append(f"| {case} | {w:.2f} | {c:.2f} | {r:.1f} | {wr} | {cr} |")
        lines.append("")
    os.makedirs(os.path.dirname(os.path.abspath(a.out)), exist_ok=True)
    with open(a.out, "w") as f:
        f.write("\n".join(lines) + "\n")
    print("\n".join(lines))
    shutil.rmtree(xroot, ignore_errors=True)


if __name__ == "__main__":
    main()
