#!/usr/bin/env bash
# SavedVariables check benchmark, in one run:
#  - the lexer over a well-formed 30 MB SavedVariables file (made by the benchmark) held in
#    memory, and the whole check of a game folder holding only that file, beside
#    `luac5.4 -p` (Lua's own parser over the same file) and `wc -l` (reading its bytes);
#  - the whole check of the scale-1 game folder beside the backup's packing of its four
#    folders by the program's own code.
#   bench/saved_variables/run.sh [WORK_DIR] [RUNS]   (default /tmp/zav-sv-bench, 5; removed afterwards)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
WORK=${1:-/tmp/zav-sv-bench}
RUNS=${2:-5}
BUILD=$ROOT/build/bench
CORPUS_SCRIPT=$ROOT/bench/make_game_folder.py

cmake --preset release -B "$BUILD" -DZAV_BUILD_BENCH=ON -DZAV_BUILD_GUI=OFF -DZAV_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j2 --target saved_variables_bench >/dev/null
BENCH=$BUILD/bench/saved_variables_bench

rm -rf "$WORK"
mkdir -p "$WORK"
trap 'rm -rf "$WORK"' EXIT

# Fastest wall and CPU (user + system) seconds of RUNS runs of a command: "WALL CPU".
fastest() {
  local wall=1e9 cpu=1e9 line
  for _ in $(seq "$RUNS"); do
    line=$( { TIMEFORMAT='%R %U %S'; time "$@" >/dev/null 2>&1; } 2>&1 )
    read -r w u s <<<"$line"
    wall=$(awk -v a="$wall" -v b="$w" 'BEGIN { print (b < a) ? b : a }')
    cpu=$(awk -v a="$cpu" -v b="$u" -v c="$s" 'BEGIN { print (b + c < a) ? b + c : a }')
  done
  echo "$wall $cpu"
}

echo "$(nproc) cores, $(uname -m), load $(cut -d' ' -f1-3 /proc/loadavg)"
SV=$WORK/big/WTF/Account/BENCH/SavedVariables/Big.lua
mkdir -p "$(dirname "$SV")"
"$BENCH" generate "$SV" 30 >/dev/null
luac5.4 -p "$SV" || { echo "the generated file is not valid Lua" >&2; exit 1; }
LEX=$("$BENCH" lex "$SV" "$RUNS")
FILE=$("$BENCH" scan "$WORK/big" "$RUNS")
LUAC=$(fastest luac5.4 -p "$SV")
WC=$(fastest wc -l "$SV")

python3 "$CORPUS_SCRIPT" "$WORK/game" 1 >/dev/null
mkdir -p "$WORK/game/Ralum/Temp"
sync
SV_FILES=$(find "$WORK/game/WTF/Account" -path '*/SavedVariables/*' -name '*.lua' | wc -l)
SV_MB=$(find "$WORK/game/WTF/Account" -path '*/SavedVariables/*' -name '*.lua' -printf '%s\n' |
  awk '{ s += $1 } END { printf "%.1f", s / 1e6 }')
CORPUS=$("$BENCH" scan "$WORK/game" "$RUNS" pack)

python3 - "$SV" "$LEX" "$FILE" "$LUAC" "$WC" "$CORPUS" "$SV_FILES" "$SV_MB" <<'PY'
import os, sys
sv, lex, file_scan, luac, wc, corpus, sv_files, sv_mb = sys.argv[1:]
kv = lambda text: dict(item.split("=") for item in text.split())
lex, file_scan, corpus = kv(lex), kv(file_scan), kv(corpus)
mb = os.path.getsize(sv) / 1e6
luac_wall, luac_cpu = map(float, luac.split())
wc_wall, wc_cpu = map(float, wc.split())
lex_wall, lex_cpu = float(lex["wall"]), float(lex["cpu"])
scan_wall, scan_cpu = float(file_scan["scan_wall"]), float(file_scan["scan_cpu"])
print(f"{mb:.1f} MB SavedVariables file, fastest of each (wall / CPU):")
print(f"  lexer in memory    {lex_wall:.3f} s / {lex_cpu:.3f} s = {mb / lex_wall:.0f} / {mb / lex_cpu:.0f} MB/s")
print(f"  check from disk    {scan_wall:.3f} s / {scan_cpu:.3f} s = {mb / scan_wall:.0f} / {mb / scan_cpu:.0f} MB/s")
print(f"  luac5.4 -p         {luac_wall:.3f} s / {luac_cpu:.3f} s   ratio check/luac {scan_wall / luac_wall:.3f} / {scan_cpu / max(luac_cpu, 1e-3):.3f}")
print(f"  wc -l              {wc_wall:.3f} s / {wc_cpu:.3f} s   ratio check/wc {scan_wall / max(wc_wall, 1e-3):.1f} / {scan_cpu / max(wc_cpu, 1e-3):.1f}")
cs_wall, cs_cpu = float(corpus["scan_wall"]), float(corpus["scan_cpu"])
pk_wall, pk_cpu = float(corpus["pack_wall"]), float(corpus["pack_cpu"])
print(f"scale-1 game folder: {sv_files} SavedVariables files, {sv_mb} MB; {corpus['damaged']} judged damaged")
print(f"  check              {cs_wall:.3f} s / {cs_cpu:.3f} s")
print(f"  packing 4 folders  {pk_wall:.2f} s / {pk_cpu:.2f} s   check/packing {100 * cs_wall / pk_wall:.2f} % / {100 * cs_cpu / pk_cpu:.2f} %")
PY
