# Helpers for the storage reader's integration tests. Source it first: it
# moves the test into a network namespace of its own (only loopback), so the
# simulator's 127.0.0.1:9522 and the foreign sender 127.0.0.2 meet nobody
# else's tests, then sources the common lib.sh.
if [ -z "${KIVD_STORAGE_NS:-}" ]; then
  exec unshare -n env KIVD_STORAGE_NS=1 bash "$0" "$@"
fi
ip link set lo up
source "$KIVD_SRC/tests/integration/lib.sh"

SIM=$KIVD_SRC/sim/sunny_island.py
SIM_PID=""

# start_sim RECORD_FILE [simulator options]: a simulated inverter on 127.0.0.1:9522.
start_sim() {
  local rec=$1; shift
  stop_sim
  : > "$rec"
  python3 "$SIM" --host 127.0.0.1 --port 9522 --record "$rec" --duration 240 "$@" > "$rec.out" 2>&1 &
  SIM_PID=$!
  STARTED_PIDS+=("$SIM_PID")
  # It prints its serving line once bound.
  for _ in $(seq 1 50); do
    grep -q "^sunny_island: serving" "$rec.out" 2>/dev/null && return 0
    sleep 0.1
  done
  echo "simulator did not start:"; cat "$rec.out"
  return 1
}

stop_sim() {
  if [ -n "$SIM_PID" ]; then kill "$SIM_PID" 2>/dev/null; wait "$SIM_PID" 2>/dev/null; SIM_PID=""; fi
}

# wait_more PATTERN COUNT_BEFORE [SECONDS]: waits until the log holds more
# lines matching PATTERN than it did.
wait_more() {
  local deadline=$((SECONDS + ${3:-30}))
  while [ $SECONDS -lt $deadline ]; do
    [ "$(count_log "$1")" -gt "$2" ] && return 0
    sleep 0.1
  done
  return 1
}

# rec_ids FILE: the packet ids of the recorded requests, in order.
rec_ids() {
  python3 -c '
import json, sys
print(" ".join(str(json.loads(l).get("id", "?")) for l in open(sys.argv[1]) if l.strip()))' "$1"
}

# rec_check FILE PYTHON-EXPRESSION: true when the expression holds for the
# list `r` of recorded requests.
rec_check() {
  python3 -c '
import json, sys
r = [json.loads(l) for l in open(sys.argv[1]) if l.strip()]
sys.exit(0 if eval(sys.argv[2]) else 1)' "$1" "$2"
}

STORAGE_INI="[STORAGESYSTEM]
USING=TRUE
HOST=127.0.0.1
PORT=9522"
