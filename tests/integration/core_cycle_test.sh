#!/usr/bin/env bash
# The restart and update cycle, and the wallbox socket's bind that waits for its port.
source "$(dirname "$0")/lib.sh"

new_sandbox
write_ini ""
export KIVD_TEST_HOOKS=1
start_kivd
check "started" wait_log "Thread 6: SQL database client not used...$"

kill -USR1 "$DAEMON_PID"   # restart request
check "reset wallbox" wait_log "Reset wallbox...$" 5
check "threads canceled" wait_log "Threads canceled...$" 5
check "threads joined" wait_log "Threads joined...$" 5
check "wait line" wait_log "Restart or update daemon \(wait 10s\)...$" 5
check "38 dashes" grep -qE " -{38}$" "$LOG"
check "second pass starts the six workers" wait_log "Thread 6: SQL database client not used...$" 1
check "second pass after 10 s" wait_log "Thread 0: UDP receiver.*" 15
sleep 12
check "six workers started twice" test "$(count_log 'Thread [013456]: ')" -eq 12
check "web server started once" test "$(count_log 'Thread 2: Starting webserver...')" -eq 1
check "cycle lines in order" bash -c "sed 's/^.\{24\} //' '$LOG' | grep -E '^(Reset wallbox|Threads canceled|Threads joined|Restart or update)' | tr '\n' '|' | grep -q '^Reset wallbox...|Threads canceled...|Threads joined...|Restart or update daemon (wait 10s)...|$'"

kill -USR2 "$DAEMON_PID"   # update request without an unpacked update
check "missing updater named" wait_log "KIV update: $SANDBOX/log/kivd.d/kivupdate/bin/kiv_updater not found, failed!$" 20
check "threads start again after the failed update" bash -c "sleep 1; test \$(grep -c 'Thread 6: ' '$LOG') -eq 3"
check "still running" kill -0 "$DAEMON_PID"
kill -TERM "$DAEMON_PID"; wait_gone "$DAEMON_PID" 5

# --- the updater found: the process becomes it, same pid --------------------
new_sandbox
INI_DEBUG=1 write_ini ""
mkdir -p -m 700 "$SANDBOX/log/kivd.d" && mkdir -p "$SANDBOX/log/kivd.d/kivupdate/bin"
cat > "$SANDBOX/log/kivd.d/kivupdate/bin/kiv_updater" <<'SH'
#!/bin/sh
echo "$$ $*" > "$(dirname "$0")/ran"
SH
chmod +x "$SANDBOX/log/kivd.d/kivupdate/bin/kiv_updater"
touch "$SANDBOX/log/kivd.d/kivupdate/bin/kivd"
start_kivd
wait_log "Thread 6: " 5
kill -USR2 "$DAEMON_PID"
check "updater ran" bash -c "for i in \$(seq 1 200); do [ -s '$SANDBOX/log/kivd.d/kivupdate/bin/ran' ] && exit 0; sleep 0.1; done; exit 1"
check "updater kept the daemon's pid and got the arguments" \
  test "$(cat "$SANDBOX/log/kivd.d/kivupdate/bin/ran" 2>/dev/null)" = "$DAEMON_PID $LOG $SANDBOX/log/kivd.d/kivupdate/bin/kivd $SANDBOX/bin/kivd 60 $SANDBOX/log/kivd.d/kivupdate/usr/local/kiv $SANDBOX/usr/local $SANDBOX/log/kivd.d/kivd.running"
check "execl debug line" grep -q "KIV update: execl parameters $SANDBOX/log/kivd.d/kivupdate/bin/kiv_updater $LOG $SANDBOX/log/kivd.d/kivupdate/bin/kivd $SANDBOX/bin/kivd 60s $SANDBOX/log/kivd.d/kivupdate/usr/local/kiv $SANDBOX/usr/local $SANDBOX/log/kivd.d/kivd.running$" "$LOG"
check "running marker of the old daemon removed before the hand-over" test ! -e "$SANDBOX/log/kivd.d/kivd.running"

# --- the wallbox port is taken: the bind is tried again until it is free ----
new_sandbox
write_ini "[WALLBOX]
USING=TRUE
PORT=7090"
python3 -c 'import socket,sys,time; s=socket.socket(socket.AF_INET,socket.SOCK_DGRAM); s.bind(("0.0.0.0",7090)); open(sys.argv[1],"w").close(); time.sleep(30)' "$SANDBOX/held" &
holder=$!
for _ in $(seq 1 100); do [ -e "$SANDBOX/held" ] && break; sleep 0.05; done
start_kivd
check "bind failure logged" wait_log "UDP server: bind call failed, trying again in 1 s$" 5
check "web server up meanwhile" wait_log "Thread 2: Starting webserver...$" 5
kill "$holder" 2>/dev/null; wait "$holder" 2>/dev/null
check "bound once the port is free" wait_log "Thread 0: " 10
check "daemon still running" kill -0 "$DAEMON_PID"
kill -TERM "$DAEMON_PID"; wait_gone "$DAEMON_PID" 5
finish
