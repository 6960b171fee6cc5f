#!/usr/bin/env bash
# Quick mode within the fuse limit, input X1, manual mode, and the wallbox
# reset that a restart request sends.
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
CAR_MAX_PHASES=3
; the reset below switches the relay off seconds after it went on
PHASE_SWITCH_GUARD=0
[INFRASTRUCTURE]
CURRENT=20000
DISTANCE=2000
STARTMODE=QUICK"
check "simulator up" start_sim --plug 7
simctl car 3 32000 > /dev/null
export KIVD_TEST_HOOKS=1 KIVD_TEST_WALLBOX_SPEEDUP=14
start_kivd
check "relay on" wait_rec "output 1" 15
check "quick current is the fuse limit" wait_rec "curr 18000" 10
check "enabled" wait_rec "ena 1" 10
check "order: relay, current, enable" bash -c "grep -vx 'report [123]' '$REC' | grep -v failsafe | head -3 | tr '\n' '|' | grep -qx 'output 1|curr 18000|ena 1|'"
check "box charging on three phases" test "$(sim_state state)/$(sim_state output)" = "3/1"
sleep 5
check "no current above 18000 mA ever sent" bash -c "! awk '\$1 == \"curr\" && \$2 > 18000 { found = 1 } END { exit !found }' '$REC'"

# A restart request: main resets the box through the running receiver.
before=$(wc -l < "$REC")
kill -USR1 "$DAEMON_PID"
check "reset line" wait_log "Reset wallbox...$" 5
check "threads joined" wait_log "Threads joined...$" 30
check "reset sequence" bash -c "tail -n +$((before + 1)) '$REC' | grep -vx 'report [123]' | head -3 | tr '\n' '|' | grep -qx 'ena 0|output 0|curr 6000|'"
check "the controller sent nothing after the reset" bash -c "tail -n +$((before + 1)) '$REC' | grep -vx 'report [123]' | sed -n '4,\$p' | grep -q . && exit 1; exit 0"
box_off() {  # the box applies commands a moment after it acknowledged them
  for _ in $(seq 1 50); do
    [ "$(sim_state enable)/$(sim_state output)" = "0/0" ] && return 0
    sleep 0.2
  done
  return 1
}
check "box disabled, relay off" box_off
check "second pass starts the controller" bash -c "for i in \$(seq 1 150); do [ \$(grep -c 'Thread 3: Starting keba wallbox controller' '$LOG') -ge 2 ] && exit 0; sleep 0.1; done; exit 1"
check "quick again after the restart" wait_rec "ena 1" 20 2

kill -TERM "$DAEMON_PID"; wait_gone "$DAEMON_PID" 5
finish
