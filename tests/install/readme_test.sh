#!/usr/bin/env bash
# The README's "Run it yourself" block, taken from README.md itself and run
# as written, in a private directory where build-demo/ is this build: the
# flare, the counters and the daemon's last lines must show, all under a
# root of its own. Whatever the block leaves running is stopped by its pid.
#   readme_test.sh README.md BUILD_DIR
set -euo pipefail
readme=$1 build=$(cd "$2" && pwd)
dir=$(mktemp -d /tmp/wispd-readme-XXXXXX)
runner=
cleanup() {
  [ -z "$runner" ] || { kill "$runner" 2>/dev/null || true; wait "$runner" 2>/dev/null || true; }
  rm -rf "$dir"
}
trap cleanup EXIT
fail() { echo "readme test: $*" >&2; cat "$dir/out" "$dir/err" >&2 2>/dev/null || true; exit 1; }

awk '/^## Run it yourself/ { on = 1; next }
     on && /^## / { exit }
     on && /^    / { print substr($0, 5); seen = 1; next }
     on && seen && !/^$/ { exit }' "$readme" >"$dir/block.sh"
[ -s "$dir/block.sh" ] || fail "no block under \"Run it yourself\" in $readme"
ln -s "$build" "$dir/build-demo"

# The block runs in a shell of its own that stops its jobs by pid however it
# ends; a block that fails stops at that command.
(cd "$dir" && exec env -u WISPD_ROOT TMPDIR="$dir" bash -c '
  trap "for p in \$(jobs -p); do kill \$p; done; wait" EXIT
  trap "exit 143" TERM
  set -euo pipefail
  source ./block.sh' >"$dir/out" 2>"$dir/err") &
runner=$!
for _ in $(seq 600); do kill -0 "$runner" 2>/dev/null || break; sleep 0.1; done
kill -0 "$runner" 2>/dev/null && fail "the block did not end within 60 s"
wait "$runner" || fail "the block failed"
runner=

roots=("$dir"/tmp.*)
[ -d "${roots[0]}/var/run/pelldan" ] || fail "the root was not made under TMPDIR"
grep -q '^PROBLEM tarn.problem.storage.apd.start .*\[naa.1\]' "$dir/out" || fail "no flare"
grep -Eq '^observations read \(source 3\) +1$' "$dir/out" || fail "no counters"
tail -2 "$dir/out" | head -1 | grep -q 'Counters at exit: observations read 1, ' ||
  fail "the daemon's counters at exit are not its second last line"
tail -1 "$dir/out" | grep -q 'Exiting. rc:0$' || fail "the daemon's last line is not its exit"
echo "readme ok"
