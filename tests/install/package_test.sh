#!/usr/bin/env bash
# The built Debian packages as an administrator meets them: lintian has
# nothing to say, and the packages extracted into a throwaway root hold what
# they should and run there (never the machine's own /usr).
#   package_test.sh DIR_WITH_DEBS
set -euo pipefail
debs=$1
dir=$(mktemp -d /tmp/wispd-packages-XXXXXX)
pids=()
cleanup() {
  # Last started, first stopped: the daemon's last log records still find
  # the collector, and its flares hubd.
  local i
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill "${pids[i]}" 2>/dev/null || true
    wait "${pids[i]}" 2>/dev/null || true
  done
  rm -rf "$dir"
}
trap cleanup EXIT
fail() { echo "package test: $*" >&2; exit 1; }

echo "== lintian --pedantic -I"
# The same packages under the same lintian have its answer already.
checked=$( (cd "$debs" && sha256sum -- *.deb && lintian --version) | sha256sum)
if [ "$(cat "$debs/lintian-passed" 2>/dev/null)" = "$checked" ]; then
  echo "(these packages passed it before)"
else
  rm -f "$debs/lintian-passed"
  lintian --pedantic -I --fail-on error,warning,info,pedantic "$debs"/*.deb || fail "lintian"
  echo "$checked" >"$debs/lintian-passed"
fi

tree=$dir/tree
for p in wispd wispd-tools wispd-simhost wispd-dbgsym; do
  dpkg-deb -x "$debs"/${p}_*.deb "$tree"
done
for f in usr/sbin/wispd usr/sbin/wispd-selftest usr/bin/hubd usr/bin/wisp-stats usr/bin/wisp-scenario \
         usr/lib/wispd/libwisp-stepwait.so usr/share/man/man1/wisp-scenario.1.gz \
         lib/systemd/system/wispd.service lib/systemd/system/hubd.service \
         lib/systemd/system/wispd-exporter.service etc/logrotate.d/wispd-simhost \
         usr/share/man/man8/wispd.8.gz usr/share/man/man1/wisp-stats.1.gz; do
  [ -e "$tree/$f" ] || fail "missing /$f"
done
for f in usr/bin/wisp-alert lib/systemd/system/wisp-alert.service usr/share/man/man1/wisp-alert.1.gz \
         usr/share/doc/wispd-tools/examples/alertmanager.yml; do
  [ -e "$tree/$f" ] || fail "missing /$f"
done
for p in wispd wispd-tools wispd-simhost; do
  grep -q "^License: Expat" "$tree/usr/share/doc/$p/copyright" || fail "$p: no licence"
  [ -s "$tree/usr/share/doc/$p/changelog.gz" ] || fail "$p: no changelog"
  [ -n "$(dpkg-deb -f "$debs"/${p}_*.deb Description)" ] || fail "$p: no description"
done
[ "$(for p in wispd wispd-tools wispd-simhost; do dpkg-deb -f "$debs"/${p}_*.deb Description |
     head -1; done | sort -u | wc -l)" -eq 3 ] || fail "summaries are not distinct"
# Stripped, with the symbols in the debug package under the binary's build id.
readelf -S "$tree/usr/sbin/wispd" | grep -q debug_info && fail "wispd is not stripped"
id=$(readelf -n "$tree/usr/sbin/wispd" | sed -n 's/.*Build ID: //p')
[ -s "$tree/usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug" ] || fail "no debug symbols for wispd"

# Enable and start on installation, stop on removal, only where systemd runs.
mkdir "$dir/stubs"
# A first installation: no unit was installed before.
for t in deb-systemd-helper deb-systemd-invoke systemctl; do
  printf '#!/bin/sh\necho "%s $*" >>"%s"\ncase "$*" in *debian-installed*) exit 1 ;; esac\n' \
    "$t" "$dir/calls" >"$dir/stubs/$t"
  chmod +x "$dir/stubs/$t"
done
for p in wispd wispd-simhost wispd-tools; do
  dpkg-deb -e "$debs"/${p}_*.deb "$dir/ctl-$p"
  PATH=$dir/stubs:$PATH sh "$dir/ctl-$p/postinst" configure
  PATH=$dir/stubs:$PATH sh "$dir/ctl-$p/prerm" remove
done
for u in wispd hubd wispd-exporter; do
  grep -qx "deb-systemd-helper enable $u.service" "$dir/calls" || fail "$u is not enabled"
done
# The Linux source replaces the host model: installed, never started unasked.
for f in usr/bin/wisp-linux lib/systemd/system/wisp-linux.service \
         usr/share/man/man1/wisp-linux.1.gz usr/share/doc/wispd-simhost/linux-source.md.gz; do
  [ -e "$tree/$f" ] || fail "missing /$f"
done
grep -q "enable wisp-linux.service\|start wisp-linux.service" "$dir/calls" &&
  fail "wisp-linux is enabled or started on installation"
# A purge removes what the packages and their units made under
# /var/lib/pelldan and /var/log/pelldan; a folder another package still has
# files in stays until that one is purged.
purged=$dir/purged
mkdir -p "$purged/var/lib/pelldan" "$purged/var/log/pelldan" "$purged/etc/pelldan"
for f in var/lib/pelldan/configstore.db var/lib/pelldan/configstore.db-journal \
         var/lib/pelldan/wisp-alert.json var/lib/pelldan/wisp-alert.json.bad \
         var/log/pelldan/hubd.jsonl var/log/pelldan/hubd.jsonl.1 var/log/pelldan/hubd.jsonl.2.gz \
         var/log/pelldan/audit.jsonl var/log/pelldan/simhost-actions.jsonl \
         etc/pelldan/simhost.json; do
  : >"$purged/$f"
done
purge() { DPKG_ROOT=$purged PATH=$dir/stubs:$PATH sh "$dir/ctl-$1/postrm" purge; }
purge wispd-tools
purge wispd-simhost
[ -e "$purged/var/lib/pelldan/configstore.db" ] || fail "a purge removed another package's file"
purge wispd
for d in var/lib/pelldan var/log/pelldan etc/pelldan; do
  [ ! -e "$purged/$d" ] || fail "purged, /$d is left: $(ls -A "$purged/$d" | tr '\n' ' ')"
done
if [ -d /run/systemd/system ]; then
  grep -q "deb-systemd-invoke start wispd.service" "$dir/calls" || fail "wispd is not started"
  grep -q "deb-systemd-invoke stop wispd.service" "$dir/calls" || fail "wispd is not stopped"
else
  ! grep -q "deb-systemd-invoke\|systemctl" "$dir/calls" || fail "systemd called where none runs"
fi

# The installed programs run a host: a flare from one observation.
export WISPD_ROOT=$dir/host
eval "$("$tree/usr/bin/wisp-root" init "$WISPD_ROOT")"
"$tree/usr/bin/hubd" --out "$WISPD_ROOT/flares.jsonl" 2>/dev/null & pids+=($!)
"$tree/usr/bin/wisp-syslog" >/dev/null 2>&1 & pids+=($!)
for _ in $(seq 50); do
  [ -S "$WISPD_ROOT/var/run/pelldan/hubd-flare.sock" ] && [ -S "$WISPD_ROOT/dev/log" ] && break
  sleep 0.1
done
"$tree/usr/sbin/wispd" & pids+=($!)
echo '{"id": "wisp.storage.apd.start", "args": [{"s": "naa.pkg"}]}' |
  "$tree/usr/bin/wisp-emit" --wait 5 2>/dev/null || fail "wisp-emit"
for _ in $(seq 50); do [ -s "$WISPD_ROOT/flares.jsonl" ] && break; sleep 0.1; done
grep -q '"id":"tarn.problem.storage.apd.start"' "$WISPD_ROOT/flares.jsonl" || fail "no flare"
# The daemon counts a flare once its send returned, which may be after hubd
# wrote it: the counter is waited for too.
counted=""
for _ in $(seq 50); do
  counted=$("$tree/usr/bin/wisp-stats" --raw 2>&1 | grep 'wispd_flares_posted_total{kind="problem"}')
  [ "$counted" = 'wispd_flares_posted_total{kind="problem"} 1' ] && break
  sleep 0.1
done
[ "$counted" = 'wispd_flares_posted_total{kind="problem"} 1' ] || fail "wisp-stats: ${counted:-no counter}"

# The scenario runner, with the daemon and tools it finds beside it, under
# the stepped clock of the faketime it depends on.
dpkg-deb -f "$debs"/wispd-simhost_*.deb Depends | grep -qw faketime || fail "no dependency on faketime"
(unset WISPD_ROOT; "$tree/usr/bin/wisp-scenario" \
  "$tree/usr/share/doc/wispd-simhost/examples/scenarios/all-paths-down.yaml" \
  >"$dir/scenario.out" 2>&1) || { cat "$dir/scenario.out" >&2; fail "wisp-scenario"; }
echo "packages ok"
