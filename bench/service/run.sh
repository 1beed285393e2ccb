#!/usr/bin/env bash
# Service benchmark: upload and download of one 400 MB archive through zav-service on loopback
# with curl, beside plain baselines in the same run (a Python upload sink that streams the
# same body to disk, and `python3 -m http.server` for the download). Reports MB/s (10^6 bytes)
# and peak resident memory of each server, and their ratios, to bench/results/service.md;
# then the bounded attack run of attack.py (beside nginx) and the attacks of one hostile client
# one by one (attack_items.py; with BASELINE=PATH/zav-service beside that build too) and the
# shared back ends (scale.py: SQLite and files, PostgreSQL and S3, two instances behind nginx;
# the migration of 1,000 members) are added to the same report.
#   bench/service/run.sh [WORK_DIR] [RUNS] [ARCHIVE_MB]   (default /tmp/zav-service-bench, 3, 400)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
WORK=${1:-/tmp/zav-service-bench}
RUNS=${2:-3}
ARCHIVE_MB=${3:-400}
BUILD=$ROOT/build/service-release
RESULTS=$ROOT/bench/results/service.md
BASELINE_NAME=${BASELINE_NAME:-${BASELINE:-}}

cmake --preset release -B "$BUILD" -DZAV_BUILD_GUI=OFF -DZAV_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j2 --target zav-service >/dev/null
SERVICE=$BUILD/service/zav-service

rm -rf "$WORK"
mkdir -p "$WORK/sink" "$WORK/static"
PIDS=()
cleanup() {
  for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  rm -rf "$WORK"
}
trap cleanup EXIT

wait_for_line() {  # FILE PATTERN
  for _ in $(seq 300); do grep -q "$2" "$1" 2>/dev/null && return 0; sleep 0.1; done
  echo "no '$2' in $1" >&2; exit 1
}
reset_peak() { echo 5 >"/proc/$1/clear_refs"; }
peak_mb() { awk '/VmHWM/ {printf "%.1f", $2 / 1024}' "/proc/$1/status"; }
median() { sort -g | awk '{a[NR] = $1} END {print a[int((NR + 1) / 2)]}'; }

# The archive (incompressible) and the upload body exactly as the desktop client writes it.
ARCHIVE=$WORK/static/__WTF.zip
head -c $((ARCHIVE_MB * 1000000)) /dev/urandom >"$ARCHIVE"
BYTES=$(stat -c %s "$ARCHIVE")
BODY=$WORK/body.bin
{
  printf -- '--AaB03x\r\ncontent-disposition: form-data; name="UserFile002"; filename="__WTF.zip"\r\n'
  printf 'Content-Type: multipart/mixed\r\nContent-Transfer-Encoding: binary\r\n\r\n'
  cat "$ARCHIVE"
  printf '\r\n--AaB03x\r\n\r\n'
} >"$BODY"

# zav-service with a member logged in from this address.
DATA=$WORK/data
ZAV_SERVICE_HASH_ITERATIONS=1000 "$SERVICE" member add --data "$DATA" bench benchpw bench >/dev/null
"$SERVICE" serve --data "$DATA" --http 127.0.0.1:0 --https 127.0.0.1:0 \
  --max-upload-mb $((ARCHIVE_MB + 100)) >"$WORK/service.out" 2>"$WORK/service.log" &
SERVICE_PID=$!
PIDS+=("$SERVICE_PID")
wait_for_line "$WORK/service.out" 'listening https'
HTTP=$(sed -n 's/^listening http \(.*\)$/\1/p' "$WORK/service.out")
HTTPS=$(sed -n 's/^listening https \(.*\)$/\1/p' "$WORK/service.out")
curl -sS --cacert "$DATA/tls/cert.pem" "https://$HTTPS/app/login" \
  -d 'code=3c9a1f07d2b84e65a0c7f19e2d3b5a8c4e6f0a1b2c3d4e5f&id=bench&pw=benchpw' | grep -q 'result="OK"'

python3 "$ROOT/bench/service/upload_sink.py" "$WORK/sink" >"$WORK/sink.out" 2>/dev/null &
SINK_PID=$!
PIDS+=("$SINK_PID")
wait_for_line "$WORK/sink.out" listening
SINK_PORT=$(awk '{print $2}' "$WORK/sink.out")

STATIC_PORT=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
python3 -m http.server "$STATIC_PORT" --bind 127.0.0.1 --directory "$WORK/static" \
  >"$WORK/static.out" 2>&1 &
STATIC_PID=$!
PIDS+=("$STATIC_PID")
for _ in $(seq 100); do curl -s -o /dev/null "http://127.0.0.1:$STATIC_PORT/" && break; sleep 0.1; done

upload() {  # URL -> seconds
  curl -sS -o /dev/null -w '%{http_code} %{time_total}\n' -X POST -T "$BODY" \
    -H 'Content-Type: multipart/form-data, boundary=AaB03x' "$1" |
    awk '$1 != 200 {print "upload answered " $1 > "/dev/stderr"; exit 1} {print $2}'
}
download() {  # URL -> seconds
  curl -sS -o "$WORK/download.bin" -w '%{http_code} %{time_total}\n' "$1" |
    awk '$1 != 200 {print "download answered " $1 > "/dev/stderr"; exit 1} {print $2}'
  cmp -s "$WORK/download.bin" "$ARCHIVE" || { echo "downloaded bytes differ" >&2; exit 1; }
  rm -f "$WORK/download.bin"
}

declare -A SECONDS_OF PEAK_OF
for phase in upload download; do
  for server in service baseline; do
    case $phase/$server in
      upload/service) pid=$SERVICE_PID; url="http://$HTTP/Kelpo/html/post.php?userid=bench" ;;
      upload/baseline) pid=$SINK_PID; url="http://127.0.0.1:$SINK_PORT/" ;;
      download/service) pid=$SERVICE_PID; url="http://$HTTP/Kelpo/UserData/bench/__WTF.zip" ;;
      download/baseline) pid=$STATIC_PID; url="http://127.0.0.1:$STATIC_PORT/__WTF.zip" ;;
    esac
    reset_peak "$pid"
    times=()
    for _ in $(seq "$RUNS"); do times+=("$($phase "$url")"); done
    SECONDS_OF[$phase/$server]=$(printf '%s\n' "${times[@]}" | median)
    PEAK_OF[$phase/$server]=$(peak_mb "$pid")
  done
done

mbps() { awk -v b="$BYTES" -v s="$1" 'BEGIN {printf "%.0f", b / 1e6 / s}'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", a / b}'; }
{
  echo "# zav-service benchmark"
  echo
  echo "One ${ARCHIVE_MB} MB archive (random bytes), curl on loopback, median of $RUNS runs each;"
  echo "release build. Upload: the desktop client's multipart body sent with \`curl -T\` (streamed,"
  echo "Content-Length announced) to post.php, which parses it, writes a temporary file, fsyncs"
  echo "and renames it into place; baseline: a Python sink that streams the same body to a file"
  echo "the same way without parsing. Download: GET of the stored archive; baseline:"
  echo "\`python3 -m http.server\` serving the same file. Peak RSS is each server's VmHWM during"
  echo "its phase (reset before it). MB = 10^6 bytes."
  echo
  echo "Machine: $(nproc) cores, $(awk '/MemTotal/ {printf "%.0f GB", $2/1e6}' /proc/meminfo), $(date -u +%Y-%m-%d)."
  echo
  echo "| Phase | zav-service MB/s | baseline MB/s | speed ratio (service/baseline) | zav-service peak RSS MB | baseline peak RSS MB | RSS ratio |"
  echo "|---|---:|---:|---:|---:|---:|---:|"
  for phase in upload download; do
    s=$(mbps "${SECONDS_OF[$phase/service]}")
    b=$(mbps "${SECONDS_OF[$phase/baseline]}")
    echo "| $phase | $s | $b | $(ratio "$s" "$b") | ${PEAK_OF[$phase/service]} | ${PEAK_OF[$phase/baseline]} | $(ratio "${PEAK_OF[$phase/service]}" "${PEAK_OF[$phase/baseline]}") |"
  done
  echo
  echo "Both sides run in the same session on the same disk, so the ratios hold better than the"
  echo "absolute figures, which move by a third between runs on a shared machine (upload speed is"
  echo "bounded by the disk: both sides fsync the 400 MB before answering)."
  echo
  echo "Reproduce: \`bench/service/run.sh [WORK_DIR] [RUNS] [ARCHIVE_MB]\`."
  echo
  echo "## Hostile clients"
  echo
  echo "\`bench/service/attack.py\` on the same release build (production password hashing), each"
  echo "attack bounded in time, on loopback; beside it nginx serving a static file under the same"
  echo "attacks where they apply. Times in seconds."
  echo
  python3 "$ROOT/bench/service/attack.py" --service "$SERVICE"
  echo
  echo "Reproduce: \`bench/service/attack.py --service PATH/zav-service\`."
  echo
  echo "## One hostile client, attack by attack"
  echo
  echo "\`bench/service/attack_items.py\` on the same release build, each attack against a fresh"
  echo "service on loopback (production password hashing where a password is checked)."
  if [ -n "${BASELINE:-}" ]; then
    echo "Baseline: \`$BASELINE_NAME\`, built the same way and run in the same session."
  fi
  echo
  python3 "$ROOT/bench/service/attack_items.py" --service "$SERVICE" ${BASELINE:+--baseline "$BASELINE"}
  echo
  echo "Reproduce: \`BASELINE=OTHER/zav-service bench/service/run.sh\`, or"
  echo "\`bench/service/attack_items.py --service PATH/zav-service [--baseline OTHER/zav-service]\`."
  echo
  echo "## Beyond one machine: PostgreSQL, S3 and two instances"
  echo
  echo "\`bench/service/scale.py\` on the same release build, in one run on loopback: the account"
  echo "query (\`wrk -t2 -c8\`), uploads and downloads (4 members at once with curl) against one"
  echo "instance on SQLite and files, one on PostgreSQL and the tests' S3 server, and two behind"
  echo "nginx; the CPU seconds of each group of processes in each phase; then \`migrate\` of 1,000"
  echo "members, twice."
  echo
  python3 "$ROOT/bench/service/scale.py" "$SERVICE" "$WORK/scale"
  echo
  echo "Reproduce: \`bench/service/scale.py PATH/zav-service WORK_DIR [SECONDS]\`."
} >"$RESULTS"
cat "$RESULTS"
