# shellcheck shell=bash
# The fleet's alerting, sourced by scripts/fleet: two Alertmanagers as a
# cluster (Debian's prometheus-alertmanager, gossip on loopback) with the
# route of examples/alerting/alertmanager.yml, a webhook receiver that
# records every notification (wisp-alert-sink), and a wisp-alert per host
# posting its flares to both; the summary reads the forwarders' counters from
# their /metrics. It uses the fleet's $dir, $bin, $n, pids, host, free_port,
# wait_for and fail.
#   FLEET_GROUP_WAIT, FLEET_GROUP_INTERVAL   the route's timing (default 5s, 5s)
#   FLEET_PEER_TIMEOUT, FLEET_GOSSIP         the cluster's (default 2s, 200ms)
#   FLEET_ALERT_CLEAR=FILE    played on every host once the first notification
#                             arrived; the summary then waits for the resolved one
#   FLEET_ALERT_KILL=1        the second Alertmanager is killed before that
#   FLEET_ALERT_OUTAGE=SECS   both are stopped before the scenario plays and
#                             started again SECS later
#   FLEET_NOTIFICATIONS=FILE  keeps the notifications received (JSON lines)

am_ports=() am_cluster=() am_pids=() am_base=() alert_pids=() alert_metrics=()
am_urls() { local p; for p in "${am_ports[@]}"; do printf ' --alertmanager http://127.0.0.1:%s' "$p"; done; }

# am_run I: starts Alertmanager I (0 or 1) on its ports, joined to the other.
am_run() {
  local i=$1 other=$(( 1 - $1 ))
  prometheus-alertmanager --config.file="$dir/alertmanager.yml" --storage.path="$dir/am$i" \
    --web.listen-address="127.0.0.1:${am_ports[$i]}" \
    --cluster.listen-address="127.0.0.1:${am_cluster[$i]}" \
    --cluster.peer="127.0.0.1:${am_cluster[$other]}" \
    --cluster.peer-timeout="${FLEET_PEER_TIMEOUT:-2s}" --cluster.gossip-interval="${FLEET_GOSSIP:-200ms}" \
    --log.level=warn 2>>"$dir/am$i.err" &
  am_pids[$i]=$!
  pids+=($!)
}

am_ready() { curl -sf --max-time 2 "http://127.0.0.1:${am_ports[$1]}/-/ready" -o /dev/null; }
# Both ready, or one of them ended (which ends the wait at once).
am_started() {
  local i
  for i in 0 1; do kill -0 "${am_pids[$i]}" 2>/dev/null || return 0; done
  am_ready 0 && am_ready 1
}

# Two members leaving a cluster at once each wait 10 s for the other's
# acknowledgement; the fleet's Alertmanagers hold nothing worth a clean stop.
alerting_stop() { [ ${#am_pids[@]} -eq 0 ] || kill -9 "${am_pids[@]}" 2>/dev/null || true; }

# Before Prometheus: the receiver, the two Alertmanagers and the forwarders.
alerting_start() {
  local i sink_url
  trap 'alerting_stop; stop_all' EXIT
  "$bin/wisp-alert-sink" --listen 127.0.0.1:0 --out "$dir/notifications.jsonl" 2>"$dir/sink.err" &
  pids+=($!)
  wait_for 10 grep -q receiving "$dir/sink.err" || fail "the webhook receiver did not start"
  sink_url=$(sed -n 's|.*receiving at \(http://[^ ]*\)|\1|p' "$dir/sink.err")
  sed -e "s|http://127.0.0.1:9099/|$sink_url|" \
      -e "s|^  group_wait: .*|  group_wait: ${FLEET_GROUP_WAIT:-5s}|" \
      -e "s|^  group_interval: .*|  group_interval: ${FLEET_GROUP_INTERVAL:-5s}|" \
      "$TOP/examples/alerting/alertmanager.yml" >"$dir/alertmanager.yml"
  local attempt
  for attempt in 1 2 3 4 5; do
    for i in 0 1; do
      am_ports[$i]=$(free_port) && am_cluster[$i]=$(free_port) || fail "no free port for Alertmanager"
    done
    am_run 0 && am_run 1
    wait_for 30 am_started || true
    am_ready 0 && am_ready 1 && break
    # A port chosen free can be taken by another program before the listener
    # binds it: both start again on other ports. Any other failure is final.
    grep -qs 'address already in use' "$dir/am0.err" "$dir/am1.err" ||
      fail "Alertmanager did not start: $(tail -3 "$dir/am0.err" "$dir/am1.err")"
    [ "$attempt" -lt 5 ] || fail "Alertmanager found no free port in 5 tries"
    alerting_stop
    wait "${am_pids[@]}" 2>/dev/null || true
    rm -f "$dir/am0.err" "$dir/am1.err"
  done
  for i in $(seq 1 "$n"); do
    root=$dir/$(host "$i")
    # shellcheck disable=SC2046
    WISPD_ROOT=$root "$bin/wisp-alert" $(am_urls) --host "$(host "$i")" \
      --journal "$root/hubd.jsonl" --listen 127.0.0.1:0 2>"$root/alert.err" &
    pids+=($!) alert_pids+=($!)
  done
  for i in $(seq 1 "$n"); do
    root=$dir/$(host "$i")
    wait_for 10 grep -q metrics "$root/alert.err" || fail "wisp-alert of $(host "$i") did not start"
    alert_metrics+=("$(sed -n 's|.*counters at \(http://[^ ]*\)|\1|p' "$root/alert.err")")
  done
}

alerting_before_play() {
  [ -n "${FLEET_ALERT_OUTAGE:-}" ] || return 0
  echo "== both Alertmanagers stopped for ${FLEET_ALERT_OUTAGE} s"
  # One after the other, as an operator would; together they wait on each other.
  kill "${am_pids[1]}" && wait "${am_pids[1]}" 2>/dev/null || true
  kill "${am_pids[0]}" && wait "${am_pids[0]}" 2>/dev/null || true
  outage_end=$(( $(date +%s) + FLEET_ALERT_OUTAGE ))
}

# forwarders_read: every forwarder's counters, once; forwarders METRIC: the
# sum of a metric over them (all its series), as last read.
forwarders_read() {
  local m
  for m in "${alert_metrics[@]}"; do curl -sf "$m" || true; done >"$dir/forwarders.prom"
}
forwarders() {
  awk -v n="$1" 'index($1, n) == 1 && (length($1) == length(n) || substr($1, length(n) + 1, 1) == "{") {
    s += $2 } END { print s + 0 }' "$dir/forwarders.prom"
}
# am_count I: the alerts Alertmanager I holds (firing or not).
am_count() {
  { curl -sf "http://127.0.0.1:${am_ports[$1]}/api/v2/alerts" || true; } | grep -o '"fingerprint"' | wc -l
}
# Every forwarder has read every line its hubd wrote.
caught_up() {
  forwarders_read
  [ "$(cat "$dir"/host*/hubd.jsonl 2>/dev/null | wc -l)" -eq "$(forwarders wisp_alert_journal_lines_total)" ]
}
# Every forwarder has sent everything to the live Alertmanagers, which hold
# every alert that fires.
delivered() {
  local i firing
  forwarders_read
  firing=$(forwarders wisp_alert_alerts_firing)
  for i in "${!am_pids[@]}"; do
    kill -0 "${am_pids[$i]}" 2>/dev/null || continue
    [ "$(forwarders "wisp_alert_alerts_pending{alertmanager=\"http://127.0.0.1:${am_ports[$i]}\"}")" -eq 0 ] &&
      [ "$(am_count "$i")" -ge "$firing" ] || return 1
  done
}
# am_queries I: how often Alertmanager I has looked into the notification log,
# which it does each time it decides whether to notify a group.
am_queries() {
  { curl -sf "http://127.0.0.1:${am_ports[$1]}/metrics" || true; } |
    awk '$1 == "alertmanager_nflog_queries_total" {q = $2} END {print q + 0}'
}
# The second Alertmanager of the pair waits the peer time-out before it
# decides whether to notify (the first one may have); a flare that reaches it
# during that wait would meet a notification of the state before. So the
# fleet plays its clear just after the second one has decided, and reports
# once every group is gone (each one decided on the end).
am_baseline() { local i; for i in "${!am_pids[@]}"; do am_base[$i]=$(am_queries "$i"); done; }
am_decided() {
  local i
  for i in "${!am_pids[@]}"; do
    kill -0 "${am_pids[$i]}" 2>/dev/null || continue
    [ "$(am_queries "$i")" -gt "${am_base[$i]:-0}" ] || return 1
  done
}
am_done() {
  local i
  for i in "${!am_pids[@]}"; do
    kill -0 "${am_pids[$i]}" 2>/dev/null || continue
    [ "$(curl -sf "http://127.0.0.1:${am_ports[$i]}/api/v2/alerts/groups" | grep -c '"receiver":{')" -eq 0 ] ||
      return 1
  done
}
# notified STATUS: the receiver has a notification of that status.
notified() { grep -q "\"receiver\":\"host-engineers\",\"status\":\"$1\"" "$dir/notifications.jsonl" 2>/dev/null; }

notifications() {
  local line k=0
  [ -s "$dir/notifications.jsonl" ] || { echo "no notifications"; return; }
  while IFS= read -r line; do
    k=$((k + 1))
    echo "notification $k: $(grep -o '"receiver":"[^"]*","status":"[a-z]*"' <<<"$line" | sed 's/.*"status":"//; s/"//')," \
      "$(grep -o '"fingerprint"' <<<"$line" | wc -l) alerts," \
      "$(grep -o '"host":"[^"]*"' <<<"$line" | sort -u | wc -l) hosts," \
      "group $(grep -o '"groupLabels":{[^}]*}' <<<"$line" | sed 's/"groupLabels"://')"
  done <"$dir/notifications.jsonl"
}

alerting_report() {
  local i start
  if [ -n "${FLEET_ALERT_OUTAGE:-}" ]; then
    wait_for 60 caught_up || echo "fleet: the forwarders did not read every flare in time" >&2
    forwarders_read
    echo "== while they were away: $(forwarders wisp_alert_alerts_pending) alerts pending," \
      "$(forwarders wisp_alert_posts_failed_total) failed posts"
    [ "$(date +%s)" -ge "$outage_end" ] || sleep $(( outage_end - $(date +%s) ))
    am_run 0 && am_run 1
    start=$(date +%s.%N)
    wait_for 30 am_ready 0 && wait_for 30 am_ready 1 || fail "Alertmanagers did not start again"
    echo "== both Alertmanagers started again"
  fi
  start=${start:-$(date +%s.%N)}
  wait_for 60 caught_up || echo "fleet: the forwarders did not read every flare in time" >&2
  wait_for 180 delivered || echo "fleet: not every alert reached the Alertmanagers in time" >&2
  echo "== alerting: every alert at the Alertmanagers" \
    "$(awk -v s="$start" -v e="$(date +%s.%N)" 'BEGIN { printf "%.1f", e - s }') s after the check began"
  echo "== Alertmanager 1: $(am_count 0) alerts in" \
    "$(curl -sf "http://127.0.0.1:${am_ports[0]}/api/v2/alerts/groups" | grep -o '"receiver":{' | wc -l) group(s)"
  amtool --alertmanager.url="http://127.0.0.1:${am_ports[0]}" alert query -o extended | sed -n 1,12p
  if [ "$(forwarders wisp_alert_alerts_firing)" -gt 0 ]; then
    wait_for 120 notified firing || echo "fleet: no firing notification in time" >&2
  fi
  if [ -n "${FLEET_ALERT_KILL:-}" ]; then
    echo "== Alertmanager 2 killed"
    kill -9 "${am_pids[1]}"
    wait "${am_pids[1]}" 2>/dev/null || true
  fi
  if [ -n "${FLEET_ALERT_CLEAR:-}" ]; then
    am_baseline
    wait_for 60 am_decided || echo "fleet: the Alertmanagers did not decide in time" >&2
    local emits=()
    for i in $(seq 1 "$n"); do
      WISPD_ROOT=$dir/$(host "$i") "$bin/wisp-emit" --wait 5 "$FLEET_ALERT_CLEAR" \
        2>>"$dir/$(host "$i")/emit.err" &
      emits+=($!)
    done
    for i in "${emits[@]}"; do wait "$i" || fail "wisp-emit failed on the clear"; done
    echo "== $(basename "$FLEET_ALERT_CLEAR") played on every host"
    wait_for 60 caught_up || echo "fleet: the forwarders did not read every flare in time" >&2
    wait_for 180 delivered || echo "fleet: not every alert reached the Alertmanagers in time" >&2
    if [ "$(forwarders wisp_alert_alerts_firing)" -eq 0 ]; then
      wait_for 120 notified resolved || echo "fleet: no resolved notification in time" >&2
      wait_for 120 am_done || echo "fleet: the Alertmanagers still hold groups" >&2
    fi
  fi
  forwarders_read
  echo "== forwarders: flares read $(forwarders 'wisp_alert_journal_lines_total{line="flare"}'), alerts" \
    "forwarded $(forwarders wisp_alert_alerts_forwarded_total), rejected" \
    "$(forwarders wisp_alert_alerts_rejected_total), retried $(forwarders wisp_alert_alerts_retried_total)," \
    "pending $(forwarders wisp_alert_alerts_pending)"
  local kib=0 pss=0 am=0 p
  for p in "${alert_pids[@]}"; do
    kib=$((kib + $(awk '/^VmRSS:/ {print $2}' "/proc/$p/status" 2>/dev/null || echo 0)))
    pss=$((pss + $(awk '/^Pss:/ {print $2}' "/proc/$p/smaps_rollup" 2>/dev/null || echo 0)))
  done
  for p in "${am_pids[@]}"; do am=$((am + $(awk '/^VmRSS:/ {print $2}' "/proc/$p/status" 2>/dev/null || echo 0))); done
  echo "== resident: wisp-alert $((kib / n)) KiB per host ($((pss / n)) KiB proportional);" \
    "the Alertmanagers $((am / 1024)) MiB"
  echo "== notifications"
  notifications
  [ -z "${FLEET_NOTIFICATIONS:-}" ] || cp "$dir/notifications.jsonl" "$FLEET_NOTIFICATIONS"
}
