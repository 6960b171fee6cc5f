#!/usr/bin/env bash
# kivd against the simulated house: the house in a network namespace of its
# own (10.200.0.2), kivd in the test's namespace (10.200.0.1), a veth pair
# between them that the meter's multicast crosses. kivd must read the meter
# and the storage, and in surplus mode switch the box to three phases and
# enable it with a current above the minimum; the car then draws power.
source "$KIVD_SRC/tests/integration/lib.sh"
HOUSE_NS=kvhouse$$
HOUSE_PID=""

house_down() {
  if [ -n "$HOUSE_PID" ]; then kill "$HOUSE_PID" 2>/dev/null; wait "$HOUSE_PID" 2>/dev/null; fi
  ip netns del "$HOUSE_NS" 2>/dev/null
}
trap house_down EXIT

house_net_up() {
  ip netns add "$HOUSE_NS" || return 1
  ip link add veth-kd type veth peer name veth-house netns "$HOUSE_NS" || return 1
  ip addr add 10.200.0.1/24 dev veth-kd && ip link set veth-kd up || return 1
  # kivd joins the meter's group on the interface this route names.
  ip route replace 224.0.0.0/4 dev veth-kd || return 1
  ip -n "$HOUSE_NS" link set lo up
  ip -n "$HOUSE_NS" addr add 10.200.0.2/24 dev veth-house
  ip -n "$HOUSE_NS" link set veth-house up
  ip -n "$HOUSE_NS" route add 224.0.0.0/4 dev veth-house
}

# The house's latest state, one value: house_value 'v["car"]'
house_value() {
  python3 -c 'import json, sys; v = json.load(open(sys.argv[1])); print(eval(sys.argv[2]))' \
    "$SANDBOX/house.json" "$1" 2>/dev/null
}

wait_true() {  # wait_true SECONDS command...: until the command succeeds
  local deadline=$((SECONDS + $1)); shift
  while [ $SECONDS -lt $deadline ]; do "$@" && return 0; sleep 0.5; done
  return 1
}

rec_has() { grep -qxF -- "$1" "$SANDBOX/wb.rec" 2>/dev/null; }
curr_above_min() { grep -E '^curr [0-9]+$' "$SANDBOX/wb.rec" 2>/dev/null | awk '$2 > 6000 {f=1} END {exit !f}'; }
car_draws() { [ "$(house_value 'int(v["car"] > 1400 and v["box"]["enable"] == 1)')" = 1 ]; }

new_sandbox
check "house namespace and veth pair" house_net_up
: > "$SANDBOX/wb.rec"
ip netns exec "$HOUSE_NS" python3 "$KIVD_SRC/sim/house.py" --bind 10.200.0.2 --quiet --duration 150 \
  --keba-record "$SANDBOX/wb.rec" --status "$SANDBOX/house.json" --status-every 1 > "$SANDBOX/house.out" 2>&1 &
HOUSE_PID=$!
STARTED_PIDS+=("$HOUSE_PID")
check "house serving" wait_true 15 grep -q "^house: serving" "$SANDBOX/house.out"

INI_METER=TRUE INI_DEBUG=1 write_ini "TYPE=SMA
HOST=239.12.255.254
PORT=9522
[SMA]
SERIAL=1900000001
[INFRASTRUCTURE]
STARTMODE=SURPLUS
[WALLBOX]
USING=TRUE
TYPE=KEBAP20
HOST=10.200.0.2
PORT=7090
CAR_MAX_PHASES=3
[STORAGESYSTEM]
USING=TRUE
HOST=10.200.0.2
PORT=9522"
# A 56 s control cycle takes 14 s, the relay's waits a quarter too.
export KIVD_TEST_HOOKS=1 KIVD_TEST_WALLBOX_SPEEDUP=4
start_kivd
check "kivd started" test -n "$DAEMON_PID"
check "meter values read" wait_log "^.{24} Energymeter: -?[0-9]+ W \| 2[0-9]{2} 2[0-9]{2} 2[0-9]{2} V \|" 30
check "storage values read" wait_log "SS thread: get SOC [0-9]+$" 45
check "storage AC power read" grep -qE "SS thread: get AC power -?[0-9]+$" "$LOG"
check "wallbox report 1 parsed" grep -q "report 1 parsing finished: KC-P20" "$LOG"
check "three phases switched on" wait_true 60 rec_has "output 1"
check "wallbox enabled" wait_true 30 rec_has "ena 1"
check "current above 6000 mA" curr_above_min
check "the car draws power" wait_true 15 car_draws
check "kivd still running" kill -0 "$DAEMON_PID"
kill -TERM "$DAEMON_PID"; wait_gone "$DAEMON_PID" 10
if [ "$TEST_FAILS" -gt 0 ]; then
  echo "--- wallbox received ---"; cat "$SANDBOX/wb.rec"
  echo "--- house ---"; cat "$SANDBOX/house.out" "$SANDBOX/house.json" 2>/dev/null
fi
finish
