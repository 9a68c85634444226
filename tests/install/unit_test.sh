#!/usr/bin/env bash
# The service units verify cleanly against this system's systemd and stay
# locked down: an exposure of at most 1.5 for each.
#   unit_test.sh BUILD_DIR
set -euo pipefail
command -v systemd-analyze >/dev/null || { echo "systemd-analyze not installed"; exit 77; }
build=$1
dir=$(mktemp -d /tmp/wispd-units-XXXXXX)
trap 'rm -rf "$dir"' EXIT
status=0
for unit in wispd hubd wispd-exporter wisp-alert wisp-linux; do
  # Pointed at the built binaries, which verify requires to exist.
  sed -E "s|^ExecStart=/[^ ]*/([^/ ]+)|ExecStart=$build/bin/\1|" \
    "$build/packaging/$unit.service" >"$dir/$unit.service"
  grep -q "^ExecStart=$build/bin/" "$dir/$unit.service" || { echo "$unit: no ExecStart"; status=1; }
done
# Any output, warnings included, is a failure.
out=$(cd "$dir" && systemd-analyze verify --man=no ./*.service 2>&1) || status=1
[ -z "$out" ] || { echo "verify: $out"; status=1; }
for unit in wispd hubd wispd-exporter wisp-alert wisp-linux; do
  score=$(systemd-analyze security --offline=true --no-pager "$dir/$unit.service" 2>&1 |
          sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')
  echo "$unit.service: exposure $score"
  awk -v s="$score" 'BEGIN { exit !(s != "" && s <= 1.5) }' || { echo "$unit: above 1.5"; status=1; }
done
# systemd counts an end by SIGHUP as clean: every unit restarts after it too.
for unit in wispd hubd wispd-exporter wisp-alert wisp-linux; do
  grep -qx "Restart=on-failure" "$dir/$unit.service" || { echo "$unit: no restart"; status=1; }
  grep -Eqx "RestartForceExitStatus=SIGHUP( .*)?" "$dir/$unit.service" ||
    { echo "$unit: no restart after SIGHUP"; status=1; }
done
grep -qx "After=hubd.service" "$dir/wispd.service" || { echo "wispd not ordered after hubd"; status=1; }
exit $status
