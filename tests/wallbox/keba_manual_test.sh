#!/usr/bin/env bash
# Manual mode, the quick-mode button at input X1 overriding it, and its
# release bringing manual mode back; garbage datagrams from the box; the
# owner's OFF in the middle of a sequence and to a silent box.
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
CAR_MAX_PHASES=1
; X1 below switches the relay on and off within seconds
PHASE_SWITCH_GUARD=0
[INFRASTRUCTURE]
STARTMODE=MANUAL
MANUALCURRENT=16020"
check "simulator up" start_sim --plug 7
export KIVD_TEST_HOOKS=1 KIVD_TEST_WALLBOX_SPEEDUP=14
start_kivd
check "manual current" wait_rec "curr 16020" 15
check "enabled" wait_rec "ena 1" 5
check "manual line" wait_log "ControlKEBA: manual power = 16020$" 2
check "one phase: relay not switched" test "$(rec_count 'output 1')" -eq 0
check "box charging at 16020 mA" test "$(sim_state curr_user)/$(sim_state state)" = "16020/3"

# X1 pushed: quick mode whatever the web mode is, up to the fuse limit
# (33000 mA) and the box's hardware limit (Curr HW 32000 mA).
simctl input 1 > /dev/null
check "quick forced: relay on" wait_rec "output 1" 15
check "quick forced: current at the hardware limit" wait_rec "curr 32000" 10
check "no current above 32000 mA" bash -c "! awk '\$1 == \"curr\" && \$2 > 32000 { found = 1 } END { exit !found }' '$REC'"

# Released: manual again, one phase.
simctl input 0 > /dev/null
check "manual again: relay off" wait_rec "output 0" 15
check "manual again: current" wait_rec "curr 16020" 10 2
check "box on one phase" test "$(sim_state output)" = 0

# Garbage from the box's address (random bytes, cut and broken reports):
# each broken report logged and dropped, the control goes on.
n=$(rec_count "report 2")
ip netns exec "$WB_NS" python3 "$KIVD_SRC/sim/garbage_udp.py" 10.200.0.1 7090 --bind 10.200.0.2 --count 300 \
  --prefix '{"ID": "2", "State": 3, "Plug": 7, "Curr user": ' --prefix 'TCH-OK :done\n' > /dev/null
check "garbage: broken reports logged" wait_log "ParseReports: JSON error before: " 5
check "garbage: daemon alive" kill -0 "$DAEMON_PID"
echo "# garbage: $(count_log 'ParseReports: JSON error before: ') broken reports logged, $(count_log 'UDP server: all workers busy') dropped as overload"
check "garbage: exchanges go on" wait_rec "report 2" 20 $((n + 1))
check "garbage: box still on the manual current" test "$(sim_state curr_user)/$(sim_state state)" = "16020/3"

# The owner's OFF while a sequence runs (the box's answers held back 1 s):
# once OFF is answered, no "ena 1" follows.
remote() { ip netns exec "$KD_NS" curl -s --max-time 5 "http://127.0.0.1:18001/remote?mode=$1" | grep -q successful; }
check "owner: OFF" remote off
check "owner: disabled" wait_rec "ena 0" 5
simctl delay 1000 > /dev/null
n=$(rec_count "curr 16020")
check "owner: manual" remote manual
check "owner: sequence running" wait_rec "curr 16020" 15 $((n + 1))
check "owner: OFF mid-sequence" remote off
mark=$(wc -l < "$REC")
sleep 3
check "owner: no ena 1 after OFF" test "$(tail -n +$((mark + 1)) "$REC" | grep -cx 'ena 1')" = 0
check "owner: box disabled" test "$(sim_state enable)" = 0

# OFF to a silent box: one try and one line, again once the box answers.
simctl delay 0 > /dev/null
n=$(rec_count "ena 1")
check "silent: manual" remote manual
check "silent: enabled" wait_rec "ena 1" 15 $((n + 1))
simctl silent 1 > /dev/null
tries=$(count_log "Charging disabled...$")
check "silent: OFF" remote off
sleep 8
check "silent: OFF tried once" test "$(count_log "Charging disabled...$")" = $((tries + 1))
check "silent: one line" test "$(count_log "wallbox does not answer - charging OFF is sent again when it answers$")" = 1
n=$(rec_count "ena 0")
simctl silent 0 > /dev/null
check "silent: OFF once it answers" wait_rec "ena 0" 10 $((n + 1))

kill -TERM "$DAEMON_PID"; wait_gone "$DAEMON_PID" 5
finish
