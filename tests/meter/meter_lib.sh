# Helpers shared by the meter integration tests. Source after lib.sh.
SIM=$KIVD_SRC/sim

# wait_text TEXT [SECONDS]: waits until a log line contains TEXT (fixed string).
wait_text() {
  local deadline=$((SECONDS + ${2:-10}))
  while [ $SECONDS -lt $deadline ]; do
    grep -qF -- "$1" "$LOG" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}
count_text() { grep -cF -- "$1" "$LOG" 2>/dev/null || true; }
no_text() { ! grep -qF -- "$1" "$LOG" 2>/dev/null; }

# stop_kivd: SIGTERM to the daemon started last, and wait for its end.
stop_kivd() {
  [ -n "${DAEMON_PID:-}" ] || return 0
  kill -TERM "$DAEMON_PID" 2>/dev/null
  wait_gone "$DAEMON_PID" 10
}

# Every sandbox of the script is removed at its end (finish removes the last).
ALL_SANDBOXES=()
eval "lib_new_sandbox() $(declare -f new_sandbox | tail -n +2)"
new_sandbox() { lib_new_sandbox; ALL_SANDBOXES+=("$SANDBOX"); }
remove_sandboxes() {
  for p in "${STARTED_PIDS[@]}"; do kill -KILL "$p" 2>/dev/null; done
  for d in "${ALL_SANDBOXES[@]}"; do case $d in /tmp/kivd-it.*) rm -rf "$d" ;; esac; done
}
trap remove_sandboxes EXIT
