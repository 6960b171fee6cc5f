#!/usr/bin/env bash
# The whole update hand-over with the real programs: the running kivd gets an
# update request, becomes kiv_updater, which installs the downloaded kivd and
# its web resources and becomes the new kivd, all in the same process.
# The daemon passes a waiting time of 60 s, so each case takes over a minute.
source "$KIVD_SRC/tests/integration/lib.sh"

UPD=${KIV_UPDATER_BIN:-$KIVD_BUILD/kiv_updater}
BUILT_KIVD=${KIVD_BIN:-$KIVD_BUILD/kivd}

setup() {
  new_sandbox
  write_ini ""
  mkdir -p -m 700 "$SANDBOX/log/kivd.d"
  mkdir -p "$SANDBOX/bin" "$SANDBOX/usr/local" "$SANDBOX/log/kivd.d/kivupdate/bin"
  INSTALLED=$SANDBOX/bin/kivd
  NEW=$SANDBOX/log/kivd.d/kivupdate/bin/kivd
  # Bytes after the end of an ELF program do not change it: they mark which
  # build is which.
  cp "$BUILT_KIVD" "$INSTALLED" && printf 'MARK:old' >> "$INSTALLED"
  cp "$BUILT_KIVD" "$NEW" && printf 'MARK:new' >> "$NEW"
  cp "$UPD" "$SANDBOX/log/kivd.d/kivupdate/bin/kiv_updater"
  KIVD_BIN=$INSTALLED
}

exe_of() { readlink "/proc/$1/exe" 2>/dev/null; }
pid_file() { tr -d '\n' < "$PIDFILE" 2>/dev/null; }

export KIVD_TEST_HOOKS=1 KIV_UPDATER_SETTLE_SECONDS=2

# --- a good update ------------------------------------------------------------
setup
mkdir -p "$SANDBOX/log/kivd.d/kivupdate/usr/local/kiv/resources"
echo "<html>new page</html>" > "$SANDBOX/log/kivd.d/kivupdate/usr/local/kiv/resources/index.html"
start_kivd
check "old daemon running" wait_log "Thread 6: " 5
check "runs the installed program" test "$(exe_of "$DAEMON_PID")" = "$INSTALLED"
kill -USR2 "$DAEMON_PID"
check "updater started in the daemon's process" wait_log "KIV updater: started.$" 25
check "still the same process" test "$(exe_of "$DAEMON_PID")" = "$SANDBOX/log/kivd.d/kivupdate/bin/kiv_updater"
check "new program installed before the wait" wait_log "KIV updater: wait until everything is ready to restart \(60s\).$" 5
check "installed program is the new build" cmp -s "$NEW" "$INSTALLED"
check "resources installed" grep -q "new page" "$SANDBOX/usr/local/kiv/resources/index.html"
check "resources line" grep -q "KIV updater: webserver resources successfully updated.$" "$LOG"
check "new daemon started" wait_log "KIV updater: execute new binary daemon.$" 70
check "new daemon's start line" bash -c "sleep 1; test \$(grep -cE '^.{24} Starting ' '$LOG') -eq 2"
check "new daemon runs its threads" bash -c "for i in \$(seq 1 50); do [ \$(grep -c 'Thread 6: ' '$LOG') -eq 2 ] && exit 0; sleep 0.1; done; exit 1"
check "new daemon's running state seen" wait_log "KIV updater: new daemon is running.$" 10
check "same process id" kill -0 "$DAEMON_PID"
check "the process runs the installed new program" test "$(exe_of "$DAEMON_PID")" = "$INSTALLED"
check "PID file names the same process" test "$(pid_file)" = "$DAEMON_PID"
check "update lines in order" bash -c "sed 's/^.\{24\} //' '$LOG' | grep -E '^KIV updater' | tr '\n' '|' | grep -qx 'KIV updater: started.|KIV updater: update new binary.|KIV updater: webserver resources successfully updated.|KIV updater: wait until everything is ready to restart (60s).|KIV updater: execute new binary daemon.|KIV updater: new daemon is running.|'"
kill -TERM "$DAEMON_PID"
check "new daemon stops on TERM" wait_gone "$DAEMON_PID" 5
rm -rf "$SANDBOX"

# --- a broken download: the old program stays and starts again ----------------
setup
head -c 100000 "$BUILT_KIVD" > "$NEW"   # cut short
old_sum=$(sha256sum < "$INSTALLED")
start_kivd
check "old daemon running (2)" wait_log "Thread 6: " 5
kill -USR2 "$DAEMON_PID"
check "broken program refused" wait_log "KIV updater: update file refused: $NEW is cut short or damaged.$" 25
check "update failed line" grep -q "KIV updater: update failed.$" "$LOG"
check "installed program untouched" test "$(sha256sum < "$INSTALLED")" = "$old_sum"
check "no temporary file beside it" test "$(ls -A "$SANDBOX/bin")" = "kivd"
check "old daemon started again" wait_log "KIV updater: execute installed binary daemon.$" 70
check "old daemon runs its threads again" bash -c "for i in \$(seq 1 50); do [ \$(grep -c 'Thread 6: ' '$LOG') -eq 2 ] && exit 0; sleep 0.1; done; exit 1"
check "same process, old program" test "$(exe_of "$DAEMON_PID")" = "$INSTALLED"
check "PID file names the same process (2)" test "$(pid_file)" = "$DAEMON_PID"
kill -TERM "$DAEMON_PID"
wait_gone "$DAEMON_PID" 5

finish
