#!/usr/bin/env bash
# A full disk under the configuration folder and under the log folder (small
# tmpfs mounts in a private mount namespace): a settings save fails whole and
# says so, the file stays the old one; log lines that do not fit are lost
# whole, never cut; the daemon keeps serving and logs again once there is room.
# With the database away meanwhile (rows each second, test hook) the kept
# history rows survive a full log folder and a restart pass in between, in
# whole records; a command that cannot be handed over is answered as failed.
# A daemon started on the full log folder writes its PID file once there is room.
if [ -z "${KIVD_FAULT_MOUNTNS:-}" ]; then
  KIVD_FAULT_MOUNTNS=1 exec unshare -m --propagation private bash "$0" "$@"
fi
source "$KIVD_SRC/tests/integration/lib.sh"
PORT=18023
URL=http://127.0.0.1:$PORT

new_sandbox
mount -t tmpfs -o size=64k,mode=0755 kivd-etc "$SANDBOX/etc" || { echo "cannot mount a tmpfs"; exit 1; }
mount -t tmpfs -o size=64k,mode=0755 kivd-log "$SANDBOX/log" || { echo "cannot mount a tmpfs"; exit 1; }
INI=$SANDBOX/etc/kivd.ini
INI_DEBUG=1 write_ini "[WEBSERVER]
PORT=$PORT
[MYSQL]
USING=TRUE
HOST=127.0.0.1
PORT=3309"
export KIVD_TEST_HOOKS=1 KIVD_TEST_SQL_SECONDS=1
QUEUE=$SANDBOX/log/kivd.d/sql_rows.queue
post() { curl -sL --max-time 10 -d "$2" "$URL/$1"; }
# fill DIR: takes every free block of the file system under DIR.
fill() { dd if=/dev/zero of="$1/fill" bs=1k 2>/dev/null; sync; }
cleanup_mounts() { umount "$SANDBOX/etc" "$SANDBOX/log" 2>/dev/null; }
trap cleanup_mounts EXIT

start_kivd
check "web server started" wait_log "Thread 2: Starting webserver...$" 5
post settings 'MysqlUsing=true&MysqlIP=127.0.0.1&MysqlPort=3301&WallboxIP=10.0.0.1' | grep -q 'Settings successfully saved'
cp "$INI" "$SANDBOX/ini.before"

# --- the configuration's file system full while the settings are saved ------
fill "$SANDBOX/etc"
post settings 'MysqlUsing=true&MysqlPort=3302&WallboxIP=10.0.0.2&KNXInterval=33' > "$SANDBOX/page1"
check "full: save refused on the page" bash -c "! grep -q 'Settings successfully saved' '$SANDBOX/page1'"
check "full: write failure logged" wait_log "Settings: cannot (write|flush|close) $SANDBOX/etc/\.kivd\.ini\.[A-Za-z0-9]{6}: No space left on device$" 5
check "full: page failure logged" wait_log "Service_Request: error writing ini file...$" 5
check "full: file is the old one, whole" cmp -s "$INI" "$SANDBOX/ini.before"
check "full: no temporary left" test "$(find "$SANDBOX/etc" -name '.kivd.ini.*' | wc -l)" -eq 0
check "full: daemon alive and serving" bash -c "curl -s --max-time 5 '$URL/xml' | grep -q GetValues"
rm -f "$SANDBOX/etc/fill"
post settings 'MysqlUsing=true&MysqlPort=3302&WallboxIP=10.0.0.2&KNXInterval=33' > "$SANDBOX/page2"
check "room again: saved" grep -q 'Settings successfully saved' "$SANDBOX/page2"
check "room again: new value in the file" grep -qiE '^port *= *"?3302' "$INI"

# --- the log's file system full while the daemon logs ------------------------
# Debug logging writes a line per request; the daemon's lines are ~80 bytes,
# so the last page of the log fills part-way while requests go on.
check "rows kept while the database is away" bash -c "for i in \$(seq 1 50); do [ -s '$QUEUE' ] && exit 0; sleep 0.1; done; exit 1"
fill "$SANDBOX/log"
for i in $(seq 1 60); do curl -s --max-time 5 "$URL/xml?fill=$i" > /dev/null; done
check "log full: daemon alive and serving" bash -c "curl -s --max-time 5 '$URL/xml' | grep -q GetValues"
check "log full: PID file intact" test "$(tr -d '\n' < "$PIDFILE")" = "$DAEMON_PID"
check "log full: /remote says failed" bash -c "curl -s --max-time 5 '$URL/remote?mode=off' | grep -q '<parameters>failed</parameters>'"
check "log full: /restart answers an error" test "$(curl -s -o /dev/null -w '%{http_code}' --max-time 5 "$URL/restart")" = 503
sleep 2
kill -USR1 "$DAEMON_PID"  # a new pass while the disk is full
sleep 13
rm -f "$SANDBOX/log/fill"
sleep 3
curl -s --max-time 5 "$URL/restart" > /dev/null
check "room again: logging resumes" wait_log "Restart kivd daemon initiated...$" 5
check "room again: restart pass runs" wait_log "Threads joined...$" 10
# Every line of the log is whole: a time stamp, then text, and no stamp in
# the middle of a line (a cut line would run into the next one).
check "log: no line cut by the full disk" \
  bash -c "! grep -vE '^[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4} ' '$LOG' | grep -q . && ! grep -qE '.[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4} ' '$LOG'"
check "daemon alive" kill -0 "$DAEMON_PID"
kill -TERM "$DAEMON_PID"; wait_gone "$DAEMON_PID" 5
check "kept rows: whole records only" bash -c "! grep -vqE '^[0-9]+( -?[0-9]+){7}( [0-9a-f]{8}){5}\$' '$QUEUE'"
# One a second; only the restart passes (10 s each) leave wider gaps.
gap=$(awk 'NR > 1 && $1 - p > g { g = $1 - p } { p = $1 } END { print g + 0 }' "$QUEUE")
check "kept rows: none lost while the disk was full (widest gap $gap s)" test "$gap" -le 13
# About 20 s of running, 10 of them between passes.
check "kept rows: from before the full disk to after it ($(wc -l < "$QUEUE"))" test "$(wc -l < "$QUEUE")" -ge 8

# --- started while the log folder is full: the PID file follows later -------
fill "$SANDBOX/log"
"$KIVD_BIN"
sleep 1
# The daemon holds the lock on its PID file: /proc/locks names it.
ino=$(stat -c %i "$PIDFILE" 2>/dev/null)
late_pid=$(awk -v ino=":$ino\$" '$6 ~ ino { print $5; exit }' /proc/locks)
[ -n "$late_pid" ] && STARTED_PIDS+=("$late_pid")
check "full at start: daemon running, PID file empty ($late_pid)" bash -c "[ -n '$late_pid' ] && kill -0 '$late_pid' && [ ! -s '$PIDFILE' ]"
rm -f "$SANDBOX/log/fill"
check "room again: PID file written" bash -c "for i in \$(seq 1 30); do [ \"\$(tr -d '\\n' < '$PIDFILE')\" = '$late_pid' ] && exit 0; sleep 0.1; done; exit 1"
check "room again: PID file line logged" wait_log "PID file $PIDFILE written$" 3
[ -n "$late_pid" ] && { kill -TERM "$late_pid"; wait_gone "$late_pid" 5; }

# The log lies on the tmpfs: show it before the mount goes.
[ "$TEST_FAILS" -gt 0 ] && { echo "--- log ---"; cat "$LOG"; }
cleanup_mounts
finish
