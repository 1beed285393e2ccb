#!/bin/bash
# Smoke test of the real program in a real X server: zav starts against a zav-service on
# loopback, its "ZAV" login window appears, a member logs in by keyboard, and the main window
# appears with no message box shown. Everything is bounded in time; every process started here
# is stopped by its own id.
#   xvfb_smoke.sh ZAV_BINARY ZAV_SERVICE_BINARY
set -u
ZAV=$1
SERVICE=$2
WORK=$(mktemp -d "${TMPDIR:-/tmp}/zav-smoke.XXXXXX")
PIDS=()

cleanup() {
    for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null; done
    for pid in "${PIDS[@]}"; do wait "$pid" 2>/dev/null; done
    rm -rf "$WORK"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; [ -f "$WORK/service.err" ] && tail -5 "$WORK/service.err" >&2; exit 1; }

# Xvfb picks a free display number itself and writes it to fd 3.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$WORK/display" >"$WORK/xvfb.log" 2>&1 &
PIDS+=($!)
for _ in $(seq 1 100); do [ -s "$WORK/display" ] && break; sleep 0.1; done
DISPLAY_NUM=$(head -n1 "$WORK/display" 2>/dev/null)
[ -n "$DISPLAY_NUM" ] || fail "Xvfb did not start: $(cat "$WORK/xvfb.log")"
export DISPLAY=":$DISPLAY_NUM"
# Clients are let in once the server answers (a display number freed by another run can still
# be in its last moments).
for _ in $(seq 1 100); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
xdpyinfo >/dev/null 2>&1 || fail "Xvfb on $DISPLAY does not answer: $(cat "$WORK/xvfb.log")"

# The service, on ephemeral loopback ports, with one member.
export ZAV_SERVICE_HASH_ITERATIONS=1000
"$SERVICE" member add --data "$WORK/data" gamer01 zavdemo "용감한전사" >/dev/null 2>&1 ||
    fail "cannot add the member"
"$SERVICE" serve --data "$WORK/data" --http 127.0.0.1:0 --https 127.0.0.1:0 \
    >"$WORK/service.out" 2>"$WORK/service.err" &
PIDS+=($!)
for _ in $(seq 1 150); do
    [ "$(grep -c '^listening' "$WORK/service.out" 2>/dev/null)" = 2 ] && break
    sleep 0.1
done
HTTP=$(sed -n 's/^listening http \(.*\)$/\1/p' "$WORK/service.out")
HTTPS=$(sed -n 's/^listening https \(.*\)$/\1/p' "$WORK/service.out")
[ -n "$HTTP" ] && [ -n "$HTTPS" ] || fail "zav-service did not start"

# The program, with a game folder recorded in its private registry file.
mkdir -p "$WORK/game/WTF" "$WORK/config/zav"
printf 'REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Blizzard Entertainment\\World of Warcraft]\n"InstallPath"="%s/"\n\n' \
    "$WORK/game" >"$WORK/config/zav/registry.reg"
export XDG_CONFIG_HOME="$WORK/config" WINEPREFIX="$WORK/no-wine"
export ZAV_SERVICE_URL="http://$HTTP" ZAV_PORTAL_URL="https://$HTTPS"
export ZAV_BOARD_URL="http://$HTTP" ZAV_CA_FILE="$WORK/data/tls/cert.pem"
export ZAV_MESSAGE_LOG="$WORK/messages.jsonl"
export QT_QPA_PLATFORM=xcb
"$ZAV" >"$WORK/zav.log" 2>&1 &
ZAV_PID=$!
PIDS+=($ZAV_PID)

visible_zav_windows() { xdotool search --onlyvisible --name '^ZAV$' 2>/dev/null; }
wait_for_window() {  # prints the window id once one appears that is not $1
    for _ in $(seq 1 600); do
        kill -0 "$ZAV_PID" 2>/dev/null || { echo "zav ended" >&2; return 1; }
        for w in $(visible_zav_windows); do
            [ "$w" != "$1" ] && { echo "$w"; return 0; }
        done
        sleep 0.1
    done
    return 1
}

LOGIN=$(wait_for_window none) || {
    cat "$WORK/zav.log" "$WORK/messages.jsonl" >&2 2>/dev/null; fail "no ZAV login window"; }
[ ! -s "$WORK/messages.jsonl" ] || fail "start-up showed: $(cat "$WORK/messages.jsonl")"
echo "login window $LOGIN"

# Log in by keyboard: the id field has the focus; Tab moves to the password.
xdotool windowactivate --sync "$LOGIN" 2>/dev/null || xdotool windowfocus --sync "$LOGIN"
sleep 0.3
xdotool type --delay 20 gamer01
xdotool key Tab
xdotool type --delay 20 zavdemo
xdotool key Return
MAIN=$(wait_for_window "$LOGIN") || {
    cat "$WORK/messages.jsonl" "$WORK/zav.log" >&2 2>/dev/null; fail "no main window after login"; }
echo "main window $MAIN"
eval "$(xdotool getwindowgeometry --shell "$MAIN")"
[ "$WIDTH" = 644 ] && [ "$HEIGHT" = 433 ] || fail "main window is ${WIDTH}x${HEIGHT}, not 644x433"
[ ! -s "$WORK/messages.jsonl" ] || fail "the program showed: $(cat "$WORK/messages.jsonl")"
kill -0 "$ZAV_PID" || fail "zav ended"
echo "PASS"
