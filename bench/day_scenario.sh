#!/usr/bin/env bash
# Prints a scenario of N steps (default 10000) spread evenly over 24 hours
# of host time, mixing observations of several correlators; for timing
# wisp-scenario (docs/performance.md):
#   bench/day_scenario.sh > /tmp/day.yaml && time build/bin/wisp-scenario /tmp/day.yaml
set -euo pipefail
n=${1:-10000}
cat <<'HEAD'
name: a day of mixed observations
host:
  advanced_options: {Net: {LinkFlappingThreshold: 0}}
  nics: {pnic0: {}, pnic1: {}}
  storage:
    luns: {naa.1: {disk: true, redundancy: 2, partitions: [1], datastores: {"1": ds-a}}}
    paths: {"hba1:C0:T0:L0": {device: naa.1}}
steps:
HEAD
awk -v n="$n" 'BEGIN {
  for (i = 0; i < n; i++) {
    at = int(i * 86400 / n)
    k = i % 5
    if (k == 0) o = "{id: wisp.storage.apd.start, args: [{s: naa.1}]}"
    else if (k == 1) o = "{id: wisp.storage.apd.exit, args: [{s: naa.1}]}"
    else if (k == 2) o = "{id: wisp.net.pnic.linkstate.down, args: [{s: pnic1}]}"
    else if (k == 3) o = "{id: wisp.scsi.scsipath.pathstate.dead, args: [{s: \"hba1:C0:T0:L0\"}, {s: \"on\"}]}"
    else o = "{id: wisp.scsi.scsipath.pathstate.on, args: [{s: \"hba1:C0:T0:L0\"}, {s: dead}]}"
    printf "  - at: %d\n    observe: %s\n", at, o
  }
}'
cat <<'TAIL'
end: 86400
expect:
  flares:
    - id: tarn.problem.storage.apd.start
      message: "Device or filesystem with identifier [naa.1] has entered the All Paths Down state."
      by: 1
TAIL
