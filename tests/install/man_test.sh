#!/usr/bin/env bash
# Every man page formats without a warning.
#   man_test.sh MAN_DIR
set -euo pipefail
command -v groff >/dev/null || { echo "groff not installed"; exit 77; }
status=0
for page in "$1"/*.[18]; do
  out=$(groff -z -man -ww "$page" 2>&1)
  if [ -n "$out" ]; then
    echo "$page: $out"
    status=1
  fi
done
exit $status
