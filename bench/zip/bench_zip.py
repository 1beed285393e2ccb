#!/usr/bin/env python3
"""Pack and extract timings of zavzip against Info-ZIP zip/unzip on the same trees.

usage: bench_zip.py --zavzip PATH --corpus DIR [--folders Interface WTF] [--runs 5]
                    [--work /tmp/zip-bench-work] [--out bench/results/zip.md]

CORPUS is a game folder made by bench/make_game_folder.py. For every folder and run,
in interleaved order:
  pack:    zip -r -q -6 A FOLDER | zavzip pack A FOLDER | zavzip pack -j 2 A FOLDER
  extract: unzip -q -o A -d D | zavzip extract A D   (the same archive, zavzip's own),
           first into an empty folder, then again over the tree just extracted.
Wall time, CPU time and peak RSS come from /usr/bin/time. The report gives medians and
the ratios zavzip / Info-ZIP (below 1 means zavzip is faster).
"""
import argparse
import os
import platform
import shutil
import statistics
import subprocess
import sys
import time


def measure(cmd, cwd):
    stats = "/tmp/zip-bench-time.txt"
    subprocess.run(["/usr/bin/time", "-f", "%e %U %S %M", "-o", stats] + cmd, cwd=cwd,
                   check=True, stdout=subprocess.DEVNULL)
    wall, user, sys_, rss = open(stats).read().split()[-4:]
    return float(wall), float(user) + float(sys_), int(rss) / 1024.0


def tree_size(path):
    total, files = 0, 0
    for root, _, names in os.walk(path):
        for n in names:
            total += os.path.getsize(os.path.join(root, n))
            files += 1
    return total, files


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--zavzip", required=True)
    ap.add_argument("--corpus", required=True)
    ap.add_argument("--folders", nargs="+", default=["Interface", "WTF"])
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--work", default="/tmp/zip-bench-work")
    ap.add_argument("--out", default="bench/results/zip.md")
    a = ap.parse_args()
    zavzip = os.path.abspath(a.zavzip)
    corpus = os.path.abspath(a.corpus)
    work = a.work
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    results = {}  # (folder, case) -> list of (wall, cpu, rss)

    def rec(folder, case, m):
        results.setdefault((folder, case), []).append(m)

    for folder in a.folders:
        for run in range(a.runs):
            iz, zz, zz2 = (os.path.join(work, n) for n in ("iz.zip", "zz.zip", "zz2.zip"))
            for f in (iz, zz, zz2):
                if os.path.exists(f):
                    os.remove(f)
            order = [("zip -6", ["zip", "-r", "-q", "-6", iz, folder]),
                     ("zavzip pack", [zavzip, "pack", zz, folder]),
                     ("zavzip pack -j 2", [zavzip, "pack", "-j", "2", zz2, folder])]
            if run % 2:
                order.reverse()
            for case, cmd in order:
                rec(folder, case, measure(cmd, corpus))
            if open(zz, "rb").read() != open(zz2, "rb").read():
                sys.exit("two-thread archive differs from the single-thread one")
            for phase in ("empty", "existing"):
                cases = [("unzip", ["unzip", "-q", "-o", zz, "-d", os.path.join(work, "u")]),
                         ("zavzip extract", [zavzip, "extract", zz, os.path.join(work, "z")])]
                if run % 2:
                    cases.reverse()
                for case, cmd in cases:
                    if phase == "empty":
                        shutil.rmtree(cmd[-1], ignore_errors=True)
                    subprocess.run(["sync"])
                    rec(folder, f"{case} ({phase})", measure(cmd, work))
            sizes = {"zip -6": os.path.getsize(iz), "zavzip": os.path.getsize(zz)}
            results.setdefault((folder, "sizes"), sizes)
            print(f"{folder} run {run + 1}/{a.runs} done", file=sys.stderr)
        shutil.rmtree(os.path.join(work, "u"), ignore_errors=True)
        shutil.rmtree(os.path.join(work, "z"), ignore_errors=True)

    def med(folder, case, i):
        return statistics.median(m[i] for m in results[(folder, case)])

    cpu = subprocess.run(["sh", "-c", "grep -m1 'model name' /proc/cpuinfo | cut -d: -f2"],
                         capture_output=True, text=True).stdout.strip()
    load = open("/proc/loadavg").read().split()[:3]
    lines = ["# Archive layer: zavzip against Info-ZIP zip/unzip", "",
             f"Machine: {cpu}, {os.cpu_count()} cores, {platform.system()} "
             f"{platform.release()}; load average at the end {' '.join(load)} "
             "(the machine was shared with other jobs).",
             f"Date: {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}. "
             f"Runs per case: {a.runs}, interleaved; medians.", "",
             "Reproduce: `cmake --preset release -B build/zip-release && cmake --build "
             "build/zip-release --target zavzip`, `python3 bench/make_game_folder.py "
             "/tmp/corpus 1`, then `python3 bench/zip/bench_zip.py --zavzip "
             "build/zip-release/tools/zavzip/zavzip --corpus /tmp/corpus`.", ""]
    for folder in a.folders:
        size, files = tree_size(os.path.join(corpus, folder))
        s = results[(folder, "sizes")]
        lines += [f"## {folder}: {size / 1e6:.0f} MB in {files} files", "",
                  f"Archive size: zip -6 {s['zip -6'] / 1e6:.1f} MB, zavzip {s['zavzip'] / 1e6:.1f} MB.",
                  "",
                  "| case | wall s | CPU s | peak RSS MiB | wall ratio | CPU ratio |",
                  "|---|---|---|---|---|---|"]
        pairs = [("zip -6", None), ("zavzip pack", "zip -6"), ("zavzip pack -j 2", "zip -6"),
                 ("unzip (empty)", None), ("zavzip extract (empty)", "unzip (empty)"),
                 ("unzip (existing)", None), ("zavzip extract (existing)", "unzip (existing)")]
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


if __name__ == "__main__":
    main()
