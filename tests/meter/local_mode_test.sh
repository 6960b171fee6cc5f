#!/usr/bin/env bash
# Local mode: the emulated Energy Meter datagram reaches a receiver on a
# second host (namespace B over a veth pair) about once a second, and not
# the sending host itself (loop-back off). Without SMA:EMU nothing is sent;
# without a route the send failure is logged and the mode goes on.
source "$KIVD_SRC/tests/integration/lib.sh"
source "$KIVD_SRC/tests/meter/meter_lib.sh"
export KIVD_TEST_HOOKS=1
A=kv-meter-a-$$; B=kv-meter-b-$$; C=kv-meter-c-$$
LISTEN_PIDS=()
cleanup_ns() {
  for p in "${LISTEN_PIDS[@]}"; do kill "$p" 2>/dev/null; done
  for ns in "$A" "$B" "$C"; do ip netns del "$ns" 2>/dev/null; done
}
trap "cleanup_ns; remove_sandboxes" EXIT
ip netns add "$A"; ip netns add "$B"; ip netns add "$C"
ip -n "$A" link add veth-a type veth peer name veth-b netns "$B"
ip -n "$A" addr add 10.200.0.1/24 dev veth-a
ip -n "$B" addr add 10.200.0.2/24 dev veth-b
for ns in "$A" "$B" "$C"; do ip -n "$ns" link set lo up; done
ip -n "$A" link set veth-a up; ip -n "$B" link set veth-b up
ip -n "$A" route add 224.0.0.0/4 dev veth-a
ip -n "$B" route add 224.0.0.0/4 dev veth-b

# start_kivd_in NS: as start_kivd, inside the namespace.
start_kivd_in() {
  ip netns exec "$1" "$KIVD_BIN"
  DAEMON_PID=""
  for _ in $(seq 1 100); do
    if [ -s "$PIDFILE" ]; then DAEMON_PID=$(tr -d '\n' < "$PIDFILE"); break; fi
    sleep 0.05
  done
  [ -n "$DAEMON_PID" ] && STARTED_PIDS+=("$DAEMON_PID")
}
listen_in() {  # listen_in NS ADDR COUNT TIMEOUT OUTFILE
  ip netns exec "$1" python3 "$SIM/sma_energy_meter.py" listen --iface-addr "$2" --count "$3" --timeout "$4" > "$5" 2>&1 &
  LISTEN_PIDS+=($!)
}
local_ini() {
  INI_METER=TRUE INI_DEBUG=1 write_ini "TYPE=Local
[SMA]
EMU=$1"
}

# --- emulation on: B hears it, A (the sender's own host) does not ----------
new_sandbox
local_ini TRUE
listen_in "$B" 10.200.0.2 100 4.5 "$SANDBOX/b.out"; b_pid=$!
listen_in "$A" 10.200.0.1 1 4.5 "$SANDBOX/a.out"; a_pid=$!
sleep 0.5
start_kivd_in "$A"
check "type line" wait_text "Energymeter: Local smartmeter chip" 5
check "mode line" wait_text "Energymeter: Starting in local mode..." 5
wait "$b_pid" "$a_pid" 2>/dev/null
n=$(sed -n 's/^received //p' "$SANDBOX/b.out")
check "the second host received about one datagram a second ($n in ~4 s)" test "${n:-0}" -ge 3 -a "${n:-0}" -le 6
check "600 bytes from the sender's address, serial 1234567890" \
  grep -q "^datagram 600 bytes from 10.200.0.1 serial 1234567890 " "$SANDBOX/b.out"
check "the fixed image" grep -q " hex 534d4100000402a000000001024400106069010e499602d20000000000010400000013f2" "$SANDBOX/b.out"
check "the sender's own host received nothing" grep -qx "received 0" "$SANDBOX/a.out"
check "receive time refreshed each pass" test "$(count_text 'Energymeter: 0 W | 0 0 0 V | 0 0 0 mA | cos phi 0.000')" -ge 3
check "no send failure" no_text "sendto call failed"
kill -USR1 "$DAEMON_PID"
check "a restart ends the mode at once" wait_text "Threads joined..." 5
stop_kivd

# --- emulation off: nothing on the network ----------------------------------
new_sandbox
local_ini FALSE
listen_in "$B" 10.200.0.2 1 3 "$SANDBOX/b.out"; b_pid=$!
sleep 0.5
start_kivd_in "$A"
wait "$b_pid" 2>/dev/null
check "EMU FALSE sends nothing" grep -qx "received 0" "$SANDBOX/b.out"
check "but refreshes the time" wait_text "Energymeter: 0 W | 0 0 0 V" 3
stop_kivd

# --- no route for the group: logged once, the mode goes on -------------------
new_sandbox
local_ini TRUE
start_kivd_in "$C"
check "send failure logged" wait_text "SMA Energymeter EMU: sendto call failed" 5
sleep 3
check "send failure not repeated every second" test "$(count_text 'sendto call failed')" -eq 1
check "the mode goes on" test "$(count_text 'Energymeter: 0 W | 0 0 0 V')" -ge 3
stop_kivd
finish
