#!/usr/bin/env bash
# zav-service behind Debian's nginx on loopback, set up as the README shows it: nginx ends TLS
# and proxies both listeners, zav-service trusts it (--trusted-proxy 127.0.0.1) and binds a
# member to the address nginx forwards for. Clients come from 127.0.0.3 and 127.0.0.4. Then two
# instances over one PostgreSQL database and one S3 bucket behind nginx: a member's session
# across both, parallel guesses spread over both, and the kill -9 of one during an upload.
# Exits 77 (reported by CTest as skipped) when nginx is not installed.
#   nginx_proxy_test.sh ZAV_SERVICE
set -euo pipefail
SERVICE=$1
NGINX=$(command -v nginx || echo /usr/sbin/nginx)
if [ ! -x "$NGINX" ]; then
    echo "SKIPPED: nginx is not installed (scripts/install-deps installs nginx-light)"
    exit 77
fi

WORK=$(mktemp -d /tmp/zav-nginx-XXXXXX)
PIDS=()
cleanup() {
    for pid in "${PIDS[@]}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$WORK"
}
trap cleanup EXIT
fail() {
    echo "FAILED: $*" >&2
    echo "--- zav-service log" >&2
    cat "$WORK/service.log" >&2 || true
    echo "--- nginx error log" >&2
    cat "$WORK/nginx-error.log" >&2 || true
    exit 1
}

export ZAV_SERVICE_HASH_ITERATIONS=1000
DATA=$WORK/data
"$SERVICE" member add --data "$DATA" gamer01 secret nick

# The service's "listening" lines come through a pipe, read with a time limit.
exec {OUT}< <(exec "$SERVICE" serve --data "$DATA" --http 127.0.0.1:0 --https 127.0.0.1:0 \
    --trusted-proxy 127.0.0.1 2>"$WORK/service.log")
PIDS+=($!)
read -r -t 30 -u "$OUT" LINE1 || fail "zav-service did not start"
read -r -t 30 -u "$OUT" LINE2 || fail "zav-service did not start"
HTTP=${LINE1##*:}
HTTPS=${LINE2##*:}

# nginx binds its own ports: two free ones are picked, and should another program take one
# before nginx binds it, nginx stops at once and the next two are tried.
start_nginx() {
    read -r NG_HTTP NG_HTTPS < <(python3 -c '
import socket
socks = [socket.socket() for _ in range(2)]
for s in socks:
    s.bind(("127.0.0.1", 0))
print(*(s.getsockname()[1] for s in socks))')
    mkdir -p "$WORK/nginx"
    cat >"$WORK/nginx.conf" <<EOF
daemon off;
master_process off;
pid $WORK/nginx.pid;
error_log $WORK/nginx-error.log;
events { worker_connections 64; }
http {
    access_log off;
    client_body_temp_path $WORK/nginx/body;
    proxy_temp_path $WORK/nginx/proxy;
    fastcgi_temp_path $WORK/nginx/fastcgi;
    uwsgi_temp_path $WORK/nginx/uwsgi;
    scgi_temp_path $WORK/nginx/scgi;
    client_max_body_size 25m;
    proxy_set_header X-Forwarded-For \$proxy_add_x_forwarded_for;
    server {
        listen 127.0.0.1:$NG_HTTP;
        location / { proxy_pass http://127.0.0.1:$HTTP; }
    }
    server {
        listen 127.0.0.1:$NG_HTTPS ssl;
        ssl_certificate $DATA/tls/cert.pem;
        ssl_certificate_key $DATA/tls/key.pem;
        location / {
            proxy_pass https://127.0.0.1:$HTTPS;
            proxy_ssl_verify on;
            proxy_ssl_trusted_certificate $DATA/tls/cert.pem;
            proxy_ssl_name localhost;
        }
    }
}
EOF
    "$NGINX" -p "$WORK/nginx" -c "$WORK/nginx.conf" -e "$WORK/nginx-error.log" &
    NGINX_PID=$!
    for _ in $(seq 100); do
        curl -s -o /dev/null "http://127.0.0.1:$NG_HTTP/" && return 0
        kill -0 "$NGINX_PID" 2>/dev/null || return 1
        sleep 0.1
    done
    return 0
}
for attempt in 1 2 3 4 5; do
    start_nginx && break
    wait "$NGINX_PID" 2>/dev/null || true
    [ "$attempt" -lt 5 ] || fail "nginx did not start"
done
PIDS+=("$NGINX_PID")

status() {  # SOURCE URL [CURL ARGS...] -> HTTP status
    local source=$1 url=$2
    shift 2
    curl -sS -o "$WORK/body" -w '%{http_code}' --interface "$source" "$@" "$url"
}
DU=(-d 'mode=du&id=gamer01')
LOGIN='code=3c9a1f07d2b84e65a0c7f19e2d3b5a8c4e6f0a1b2c3d4e5f&id=gamer01&pw=secret'

[ "$(status 127.0.0.3 "https://127.0.0.1:$NG_HTTPS/app/login" --cacert "$DATA/tls/cert.pem" \
    -d "$LOGIN")" = 200 ] && grep -q 'result="OK"' "$WORK/body" ||
    fail "login through nginx"
grep -q '^https 127.0.0.3 POST /app/login 200' "$WORK/service.log" ||
    fail "the service did not see the forwarded client 127.0.0.3"
echo "ok: login through nginx binds the forwarded client 127.0.0.3"

[ "$(status 127.0.0.3 "http://127.0.0.1:$NG_HTTP/Kelpo/html/auth.php" "${DU[@]}")" = 200 ] ||
    fail "the bound client through nginx"
[ "$(status 127.0.0.4 "http://127.0.0.1:$NG_HTTP/Kelpo/html/auth.php" "${DU[@]}")" = 403 ] ||
    fail "another client through nginx"
echo "ok: through nginx, 127.0.0.3 is served and 127.0.0.4 is refused"

[ "$(status 127.0.0.4 "http://127.0.0.1:$HTTP/Kelpo/html/auth.php" "${DU[@]}" \
    -H 'X-Forwarded-For: 127.0.0.3')" = 403 ] ||
    fail "a forged X-Forwarded-For from outside the proxy"
echo "ok: X-Forwarded-For from an address that is not the proxy is ignored"

# An upload through nginx (which buffers the body) and the archive back.
head -c 300000 /dev/urandom >"$WORK/archive"
{
    printf -- '--AaB03x\r\ncontent-disposition: form-data; name="UserFile002"; filename="__WTF.zip"\r\n'
    printf 'Content-Type: multipart/mixed\r\nContent-Transfer-Encoding: binary\r\n\r\n'
    cat "$WORK/archive"
    printf '\r\n--AaB03x\r\n\r\n'
} >"$WORK/upload"
[ "$(status 127.0.0.3 "http://127.0.0.1:$NG_HTTP/Kelpo/html/post.php?userid=gamer01" \
    --data-binary "@$WORK/upload" -H 'Content-Type: multipart/form-data, boundary=AaB03x')" = 200 ] ||
    fail "upload through nginx"
[ "$(status 127.0.0.3 "http://127.0.0.1:$NG_HTTP/Kelpo/UserData/gamer01/__WTF.zip")" = 200 ] &&
    cmp -s "$WORK/body" "$WORK/archive" || fail "download through nginx"
echo "ok: an upload through nginx comes back byte for byte"

# ---- Two instances over one PostgreSQL database and one S3 bucket, nginx balancing between
# them (round robin, as the README shows it). The servers are started here: PostgreSQL from
# Debian's packages (run as nobody when this runs as root), the tests' S3 server on loopback.
PG_BIN=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -1)
[ -x "$PG_BIN/postgres" ] || fail "PostgreSQL is not installed (scripts/install-deps installs it)"
S3_SERVER=$(cd "$(dirname "$0")/../support/s3" && pwd)/serve.js
[ -d "$(dirname "$S3_SERVER")/node_modules/s3rver" ] ||
    fail "the tests' S3 server is not installed (scripts/install-deps installs it)"
as_server_user() {
    if [ "$(id -u)" -eq 0 ]; then
        setpriv --reuid=nobody --regid=nogroup --clear-groups -- "$@"
    else
        "$@"
    fi
}
mkdir -p "$WORK/pg"
if [ "$(id -u)" -eq 0 ]; then
    chmod 711 "$WORK"  # nobody passes through to its own folder
    chown nobody:nogroup "$WORK/pg"
fi
as_server_user "$PG_BIN/initdb" -D "$WORK/pg/data" -U zav --auth=trust -E UTF8 --locale=C \
    --no-sync >"$WORK/pg/initdb.log" 2>&1 || fail "initdb: $(cat "$WORK/pg/initdb.log")"
PG_PORT=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
as_server_user "$PG_BIN/postgres" -D "$WORK/pg/data" -k "$WORK/pg" -c listen_addresses=127.0.0.1 \
    -p "$PG_PORT" -c fsync=off >"$WORK/pg/server.log" 2>&1 &
PIDS+=($!)
for _ in $(seq 200); do
    pg_isready -q -h 127.0.0.1 -p "$PG_PORT" && break
    sleep 0.1
done
pg_isready -q -h 127.0.0.1 -p "$PG_PORT" || fail "PostgreSQL did not start: $(cat "$WORK/pg/server.log")"
export AWS_ACCESS_KEY_ID=zavtest AWS_SECRET_ACCESS_KEY=zav-test-secret AWS_REGION=eu-west-1
exec {S3OUT}< <(exec node "$S3_SERVER" "$WORK/s3" zavtest 0 2>"$WORK/s3.log")
PIDS+=($!)
read -r -t 30 -u "$S3OUT" S3LINE || fail "the S3 server did not start: $(cat "$WORK/s3.log")"
STORE=(--db "postgresql://zav@127.0.0.1:$PG_PORT/postgres" --store s3://zavtest/zav
       --s3-endpoint "http://127.0.0.1:${S3LINE##*:}")
"$SERVICE" member add "${STORE[@]:0:2}" gamer01 secret nick || fail "member add --db"

# The instances' clock is a file, so that the lease of a killed instance can run out at once.
CLOCK=$WORK/clock
python3 -c 'import time; print(int(time.time() * 1000))' >"$CLOCK"
advance_clock() {  # MILLISECONDS
    python3 - "$CLOCK" "$1" <<'PY'
import os, sys
path, step = sys.argv[1], int(sys.argv[2])
now = int(open(path).read()) + step
open(path + ".new", "w").write(f"{now}\n")
os.replace(path + ".new", path)
PY
}
start_instance() {  # NAME -> sets NAME_PID, NAME_HTTP, NAME_HTTPS
    local name=$1 fd line1 line2
    exec {fd}< <(exec "$SERVICE" serve --data "$WORK/$name" "${STORE[@]}" --http 127.0.0.1:0 \
        --https 127.0.0.1:0 --trusted-proxy 127.0.0.1 --clock-file "$CLOCK" \
        2>>"$WORK/$name.log")
    local pid=$!
    read -r -t 30 -u "$fd" line1 || fail "instance $name did not start: $(cat "$WORK/$name.log")"
    read -r -t 30 -u "$fd" line2 || fail "instance $name did not start"
    PIDS+=("$pid")
    printf -v "${name}_PID" %s "$pid"
    printf -v "${name}_HTTP" %s "${line1##*:}"
    printf -v "${name}_HTTPS" %s "${line2##*:}"
}
# The instances share one server certificate, as behind a balancer: A's, made at its start.
start_instance A
mkdir -p "$WORK/B" && chmod 700 "$WORK/B" && cp -a "$WORK/A/tls" "$WORK/B/tls"
start_instance B

read -r LB_HTTP LB_HTTPS < <(python3 -c '
import socket
socks = [socket.socket() for _ in range(2)]
for s in socks:
    s.bind(("127.0.0.1", 0))
print(*(s.getsockname()[1] for s in socks))')
mkdir -p "$WORK/lb"
cat >"$WORK/lb.conf" <<EOF2
daemon off;
master_process off;
pid $WORK/lb.pid;
error_log $WORK/lb-error.log;
events { worker_connections 256; }
http {
    access_log off;
    client_body_temp_path $WORK/lb/body;
    proxy_temp_path $WORK/lb/proxy;
    fastcgi_temp_path $WORK/lb/fastcgi;
    uwsgi_temp_path $WORK/lb/uwsgi;
    scgi_temp_path $WORK/lb/scgi;
    client_max_body_size 25m;
    proxy_set_header X-Forwarded-For \$proxy_add_x_forwarded_for;
    upstream zav_http {
        server 127.0.0.1:$A_HTTP max_fails=1 fail_timeout=30s;
        server 127.0.0.1:$B_HTTP max_fails=1 fail_timeout=30s;
    }
    upstream zav_https {
        server 127.0.0.1:$A_HTTPS max_fails=1 fail_timeout=30s;
        server 127.0.0.1:$B_HTTPS max_fails=1 fail_timeout=30s;
    }
    server {
        listen 127.0.0.1:$LB_HTTP;
        location / { proxy_pass http://zav_http; }
    }
    server {
        listen 127.0.0.1:$LB_HTTPS ssl;
        ssl_certificate $WORK/A/tls/cert.pem;
        ssl_certificate_key $WORK/A/tls/key.pem;
        location / {
            proxy_pass https://zav_https;
            proxy_ssl_verify on;
            proxy_ssl_trusted_certificate $WORK/A/tls/cert.pem;
            proxy_ssl_name localhost;
        }
    }
}
EOF2
"$NGINX" -p "$WORK/lb" -c "$WORK/lb.conf" -e "$WORK/lb-error.log" &
PIDS+=($!)
for _ in $(seq 100); do
    curl -s -o /dev/null "http://127.0.0.1:$LB_HTTP/" && break
    sleep 0.1
done
LB=http://127.0.0.1:$LB_HTTP
LB_LOGIN=https://127.0.0.1:$LB_HTTPS/app/login
fail_shared() {
    for f in A.log B.log lb-error.log s3.log; do
        echo "--- $f" >&2
        tail -n 40 "$WORK/$f" >&2 || true
    done
    fail "$@"
}
count() {  # INSTANCE PATTERN -> how many of the instance's log lines match
    grep -c -- "$2" "$WORK/$1.log" || true
}
# Which instance served the last request whose log line matches the pattern.
served_by() {  # PATTERN BEFORE_A BEFORE_B
    if [ "$(count A "$1")" -gt "$2" ]; then echo A; elif [ "$(count B "$1")" -gt "$3" ]; then echo B; fi
}
upload_status() {  # FILE -> HTTP status of an upload through nginx
    status 127.0.0.5 "$LB/Kelpo/html/post.php?userid=gamer01" --data-binary "@$1" \
        -H 'Content-Type: multipart/form-data, boundary=AaB03x'
}
make_upload() {  # OUT WTF_BYTES FONTS_BYTES: an upload of WTF and Fonts archives, and the two
    head -c "$2" /dev/urandom >"$1.wtf"
    head -c "$3" /dev/urandom >"$1.fonts"
    {
        printf -- '--AaB03x\r\ncontent-disposition: form-data; name="UserFile002"; filename="__WTF.zip"\r\n'
        printf 'Content-Type: multipart/mixed\r\nContent-Transfer-Encoding: binary\r\n\r\n'
        cat "$1.wtf"
        printf '\r\n--AaB03x\r\ncontent-disposition: form-data; name="UserFile004"; filename="__Fonts.zip"\r\n'
        printf 'Content-Type: multipart/mixed\r\nContent-Transfer-Encoding: binary\r\n\r\n'
        cat "$1.fonts"
        printf '\r\n--AaB03x\r\n\r\n'
    } >"$1"
}
download_is() {  # CATEGORY FILE
    [ "$(status 127.0.0.5 "$LB/Kelpo/UserData/gamer01/__$1.zip")" = 200 ] && cmp -s "$WORK/body" "$2"
}

# A member's whole session, its login through one instance and its upload through the other.
[ "$(status 127.0.0.5 "$LB_LOGIN" --cacert "$WORK/A/tls/cert.pem" -d "$LOGIN")" = 200 ] &&
    grep -q 'result="OK"' "$WORK/body" || fail_shared "login through the balancer"
LOGGED_IN=$(served_by "POST /app/login 200" 0 0)
[ -n "$LOGGED_IN" ] || fail_shared "no instance logged the login"
# Round robin: requests go to the instances in turn; one more request, if need be, puts the
# upload on the other instance.
N_A=$(count A "POST /Kelpo/html/auth.php"); N_B=$(count B "POST /Kelpo/html/auth.php")
[ "$(status 127.0.0.5 "$LB/Kelpo/html/auth.php" "${DU[@]}")" = 200 ] || fail_shared "du through the balancer"
if [ "$(served_by "POST /Kelpo/html/auth.php" "$N_A" "$N_B")" != "$LOGGED_IN" ]; then
    status 127.0.0.5 "$LB/Kelpo/html/new_config.php" >/dev/null
fi
make_upload "$WORK/set1" 700000 3000
[ "$(upload_status "$WORK/set1")" = 200 ] || fail_shared "upload through the balancer: $(cat "$WORK/body")"
UPLOADED=$(served_by "POST /Kelpo/html/post.php 200" 0 0)
[ -n "$UPLOADED" ] && [ "$UPLOADED" != "$LOGGED_IN" ] ||
    fail_shared "the upload went to $UPLOADED, the instance of the login ($LOGGED_IN)"
download_is WTF "$WORK/set1.wtf" && download_is Fonts "$WORK/set1.fonts" ||
    fail_shared "the archives did not come back byte for byte"
[ "$(count A "GET /Kelpo/UserData/gamer01")" -ge 1 ] && [ "$(count B "GET /Kelpo/UserData/gamer01")" -ge 1 ] ||
    fail_shared "the downloads did not go through both instances"
[ "$(status 127.0.0.5 "$LB/Kelpo/html/auth.php" -d 'mode=removeall&id=gamer01')" = 200 ] ||
    fail_shared "removeall through the balancer"
[ "$(status 127.0.0.6 "$LB/Kelpo/html/auth.php" "${DU[@]}")" = 403 ] || fail_shared "another client"
status 127.0.0.5 "$LB/Kelpo/html/auth.php" "${DU[@]}" >/dev/null
grep -q 'Data=0$' "$WORK/body" || fail_shared "removeall left $(cat "$WORK/body")"
echo "ok: two instances behind nginx: login on $LOGGED_IN, upload on $UPLOADED, download, remove all"

# Parallel wrong passwords from one address, spread over both instances, are slowed down as if
# they met one: five password checks answer "wrong", the rest wait. The clock stands still.
WRONG='code=3c9a1f07d2b84e65a0c7f19e2d3b5a8c4e6f0a1b2c3d4e5f&id=gamer01&pw=guess'
L_A=$(count A "POST /app/login"); L_B=$(count B "POST /app/login")
mkdir -p "$WORK/guesses"
GUESSES=()
for i in $(seq 30); do
    curl -sS -o "$WORK/guesses/$i" --interface 127.0.0.7 --cacert "$WORK/A/tls/cert.pem" \
        -d "$WRONG" "$LB_LOGIN" &
    GUESSES+=($!)
done
for pid in "${GUESSES[@]}"; do
    wait "$pid" || true
done
WRONG_TEXT='아이디 또는 비밀번호가 올바르지 않습니다.'
N_WRONG=$(grep -l -F "$WRONG_TEXT" "$WORK"/guesses/* | wc -l)
[ "$N_WRONG" -eq 5 ] || fail_shared "$N_WRONG of 30 parallel guesses were checked, not 5"
[ "$(count A "POST /app/login")" -gt "$L_A" ] && [ "$(count B "POST /app/login")" -gt "$L_B" ] ||
    fail_shared "the guesses did not reach both instances"
echo "ok: 30 parallel guesses over both instances got 5 password checks, as at one instance"

# kill -9 of an instance while it takes an upload: the member keeps the old set or gets the
# new one whole, and the session goes on through the other instance.
[ "$(upload_status "$WORK/set1")" = 200 ] || fail_shared "upload of the first set"
make_upload "$WORK/set2" 12000000 5000
# The instance after the one that serves this request takes the upload.
N_A=$(count A "GET /Kelpo/html/new_config.php"); N_B=$(count B "GET /Kelpo/html/new_config.php")
status 127.0.0.5 "$LB/Kelpo/html/new_config.php" >/dev/null
LAST=$(served_by "GET /Kelpo/html/new_config.php" "$N_A" "$N_B")
VICTIM=$([ "$LAST" = A ] && echo B || echo A)
VICTIM_PID=${VICTIM}_PID
upload_status "$WORK/set2" >"$WORK/killed-status" &
UPLOAD_PID=$!
# The victim dies while its worker holds the upload (nginx sends the body once it has it all).
for _ in $(seq 2000); do
    compgen -G "$WORK/$VICTIM/UserData/.stage-*" >/dev/null && break
    sleep 0.002
done
kill -9 "${!VICTIM_PID}"
wait "$UPLOAD_PID" || true
echo "ok: instance $VICTIM killed during an upload (nginx answered $(cat "$WORK/killed-status"))"
status 127.0.0.5 "$LB/Kelpo/html/auth.php" "${DU[@]}" >/dev/null
if grep -q 'WTF=12000000' "$WORK/body"; then
    download_is WTF "$WORK/set2.wtf" && download_is Fonts "$WORK/set2.fonts" ||
        fail_shared "the new set is not whole"
    echo "ok: the new set was stored whole"
else
    grep -q 'Fonts=3000|Interface=0|WDB=0|WTF=700000' "$WORK/body" ||
        fail_shared "neither set: $(cat "$WORK/body")"
    download_is WTF "$WORK/set1.wtf" && download_is Fonts "$WORK/set1.fonts" ||
        fail_shared "the old set is not whole"
    echo "ok: the old set stayed whole"
fi
# The killed instance's lease of the member runs out at its expiry; then uploads go on.
advance_clock 21000
make_upload "$WORK/set3" 100000 100
[ "$(upload_status "$WORK/set3")" = 200 ] || fail_shared "upload after the kill: $(cat "$WORK/body")"
download_is WTF "$WORK/set3.wtf" && download_is Fonts "$WORK/set3.fonts" ||
    fail_shared "the archives after the kill"
[ "$(status 127.0.0.5 "$LB/Kelpo/html/auth.php" -d 'mode=removeall&id=gamer01')" = 200 ] ||
    fail_shared "removeall after the kill"
echo "ok: the session goes on through the other instance"

