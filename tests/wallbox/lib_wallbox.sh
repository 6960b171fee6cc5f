# kivd and the simulated wallbox, each in a network namespace of its own
# (made here, inside the test's private namespace), joined by a veth pair:
# kivd at 10.200.0.1, the box at 10.200.0.2, both on UDP port 7090. Other
# tests running at the same time keep their own port 7090.
# Source after lib.sh and new_sandbox; wallbox_net_up points KIVD_BIN at a
# wrapper that starts kivd in its namespace.
SIM="$KIVD_SRC/sim/keba_p20.py"
KD_NS=kvkd$$
WB_NS=kvwb$$
SIM_PID=""
METER_PID=""
# The [SMARTMETER] lines (after USING) of a meter that never goes stale.
LOCAL_METER="TYPE=LOCAL
[SMA]
EMU=FALSE"

wallbox_net_up() {
  ip netns add "$KD_NS" || return 1
  ip netns add "$WB_NS" || return 1
  ip -n "$KD_NS" link add veth-kd type veth peer name veth-wb netns "$WB_NS" || return 1
  ip -n "$KD_NS" link set lo up
  ip -n "$KD_NS" addr add 10.200.0.1/24 dev veth-kd
  ip -n "$KD_NS" link set veth-kd up
  ip -n "$WB_NS" link set lo up
  ip -n "$WB_NS" addr add 10.200.0.2/24 dev veth-wb
  ip -n "$WB_NS" link set veth-wb up
  local real=$KIVD_BIN
  KIVD_BIN=$SANDBOX/kivd-in-netns
  printf '#!/bin/sh\nexec ip netns exec %s %s "$@"\n' "$KD_NS" "$real" > "$KIVD_BIN"
  chmod +x "$KIVD_BIN"
}

wallbox_net_down() {
  stop_meter
  stop_sim
  ip netns del "$WB_NS" 2>/dev/null
  ip netns del "$KD_NS" 2>/dev/null
}

# start_sim [simulator options]: the box with its control socket and record;
# no guard time between relay changes unless the test gives --output-guard.
start_sim() {
  CTL=$SANDBOX/wb.ctl
  REC=$SANDBOX/wb.rec
  : > "$REC"
  ip netns exec "$WB_NS" python3 "$SIM" --bind 10.200.0.2 --control "$CTL" --record "$REC" --limit 280 --output-guard 0 "$@" \
    > "$SANDBOX/sim.out" 2>&1 &
  SIM_PID=$!
  for _ in $(seq 1 50); do [ -S "$CTL" ] && return 0; sleep 0.1; done
  return 1
}

stop_sim() {
  if [ -n "$SIM_PID" ]; then kill "$SIM_PID" 2>/dev/null; wait "$SIM_PID" 2>/dev/null; SIM_PID=""; fi
  rm -f "${CTL:-}"   # a new simulator is up only once its own socket is
}

simctl() { python3 "$SIM" --control "$CTL" "$@"; }

# sim_state KEY: one value of the box's state.
sim_state() { simctl state | python3 -c "import json,sys; print(json.load(sys.stdin)['$1'])"; }

# wait_rec LINE [SECONDS] [COUNT]: waits until the box received LINE COUNT times.
wait_rec() {
  local deadline=$((SECONDS + ${2:-15}))
  while [ $SECONDS -lt $deadline ]; do
    [ "$(grep -cxF -- "$1" "$REC" 2>/dev/null)" -ge "${3:-1}" ] && return 0
    sleep 0.1
  done
  return 1
}

rec_count() { grep -cxF -- "$1" "$REC" 2>/dev/null || true; }

# CPU time (clock ticks) the process has used.
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }

# start_meter [sender options]: a simulated SMA Energy Meter on the box's
# side, sending to kivd over the veth pair once a second.
# meter_net_up first: kivd joins the group on the interface the route names.
meter_net_up() {
  ip -n "$KD_NS" route replace 224.0.0.0/4 dev veth-kd && ip -n "$WB_NS" route replace 224.0.0.0/4 dev veth-wb
}

start_meter() {
  ip netns exec "$WB_NS" python3 "$KIVD_SRC/sim/sma_energy_meter.py" send --iface-addr 10.200.0.2 --no-loop \
    --count 600 --interval 1 "$@" > "$SANDBOX/meter.out" 2>&1 &
  METER_PID=$!
}

stop_meter() {
  if [ -n "$METER_PID" ]; then kill "$METER_PID" 2>/dev/null; wait "$METER_PID" 2>/dev/null; METER_PID=""; fi
}
