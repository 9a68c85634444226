#!/usr/bin/env bash
# Fails allocations over every thread of the daemon, one at a time: first a
# run that notes each (thread, size) an armed daemon allocates while it
# serves a workload, then one run per pair in which the first allocation of
# that size on that thread fails. Each run must end with the daemon still
# reading, its counters answering and a stop with status 0 within 5 s.
#   tests/fault/alloc_sweep.sh BUILD_DIR [PAIRS_LIMIT]
# Not part of ctest (a run per pair); docs/testing.md has its last result.
set -uo pipefail
build=$(cd "$1" && pwd)
limit=${2:-100000}
bin=$build/bin
shim=$(find "$build" -name libfaultinject.so | head -1)
top=$(cd "$(dirname "$0")/../.." && pwd)
[ -x "$bin/wispd" ] && [ -n "$shim" ] || { echo "alloc_sweep: build $build first" >&2; exit 2; }
work=$(mktemp -d /tmp/wispd-alloc-XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT

# One run under a fresh root; extra environment for the daemon. Prints
# "ok" or what went wrong.
run() {
  local root=$work/root$1
  shift
  rm -rf "$root" && "$bin/wisp-root" init "$root" >/dev/null
  export WISPD_ROOT=$root
  cp "$top/examples/simhost.json" "$root/etc/pelldan/simhost.json"
  "$bin/wisp-syslog" --out "$root/syslog.log" 2>/dev/null & local syslog=$!
  "$bin/hubd" --out "$root/hubd.jsonl" 2>/dev/null & local hubd=$!
  pids=("$syslog" "$hubd")
  for _ in $(seq 500); do [ -S "$root/dev/log" ] && [ -S "$root/var/run/pelldan/hubd-flare.sock" ] && break; sleep 0.01; done
  env LD_PRELOAD="$shim" WISPD_FAULTS_ARM="$root/arm" "$@" "$bin/wispd" >/dev/null 2>&1 & local wispd=$!
  pids+=("$wispd")
  for _ in $(seq 1000); do grep -q 'setup completed' "$root/syslog.log" 2>/dev/null && break; sleep 0.01; done
  : >"$root/arm"
  # The workload: the demo's observations, a trace client, the counters.
  "$bin/wisp-trace" >/dev/null 2>&1 & local trace=$!
  pids+=("$trace")
  "$bin/wisp-emit" "$top/examples/demo.jsonl" >/dev/null 2>&1
  "$bin/wisp-stats" >/dev/null 2>&1
  local verdict=ok
  if ! kill -0 "$wispd" 2>/dev/null; then
    verdict="ended during the workload"
  else
    # Still reading: one more observation is counted.
    local before after
    before=$("$bin/wisp-stats" --raw 2>/dev/null | awk '/^wispd_batches_read_total/ {print $2}')
    echo '{"id": "wisp.storage.apd.start", "args": [{"s": "naa.sweep"}], "ctx": 7}' | "$bin/wisp-emit" >/dev/null 2>&1
    for _ in $(seq 200); do
      after=$("$bin/wisp-stats" --raw 2>/dev/null | awk '/^wispd_batches_read_total/ {print $2}')
      [ -n "$after" ] && [ -n "$before" ] && [ "$after" -gt "$before" ] && break
      sleep 0.01
    done
    [ -n "$after" ] && [ -n "$before" ] && [ "$after" -gt "$before" ] || verdict="stopped reading"
    kill -TERM "$wispd"
    local waited=0
    while kill -0 "$wispd" 2>/dev/null && [ $waited -lt 500 ]; do sleep 0.01; waited=$((waited + 1)); done
    if kill -0 "$wispd" 2>/dev/null; then
      verdict="not stopped within 5 s"
      kill -KILL "$wispd"
    fi
  fi
  wait "$wispd"
  local status=$?
  [ "$verdict" = ok ] && [ $status -ne 0 ] && verdict="exit status $status"
  kill "$trace" "$hubd" "$syslog" 2>/dev/null
  wait "$trace" "$hubd" "$syslog" 2>/dev/null
  pids=()
  echo "$verdict"
}

seen=$work/seen
: >"$seen"
echo "discovery: $(run 0 WISPD_ALLOC_SEEN="$seen")"
sort -u "$seen" | head -n "$limit" >"$work/pairs"
total=$(wc -l <"$work/pairs")
echo "$total (thread, size) pairs allocated after start-up"
failed=0 i=0
while read -r thread size; do
  i=$((i + 1))
  verdict=$(run "$i" WISPD_ALLOC_THREAD="$thread" WISPD_ALLOC_SIZE="$size" WISPD_ALLOC_FAIL=1)
  if [ "$verdict" != ok ]; then
    failed=$((failed + 1))
    echo "FAILED $thread $size: $verdict"
  fi
done <"$work/pairs"
echo "$((total - failed)) of $total runs ended with the daemon serving and stopping with status 0"
[ $failed -eq 0 ]
