#!/usr/bin/env bash
# A real link's loss and return, from the kernel to a real Alertmanager: a
# veth in a private network namespace read by wisp-linux, the daemon, hubd,
# wisp-alert. The alert fires while the link is down and resolves with it.
#   linux_alert_test.sh BUILD_DIR
set -euo pipefail
for tool in prometheus-alertmanager curl ip; do
  command -v $tool >/dev/null || { echo "$tool not installed"; exit 77; }
done
[ "$(id -u)" -eq 0 ] || { echo "needs root, for a network namespace"; exit 77; }
bin=$(cd "$1" && pwd)/bin
ns=wisptest-alert-$$
ip netns add "$ns" 2>/dev/null || { echo "cannot make a network namespace"; exit 77; }
dir=$(mktemp -d /tmp/wispd-linux-alert-XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  ip netns del "$ns"
  rm -rf "$dir"
}
trap cleanup EXIT
fail() { echo "linux alert test: $*" >&2; tail -5 "$dir"/*.err >&2 || true; exit 1; }
wait_for() {  # wait_for WHAT COMMAND...: up to 30 s for the command to succeed
  local what=$1
  shift
  for _ in $(seq 300); do "$@" && return 0; sleep 0.1; done
  fail "timed out waiting for $what"
}

export WISPD_ROOT=$dir/root
"$bin/wisp-root" init "$WISPD_ROOT" >/dev/null
ip -n "$ns" link add pnic0 type veth peer name peer0
ip -n "$ns" link set pnic0 up && ip -n "$ns" link set peer0 up
echo '{"nic_kinds": ["veth"], "ignore": ["peer*"]}' >"$WISPD_ROOT/etc/pelldan/wisp-linux.json"
journal=$WISPD_ROOT/var/log/pelldan/hubd.jsonl

cat >"$dir/am.yml" <<'YML'
route: {receiver: none}
receivers: [{name: none}]
YML
# Alertmanager listens in the namespace's own loopback, where no other
# program can hold its port; wisp-alert and the checks reach it there.
# (Started by `ip netns exec` itself, which becomes the program: its pid is
# the one stopped.)
ip -n "$ns" link set lo up
in_ns() { ip netns exec "$ns" "$@"; }
ip netns exec "$ns" prometheus-alertmanager --config.file="$dir/am.yml" --storage.path="$dir/am" \
  --web.listen-address=127.0.0.1:9093 --cluster.listen-address= --log.level=warn \
  2>"$dir/am.err" & pids+=($!)
am=http://127.0.0.1:9093
wait_for "Alertmanager" in_ns curl -sf "$am/-/ready" -o /dev/null
"$bin/wisp-syslog" --out "$dir/syslog.log" 2>"$dir/syslog.err" & pids+=($!)
"$bin/hubd" --out "$journal" 2>"$dir/hubd.err" & pids+=($!)
wait_for "hubd" test -S "$WISPD_ROOT/var/run/pelldan/hubd-flare.sock"
"$bin/wispd" 2>"$dir/wispd.err" & pids+=($!)
wait_for "wispd" grep -q 'setup completed' "$dir/syslog.log"
ip netns exec "$ns" "$bin/wisp-alert" --alertmanager "$am" --host linuxtest --resend 1 2>"$dir/alert.err" &
pids+=($!)
ip netns exec "$ns" "$bin/wisp-linux" 2>"$dir/linux.err" & pids+=($!)
wait_for "wisp-linux" grep -sqE 'wisp_linux_events_read_total\{family="net"\} [1-9]' \
  "$WISPD_ROOT/var/run/pelldan/wisp-linux.prom"

firing() {  # the link-down alert of pnic0 is active in Alertmanager
  in_ns curl -sf "$am/api/v2/alerts" | grep -q '"alertname":"tarn.problem.net.pnic.linkstate.down"'
}
resolved() {  # Alertmanager answers, and without that alert
  local alerts
  alerts=$(in_ns curl -sf "$am/api/v2/alerts") && ! grep -q linkstate.down <<<"$alerts"
}
ip -n "$ns" link set peer0 down
wait_for "the link-down flare" grep -q 'Physical NIC pnic0 linkstate is down' "$journal"
wait_for "the alert to fire" firing
in_ns curl -sf "$am/api/v2/alerts" | grep -q '"host":"linuxtest"' || fail "the alert has no host label"
ip -n "$ns" link set peer0 up
wait_for "the clear" grep -q 'Physical NIC pnic0 linkstate is up' "$journal"
wait_for "the alert to resolve" resolved
echo "linux alert ok"
