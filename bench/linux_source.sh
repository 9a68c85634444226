#!/usr/bin/env bash
# The Linux source on the real kernel, in a private network namespace
# (docs/performance.md): the time from a link's event to the flare at hubd
# over FLAPS flaps of a veth (default 2000, so 1000 timed problems), and the
# source's CPU over SECONDS at rest first (default 60). The NIC is a bridge's
# only uplink, so that the daemon reports its losses per settling window
# rather than a flare per flap; half the flaps come a minute after the other
# half, so that neither half meets the daemon's limit of 1000 flares a minute.
# Needs root.
#   bench/linux_source.sh [FLAPS] [SECONDS]      (build/bin from scripts/build)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bin=${LINUX_BIN:-$top/build/bin}
flaps=${1:-2000}
rest=${2:-60}
[ "$(id -u)" -eq 0 ] || { echo "linux_source.sh: needs root (a network namespace)" >&2; exit 1; }
ns=wispd-bench-$$
dir=$(mktemp -d /tmp/wispd-linux-bench-XXXXXX)
ip netns add "$ns"
pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; wait; ip netns del "$ns"; rm -rf "$dir"' EXIT
export WISPD_ROOT=$dir/root
"$bin/wisp-root" init "$WISPD_ROOT" >/dev/null
ip -n "$ns" link add pnic0 type veth peer name peer0
ip -n "$ns" link add switch0 type bridge
ip -n "$ns" link set pnic0 master switch0
for l in switch0 pnic0 peer0; do ip -n "$ns" link set "$l" up; done
cat >"$WISPD_ROOT/etc/pelldan/wisp-linux.json" <<'JSON'
{"nic_kinds": ["veth"], "ignore": ["peer*"],
 "advanced_options": {"Net": {"LinkFlappingThreshold": 1}}}
JSON
"$bin/wisp-syslog" --out "$dir/syslog.log" & pids+=($!)
"$bin/hubd" --out "$dir/hubd.jsonl" & pids+=($!)
until [ -S "$WISPD_ROOT/dev/log" ] && [ -S "$WISPD_ROOT/var/run/pelldan/hubd-flare.sock" ]; do sleep 0.05; done
"$bin/wispd" & pids+=($!)
until grep -q 'setup completed' "$dir/syslog.log" 2>/dev/null; do sleep 0.05; done
ip netns exec "$ns" "$bin/wisp-linux" 2>"$dir/linux.err" & source_pid=$! && pids+=($source_pid)
until grep -qE 'wisp_linux_events_read_total\{family="net"\} [1-9]' \
        "$WISPD_ROOT/var/run/pelldan/wisp-linux.prom" 2>/dev/null; do sleep 0.05; done
ticks() { awk '{print $14 + $15}' "/proc/$source_pid/stat"; }
# The scheduler's own count, in nanoseconds, beside the sampled ticks.
ran() { awk '{print $1}' "/proc/$source_pid/schedstat"; }
sleep 3  # the links settled
before=$(ticks) ran_before=$(ran)
sleep "$rest"
at_rest=$(( $(ticks) - before )) ran_us=$(( ($(ran) - ran_before) / 1000 ))
ip netns exec "$ns" "$bin/flap_latency" peer0 $((flaps / 2)) "$dir/hubd.jsonl" "$dir/ms"
sleep 61  # a new window of the daemon's flare limit
ip netns exec "$ns" "$bin/flap_latency" peer0 $((flaps - flaps / 2)) "$dir/hubd.jsonl" "$dir/ms"
sort -g "$dir/ms" | awk -v flaps="$flaps" '{ v[NR] = $1 } END {
  printf "%d flaps, %d flapping problems: link event to flare at hubd p50 %.2f ms, p99 %.2f ms, max %.2f ms\n",
    flaps, NR, v[int((NR - 1) * 0.5) + 1], v[int((NR - 1) * 0.99) + 1], v[NR] }'
echo "wisp-linux at rest: $at_rest ticks of CPU in $rest s ($ran_us us on a processor)" \
  "($(getconf CLK_TCK) a second); carrier changes merged by the kernel:" \
  "$(awk '/^wisp_linux_carrier_changes_merged_total/ {print $2}' "$WISPD_ROOT/var/run/pelldan/wisp-linux.prom")"
