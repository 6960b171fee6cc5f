#!/usr/bin/env bash
# kivd against the simulated wallbox: start sequence, surplus charging at the
# computed current, unplugging, an error state, a wallbox restart and a
# silent wallbox.
source "$KIVD_SRC/tests/integration/lib.sh"
source "$KIVD_SRC/tests/wallbox/lib_wallbox.sh"
trap wallbox_net_down EXIT

new_sandbox
check "namespace and veth pair" wallbox_net_up
# A local meter: always fresh, no currents (the fuse check sees the box only).
INI_METER=TRUE INI_DEBUG=1 write_ini "$LOCAL_METER
[WALLBOX]
USING=TRUE
HOST=10.200.0.2
[INFRASTRUCTURE]
STARTMODE=SURPLUS"
# The box is charging 3 kW while the grid reads 0 W (no meter here): 2950 W
# of surplus after the 50 W margin.
check "simulator up" start_sim --plug 7 --enable 1
simctl power 3000000 > /dev/null
export KIVD_TEST_HOOKS=1 KIVD_TEST_WALLBOX_SPEEDUP=14   # a 56 s cycle takes 4 s
start_kivd
check "receiver started" wait_log "Thread 0: Starting udp receiver...$" 5
check "controller started" wait_log "Thread 3: Starting keba wallbox controller...$" 5
check "fail-safe set" wait_rec "failsafe 120 0 0" 5
check "start sequence" test "$(head -4 "$REC" | tr '\n' '|')" = "report 1|report 2|report 3|failsafe 120 0 0|"
check "report 1 parsed" wait_log "report 1 parsing finished: KC-P20-ES240010-000 , 15017355, KEBA P20 v 2.01m11 $" 3
check "charging at the computed current" wait_rec "curr 12780" 15
check "surplus line" grep -q "ControlKEBA: surplus power = -2950 (must be negative to activate)$" "$LOG"
check "box charging at 12780 mA" test "$(sim_state curr_user)/$(sim_state state)" = "12780/3"
check "last wallbox datagram stamped" wait_log "Udp thread [1-5]: \(10.200.0.2\) TCH-OK :done" 1

# Unplugged: the off sequence disables charging.
simctl plug 0 > /dev/null
check "disabled after unplugging" wait_rec "ena 0" 10
check "disable line" wait_log "Charging disabled...$" 2
check "box disabled" test "$(sim_state enable)" = 0
check "minimum current after disabling" wait_rec "curr 6000" 10

# Error state without codes in the broadcast: the worker fetches report 2.
simctl error 0 16387 > /dev/null
check "charging error line" wait_log "Charging error: err1 = 0x0 \(no error\), err2 = 0x4003 \(overload\)$" 10
check "error wait" wait_log "Charging error: wait 10 seconds to continue$" 10
simctl clear-error > /dev/null

# Power cut at the box: fail-safe lost, set again, report 1 read again.
simctl restart > /dev/null
check "fail-safe set again" wait_log "ControlKEBA: Failsafe mode initiated again, after wallbox restart$" 12
check "fail-safe sent twice" wait_rec "failsafe 120 0 0" 3 2
check "report 1 again" wait_rec "report 1" 10 2
check "box has the fail-safe" test "$(sim_state tmo_fs)" = 120

# A silent box: time-out lines, the daemon lives on and stays idle.
simctl silent 1 > /dev/null
check "answer time-out logged" wait_log "KEBA SendData: rcv after sent waiting failed > timeout$" 30
t0=$(cpu_ticks "$DAEMON_PID")
sleep 60
t1=$(cpu_ticks "$DAEMON_PID")
echo "cpu ticks of kivd over 60 s with a silent wallbox: $((t1 - t0)) (of $(getconf CLK_TCK) per s)"
# A busy wait would use the whole 60 s (6000 ticks); allow a slow
# sanitizer build its bookkeeping.
check "no busy waiting while the wallbox is silent" test $((t1 - t0)) -le 100
check "still running" kill -0 "$DAEMON_PID"
simctl silent 0 > /dev/null
n=$(rec_count "report 2")
check "exchanges resume" wait_rec "report 2" 30 $((n + 1))

kill -TERM "$DAEMON_PID"; wait_gone "$DAEMON_PID" 5
finish
