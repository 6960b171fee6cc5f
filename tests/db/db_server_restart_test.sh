#!/usr/bin/env bash
# The database server stopped, frozen and started again while kivd runs:
# each row that cannot be written is logged and kept (also across a restart
# of the daemon), the daemon goes on, and once the server answers again the
# kept rows arrive in order with their own time stamps, none twice.
# A server of its own (this test's network namespace), so stopping it
# disturbs no other test. Rows every 2 s instead of every minute (test hook).
source "$KIVD_SRC/tests/integration/lib.sh"
command -v mariadbd >/dev/null || { echo "skip: no mariadbd"; exit 77; }
TOOLS=$KIVD_SRC/tests/tools
DBDIR=$(mktemp -d /tmp/kivd-dbr.XXXXXX)
trap '"$TOOLS/mariadb-down.sh" "$DBDIR" >/dev/null 2>&1' EXIT
"$TOOLS/mariadb-up.sh" "$DBDIR/m" > /dev/null || { echo "MariaDB did not start"; exit 1; }
DBDIR=$DBDIR/m
sql() { mariadb --no-defaults -h127.0.0.1 -P3307 -uuser -pchgpw123 -N -B -e "$1"; }
YEAR=$(date +%Y)
rows() { sql "SELECT COUNT(*) FROM smarthouse.tblSmartMeter_$YEAR" 2>/dev/null; }
fails() { count_log "MYSQL: failed connection.$"; }
# gaps: "smallest largest" seconds between rows following each other by smID;
# a lost row widens the largest gap, a row written twice narrows the smallest.
gaps() {
  sql "SELECT MIN(d), MAX(d) FROM (SELECT TIMESTAMPDIFF(SECOND, LAG(smTimeStamp) OVER (ORDER BY smID), smTimeStamp) d
       FROM smarthouse.tblSmartMeter_$YEAR) g" | tr '\t' ' '
}
# wait_more PATTERN N SECONDS: until the log has more than N lines matching PATTERN.
wait_more() {
  local deadline=$((SECONDS + $3))
  while [ $SECONDS -le $deadline ]; do [ "$(count_log "$1")" -gt "$2" ] && return 0; sleep 0.1; done
  return 1
}
# wait_rows N [SECONDS]: until the table holds more than N rows.
wait_rows() {
  local deadline=$((SECONDS + ${2:-10}))
  while [ $SECONDS -lt $deadline ]; do [ "$(rows)" -gt "$1" ] 2>/dev/null && return 0; sleep 0.2; done
  return 1
}

new_sandbox
SANDBOX_LOG=$SANDBOX/log
QUEUE=$SANDBOX_LOG/kivd.d/sql_rows.queue
export KIVD_TEST_HOOKS=1 KIVD_TEST_SQL_SECONDS=2
write_ini "[MYSQL]
USING=TRUE
HOST=127.0.0.1
PORT=3307
USERNAME=user
PASSWORD=chgpw123
DATABASE=smarthouse
[WEBSERVER]
PORT=18024"
start_kivd
check "logger started" wait_log "Thread 6: Starting SQL database client...$" 10
check "rows written" wait_rows 1 10

# --- the server stopped, the daemon restarted meanwhile ----------------------------
before=$(rows)
"$TOOLS/mariadb-down.sh" --keep "$DBDIR"
n0=$(fails)
check "stopped: each kept row logged" bash -c "for i in \$(seq 1 100); do [ \$(grep -c 'MYSQL: failed connection.\$' '$LOG') -ge $((n0 + 2)) ] && exit 0; sleep 0.1; done; exit 1"
check "stopped: daemon alive" kill -0 "$DAEMON_PID"
check "stopped: rows kept in the private folder" test "$(wc -l < "$QUEUE")" -ge 2
check "private folder only for the daemon" test "$(stat -c %a "$SANDBOX_LOG/kivd.d")" = 700
kill -TERM "$DAEMON_PID"
check "stopped: daemon ends on TERM" wait_gone "$DAEMON_PID" 5
start_kivd
n1=$(fails)
check "stopped: started again, rows still kept" bash -c "for i in \$(seq 1 100); do [ \$(grep -c 'MYSQL: failed connection.\$' '$LOG') -ge $((n1 + 2)) ] && exit 0; sleep 0.1; done; exit 1"
kept=$(wc -l < "$QUEUE")
check "stopped: the rows of both runs kept ($kept)" test "$kept" -ge $((n1 - n0 + 2))

# --- started again on the same data: the kept rows arrive, rows resume ------------
"$TOOLS/mariadb-up.sh" "$DBDIR" > /dev/null || { echo "MariaDB did not start again"; exit 1; }
check "started again: kept rows written" wait_log "MYSQL: [0-9]+ rows kept while the database was away written$" 10
check "started again: all of them" test "$(rows)" -ge $((before + kept))
check "started again: queue file removed" test ! -e "$QUEUE"
sleep 1
n1=$(fails)
r1=$(rows)
check "started again: more rows" wait_rows "$r1" 10
check "started again: no further failure lines" test "$(fails)" -eq "$n1"
read -r gmin gmax <<< "$(gaps)"
check "outage rows with their own time stamps, in order, none twice (gaps $gmin..$gmax s)" \
  test "$gmin" -ge 2 -a "$gmax" -le 8

# --- the server frozen (SIGSTOP): a row waits out the time-out, is logged ---------
SERVER=$(cat "$DBDIR/mariadbd.bgpid")
kill -STOP "$SERVER"
n2=$(fails)
check "frozen: the lost row logged after the time-out" bash -c "for i in \$(seq 1 250); do [ \$(grep -c 'MYSQL: failed connection.\$' '$LOG') -gt $n2 ] && exit 0; sleep 0.1; done; exit 1"
check "frozen: daemon alive and serving" bash -c "curl -s --max-time 5 http://127.0.0.1:18024/xml | grep -q GetValues"
kill -CONT "$SERVER"
r2=$(rows)
check "thawed: rows resume" wait_rows "$r2" 30
check "thawed: kept rows written" \
  bash -c "for i in \$(seq 1 100); do [ \$(grep -cE 'rows kept while the database was away written\$' '$LOG') -ge 2 ] && exit 0; sleep 0.1; done; exit 1"
read -r gmin gmax <<< "$(gaps)"
check "thawed: no row lost or twice (gaps $gmin..$gmax s)" test "$gmin" -ge 2 -a "$gmax" -le 14
check "no failed statement lines" test "$(count_log 'error executing sql query')" -eq 0

# --- a server that accepts and never answers, then one that trickles ---------------
# Neither holds the start, a restart pass or the rows' cadence (2 s).
kill -TERM "$DAEMON_PID"
check "daemon ends on TERM" wait_gone "$DAEMON_PID" 5
"$TOOLS/mariadb-down.sh" --keep "$DBDIR"
for mode in blackhole trickle; do
  python3 "$TOOLS/slow_peer.py" "$mode" 3307 --seconds 40 &
  PEER=$!
  sleep 0.5
  c3=$(count_log "Thread 3: ")
  t0=$(date +%s%N)
  start_kivd
  check "$mode: web server answers at once" curl -s --max-time 3 -o /dev/null http://127.0.0.1:18024/xml
  check "$mode: control up at once" wait_more "Thread 3: " "$c3" 1
  check "$mode: started in under 3 s" test $(( ($(date +%s%N) - t0) / 1000000 )) -lt 3000
  n=$(fails)
  sleep 8.5
  # 4 rows fall due in 8.5 s; the check before them may take one more period.
  check "$mode: each row logged on time ($(( $(fails) - n )) in 8.5 s)" test $(( $(fails) - n )) -ge 3
  j=$(count_log "Threads joined")
  kill -USR1 "$DAEMON_PID"
  check "$mode: restart pass not held" wait_more "Threads joined" "$j" 2
  kill -TERM "$DAEMON_PID"
  check "$mode: daemon ends on TERM" wait_gone "$DAEMON_PID" 5
  kill "$PEER"; wait "$PEER" 2>/dev/null
done

finish
