#!/usr/bin/env bash
# A restart requested while the control switches the relay (quick mode on a
# charging box with the Tesla workaround: current, 7 s, disable, 5 s, output,
# 10 s, current, enable): the reset never interleaves with that sequence.
# The box ends disabled with the relay off, output X2 never changed while it
# was enabled, and nothing enabled it after the reset.
source "$KIVD_SRC/tests/integration/lib.sh"
source "$KIVD_SRC/tests/wallbox/lib_wallbox.sh"
trap wallbox_net_down EXIT

new_sandbox
check "namespace and veth pair" wallbox_net_up
INI_METER=TRUE INI_DEBUG=1 write_ini "$LOCAL_METER
[WALLBOX]
USING=TRUE
HOST=10.200.0.2
CAR_MAX_PHASES=3
TESLABUGFIX=1
PHASE_SWITCH_GUARD=0
[INFRASTRUCTURE]
STARTMODE=QUICK"
check "simulator up" start_sim --plug 7 --enable 1
# The sequence's 22 s take about 3.7 s; the reset comes within about a second.
export KIVD_TEST_HOOKS=1 KIVD_TEST_WALLBOX_SPEEDUP=6
start_kivd
check "workaround current starts the sequence" wait_rec "curr 32000" 20
kill -USR1 "$DAEMON_PID"
check "reset line" wait_log "Reset wallbox...$" 5
check "threads joined" wait_log "Threads joined...$" 20
kill -TERM "$DAEMON_PID"; wait_gone "$DAEMON_PID" 5
echo "commands the box received:"; grep -vx 'report [123]' "$REC" | sed 's/^/  /'

# Replays the record: the box starts enabled; an "output" while it is enabled
# is the fault this test is about.
no_output_while_enabled() {
  awk 'BEGIN { en = 1 } $1 == "ena" { en = $2 } $1 == "output" && en == 1 { bad = 1 } END { exit bad }' "$REC"
}
check "output X2 never changed while enabled" no_output_while_enabled
check "the last enable command disables" test "$(grep '^ena ' "$REC" | tail -1)" = "ena 0"
check "minimum current last" test "$(grep -vx 'report [123]' "$REC" | tail -1)" = "curr 6000"
state=$(simctl state)
check "box disabled, relay off" bash -c "[[ '$state' == *'\"enable\": 0'* && '$state' == *'\"output\": 0'* ]]"
finish
