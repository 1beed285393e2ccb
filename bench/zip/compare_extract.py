#!/usr/bin/env python3
"""Extraction by two builds of zavzip against unzip, interleaved, on one archive.

usage: compare_extract.py --before ZAVZIP --after ZAVZIP --corpus DIR [--runs 7]
                          [--work /tmp/zip-compare] [--extract-root /dev/shm/zip-compare]
                          [--out bench/results/zip-order.md]

CORPUS is a game folder made by bench/make_game_folder.py; its four category folders are packed
into one archive by the --after build. Every run extracts it with unzip -q -o and with each
build at -j 1 and at its default thread count, first into empty folders, then again over the
trees just extracted; the order of the cases is reversed every other run. On a machine shared
with other jobs the minimum wall time is the steadier figure; the report gives it, the median
wall time and the median CPU time (user + system), each also as a ratio to unzip's.
"""
import argparse
import os
import platform
import shutil
import statistics
import subprocess
import sys
import time

CATEGORIES = ["Interface", "WTF", "Fonts", "Cache/WDB/koKR"]


def measure(cmd):
    before = os.times()
    start = time.perf_counter()
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL)
    wall = time.perf_counter() - start
    after = os.times()
    cpu = (after.children_user - before.children_user) + \
        (after.children_system - before.children_system)
    return wall, cpu


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--before", required=True)
    ap.add_argument("--after", required=True)
    ap.add_argument("--corpus", required=True)
    ap.add_argument("--runs", type=int, default=7)
    ap.add_argument("--work", default="/tmp/zip-compare")
    ap.add_argument("--extract-root", default="/dev/shm/zip-compare")
    ap.add_argument("--out", default="bench/results/zip-order.md")
    a = ap.parse_args()
    builds = {"before": os.path.abspath(a.before), "after": os.path.abspath(a.after)}
    for d in (a.work, a.extract_root):
        shutil.rmtree(d, ignore_errors=True)
        os.makedirs(d)
    archive = os.path.join(a.work, "all.zip")
    subprocess.run([builds["after"], "pack", archive] + CATEGORIES, cwd=a.corpus, check=True)
    files = sum(len(names) for folder in CATEGORIES
                for _, _, names in os.walk(os.path.join(a.corpus, folder)))
    cases = [("unzip", lambda d: ["unzip", "-q", "-o", archive, "-d", d])]
    for name, exe in builds.items():
        cases.append((f"{name} -j 1", lambda d, exe=exe: [exe, "extract", "-j", "1", archive, d]))
        cases.append((f"{name}", lambda d, exe=exe: [exe, "extract", archive, d]))
    load_start = open("/proc/loadavg").read().split()[:3]
    results = {}
    for run in range(a.runs):
        order = cases if run % 2 == 0 else cases[::-1]
        for phase in ("empty", "existing"):
            for case, cmd in order:
                dest = os.path.join(a.extract_root, case.replace(" ", "_"))
                if phase == "empty":
                    shutil.rmtree(dest, ignore_errors=True)
                subprocess.run(["sync"])
                results.setdefault((case, phase), []).append(measure(cmd(dest)))
        print(f"run {run + 1}/{a.runs} done", file=sys.stderr)
    load_end = open("/proc/loadavg").read().split()[:3]
    lines = ["# Extraction before and after a change of the archive layer", "",
             f"Machine: {os.cpu_count()} cores, {platform.system()} {platform.release()}; load "
             f"average {' '.join(load_start)} at the start, {' '.join(load_end)} at the end.",
             f"Date: {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}. Archive of the four "
             f"folders: {os.path.getsize(archive) / 1e6:.1f} MB, {files} files. Runs: {a.runs}, "
             f"interleaved. Extraction into {a.extract_root}.", "",
             "Reproduce: build zavzip in the release preset before and after the change, "
             "`python3 bench/make_game_folder.py /tmp/corpus 0.5`, then `python3 "
             "bench/zip/compare_extract.py --before OLD --after NEW --corpus /tmp/corpus`.", "",
             "| case | min wall s | ratio | median wall s | median CPU s | CPU ratio |",
             "|---|---|---|---|---|---|"]
    for phase in ("empty", "existing"):
        base_wall = min(w for w, _ in results[("unzip", phase)])
        base_cpu = statistics.median(c for _, c in results[("unzip", phase)])
        for case, _ in cases:
            walls = [w for w, _ in results[(case, phase)]]
            cpu = statistics.median(c for _, c in results[(case, phase)])
            lines.append(f"| {case} ({phase}) | {min(walls):.3f} | {min(walls) / base_wall:.2f}x "
                         f"| {statistics.median(walls):.3f} | {cpu:.3f} | "
                         f"{cpu / base_cpu:.2f}x |")
    os.makedirs(os.path.dirname(os.path.abspath(a.out)), exist_ok=True)
    with open(a.out, "w") as f:
        f.write("\n".join(lines) + "\n")
    print("\n".join(lines))
    shutil.rmtree(a.extract_root, ignore_errors=True)


if __name__ == "__main__":
    main()
