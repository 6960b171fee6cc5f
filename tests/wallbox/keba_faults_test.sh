#!/usr/bin/env bash
# The box's faults against the strict simulator: the fail-safe refused at
# start and armed on a later cycle, a lost report that leaves its cycle
# without commands, and a network outage at the box that ends no daemon.
source "$KIVD_SRC/tests/integration/lib.sh"
source "$KIVD_SRC/tests/wallbox/lib_wallbox.sh"
trap wallbox_net_down EXIT

new_sandbox
check "namespace and veth pair" wallbox_net_up
INI_METER=TRUE INI_DEBUG=1 write_ini "$LOCAL_METER
[WALLBOX]
USING=TRUE
HOST=10.200.0.2
CAR_MAX_PHASES=1
[INFRASTRUCTURE]
STARTMODE=MANUAL
MANUALCURRENT=16020"
check "simulator up" start_sim --plug 7
simctl refuse 1 failsafe > /dev/null
export KIVD_TEST_HOOKS=1 KIVD_TEST_WALLBOX_SPEEDUP=28
start_kivd
check "fail-safe refused at start" wait_log "ControlKEBA: Can't set the failsafe-mode, firmware < 2.xx \?$" 10
check "fail-safe armed on a later cycle" wait_log "ControlKEBA: Failsafe mode set on a later try$" 10
check "box has its fail-safe" test "$(sim_state tmo_fs)" = 120
check "manual current" wait_rec "curr 16020" 5

# One report 2 lost: its cycle sends nothing (the only way one "report 2"
# follows another); the next cycle goes on.
skipped_cycle() {
  for _ in $(seq 1 100); do
    awk 'p == "report 2" && $0 == p { f = 1 } { p = $0 } END { exit !f }' "$REC" && return 0
    sleep 0.1
  done
  return 1
}
simctl lose 1 report 2 > /dev/null
check "lost report: cycle skipped" wait_log "ControlKEBA: wallbox reports not answered, cycle skipped$" 20
check "lost report: nothing sent in its cycle" skipped_cycle
check "lost report: control goes on" wait_rec "curr 16020" 10 "$(( $(rec_count 'curr 16020') + 1 ))"

# The link to the box down: sending fails, said once; back up, said once.
ip -n "$KD_NS" link set veth-kd down
check "outage: send error logged" wait_log "KEBA SendData: sendto failed, or timeout$" 10
n=$(rec_count "report 2")
sleep 3
check "outage: daemon alive" kill -0 "$DAEMON_PID"
check "outage: said once" test "$(count_log 'KEBA SendData: sendto failed, or timeout$')" -eq 1
ip -n "$KD_NS" link set veth-kd up
check "outage over: said once" wait_log "KEBA SendData: sending to the wallbox works again$" 10
check "outage over: control goes on" wait_rec "report 2" 10 $((n + 1))

kill -TERM "$DAEMON_PID"; wait_gone "$DAEMON_PID" 5
finish
