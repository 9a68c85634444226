#!/usr/bin/env bash
# Three simulated hosts under one real Prometheus and one real rsyslog
# (scripts/fleet): every target is up, Prometheus counts the observations
# each host was sent and the flares each posted, and the central log holds
# each host's lines, named from the demo's host model.
#   fleet_test.sh BUILD_DIR
set -euo pipefail
for tool in prometheus promtool rsyslogd curl; do
  command -v $tool >/dev/null || { echo "$tool not installed"; exit 77; }
done
top=$(cd "$(dirname "$0")/../.." && pwd)
dir=$(mktemp -d /tmp/wispd-fleet-test-XXXXXX)
trap 'rm -rf "$dir"' EXIT
fail() { echo "fleet test: $*" >&2; cat "$dir/out" >&2; exit 1; }

# Seven observations on every host; four raise a problem each, and a path
# of the host model's storage device goes down (a fifth problem, naming the
# model's datastores) and comes back (a clear).
cat >"$dir/scenario.jsonl" <<'LINES'
{"id": "wisp.storage.apd.start", "args": [{"s": "naa.f1"}], "ctx": 1}
{"id": "wisp.storage.apd.start", "args": [{"s": "naa.f2"}], "ctx": 2}
{"batch": [{"id": "wisp.storage.apd.start", "args": [{"s": "naa.f3"}]}, {"id": "wisp.storage.apd.start", "args": [{"s": "naa.f4"}]}], "ctx": 3}
{"id": "wisp.no.such.observation", "ctx": "user"}
{"id": "wisp.scsi.scsipath.pathstate.dead", "fmt": "Path %s changed state from %s to dead", "args": [{"s": "hba1:C0:T0:L0"}, {"s": "on"}], "ctx": 4}
{"sleep": 0.2}
{"id": "wisp.scsi.scsipath.pathstate.on", "fmt": "Path %s changed state from %s to on", "args": [{"s": "hba1:C0:T0:L0"}, {"s": "dead"}], "ctx": 4}
LINES
FLEET_BIN=$1/bin FLEET_SCRAPE=1s FLEET_IDLE=0 FLEET_SETTLE=1 FLEET_LOG=$dir/central.log \
  FLEET_GROUP_WAIT=1s \
  "$top/scripts/fleet" 3 "$dir/scenario.jsonl" >"$dir/out" 2>&1 || fail "scripts/fleet failed"
grep -qx "== targets up: 3 of 3" "$dir/out" || fail "not every target is up"
for h in host01 host02 host03; do
  grep -q "^{host=\"$h\"} => 7 @" "$dir/out" || fail "$h: Prometheus does not count 7 observations"
  grep -q "^{host=\"$h\", kind=\"problem\"} => 5 @" "$dir/out" || fail "$h: not 5 problems"
  grep -q "^{host=\"$h\", kind=\"clear\"} => 1 @" "$dir/out" || fail "$h: not 1 clear"
  grep -q "^$h wispd\[[0-9]*\]: .*Affected datastores: \"ds-main\", \"ds-spare\"" "$dir/central.log" ||
    fail "$h: the degraded path does not name the host model's datastores"
  grep -Eq "^$h wispd\[[0-9]+\]: .*wispd setup completed. Start polling loop.$" "$dir/central.log" ||
    fail "$h: no start line in the central log"
  [ "$(grep -c "^$h wispd\[[0-9]*\]: .*\[tarn.problem.storage.apd.start\] Device" "$dir/central.log")" -eq 4 ] ||
    fail "$h: not 4 problem lines in the central log"
done
echo "fleet ok"
