#!/usr/bin/env bash
# Installs a built tree into a temporary DESTDIR and checks the layout, the
# service unit and the man pages.
#   install_test.sh BUILD_DIR
set -euo pipefail
build=$1
dest=$(mktemp -d /tmp/wispd-install-XXXXXX)
trap 'rm -rf "$dest"' EXIT
fail() { echo "install test: $*" >&2; exit 1; }

prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")
DESTDIR=$dest cmake --install "$build" --component daemon >/dev/null
DESTDIR=$dest cmake --install "$build" --component simhost >/dev/null
root=$dest$prefix

expect=(sbin/wispd bin/wisp-trace bin/wisp-flares bin/wisp-stats bin/hubd bin/wisp-emit
        bin/wisp-syslog bin/wisp-root bin/wisp-testworld bin/wisp-reason lib/systemd/system/wispd.service share/man/man8/wispd.8
        share/man/man1/wisp-stats.1 share/man/man1/hubd.1 share/doc/wispd/operations.md)
for f in "${expect[@]}"; do [ -e "$root/$f" ] || fail "missing $prefix/$f"; done
for f in sbin/wispd bin/wisp-stats bin/hubd; do [ -x "$root/$f" ] || fail "$f not executable"; done
# Nothing that only the tests or benchmarks use.
extra=$(cd "$dest" && find . -type f | grep -E '_test|bench|fuzz|flarecat' || true)
[ -z "$extra" ] || fail "unexpected files: $extra"

unit=$root/lib/systemd/system/wispd.service
grep -qx "ExecStart=$prefix/sbin/wispd" "$unit" || fail "ExecStart does not name $prefix/sbin/wispd"
for line in Type=notify ProtectSystem=strict NoNewPrivileges=yes RestrictAddressFamilies=AF_UNIX \
            PrivateNetwork=yes RuntimeDirectory=pelldan StateDirectory=pelldan LogsDirectory=pelldan; do
  grep -qx "$line" "$unit" || fail "unit lacks $line"
done
if command -v systemd-analyze >/dev/null; then
  # Verified against this system's units, pointing at the installed binary.
  mkdir "$dest/verify"
  sed "s|^ExecStart=$prefix|ExecStart=$root|" "$unit" >"$dest/verify/wispd.service"
  # Unknown keys are only warned about: any output is a failure.
  out=$(systemd-analyze verify --man=no "$dest/verify/wispd.service" 2>&1) || fail "verify: $out"
  [ -z "$out" ] || fail "verify: $out"
else
  echo "systemd-analyze not found: unit not verified"
fi

"$root/sbin/wispd" --help | grep -q '^Usage: ' || fail "installed wispd does not run"
"$root/bin/wisp-stats" --version | grep -q '^wisp-stats ' || fail "installed wisp-stats does not run"
echo "install layout ok under $prefix"
