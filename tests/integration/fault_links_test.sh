#!/usr/bin/env bash
# Symbolic links planted in the log folder (world-writable on many boards):
# at the PID file and at the hand-over files kivd.var and kivd.act. The
# daemon never writes through them, leaves their targets alone and logs it.
source "$KIVD_SRC/tests/integration/lib.sh"
PORT=18021
URL=http://127.0.0.1:$PORT

new_sandbox
INI_DEBUG=1 write_ini "[WALLBOX]
USING=TRUE
HOST=127.0.0.1
[WEBSERVER]
PORT=$PORT"
VICTIM=$SANDBOX/victim
printf 'precious\n' > "$VICTIM"
victim_untouched() { test "$(cat "$VICTIM")" = precious; }
# The server thread looks at both hand-over files after every request; a link
# planted while it still handles the previous one would be removed before the
# request under test ever meets it.
web_idle() {
  for _ in $(seq 1 50); do
    [ "$(count_log 'Webserver: parent started$')" = "$(count_log 'Webserver: parent fork ended\.$')" ] && return 0
    sleep 0.1
  done
  return 1
}

# --- PID file: the detached daemon refuses the link and ends -----------------
ln -s "$VICTIM" "$PIDFILE"
"$KIVD_BIN"
check "launcher exits 0" test $? -eq 0
check "PID link refused and logged" wait_log "PID file $PIDFILE is a symbolic link, not followed$" 5
sleep 0.5
check "PID link: target untouched" victim_untouched
check "PID link: still a link" test -L "$PIDFILE"
check "PID link: no daemon serving" bash -c "! curl -s --max-time 2 '$URL/xml' >/dev/null"
check "PID link: no thread started" test "$(count_log '^.{24} Thread [0-9]+: ')" -eq 0
rm -f "$PIDFILE"

# --- hand-over files: links left before the start are removed, not followed --
mkdir -m 700 "$SANDBOX/log/kivd.d"
ln -s "$VICTIM" "$SANDBOX/log/kivd.d/kivd.var"
ln -s "$VICTIM" "$SANDBOX/log/kivd.d/kivd.act"
start_kivd
check "daemon started" test -n "$DAEMON_PID"
check "web server started" wait_log "Thread 2: Starting webserver...$" 5
check "links from before the start removed" \
  bash -c "sleep 0.3; ! test -L '$SANDBOX/log/kivd.d/kivd.var' && ! test -L '$SANDBOX/log/kivd.d/kivd.act'"
check "start: target untouched" victim_untouched

# --- a link planted while the daemon runs: the child does not write through it,
# the server thread removes it unread ---------------------------------------
check "web server idle before the kivd.var link" web_idle
ln -s "$VICTIM" "$SANDBOX/log/kivd.d/kivd.var"
curl -s --max-time 10 -d 'WebChargingMode=2&ManualValue=16020&MinCharge=6000&MaxPhases=1' "$URL/control" > /dev/null
check "kivd.var: write refused and logged" wait_log "set_line: error writing tempfile variables$" 5
check "kivd.var: link removed and logged" wait_log "Webserver: $SANDBOX/log/kivd.d/kivd.var is not a plain file, removed unread$" 5
check "kivd.var: target untouched" victim_untouched
check "kivd.var: nothing applied" bash -c "curl -s --max-time 5 '$URL/xml' | grep -q '<ChargingMode>MANUAL' && exit 1 || exit 0"

check "web server idle before the kivd.act link" web_idle
ln -s "$VICTIM" "$SANDBOX/log/kivd.d/kivd.act"
curl -s --max-time 10 "$URL/restart" > /dev/null
check "kivd.act: write refused and logged" wait_log "set_line: error writing tempfile actions$" 5
check "kivd.act: link removed and logged" wait_log "Webserver: $SANDBOX/log/kivd.d/kivd.act is not a plain file, removed unread$" 5
check "kivd.act: target untouched" victim_untouched
sleep 0.5
check "kivd.act: no restart raised" test "$(count_log 'Restart kivd daemon initiated')" -eq 0

# A plain hand-over still works afterwards.
curl -s --max-time 10 -d 'WebChargingMode=2&ManualValue=16020&MinCharge=6000&MaxPhases=1' "$URL/control" > /dev/null
check "plain hand-over applied afterwards" \
  bash -c "for i in \$(seq 1 30); do curl -s --max-time 2 '$URL/xml' | grep -q '<ChargingMode>MANUAL' && exit 0; sleep 0.1; done; exit 1"
check "daemon alive" kill -0 "$DAEMON_PID"
check "PID file is a plain file with the pid" test ! -L "$PIDFILE" -a "$(tr -d '\n' < "$PIDFILE")" = "$DAEMON_PID"
kill -TERM "$DAEMON_PID"; wait_gone "$DAEMON_PID" 5
finish
