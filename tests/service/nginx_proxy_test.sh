#!/usr/bin/env bash
# zav-service behind Debian's nginx on loopback, set up as the README shows it: nginx ends TLS
# and proxies both listeners, zav-service trusts it (--trusted-proxy 127.0.0.1) and binds a
# member to the address nginx forwards for. Clients come from 127.0.0.3 and 127.0.0.4.
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
