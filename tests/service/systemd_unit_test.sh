#!/usr/bin/env bash
# The instances' systemd unit, checked offline: systemd-analyze reads it without a warning (an
# unknown key, a bad value, a missing binary), and its sandbox keeps the exposure low. Skipped
# (77) where systemd-analyze is not installed.
set -euo pipefail
service=$1
unit_src=$(dirname "$0")/../../service/dist/zav-service@.service
command -v systemd-analyze >/dev/null || exit 77
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
sed "s#/usr/local/bin/zav-service#$service#" "$unit_src" >"$work/zav-service@.service"

out=$(systemd-analyze verify "$work/zav-service@.service" 2>&1) || { echo "$out"; exit 1; }
if [ -n "$out" ]; then
  echo "systemd-analyze verify: $out"
  exit 1
fi
exposure=$(systemd-analyze security --offline=true "$work/zav-service@.service" 2>&1 |
  sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')
echo "exposure: ${exposure:-none}"
[ -n "$exposure" ] && awk -v e="$exposure" 'BEGIN { exit !(e <= 2.0) }'
