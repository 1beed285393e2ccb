#!/usr/bin/env bash
# Backup benchmark: the scale-1 game folder packed and uploaded to zav-service on loopback by
# the program's own packaging and upload worker, against `zip -r -q -6` of the same folders
# and `curl -T` (streamed) of the same body bytes to the same service, in one run.
#   bench/backup/run.sh [WORK_DIR] [RUNS]   (default /tmp/zav-backup-bench, 3; removed afterwards)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
WORK=${1:-/tmp/zav-backup-bench}
RUNS=${2:-3}
BUILD=$ROOT/build/bench
GAME_FOLDER_SCRIPT=$ROOT/bench/make_game_folder.py
ID=benchuser
PW=benchpass

cmake --preset release -B "$BUILD" -DZAV_BUILD_BENCH=ON -DZAV_BUILD_GUI=OFF -DZAV_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j2 --target backup_bench zav-service >/dev/null
SERVICE=$BUILD/service/zav-service

rm -rf "$WORK"
mkdir -p "$WORK"
SERVICE_PID=
SINK_PID=
cleanup() {
  local status=$?
  set +e
  [ -n "$SINK_PID" ] && kill "$SINK_PID" 2>/dev/null && wait "$SINK_PID" 2>/dev/null
  [ -n "$SERVICE_PID" ] && kill "$SERVICE_PID" 2>/dev/null && wait "$SERVICE_PID" 2>/dev/null
  rm -rf "$WORK"
  exit "$status"
}
trap cleanup EXIT

GAME=$WORK/game
python3 "$GAME_FOLDER_SCRIPT" "$GAME" 1 >/dev/null
mkdir -p "$GAME/Ralum/Temp" "$WORK/zip"
DATA=$WORK/data
ZAV_SERVICE_HASH_ITERATIONS=1000 "$SERVICE" member add --data "$DATA" "$ID" "$PW" bench >/dev/null 2>&1
"$SERVICE" serve --data "$DATA" --http 127.0.0.1:0 --https 127.0.0.1:0 \
  --max-upload-mb 2000 >"$WORK/service.out" 2>/dev/null &
SERVICE_PID=$!
for _ in $(seq 100); do grep -q 'listening https' "$WORK/service.out" 2>/dev/null && break; sleep 0.1; done
HTTP=$(sed -n 's/^listening http \(.*\)$/\1/p' "$WORK/service.out")
HTTPS=$(sed -n 's/^listening https \(.*\)$/\1/p' "$WORK/service.out")
export ZAV_SERVICE_URL=http://$HTTP ZAV_PORTAL_URL=https://$HTTPS ZAV_CA_FILE=$DATA/tls/cert.pem
python3 "$ROOT/bench/backup/sink.py" >"$WORK/sink.out" &
SINK_PID=$!
for _ in $(seq 100); do grep -q 'listening' "$WORK/sink.out" 2>/dev/null && break; sleep 0.1; done
export ZAV_BENCH_SINK_URL=http://127.0.0.1:$(sed -n 's/^listening \(.*\)$/\1/p' "$WORK/sink.out")
CORPUS_MB=$(du -sm --exclude=Ralum "$GAME" | cut -f1)
sync

standard_zip() {
  (cd "$GAME" && for f in Interface WTF Cache/WDB/koKR Fonts; do
     rm -f "$WORK/zip/${f//\//_}.zip"
     zip -r -q -6 "$WORK/zip/${f//\//_}.zip" "$f"
   done)
}
# The same multipart body the program sends, from the program's own archives.
make_body() {
  python3 - "$GAME/Ralum/Temp" "$WORK/body.bin" <<'PY'
import shutil, sys
temp, out = sys.argv[1], sys.argv[2]
parts = [("UserFile001", "__Interface.zip"), ("UserFile002", "__WTF.zip"),
         ("UserFile003", "__WDB.zip"), ("UserFile004", "__Fonts.zip")]
with open(out, "wb") as body:
    for field, name in parts:
        body.write(('--AaB03x\r\ncontent-disposition: form-data; name="%s"; filename="%s"\r\n'
                    'Content-Type: multipart/mixed\r\nContent-Transfer-Encoding: binary\r\n\r\n'
                    % (field, name)).encode())
        with open(temp + "/" + name, "rb") as f:
            shutil.copyfileobj(f, body, 1 << 20)
        body.write(b"\r\n")
    body.write(b"--AaB03x\r\n\r\n")
PY
}

# Wall and CPU seconds (user + system) of a command: "WALL CPU".
timed() {
  /usr/bin/time -f '%e %U %S' -o "$WORK/time.out" "$@" >/dev/null 2>&1 || return 1
  awk '{printf "%s %.2f\n", $1, $2 + $3}' "$WORK/time.out"
}

echo "corpus ${CORPUS_MB} MB ($(nproc) cores, $(uname -m), load $(cut -d' ' -f1-3 /proc/loadavg))"
for run in $(seq "$RUNS"); do
  OURS=$("$BUILD/bench/backup_bench" "$GAME" "$ID" "$PW" 2>"$WORK/bench.err") || { cat "$WORK/bench.err"; exit 1; }
  make_body
  sync
  ZIP=$(timed bash -c "$(declare -f standard_zip); GAME='$GAME' WORK='$WORK' standard_zip")
  CURL=$(timed curl -s -f -o /dev/null -X POST -T "$WORK/body.bin" -H 'Expect:' \
    -H 'Content-Type: multipart/form-data, boundary=AaB03x' \
    "$ZAV_SERVICE_URL/Kelpo/html/post.php?userid=$ID")
  CURL_SINK=$(timed curl -s -f -o /dev/null -X POST -T "$WORK/body.bin" -H 'Expect:' \
    -H 'Content-Type: multipart/form-data, boundary=AaB03x' "$ZAV_BENCH_SINK_URL/x")
  rm -f "$WORK/body.bin" "$GAME"/Ralum/Temp/*.zip "$WORK"/zip/*.zip
  sync
  python3 - "$run" "$OURS" "$ZIP" "$CURL" "$CURL_SINK" <<'PY'
import sys
run, ours, zipt, curlt, sinkt = sys.argv[1:]
v = dict(kv.split("=") for kv in ours.split())
pack, pack_cpu = float(v["pack_seconds"]), float(v["pack_cpu"])
up, up_cpu = float(v["upload_seconds"]), float(v["upload_cpu"])
body, sent = int(v["body_bytes"]), int(v["sent_bytes"])
zip_wall, zip_cpu = map(float, zipt.split())
curl_wall, curl_cpu = map(float, curlt.split())
mb = body / 1e6
print(f"run {run}: pack wall {pack:.2f}s vs zip -6 {zip_wall:.2f}s (ratio {pack / zip_wall:.2f}), "
      f"cpu {pack_cpu:.2f}s vs {zip_cpu:.2f}s (ratio {pack_cpu / zip_cpu:.2f}); "
      f"upload {mb:.0f} MB in {up:.2f}s = {mb / up:.0f} MB/s vs curl {curl_wall:.2f}s = "
      f"{mb / curl_wall:.0f} MB/s (throughput ratio {curl_wall / up:.2f}), "
      f"cpu {up_cpu:.2f}s vs {curl_cpu:.2f}s; sent {sent} of {body} bytes; "
      f"rss before upload {int(v['base_kib']) // 1024} MiB, growth during upload {v['growth_kib']} KiB")
sink, curl_sink = float(v["sink_seconds"]), float(sinkt.split()[0])
print(f"       into a discarding sink: zav {mb / sink:.0f} MB/s, curl {mb / curl_sink:.0f} MB/s "
      f"(throughput ratio {curl_sink / sink:.2f})")
PY
done
