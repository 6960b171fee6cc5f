#!/usr/bin/env bash
# The failure paths of the KNX pass with the real kivd against the gateway
# simulator: one daemon per misbehaviour (junk datagrams among the answers
# too), all running side by side.
source "$KIVD_SRC/tests/integration/lib.sh"
SIM=$KIVD_SRC/sim/knx_gateway.py
SANDBOXES=()
declare -A LOGS RECORDS PIDS

# scenario NAME MODE SIMPORT WEBPORT [ROUTER]
scenario() {
  local name=$1 mode=$2 port=$3 web=$4 router=${5:-127.0.0.1}
  new_sandbox
  SANDBOXES+=("$SANDBOX")
  RECORDS[$name]=$SANDBOX/frames.jsonl
  if [ "$router" = 127.0.0.1 ]; then
    python3 "$SIM" --port "$port" --mode "$mode" --record "${RECORDS[$name]}" --seconds 60 &
    STARTED_PIDS+=($!)
  fi
  INI_DEBUG=1 write_ini "[WEBSERVER]
PORT=$web
[KNX]
USING=TRUE
ROUTER=$router
PORT=$port
INTERVAL=10
[DPT_4]
USING=TRUE
GROUPADR=1/2/4
[DPT_5]
USING=TRUE
GROUPADR=1/2/5
[DPT_11]
USING=TRUE
GROUPADR=1/2/11"
  LOGS[$name]=$LOG
  sleep 0.2
  start_kivd
  PIDS[$name]=$DAEMON_PID
}

# in NAME COUNT PATTERN: the log of NAME has at least COUNT matching lines
in_log() { [ "$(grep -cE -- "$3" "${LOGS[$1]}" 2> /dev/null)" -ge "$2" ]; }
none_in_log() { ! grep -qE -- "$2" "${LOGS[$1]}"; }
# frames NAME FILTER: the simulator's records through a python expression
frames() {
  python3 - "${RECORDS[$1]}" "$2" << 'PY'
import json, sys
rows = [json.loads(l) for l in open(sys.argv[1])] if sys.argv[1] else []
print(eval(sys.argv[2], {"rows": rows}))
PY
}

export KIVD_TEST_HOOKS=1
scenario silent silent 3681 18101
scenario busy busy 3682 18102
scenario lost lose-confirmation 3683 18103
scenario refuse refuse-disconnect 3684 18104
scenario lostack lose-ack 3690 18110
scenario foreign foreign 3686 18106
scenario chatty chatty 3687 18107
scenario badstate bad-state 3688 18108
scenario garbage garbage 3689 18109
# Last, so that its first pass comes after T0 however slow the start-ups.
scenario unreachable - 3685 18105 10.200.9.9
T0=$SECONDS

# Counts below are "at least" where a slow machine (a sanitizer build) may
# fit one more pass into the window. First cyclic passes after 3 s + 11 s. A restart while the unreachable
# gateway's first pass waits 5 s for its answer: the wait ends at once. The
# wait begins with the failed send, which a loaded machine may reach late.
LOG=${LOGS[unreachable]}
wait_log "KNX thread: sendto failed \(CONNECTION_REQUEST\)$" 30
sleep 1
kill -USR1 "${PIDS[unreachable]}"
check "unreachable: restart does not wait out the time-out" wait_log "Threads joined...$" 2
# Passes that wait 5 s for a lost answer come 5 s + 11 s apart.
sleep $((36 - (SECONDS - T0)))

check "silent: time-out line once, its repeats counted" \
  test "$(grep -cE "KNX thread: recvfrom\(\) failed \(CONNECTION_RESPONCE\)$" "${LOGS[silent]}")" -eq 1
check "silent: only connect requests" test "$(frames silent 'sorted(set(r["service"] for r in rows)) == ["CONNECT_REQUEST"] and len(rows) >= 2')" = True
check "busy: line once per pass" in_log busy 2 "KNX thread: to many connections on gateway$"
check "busy: no state request, no disconnect" test "$(frames busy 'sorted(set(r["service"] for r in rows))')" = "['CONNECT_REQUEST']"
check "lost: the missing confirmation is logged" in_log lost 2 "KNX thread: recvfrom\(\) failed \(TUNNELLING_REQUEST\)$"
check "lost: our sequence numbers 0, 1, 2 in each pass" \
  test "$(frames lost '[r["sequence"] for r in rows if r["service"] == "TUNNELLING_REQUEST"][:6]')" = "[0, 1, 2, 0, 1, 2]"
check "lost: the gateway's confirmations 0 and 1 acknowledged" \
  test "$(frames lost '[r["sequence"] for r in rows if r["service"] == "TUNNELLING_ACK"][:4]')" = "[0, 1, 0, 1]"
check "lost: disconnected all the same" test "$(frames lost 'sum(r["service"] == "DISCONNECT_REQUEST" for r in rows)')" -ge 2
check "lost: payloads" test "$(frames lost '[(r["group"], r["payload"]) for r in rows if r["service"] == "TUNNELLING_REQUEST"][:3]')" \
  = "[('1/2/4', '00000000'), ('1/2/5', '0000'), ('1/2/11', '00000000')]"
check "refuse: disconnect refusal logged" in_log refuse 2 "KNX thread: failed to disconnect: 33$"
check "unreachable: send failure logged" in_log unreachable 1 "KNX thread: sendto failed \(CONNECTION_REQUEST\)$"
# Up to the restart: the next pass's wait may end before these checks on a slow machine.
check "unreachable: a stopped wait is no receive failure" \
  bash -c "! sed '/Threads joined/q' '${LOGS[unreachable]}' | grep -q recvfrom"
check "foreign: the answer from another address is not taken" \
  test "$(frames foreign 'sorted(set(r["service"] for r in rows))')" = "['CONNECT_REQUEST']"
check "foreign: and logs no receive failure" none_in_log foreign "recvfrom"
check "foreign: no connection state check" none_in_log foreign "CONNECTIONSTATE"
check "chatty: our sequence stays ours" \
  test "$(frames chatty '[r["sequence"] for r in rows if r["service"] == "TUNNELLING_REQUEST"][:6]')" = "[0, 1, 2, 0, 1, 2]"
check "chatty: no failure" none_in_log chatty "KNX thread: (recvfrom|sendto|failed|error=)"
check "chatty: bus telegrams acknowledged too" test "$(frames chatty 'sum(r["service"] == "TUNNELLING_ACK" for r in rows)')" -ge 10
check "bad state: error line" in_log badstate 2 "KNX thread: error=33 \(CONNECTIONSTATE_RESPONCE\)$"
check "bad state: no writes, disconnected" \
  test "$(frames badstate 'sorted(set(r["service"] for r in rows))')" = "['CONNECTIONSTATE_REQUEST', 'CONNECT_REQUEST', 'DISCONNECT_REQUEST']"
check "garbage: passes go on" test "$(frames garbage 'sum(r["service"] == "CONNECT_REQUEST" for r in rows)')" -ge 2
check "garbage: junk dropped, every pass complete" none_in_log garbage "KNX thread: (recvfrom|sendto|failed|error=)"
check "garbage: all three writes of a pass sent" \
  test "$(frames garbage '[r["group"] for r in rows if r["service"] == "TUNNELLING_REQUEST"][:3]')" = "['1/2/4', '1/2/5', '1/2/11']"
check "garbage: disconnected each pass" test "$(frames garbage 'sum(r["service"] == "DISCONNECT_REQUEST" for r in rows)')" -ge 2
check "lost ack: the request repeated once with its number" \
  test "$(frames lostack '[r["sequence"] for r in rows if r["service"] == "TUNNELLING_REQUEST"][:8]')" = "[0, 0, 1, 2, 0, 0, 1, 2]"
check "lost ack: one time-out per pass" in_log lostack 2 "KNX thread: recvfrom\(\) failed \(TUNNELLING_ACK\)$"
check "lost ack: all writes sent, disconnected" \
  test "$(frames lostack '[r.get("group") for r in rows if r["service"] in ("TUNNELLING_REQUEST", "DISCONNECT_REQUEST")][:5]')" \
  = "['1/2/4', '1/2/4', '1/2/5', '1/2/11', None]"
for n in silent busy lost refuse unreachable foreign chatty badstate garbage lostack; do
  check "$n: daemon alive" kill -0 "${PIDS[$n]}"
done

stamps() {  # epoch seconds of the log lines matching $2 in the log of $1
  grep -E -- "$2" "${LOGS[$1]}" | cut -c1-24 | while read -r t; do date -d "$t" +%s; done
}
mapfile -t S < <(stamps silent "KNX thread: Sending CONNECTION_REQUEST")
mapfile -t F < <(stamps silent "KNX thread: recvfrom\(\) failed \(CONNECTION_RESPONCE\)")
check "silent: 5 s per answer (${F[0]:-?} - ${S[0]:-?})" test $((F[0] - S[0])) -ge 4 -a $((F[0] - S[0])) -le 6
check "silent: next pass 11 s after the time-out ($((S[1] - F[0])) s)" test $((S[1] - F[0])) -ge 10 -a $((S[1] - F[0])) -le 12

for n in "${!PIDS[@]}"; do kill -TERM "${PIDS[$n]}" 2> /dev/null; done
for n in "${!PIDS[@]}"; do wait_gone "${PIDS[$n]}" 5; done
if [ "$TEST_FAILS" -gt 0 ]; then
  for n in "${!LOGS[@]}"; do echo "--- $n ---"; grep "KNX" "${LOGS[$n]}" | tail -25; done
fi
for s in "${SANDBOXES[@]}"; do [ "$s" != "$SANDBOX" ] && rm -rf "$s"; done
finish
