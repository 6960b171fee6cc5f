#!/usr/bin/env bash
# Long life: kivd's resident memory and open descriptors over many restart
# passes, MQTT broker restarts and database outages, with growth per 1000.
#   bench/long_life.sh [COUNT] [BUILD_DIR]      (default 200 of each)
# Runs inside a private network namespace (tests/tools/netns-run.sh, with its
# MariaDB); mosquitto and a socat relay in front of MariaDB start here and
# stop by PID. Restart passes come by SIGUSR1 (test hooks, no pause between
# passes); a database outage is the relay stopped until a row has failed,
# then started until the kept rows are written. Each phase is sampled after
# a warm-up of COUNT/10 and at its end; growth = (end - warm) / events * 1000.
if [ -z "${KIVD_NETNS_INNER:-}" ]; then
  exec "$(cd "$(dirname "$0")/.." && pwd)/tests/tools/netns-run.sh" "$0" "$@"
fi
here=$(cd "$(dirname "$0")" && pwd)
export KIVD_SRC=$(cd "$here/.." && pwd)
COUNT=${1:-200}
export KIVD_BUILD=${2:-$KIVD_SRC/build}
source "$KIVD_SRC/tests/integration/lib.sh"
WARM=$((COUNT / 10))
[ "$WARM" -lt 1 ] && WARM=1

new_sandbox
cat > "$SANDBOX/mosquitto.conf" <<CONF
listener 1883 127.0.0.1
allow_anonymous true
persistence false
CONF
BROKER=""; RELAY=""
broker_start() {
  mosquitto -c "$SANDBOX/mosquitto.conf" > /dev/null 2>&1 & BROKER=$!
  for _ in $(seq 1 50); do bash -c '</dev/tcp/127.0.0.1/1883' 2> /dev/null && return 0; sleep 0.05; done
}
broker_stop() { kill -TERM "$BROKER"; wait "$BROKER" 2> /dev/null; }
relay_start() {
  socat TCP-LISTEN:3310,bind=127.0.0.1,reuseaddr,fork TCP:127.0.0.1:3307 & RELAY=$!
  for _ in $(seq 1 50); do bash -c '</dev/tcp/127.0.0.1/3310' 2> /dev/null && return 0; sleep 0.05; done
}
relay_stop() { kill -TERM "$RELAY"; wait "$RELAY" 2> /dev/null; }
stop_all() {
  [ -n "${DAEMON_PID:-}" ] && kill -TERM "$DAEMON_PID" 2> /dev/null && wait_gone "$DAEMON_PID" 5
  [ -n "$BROKER" ] && kill -TERM "$BROKER" 2> /dev/null
  [ -n "$RELAY" ] && kill -TERM "$RELAY" 2> /dev/null
  rm -rf "$SANDBOX"
}
trap stop_all EXIT

broker_start
relay_start
export KIVD_TEST_HOOKS=1 KIVD_TEST_SQL_SECONDS=1 KIVD_TEST_PASS_PAUSE_SECONDS=0
write_ini "[WEBSERVER]
PORT=18031
[MYSQL]
USING=TRUE
HOST=127.0.0.1
PORT=3310
USERNAME=user
PASSWORD=chgpw123
DATABASE=smarthouse
[MQTT]
USING=TRUE
HOST=127.0.0.1
INTERVAL=5
[KNX]
USING=TRUE
IP=127.0.0.1"
start_kivd
[ -n "$DAEMON_PID" ] || { echo "kivd did not start"; cat "$LOG"; exit 1; }
echo "long life: kivd PID $DAEMON_PID, $COUNT of each, load $(cut -d' ' -f1-3 /proc/loadavg)"
wait_log "MQTT: connected to broker" 10 || echo "warning: MQTT not connected"

# KiB RSS, KiB anonymous, open descriptors.
sample() {
  echo "$(awk '/^VmRSS:/{r=$2} /^RssAnon:/{a=$2} END{print r, a}' "/proc/$DAEMON_PID/status") $(ls "/proc/$DAEMON_PID/fd" | wc -l)"
}
# wait_more PATTERN N SECONDS: until the log has more than N lines matching PATTERN.
wait_more() {
  local deadline=$((SECONDS + $3))
  while [ $SECONDS -le $deadline ]; do [ "$(count_log "$1")" -gt "$2" ] && return 0; sleep 0.05; done
  return 1
}
one_pass() {
  local n; n=$(count_log "Thread 6: Starting SQL database client...$")
  kill -USR1 "$DAEMON_PID"
  wait_more "Thread 6: Starting SQL database client...$" "$n" 15 || echo "pass $1: no new pass"
  sleep 0.3  # the pass's threads set up their peers
}
one_broker_restart() {
  local n; n=$(count_log "MQTT: connected to broker")
  broker_stop
  broker_start
  wait_more "MQTT: connected to broker" "$n" 15 || echo "broker restart $1: not reconnected"
}
one_db_outage() {
  local f w; f=$(count_log "MYSQL: failed connection.$"); w=$(count_log "rows kept while the database was away written$")
  relay_stop
  wait_more "MYSQL: failed connection.$" "$f" 10 || echo "db outage $1: no failed row"
  relay_start
  wait_more "rows kept while the database was away written$" "$w" 10 || echo "db outage $1: kept rows not written"
}
# phase NAME FUNCTION: warm-up, sample, COUNT - WARM more, sample, report.
phase() {
  local i warm_s end_s t0=$SECONDS
  for i in $(seq 1 "$WARM"); do "$2" "$i"; done
  warm_s=$(sample)
  for i in $(seq $((WARM + 1)) "$COUNT"); do
    "$2" "$i"
    [ $((i % 50)) -eq 0 ] && echo "  $1 $i: rss anon fds = $(sample)"
  done
  end_s=$(sample)
  kill -0 "$DAEMON_PID" || { echo "kivd has ended"; exit 1; }
  awk -v name="$1" -v n=$((COUNT - WARM)) -v secs=$((SECONDS - t0)) -v w="$warm_s" -v e="$end_s" 'BEGIN {
    split(w, a, " "); split(e, b, " ")
    printf "%s: %d after warm-up in %d s; RSS %d -> %d KiB (%+.1f KiB per 1000), anon %d -> %d KiB (%+.1f KiB per 1000), fds %d -> %d (%+.1f per 1000)\n",
      name, n, secs, a[1], b[1], (b[1] - a[1]) * 1000 / n, a[2], b[2], (b[2] - a[2]) * 1000 / n, a[3], b[3], (b[3] - a[3]) * 1000 / n }'
}
echo "start: rss anon fds = $(sample)"
phase "restart passes" one_pass
phase "MQTT broker restarts" one_broker_restart
phase "database outages" one_db_outage
echo "log lines: $(wc -l < "$LOG")"
