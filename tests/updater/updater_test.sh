#!/usr/bin/env bash
# kiv_updater on its own: argument checks, the install, the resources copy,
# the wait, and the start of the installed program in the same process.
source "$KIVD_SRC/tests/integration/lib.sh"

UPD=${KIV_UPDATER_BIN:-$KIVD_BUILD/kiv_updater}
FAKE=${KIV_FAKE_DAEMON:-$KIVD_BUILD/tests/updater/kiv_fake_daemon}

# A fresh sandbox with an installed "old" daemon and a downloaded "new" one.
setup() {
  [ -n "${SANDBOX:-}" ] && rm -rf "$SANDBOX"
  new_sandbox
  mkdir -p "$SANDBOX/bin" "$SANDBOX/usr/local" "$SANDBOX/log/kivupdate/bin"
  SRC=$SANDBOX/log/kivupdate/bin/kivd
  DEST=$SANDBOX/bin/kivd
  RES=$SANDBOX/log/kivupdate/usr/local/kiv
  RESDEST=$SANDBOX/usr/local
  cp "$FAKE" "$DEST" && printf 'MARK:old' >> "$DEST"
  cp "$FAKE" "$SRC" && printf 'MARK:new' >> "$SRC"
  export FAKE_DAEMON_OUT=$SANDBOX/started
}

# Runs the updater in LOG_DIR as the daemon does; UPD_PID is its pid.
run_updater() {
  (cd "$SANDBOX/log" && exec "$UPD" "$@") &
  UPD_PID=$!
  wait "$UPD_PID"
  UPD_RC=$?
}

lines() { sed 's/^.\{24\} //' "$LOG" 2>/dev/null; }
started() { cat "$SANDBOX/started" 2>/dev/null; }

# --- argument checks ----------------------------------------------------------
setup
run_updater
check "no arguments: status 0" test "$UPD_RC" -eq 0
check "no arguments: one line in errorupdate.log" \
  test "$(sed 's/^.\{24\} //' "$SANDBOX/log/errorupdate.log")" = "KIV updater: no parameters found!"
check "no arguments: nothing started" test ! -e "$SANDBOX/started"

setup
run_updater "$LOG"
check "log file only: one line" test "$(lines)" = "Orvane Updater failed..."
check "log file only: no errorupdate.log" test ! -e "$SANDBOX/log/errorupdate.log"

setup
run_updater "$LOG" "$SRC"
check "source only: failed line" test "$(lines)" = "Orvane Updater failed..."

setup
run_updater "$LOG" "$SRC" "$DEST"
check "no waiting time: errorupdate.log" grep -q "KIV updater: no parameters found!$" "$SANDBOX/log/errorupdate.log"
check "no waiting time: old program kept" grep -q "MARK:old" "$DEST"

# --- four arguments: install, wait 0, start the new program -----------------
setup
run_updater "$LOG" "$SRC" "$DEST" 0
check "four arguments: the lines in order" test "$(lines | tr '\n' '|')" = \
  "KIV updater: started.|KIV updater: update new binary.|KIV updater: wait until everything is ready to restart (0s).|KIV updater: execute new binary daemon.|"
check "installed program is the new one" cmp -s "$SRC" "$DEST"
check "installed program is executable" test -x "$DEST"
check "no temporary file beside it, the old program kept" test "$(ls -A "$SANDBOX/bin" | tr '\n' ' ')" = "kivd kivd.previous "
check "kept program is the old one" grep -q "MARK:old" "$DEST.previous"
check "new program started in the same process, empty name, no arguments" \
  test "$(started)" = "pid=$UPD_PID argc=1 argv0=[] marker=new"

# --- resources: copied, missing source, missing destination -----------------
setup
mkdir -p "$RES/resources/img"
echo "<html>new</html>" > "$RES/resources/index.html"
echo "png" > "$RES/resources/img/logo.png"
run_updater "$LOG" "$SRC" "$DEST" 0 "$RES" "$RESDEST"
check "resources line" grep -q "KIV updater: webserver resources successfully updated.$" "$LOG"
check "resources copied into the destination" cmp -s "$RES/resources/img/logo.png" "$RESDEST/kiv/resources/img/logo.png"
check "resources line after the install, before the wait" test "$(lines | sed -n 3p)" = \
  "KIV updater: webserver resources successfully updated."
check "new program started after the resources" test "$(started)" = "pid=$UPD_PID argc=1 argv0=[] marker=new"

setup
run_updater "$LOG" "$SRC" "$DEST" 0 "$RES" "$RESDEST"
check "missing resources named" grep -q "KIV updater: new webserver files not found at: $RES.$" "$LOG"
check "update goes on" test "$(started)" = "pid=$UPD_PID argc=1 argv0=[] marker=new"

setup
mkdir -p "$RES"
run_updater "$LOG" "$SRC" "$DEST" 0 "$RES" "$SANDBOX/nowhere"
check "missing destination: the two-blank line" \
  grep -q "KIV updater:  webserver destination path not found: $SANDBOX/nowhere.$" "$LOG"
check "missing destination: new program still started" test "$(started)" = "pid=$UPD_PID argc=1 argv0=[] marker=new"

setup
run_updater "$LOG" "$SRC" "$DEST" 0 "$RES"
check "five arguments: no resources line" test "$(count_log webserver)" -eq 0

# --- waiting time -------------------------------------------------------------
setup
run_updater "$LOG" "$SRC" "$DEST" abc
check "non-numeric wait counts as 0" grep -q "restart (0s).$" "$LOG"
setup
run_updater "$LOG" "$SRC" "$DEST" -7
check "negative wait counts as 0" grep -q "restart (0s).$" "$LOG"
setup
t0=$(date +%s.%N)
run_updater "$LOG" "$SRC" "$DEST" 2
t1=$(date +%s.%N)
check "wait line with 2 s" grep -q "restart (2s).$" "$LOG"
check "1 s after start plus the 2 s wait" python3 -c "import sys; d=$t1-$t0; sys.exit(0 if 2.9 <= d < 4.5 else 1)"

# --- failed updates leave the installed program and start it again ----------
setup
rm "$SRC"
run_updater "$LOG" "$SRC" "$DEST" 0
check "missing update file: lines" test "$(lines | tr '\n' '|')" = \
  "KIV updater: started.|KIV updater: update new binary.|KIV updater: update file $SRC not found|KIV updater: update failed.|KIV updater: wait until everything is ready to restart (0s).|KIV updater: execute installed binary daemon.|"
check "missing update file: old program started again" test "$(started)" = "pid=$UPD_PID argc=1 argv0=[] marker=old"

setup
printf '#!/bin/sh\necho broken\n' > "$SRC"
run_updater "$LOG" "$SRC" "$DEST" 0
check "script refused" grep -q "KIV updater: update file refused: $SRC is not an ELF program.$" "$LOG"
check "script: old program in place" grep -q "MARK:old" "$DEST"
check "script: old program started" test "$(started)" = "pid=$UPD_PID argc=1 argv0=[] marker=old"

setup
head -c 3000 "$FAKE" > "$SRC"   # a download cut short: ELF header, no program
run_updater "$LOG" "$SRC" "$DEST" 0
check "cut program refused" grep -q "KIV updater: update file refused: $SRC is cut short or damaged.$" "$LOG"
check "cut program: old one in place" grep -q "MARK:old" "$DEST"

setup
# The copy fails half-way (file size limit); the old program must stay whole.
old_sum=$(sha256sum < "$DEST")
(cd "$SANDBOX/log" && ulimit -f 8 && trap '' XFSZ && exec "$UPD" "$LOG" "$SRC" "$DEST" 0) &
UPD_PID=$!; wait $UPD_PID
check "failed copy logged" grep -q "KIV updater: error install $SRC as $DEST: cannot write .*File too large.$" "$LOG"
check "failed copy: old program intact" test "$(sha256sum < "$DEST")" = "$old_sum"
check "failed copy: no temporary file" test "$(ls -A "$SANDBOX/bin" | tr '\n' ' ')" = "kivd kivd.previous "
check "failed copy: old program started" test "$(started)" = "pid=$UPD_PID argc=1 argv0=[] marker=old"

setup
rm "$SRC" "$DEST"
run_updater "$LOG" "$SRC" "$DEST" 0
check "nothing installed, nothing downloaded: ends after 'update failed.'" \
  test "$(lines | tail -n 1)" = "KIV updater: update failed."
check "nothing started" test ! -e "$SANDBOX/started"

setup
rm "$DEST"
run_updater "$LOG" "$SRC" "$DEST" 0
check "first install onto an empty place" test "$(started)" = "pid=$UPD_PID argc=1 argv0=[] marker=new"

if [ "$(id -u)" = 0 ]; then
  setup
  chown 65534 "$SRC"
  run_updater "$LOG" "$SRC" "$DEST" 0
  check "update of another user refused" grep -q "KIV updater: update file refused: $SRC is owned by another user.$" "$LOG"
  check "update of another user: old program started" test "$(started)" = "pid=$UPD_PID argc=1 argv0=[] marker=old"
fi
setup
chmod 666 "$SRC"
run_updater "$LOG" "$SRC" "$DEST" 0
check "update writable by others refused" grep -q "KIV updater: update file refused: $SRC is writable by group or others.$" "$LOG"

# --- the start of the new program is watched ----------------------------------
export KIVD_TEST_HOOKS=1 KIV_UPDATER_CHECK_SECONDS=2 KIV_UPDATER_SETTLE_SECONDS=2
MARKER_ARGS() { echo "$LOG" "$SRC" "$DEST" 0 "$RES" "$RESDEST" "$SANDBOX/log/kivd.running"; }
wait_for() {  # wait_for PATTERN: the log gets a matching line within 10 s
  for _ in $(seq 1 100); do grep -qE -- "$1" "$LOG" && return 0; sleep 0.1; done; return 1
}
setup
KIV_UPDATER_SETTLE_SECONDS=5 FAKE_DAEMON_RUNNING=$SANDBOX/log/kivd.running FAKE_DAEMON_STAY=7 FAKE_DAEMON_BEAT=1 \
  run_updater $(MARKER_ARGS)
check "running new daemon seen" wait_for "KIV updater: new daemon is running.$"
check "running new daemon stays installed" grep -q "MARK:new" "$DEST"
# One that stays but whose main loop stands still (its marker not touched).
setup
KIV_UPDATER_SETTLE_SECONDS=5 FAKE_DAEMON_RUNNING=$SANDBOX/log/kivd.running FAKE_DAEMON_STAY=9 run_updater $(MARKER_ARGS)
check "hung new daemon: rolled back" \
  wait_for "KIV updater: new daemon stopped refreshing its running marker within 5s, previous program restored.$"
check "hung: previous program started again" bash -c "for i in \$(seq 1 50); do grep -q 'marker=old' '$SANDBOX/started' 2>/dev/null && exit 0; sleep 0.1; done; exit 1"
kill $(sed -n 's/^pid=\([0-9]*\) .*marker=old$/\1/p' "$SANDBOX/started") 2>/dev/null
# One that writes its marker and ends at once (a crash) is rolled back too.
setup
FAKE_DAEMON_RUNNING=$SANDBOX/log/kivd.running run_updater $(MARKER_ARGS)
check "new daemon that crashes after its marker: rolled back" \
  wait_for "KIV updater: new daemon ended 0s after reaching its running state, previous program restored.$"
check "crashed: previous program installed and started again" bash -c "for i in \$(seq 1 50); do grep -q 'marker=old' '$SANDBOX/started' 2>/dev/null && exit 0; sleep 0.1; done; grep -q MARK:old '$DEST'"

# A program whose library is missing never reaches its own code.
setup
python3 -c "import sys; p=sys.argv[1]; b=open(p,'rb').read(); open(p,'wb').write(b.replace(b'libc.so.6', b'libq.so.6'))" "$SRC"
run_updater $(MARKER_ARGS) 2> /dev/null
check "new daemon that cannot start: rolled back" \
  wait_for "KIV updater: new daemon did not reach its running state within 2s, previous program restored.$"
check "previous program started again" bash -c "for i in \$(seq 1 50); do grep -q 'marker=old' '$SANDBOX/started' 2>/dev/null && exit 0; sleep 0.1; done; exit 1"
check "previous program installed again" grep -q "MARK:old" "$DEST"
check "rollback logged its start" grep -q "KIV updater: execute previous binary daemon.$" "$LOG"
unset KIVD_TEST_HOOKS KIV_UPDATER_CHECK_SECONDS KIV_UPDATER_SETTLE_SECONDS

finish
