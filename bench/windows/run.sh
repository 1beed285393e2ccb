#!/usr/bin/env bash
# Windows benchmark: zavzip.exe under Wine, built with zlib alone and with libdeflate, against
# the Linux zavzip, packing and extracting the four category folders of a game folder.
#   [RUNS=3] bench/windows/run.sh [SCALE] [WORK_DIR]
# Defaults: scale 0.25, work folder /tmp/zav-windows-bench (removed afterwards). The figures go
# to bench/results/windows.md.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
SCALE=${1:-0.25}
WORK=${2:-/tmp/zav-windows-bench}
cd "$ROOT"

cmake --preset release -B build/release >/dev/null
cmake --build build/release --target zavzip >/dev/null
for variant in zlib libdeflate; do
  if [ "$variant" = zlib ]; then tree=build/bench-windows-zlib; with=OFF; else tree=build/bench-windows; with=ON; fi
  cmake -S . -B "$tree" -G Ninja --toolchain cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release \
    -DZAV_BUILD_GUI=OFF -DZAV_BUILD_TESTS=OFF -DZAV_WITH_LIBDEFLATE=$with >/dev/null
  cmake --build "$tree" --target zavzip >/dev/null
done

rm -rf "$WORK"
mkdir -p "$WORK"
trap 'rm -rf "$WORK"' EXIT
python3 bench/make_game_folder.py "$WORK/corpus" "$SCALE" >/dev/null
python3 bench/windows/bench_windows.py --runs "${RUNS:-3}" --linux build/release/tools/zavzip/zavzip \
  --zlib build/bench-windows-zlib/tools/zavzip/zavzip.exe \
  --libdeflate build/bench-windows/tools/zavzip/zavzip.exe \
  --wine-run scripts/wine-run --prefix build/bench-windows/wineprefix \
  --corpus "$WORK/corpus" --work "$WORK/work" --scale "$SCALE" --out bench/results/windows.md
