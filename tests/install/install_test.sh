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
for component in daemon tools simhost; do
  DESTDIR=$dest cmake --install "$build" --component $component >/dev/null
done
root=$dest$prefix

expect=(sbin/wispd sbin/wispd-selftest bin/wisp-trace bin/wisp-flares bin/wisp-stats bin/hubd
        bin/wisp-emit bin/wisp-syslog bin/wisp-root bin/wisp-testworld bin/wisp-reason
        share/man/man8/wispd.8 share/man/man8/wispd-selftest.8 share/man/man1/wisp-stats.1
        share/man/man1/hubd.1 share/doc/wispd/operations.md bin/wisp-scenario lib/wispd/wisp-scenario
        lib/wispd/libwisp-stepwait.so share/man/man1/wisp-scenario.1)
for f in "${expect[@]}"; do [ -e "$root/$f" ] || fail "missing $prefix/$f"; done
# The alert forwarder, with the operator's tools.
for f in bin/wisp-alert share/man/man1/wisp-alert.1; do [ -e "$root/$f" ] || fail "missing $prefix/$f"; done
[ -e "$dest/lib/systemd/system/wisp-alert.service" ] || fail "missing wisp-alert.service"
for f in wispd.service hubd.service wispd-exporter.service; do
  [ -e "$dest/lib/systemd/system/$f" ] || fail "missing /lib/systemd/system/$f"
done
# /etc for the prefix /usr, $prefix/etc otherwise.
[ -e "$dest/etc/logrotate.d/wispd-simhost" ] || [ -e "$root/etc/logrotate.d/wispd-simhost" ] ||
  fail "missing logrotate.d/wispd-simhost"
for f in sbin/wispd bin/wisp-stats bin/hubd; do [ -x "$root/$f" ] || fail "$f not executable"; done
# Nothing that only the tests or benchmarks use.
extra=$(cd "$dest" && find . -type f | grep -E '_test|bench|fuzz|flarecat' || true)
[ -z "$extra" ] || fail "unexpected files: $extra"

unit=$dest/lib/systemd/system/wispd.service
grep -qx "ExecStart=$prefix/sbin/wispd" "$unit" || fail "ExecStart does not name $prefix/sbin/wispd"
for line in Type=notify ProtectSystem=strict NoNewPrivileges=yes RestrictAddressFamilies=AF_UNIX \
            PrivateNetwork=yes RuntimeDirectory=pelldan StateDirectory=pelldan LogsDirectory=pelldan; do
  grep -qx "$line" "$unit" || fail "unit lacks $line"
done

"$root/sbin/wispd" --help | grep -q '^Usage: ' || fail "installed wispd does not run"
"$root/bin/wisp-stats" --version | grep -q '^wisp-stats ' || fail "installed wisp-stats does not run"
# The scenario runner finds the daemon and the tools through its links.
for p in wispd hubd wisp-syslog; do [ -x "$root/lib/wispd/$p" ] || fail "lib/wispd/$p leads nowhere"; done
echo "install layout ok under $prefix"
