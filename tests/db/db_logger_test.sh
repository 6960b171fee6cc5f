#!/usr/bin/env bash
# The real kivd with a real MariaDB: the structure check at each pass, one row
# a minute, a refused login and an unreachable server logged and survived,
# and a restart that stops the logger at once.
source "$KIVD_SRC/tests/integration/lib.sh"

PORT=${KIVD_TEST_MYSQL_PORT:-}
if [ -z "$PORT" ]; then echo "skip: no test MariaDB (run through tests/tools/netns-run.sh)"; exit 77; fi
sql() { mariadb --no-defaults -h127.0.0.1 -P"$PORT" -uuser -pchgpw123 -N -B -e "$1"; }
DB=kivd_it$$
YEAR=$(date +%Y)
sql "CREATE DATABASE $DB"
trap 'sql "DROP DATABASE IF EXISTS $DB" >/dev/null 2>&1' EXIT

mysql_ini() {  # mysql_ini PORT PASSWORD WEBPORT
  printf '[MYSQL]\nUSING=TRUE\nHOST=127.0.0.1\nPORT=%s\nUSERNAME=user\nPASSWORD=%s\nDATABASE=%s\n[WEBSERVER]\nPORT=%s\n' \
    "$1" "$2" "$DB" "$3"
}
closed_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')

# Three daemons at once, so that one real minute covers all of them.
new_sandbox; export KIVD_TEST_HOOKS=1
INI_DEBUG=1 write_ini "$(mysql_ini "$PORT" chgpw123 18101)"
start_kivd; GOOD_PID=$DAEMON_PID; GOOD_LOG=$LOG; GOOD_BOX=$SANDBOX
new_sandbox
INI_DEBUG=1 write_ini "$(mysql_ini "$PORT" wrong 18102)"
start_kivd; DENIED_PID=$DAEMON_PID; DENIED_LOG=$LOG; DENIED_BOX=$SANDBOX
new_sandbox
write_ini "$(mysql_ini "$closed_port" chgpw123 18103)"
start_kivd; CLOSED_PID=$DAEMON_PID; CLOSED_LOG=$LOG
T0=$SECONDS

LOG=$GOOD_LOG
check "check line before the threads" wait_log "Check: database create or update, if needed$" 5
check "logger started" wait_log "Thread 6: Starting SQL database client...$" 5
check "table of the year created as version 3" \
  test "$(sql "SELECT TABLE_COMMENT FROM INFORMATION_SCHEMA.TABLES WHERE TABLE_SCHEMA='$DB' AND TABLE_NAME='tblSmartMeter_$YEAR'")" \
       = '{"name": "historical data", "version": 3}'

LOG=$CLOSED_LOG
check "unreachable: version query fails" wait_log "GetTableVersion: failed connection.$" 15
check "unreachable: create fails" wait_log "CheckDatabase: failed connection.$" 15
check "unreachable: logger still starts" wait_log "Thread 6: Starting SQL database client...$" 5
LOG=$DENIED_LOG
check "refused: version query fails" wait_log "GetTableVersion: failed connection.$" 5
check "refused: create fails" wait_log "CheckDatabase: failed connection.$" 5
check "refused: server's reason at debug level" grep -q "MYSQL: Access denied for user 'user'" "$LOG"

rows() { sql "SELECT COUNT(*) FROM $DB.tblSmartMeter_$YEAR"; }
for _ in $(seq 1 80); do [ "$(rows)" -ge 1 ] && break; sleep 1; done
elapsed=$((SECONDS - T0))
check "one row after about a minute ($elapsed s)" test "$(rows)" -eq 1 -a "$elapsed" -ge 55
check "row values: no meter, no wallbox, no storage" \
  test "$(sql "SELECT smLiveConsumption, smSumConsumption, smLiveDelivery, smSumDelivery, smWallbox, smSumWallbox, smSSPower, smSSSOC, smSSTemp, smSSU, smSSI FROM $DB.tblSmartMeter_$YEAR" | tr '\t' ' ')" \
       = "0.000 0.0 0.000 0.0 0.000 0.000 0.000 0 0 0.000 0.000"
check "history page draws the row" bash -c \
  "curl -s 'http://127.0.0.1:18101/history?days=2' | grep -q '^<P>Points shown: 1 (averages of 4 minutes).</P>\$'"
check "history page without the database's login says so" bash -c \
  "curl -s 'http://127.0.0.1:18102/history?days=30' | grep -q 'The database could not be read.'"
LOG=$GOOD_LOG
check "no failure lines" test "$(count_log 'MYSQL:|CheckDatabase: error|GetTableVersion: error|ExecuteSQL:')" -eq 0

sleep 3   # the other two reached their first minute as well
LOG=$DENIED_LOG
check "refused: one failed row" test "$(count_log 'MYSQL: failed connection.$')" -eq 1
LOG=$CLOSED_LOG
check "unreachable: one failed row" test "$(count_log 'MYSQL: failed connection.$')" -eq 1
check "all three alive" kill -0 "$GOOD_PID" "$DENIED_PID" "$CLOSED_PID"
kill -TERM "$DENIED_PID" "$CLOSED_PID"

# A restart stops the logger within a moment and checks the structure again.
LOG=$GOOD_LOG
kill -USR1 "$GOOD_PID"
t=$SECONDS
check "threads joined" wait_log "Threads joined...$" 3
check "second pass checks the structure again" \
  bash -c "for i in \$(seq 1 150); do [ \$(grep -c 'Check: database create or update, if needed' '$LOG') -eq 2 ] && exit 0; sleep 0.1; done; exit 1"
check "second pass starts the logger" bash -c "sleep 1; test \$(grep -c 'Thread 6: Starting SQL database client' '$LOG') -eq 2"
check "still no failure lines" test "$(count_log 'MYSQL:|CheckDatabase: error|GetTableVersion: error|ExecuteSQL:')" -eq 0
kill -TERM "$GOOD_PID"; wait_gone "$GOOD_PID" 5
rm -rf "$GOOD_BOX" "$DENIED_BOX"
finish
