#!/usr/bin/env bash
# Restore benchmark: the scale-1 game folder restored from zav-service on loopback by the
# program's restore (download, checks, staging, swap, Recent and Original copies), against
# `curl` of the same archives plus `unzip -q -o` over a copy of the same folder, in one run.
#   bench/restore/run.sh [WORK_DIR]     (default /tmp/zav-restore-bench; removed afterwards)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
WORK=${1:-/tmp/zav-restore-bench}
BUILD=$ROOT/build/bench
GAME_FOLDER_SCRIPT=$ROOT/bench/make_game_folder.py
ID=benchuser
PW=benchpass

cmake --preset release -B "$BUILD" -DZAV_BUILD_BENCH=ON -DZAV_BUILD_GUI=OFF -DZAV_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j2 --target restore_bench zav-service zavzip >/dev/null
SERVICE=$BUILD/service/zav-service
ZAVZIP=$BUILD/tools/zavzip/zavzip

rm -rf "$WORK"
mkdir -p "$WORK"
SERVICE_PID=
cleanup() {
  [ -n "$SERVICE_PID" ] && kill "$SERVICE_PID" 2>/dev/null && wait "$SERVICE_PID" 2>/dev/null
  rm -rf "$WORK"
}
trap cleanup EXIT

python3 "$GAME_FOLDER_SCRIPT" "$WORK/corpus" 1 >/dev/null
DATA=$WORK/data
mkdir -p "$DATA/UserData/$ID"
for f in Fonts Interface Cache/WDB/koKR WTF; do
  case $f in Cache/*) name=WDB ;; *) name=$f ;; esac
  (cd "$WORK/corpus" && "$ZAVZIP" pack -j 2 "$DATA/UserData/$ID/__$name.zip" "$f")
done
ZAV_SERVICE_HASH_ITERATIONS=1000 "$SERVICE" member add --data "$DATA" "$ID" "$PW" bench >/dev/null 2>&1
"$SERVICE" serve --data "$DATA" --http 127.0.0.1:0 --https 127.0.0.1:0 \
  --max-upload-mb 2000 >"$WORK/service.out" 2>/dev/null &
SERVICE_PID=$!
for _ in $(seq 100); do grep -q 'listening https' "$WORK/service.out" 2>/dev/null && break; sleep 0.1; done
HTTP=$(sed -n 's/^listening http \(.*\)$/\1/p' "$WORK/service.out")
HTTPS=$(sed -n 's/^listening https \(.*\)$/\1/p' "$WORK/service.out")
export ZAV_SERVICE_URL=http://$HTTP ZAV_PORTAL_URL=https://$HTTPS ZAV_CA_FILE=$DATA/tls/cert.pem

# Two game folders with the same starting content: one for each side.
cp -a "$WORK/corpus" "$WORK/ours"
mkdir -p "$WORK/ours/Ralum/Temp" "$WORK/ours/Ralum/Recent" "$WORK/ours/Ralum/Original"
cp -a "$WORK/corpus" "$WORK/theirs"
ARCHIVE_MB=$(du -cm "$DATA/UserData/$ID"/*.zip | tail -1 | cut -f1)
CORPUS_MB=$(du -sm "$WORK/corpus" | cut -f1)
rm -rf "$WORK/corpus"
sync

# Wall seconds and user+system CPU seconds of a command, as "WALL CPU".
timed() {
  local t0 c0 t1 c1 me=$BASHPID
  t0=$(date +%s.%N); c0=$(cpu_of_children "$me")
  "$@" >/dev/null 2>&1
  t1=$(date +%s.%N); c1=$(cpu_of_children "$me")
  python3 -c "print(f'{$t1-$t0:.3f} {$c1-$c0:.3f}')"
}
cpu_of_children() {
  # Fields 16 and 17 of /proc/PID/stat: the waited-for children's user and system ticks.
  python3 - "$1" <<'PY'
import os, sys
f = open(f"/proc/{sys.argv[1]}/stat").read().rsplit(")", 1)[1].split()
print((int(f[13]) + int(f[14])) / os.sysconf("SC_CLK_TCK"))
PY
}
fetch() {
  # The bench's own login bound the member's session to this address.
  for name in Fonts Interface WDB WTF; do
    curl -s -f -o "$WORK/theirs/__$name.zip" "$ZAV_SERVICE_URL/Kelpo/UserData/$ID/__$name.zip"
  done
}
extract() {
  for name in Fonts Interface WDB WTF; do
    unzip -q -o "$WORK/theirs/__$name.zip" -d "$WORK/theirs"
  done
}

echo "corpus ${CORPUS_MB} MB, archives ${ARCHIVE_MB} MB; load before: $(cut -d' ' -f1-3 /proc/loadavg)"
for run in 1 2 3; do
  OURS=$("$BUILD/bench/restore_bench" "$WORK/ours" "$ID" "$PW" 2>"$WORK/bench.err") || { cat "$WORK/bench.err"; exit 1; }
  sync
  read -r FETCH_S FETCH_CPU <<<"$(timed fetch)"
  read -r UNZIP_S UNZIP_CPU <<<"$(timed extract)"
  sync
  TOLD_S=$(sed -n 's/.*told=\([0-9.]*\).*/\1/p' <<<"$OURS")
  OUR_S=$(sed -n 's/.*seconds=\([0-9.]*\).*/\1/p' <<<"$OURS")
  OUR_CPU=$(sed -n 's/.*cpu=\([0-9.]*\).*/\1/p' <<<"$OURS")
  GROWTH=$(sed -n 's/.*growth_kib=\([0-9-]*\).*/\1/p' <<<"$OURS")
  python3 -c "
w = $FETCH_S + $UNZIP_S; c = $FETCH_CPU + $UNZIP_CPU
print(f'run $run: zav restore done message at {$TOLD_S:.1f} s, worker ended at {$OUR_S:.1f} s wall'
      f' / {$OUR_CPU:.1f} s cpu; '
      f'curl {$FETCH_S:.1f} s + unzip {$UNZIP_S:.1f} s = {w:.1f} s wall / {c:.1f} s cpu; '
      f'ratio wall {$TOLD_S / w:.2f} (told) {$OUR_S / w:.2f} (ended), cpu {$OUR_CPU / c:.2f}; '
      f'memory growth $GROWTH KiB')"
done
