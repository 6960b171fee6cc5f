#!/usr/bin/env bash
# Start-up, configuration file, PID file, second instance, signals.
source "$(dirname "$0")/lib.sh"

# --- a missing configuration is written first, then read, then logged into --
# The default file names /tmp for its log and PID files: give this run a
# private /tmp so nothing of the machine's own is touched. The program is
# copied out first: the build folder itself may lie below /tmp.
bindir=$(mktemp -d /var/tmp/kivd-bin.XXXXXX)
cp "$KIVD_BIN" "$bindir/kivd"
KIVD_BIN=$bindir/kivd unshare -m bash -c '
  set -u
  mount -t tmpfs tmpfs /tmp || exit 2
  root=$(mktemp -d /tmp/kivd-root.XXXXXX); mkdir -p "$root/etc"
  KIVD_ROOT=$root "$KIVD_BIN"
  for _ in $(seq 1 100); do [ -s /tmp/kivd.pid ] && break; sleep 0.05; done
  pid=$(cat /tmp/kivd.pid)
  sleep 0.5
  rc=0
  [ -f "$root/etc/kivd.ini" ] || { echo "no default ini"; rc=1; }
  [ "$(stat -c %a "$root/etc/kivd.ini")" = 600 ] || { echo "default ini not private"; rc=1; }
  head -1 /tmp/kivd.log | grep -q "Starting Orvane (arm version)$" || { echo "first line is not the start line"; cat /tmp/kivd.log; rc=1; }
  grep -q "Extended webserver resources not found at: $root/usr/local/kiv/resources" /tmp/kivd.log || { echo "no resources line"; rc=1; }
  grep -q "Thread 1: Starting energymeter service..." /tmp/kivd.log || { echo "meter not started with defaults"; rc=1; }
  kill -TERM "$pid"; for _ in $(seq 1 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
  exit $rc'
rc=$?
rm -rf "$bindir"
check "missing ini is written before the start line, defaults in use" test $rc -eq 0

# --- PID file, thread start lines -------------------------------------------
new_sandbox
mkdir -p "$SANDBOX/usr/local/kiv/resources"
write_ini ""
start_kivd
check "launcher exits 0" test "$START_RC" -eq 0
check "PID file holds the daemon's pid" kill -0 "$DAEMON_PID"
check "PID file is one line" test "$(cat "$PIDFILE")" = "$DAEMON_PID"
check "resources found" wait_log "Extended webserver resources found$"
check "thread lines" wait_log "Thread 6: SQL database client not used...$"
for line in "Thread 0: UDP receiver \(wallbox\) not used...$" "Thread 1: Energymeter service not used...$" \
            "Thread 2: Starting webserver...$" "Thread 3: No using keba wallbox controller...$" \
            "Thread 4: KNX interface not used ...$" "Thread 5: Storage system reader not used...$"; do
  check "log has: $line" wait_log "$line" 2
done
check "log line form" grep -qE '^(Mon|Tue|Wed|Thu|Fri|Sat|Sun) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [ 1-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-5][0-9] [0-9]{4} Starting Orvane \(arm version\)$' "$LOG"
check "detached: no controlling terminal, own session" test "$(ps -o sid= -p "$DAEMON_PID" | tr -d ' ')" = "$DAEMON_PID"

# --- a second instance ends quietly ----------------------------------------
lines_before=$(wc -l < "$LOG")
"$KIVD_BIN"; rc=$?
sleep 0.5
check "second launcher exits 0" test $rc -eq 0
check "second instance logs only its two start lines" test $(( $(wc -l < "$LOG") - lines_before )) -eq 2
check "first instance still holds the PID file" test "$(cat "$PIDFILE")" = "$DAEMON_PID"
check "only one daemon runs" test "$(pgrep -c -f "^$KIVD_BIN$" || true)" -ge 1

# --- SIGHUP: two lines, PID file gone, still running ------------------------
kill -HUP "$DAEMON_PID"
check "hangup line" wait_log "STOP: Hangup signal catched.$" 5
sleep 0.3
check "31 dashes after hangup" grep -A1 "Hangup signal catched" "$LOG" | tail -1 | grep -qE " -{31}$"
check "PID file removed" test ! -e "$PIDFILE"
check "daemon still running" kill -0 "$DAEMON_PID"

# --- SIGTERM: three lines in order, process ends ----------------------------
kill -TERM "$DAEMON_PID"
check "daemon ends on SIGTERM" wait_gone "$DAEMON_PID" 5
check "terminate lines in order" bash -c "grep -A2 'STOP: Terminate signal catched.' '$LOG' | sed 's/^.\{24\} //' | tr '\n' '|' | grep -qE '^STOP: Terminate signal catched.\|STOP: Global sockets closed.\|-{31}\|$'"
check "error deleting pidfile logged (file was gone already)" grep -q "STOP: Error deleting pidfile" "$LOG"
finish
