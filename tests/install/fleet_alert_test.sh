#!/usr/bin/env bash
# Three simulated hosts lose the same device, then get it back, under two
# real Alertmanagers as a cluster (scripts/fleet): one group of three alerts,
# one firing notification listing the three hosts, and, with the second
# Alertmanager killed before the device comes back, one resolved one.
#   fleet_alert_test.sh BUILD_DIR
set -euo pipefail
for tool in prometheus promtool rsyslogd curl prometheus-alertmanager amtool; do
  command -v $tool >/dev/null || { echo "$tool not installed"; exit 77; }
done
top=$(cd "$(dirname "$0")/../.." && pwd)
dir=$(mktemp -d /tmp/wispd-fleet-alert-test-XXXXXX)
trap 'rm -rf "$dir"' EXIT
fail() { echo "fleet alert test: $*" >&2; cat "$dir/out" >&2; exit 1; }

echo '{"id": "wisp.storage.apd.start", "args": [{"s": "naa.600a0b80"}], "ctx": 3}' >"$dir/loss.jsonl"
echo '{"id": "wisp.storage.apd.exit", "args": [{"s": "naa.600a0b80"}], "ctx": 3}' >"$dir/back.jsonl"
FLEET_BIN=$1/bin FLEET_SCRAPE=1s FLEET_IDLE=0 FLEET_GROUP_WAIT=2s FLEET_GROUP_INTERVAL=2s \
  FLEET_PEER_TIMEOUT=500ms FLEET_GOSSIP=50ms FLEET_ALERT_KILL=1 FLEET_ALERT_CLEAR=$dir/back.jsonl \
  "$top/scripts/fleet" 3 "$dir/loss.jsonl" >"$dir/out" 2>&1 || fail "scripts/fleet failed"
grep -qx "== Alertmanager 1: 3 alerts in 1 group(s)" "$dir/out" || fail "not 3 alerts in one group"
[ "$(grep -c '^notification ' "$dir/out")" -eq 2 ] || fail "not exactly two notifications"
grep -q '^notification 1: firing, 3 alerts, 3 hosts, group {"alertname":"tarn.problem.storage.apd.start","device":"naa.600a0b80"}$' \
  "$dir/out" || fail "the first notification is not the firing one for the three hosts"
grep -q '^notification 2: resolved, 3 alerts, 3 hosts, ' "$dir/out" || fail "no resolved notification"
# Six flares read; the resolved alerts wait for the killed Alertmanager.
grep -Eq '^== forwarders: flares read 6, alerts forwarded 9, rejected 0, retried [1-9][0-9]*, pending 3$' \
  "$dir/out" || fail "the forwarders' counters are not as expected"
grep -q "fleet: " "$dir/out" && fail "the fleet reported a problem"
echo "fleet alerting ok"
