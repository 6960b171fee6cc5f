#!/usr/bin/env bash
# Quick mode with a meter that has not sent yet, then sends, then falls
# silent and comes back: stale values never raise the current.
source "$KIVD_SRC/tests/integration/lib.sh"
source "$KIVD_SRC/tests/wallbox/lib_wallbox.sh"
trap wallbox_net_down EXIT

new_sandbox
check "namespace and veth pair" wallbox_net_up
check "multicast route" meter_net_up
INI_METER=TRUE INI_DEBUG=1 write_ini "TYPE=SMA
TIMEOUT=5
[WALLBOX]
USING=TRUE
HOST=10.200.0.2
CAR_MAX_PHASES=3
PHASE_SWITCH_GUARD=0
[INFRASTRUCTURE]
CURRENT=20000
DISTANCE=2000
STARTMODE=QUICK"
check "simulator up" start_sim --plug 7
simctl car 3 32000 > /dev/null
export KIVD_TEST_HOOKS=1 KIVD_TEST_WALLBOX_SPEEDUP=56   # a cycle every second
start_kivd

# Never sent: no room is known, charging stays disabled.
check "stale line" wait_log "Energymeter: no fresh data for 5 s - charging limited$" 15
check "no meter: two cycles" bash -c "for i in \$(seq 1 150); do [ \$(grep -c 'ControlKEBA: wb_plug' '$LOG') -ge 2 ] && exit 0; sleep 0.1; done; exit 1"
check "no meter: not enabled" test "$(rec_count 'ena 1')" -eq 0
check "no meter: no current above 0 sent" bash -c "! awk '\$1 == \"curr\" && \$2 > 0 { f = 1 } END { exit !f }' '$REC'"

# The meter sends 2 A on each phase: charging at the fuse limit.
start_meter --power 1380
check "fresh line" wait_log "Energymeter: data fresh again$" 15
check "fresh: enabled" wait_rec "ena 1" 10
check "fresh: fuse-limited current" wait_rec "curr 15960" 5

# Silent mid-charge: down to the minimum, still enabled.
stop_meter
n=$(rec_count "ena 0")
check "stale again" bash -c "for i in \$(seq 1 150); do [ \$(grep -c 'Energymeter: no fresh data for 5 s - charging limited$' '$LOG') -ge 2 ] && exit 0; sleep 0.1; done; exit 1"
check "stale: minimum current" wait_rec "curr 6000" 10
check "stale: still enabled" test "$(rec_count 'ena 0')" -eq "$n"
check "stale: two cycles" wait_rec "curr 6000" 10 2
check "stale: nothing raised after the minimum" bash -c "sed -n '/^curr 6000\$/,\$p' '$REC' | awk '\$1 == \"curr\" && \$2 != 6000 { f = 1 } END { exit f }'"

# Back: the fuse limit again.
start_meter --power 1380
check "fresh again" bash -c "for i in \$(seq 1 150); do [ \$(grep -c 'Energymeter: data fresh again$' '$LOG') -ge 2 ] && exit 0; sleep 0.1; done; exit 1"
check "fresh again: current raised" bash -c "for i in \$(seq 1 100); do [ \$(grep '^curr ' '$REC' | tail -1 | cut -d' ' -f2) -gt 6000 ] && exit 0; sleep 0.1; done; exit 1"
check "never above the fuse limit" bash -c "! awk '\$1 == \"curr\" && \$2 > 18000 { f = 1 } END { exit !f }' '$REC'"

kill -TERM "$DAEMON_PID"; wait_gone "$DAEMON_PID" 5
finish
