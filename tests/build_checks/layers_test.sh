#!/usr/bin/env bash
# The layer check passes on the daemon's tree and fails on an upward include
# or a bare one planted in a copy of it.
#   layers_test.sh SOURCE_DIR
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
  'includes output/wispdFlare.h, from layer output, not below its own (base)'
plant correlators/host/wispdCpuCorrelator.cpp '#include "correlators/network/wispdNetFlapping.h"' \
  'includes correlators/network/wispdNetFlapping.h, from layer correlators/network'
plant intake/wispdAgent.cpp '#include "wispdLog.h"' 'by its bare name'
echo "planted includes fail the check"
