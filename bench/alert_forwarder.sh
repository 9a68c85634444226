#!/usr/bin/env bash
# How fast wisp-alert drains a journal into one Alertmanager, and its memory
# (docs/performance.md). The journal holds N flares (default 100000): with
# MODE "problems" (the default) N all-paths-down starts of distinct devices,
# with "pairs" N/2 starts each followed later by its exit. Times from the
# start of wisp-alert until Alertmanager has taken every alert, then the stop:
# SIGTERM until it has saved its state and exited; then its memory once
# started again from that state.
#   bench/alert_forwarder.sh [N] [MODE]      (build/bin from scripts/build)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bin=${ALERT_BIN:-$top/build/bin}
n=${1:-100000}
mode=${2:-problems}
dir=$(mktemp -d /tmp/wispd-alert-bench-XXXXXX)
pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; wait; rm -rf "$dir"' EXIT
free_port() {
  local port
  for _ in $(seq 100); do
    port=$(( 20000 + RANDOM % 20000 ))
    (exec 3<>/dev/tcp/127.0.0.1/$port) 2>/dev/null || { echo $port; return; }
  done
  return 1
}
export WISPD_ROOT=$dir/root
"$bin/wisp-root" init "$WISPD_ROOT" >/dev/null
awk -v n="$n" -v mode="$mode" -v t="$(date +%s)000000" 'BEGIN {
  line = "{\"time_us\": %d, \"uuid\": \"00\", \"id\": \"tarn.%s.storage.apd.%s\", \"args\": [{\"s\": \"naa.%d\"}], \"message\": \"Device or filesystem with identifier [naa.%d] has %s the All Paths Down state.\"}\n"
  if (mode == "pairs") {
    for (i = 0; i < n / 2; i++) printf line, t + i, "problem", "start", i, i, "entered"
    for (i = 0; i < n / 2; i++) printf line, t + n + i, "clear", "exit", i, i, "exited"
  } else {
    for (i = 0; i < n; i++) printf line, t + i, "problem", "start", i, i, "entered"
  }
}' >"$WISPD_ROOT/var/log/pelldan/hubd.jsonl"
am=$(free_port)
cat >"$dir/am.yml" <<'EOF'
route: {receiver: none}
receivers: [{name: none}]
EOF
prometheus-alertmanager --config.file="$dir/am.yml" --storage.path="$dir/am" \
  --web.listen-address="127.0.0.1:$am" --cluster.listen-address= --log.level=warn 2>"$dir/am.err" &
am_pid=$! && pids+=($am_pid)
until curl -sf "http://127.0.0.1:$am/-/ready" -o /dev/null; do sleep 0.1; done
# start_forwarder LOG: wisp-alert in the background, its counters at $metrics.
start_forwarder() {
  "$bin/wisp-alert" --alertmanager "http://127.0.0.1:$am" --host bench --listen 127.0.0.1:0 \
    2>"$1" &
  alert_pid=$! && pids+=($alert_pid)
  until grep -q metrics "$1"; do sleep 0.05; done
  metrics=$(sed -n 's|.*counters at \(http://[^ ]*\)|\1|p' "$1")
}
value() { curl -sf "$metrics" | awk -v n="$1" 'index($1, n) == 1 {s += $2} END {print s + 0}'; }
start=$(date +%s.%N)
start_forwarder "$dir/alert.err"
# Every line read, nothing pending: Alertmanager has every alert.
until [ "$(value 'wisp_alert_journal_lines_total{line="flare"}')" -eq "$n" ] &&
      [ "$(value wisp_alert_alerts_pending)" -eq 0 ]; do
  sleep 0.1
done
end=$(date +%s.%N)
kib() { awk -v k="$2:" '$1 == k {print $2}' "/proc/$1/status"; }
cpu() { awk -v hz="$(getconf CLK_TCK)" '{printf "%.1f", ($14 + $15) / hz}' "/proc/$1/stat"; }
held=$(value wisp_alert_alerts_held) posted=$(value wisp_alert_alerts_forwarded_total)
# Resident now, at rest with every alert held (the peak adds what draining
# the journal and saving the state had in hand at once).
rss=$(kib $alert_pid VmRSS) hwm=$(kib $alert_pid VmHWM)
alert_cpu=$(cpu $alert_pid)
# One flare more (the first again, which changes no count above), read and,
# saves coming at most once a second, most often not yet saved: the stop
# then writes the state, as a stop mostly must. Whether it did is told.
journal=$WISPD_ROOT/var/log/pelldan/hubd.jsonl state=$WISPD_ROOT/var/lib/pelldan/wisp-alert.json
head -1 "$journal" >>"$journal"
until [ "$(value 'wisp_alert_journal_lines_total{line="flare"}')" -eq $((n + 1)) ]; do
  sleep 0.05
done
inode=$(stat -c %i "$state")
# The stop: SIGTERM until the process is gone.
stop_start=$(date +%s.%N)
kill -TERM "$alert_pid"
stop_rc=0
wait "$alert_pid" || stop_rc=$?
stop_end=$(date +%s.%N)
[ "$(stat -c %i "$state")" != "$inode" ] && written="state written" || written="state was current"
[ "$stop_rc" -eq 0 ] || { echo "wisp-alert ended with status $stop_rc:" >&2; cat "$dir/alert.err" >&2; }
echo "$n flares ($mode): $(awk -v s="$start" -v e="$end" -v n="$n" \
  'BEGIN { printf "%.1f s, %.0f flares/s", e - s, n / (e - s) }')," \
  "$posted alerts posted, $held held;" \
  "wisp-alert resident $(( rss / 1024 )) MiB at rest, $(( hwm / 1024 )) MiB peak," \
  "Alertmanager $(( $(kib $am_pid VmHWM) / 1024 )) MiB peak;" \
  "CPU: wisp-alert $alert_cpu s, Alertmanager $(cpu $am_pid) s;" \
  "stop (SIGTERM to exit) $(awk -v s="$stop_start" -v e="$stop_end" 'BEGIN { printf "%.2f", e - s }') s," \
  "$written; state file $(( $(stat -c %s "$state") / 1024 )) KiB"
# Started again from that state (loaded before the counters are served): at
# rest once what fired is sent again, as it is after a restart.
start_forwarder "$dir/alert2.err"
until [ "$(value wisp_alert_alerts_pending)" -eq 0 ]; do sleep 0.1; done
echo "started again from that state: $(value wisp_alert_alerts_held) alerts held;" \
  "wisp-alert resident $(( $(kib $alert_pid VmRSS) / 1024 )) MiB at rest," \
  "$(( $(kib $alert_pid VmHWM) / 1024 )) MiB peak"
