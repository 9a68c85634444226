#!/usr/bin/env bash
# The layer check passes on the daemon's tree and fails on an upward include,
# in every spelling the compiler would follow, or a bare one, planted in a
# copy of it; the build runs the same check on the tree it compiles.
#   layers_test.sh SOURCE_DIR [BUILD_DIR]
set -euo pipefail
src=$1
"$src/scripts/check-layers" "$src/apps/wispd"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

plant() {  # plant FILE LINE EXPECTED: the check must fail naming EXPECTED
  rm -rf "$tmp/wispd" && cp -r "$src/apps/wispd" "$tmp/wispd"
  echo "$2" >>"$tmp/wispd/$1"
  if out=$("$src/scripts/check-layers" "$tmp/wispd"); then
    echo "planted '$2' in $1 and the check passed"
    exit 1
  fi
  grep -qF "$3" <<<"$out" || { echo "unexpected report: $out"; exit 1; }
}
plant base/wispdLog.cpp '#include "output/wispdFlare.h"' \
  'includes output/wispdFlare.h, which is output/wispdFlare.h in layer output, not below its own (base). Move what it needs down to a layer below (none)'
plant correlators/host/wispdCpuCorrelator.cpp '#include "correlators/network/wispdNetFlapping.h"' \
  'which is correlators/network/wispdNetFlapping.h in layer correlators/network'
plant intake/wispdAgent.cpp '#include "wispdLog.h"' 'by its bare name'
# Climbing in other spellings: relative to the file, through a lower
# folder, in angle brackets.
for spelling in '"../../daemon/wispdMain.h"' '"intake/../daemon/wispdMain.h"' \
                '<daemon/wispdMain.h>' '  #  include "daemon/wispdMain.h"'; do
  line="#include $spelling"
  [[ $spelling == " "* ]] && line=$spelling
  plant correlators/network/wispdNetCorrelator.cpp "$line" \
    'in layer daemon, not below its own (correlators/network). Move what it needs down to a layer below (base, output, intake, correlators)'
done
# The build's own check: the same command on the tree it compiles.
if [ $# -gt 1 ]; then
  cmake --build "$2" --target wispd_layers >/dev/null || { echo "the build's check failed"; exit 1; }
fi
echo "planted includes fail the check"
