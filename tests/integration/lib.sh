# Helpers for integration tests that run the real kivd. Source it.
# Every test must run inside a private network namespace (the test command
# does that); lib.sh refuses to go on when a route other than loopback exists.
set -uo pipefail

if ip -4 route show default 2>/dev/null | grep -q . || ip -o link show 2>/dev/null | grep -vqE ': lo:|veth|: kv'; then
  echo "refusing to run: this shell is not inside a private network namespace" >&2
  exit 1
fi

KIVD_BIN=${KIVD_BIN:-$KIVD_BUILD/kivd}
TEST_FAILS=0
STARTED_PIDS=()

# A sandbox folder that KIVD_ROOT points to; its log and PID files lie in it.
new_sandbox() {
  SANDBOX=$(mktemp -d /tmp/kivd-it.XXXXXX)
  mkdir -p "$SANDBOX/etc" "$SANDBOX/log"
  export KIVD_ROOT=$SANDBOX
  LOG=$SANDBOX/log/kivd.log
  PIDFILE=$SANDBOX/log/kivd.pid
}

# Writes etc/kivd.ini with log settings into the sandbox plus the given text.
write_ini() {
  cat > "$SANDBOX/etc/kivd.ini" <<INI
[LOG]
LOG_DIR=$SANDBOX/log
LOG_FILE=$LOG
PID_FILE=$PIDFILE
DEBUG=${INI_DEBUG:-0}
[SMARTMETER]
USING=${INI_METER:-FALSE}
$1
INI
}

# Starts kivd (it detaches); waits for its PID file and sets DAEMON_PID.
start_kivd() {
  "$KIVD_BIN"
  START_RC=$?
  DAEMON_PID=""
  for _ in $(seq 1 100); do
    if [ -s "$PIDFILE" ]; then DAEMON_PID=$(tr -d '\n' < "$PIDFILE"); break; fi
    sleep 0.05
  done
  [ -n "$DAEMON_PID" ] && STARTED_PIDS+=("$DAEMON_PID")
}

# wait_log PATTERN [SECONDS]: waits until the log has a line matching PATTERN.
wait_log() {
  local deadline=$((SECONDS + ${2:-10}))
  while [ $SECONDS -lt $deadline ]; do
    grep -qE -- "$1" "$LOG" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

# count_log PATTERN: number of matching lines.
count_log() { grep -cE -- "$1" "$LOG" 2>/dev/null || true; }

check() {  # check "description" command...
  local what=$1; shift
  if "$@"; then echo "ok   - $what"; else echo "FAIL - $what"; TEST_FAILS=$((TEST_FAILS + 1)); fi
}

wait_gone() {  # wait_gone PID [SECONDS]
  local deadline=$((SECONDS + ${2:-10}))
  while kill -0 "$1" 2>/dev/null && [ $SECONDS -lt $deadline ]; do sleep 0.05; done
  ! kill -0 "$1" 2>/dev/null
}

finish() {
  for p in "${STARTED_PIDS[@]}"; do kill -KILL "$p" 2>/dev/null; done
  if [ "$TEST_FAILS" -gt 0 ]; then
    echo "--- log ---"; cat "$LOG" 2>/dev/null
    echo "$TEST_FAILS check(s) failed"
  fi
  rm -rf "${SANDBOX:-/nonexistent}"
  [ "$TEST_FAILS" -eq 0 ]
  exit $?
}
