#!/usr/bin/env bash
# Surplus hovering at the switch point (4595 W for a 6 A three-phase car) for
# about an hour of sped-up control time: output X2 changes at most once per
# PHASE_SWITCH_GUARD, and never while the box is enabled.
source "$KIVD_SRC/tests/integration/lib.sh"
source "$KIVD_SRC/tests/wallbox/lib_wallbox.sh"
trap 'stop_flicker; wallbox_net_down' EXIT

SPEEDUP=300   # a 56 s cycle takes 0.19 s, the guard of 600 s takes 2 s
GUARD=600
new_sandbox
check "namespace and veth pair" wallbox_net_up
INI_METER=TRUE INI_DEBUG=1 write_ini "$LOCAL_METER
[WALLBOX]
USING=TRUE
HOST=10.200.0.2
CAR_MAX_PHASES=3
PHASE_SWITCH_GUARD=$GUARD
[INFRASTRUCTURE]
STARTMODE=SURPLUS"
check "simulator up" start_sim --plug 7 --enable 1

# The box's power (no meter: the grid reads 0 W) hovers at the switch point:
# one cycle above it, then five below, again and again, which without the
# guard would switch the relay on and off every six cycles. The cycles are
# counted in the box's record ("report 3" once a cycle).
FLICKER_PID=""
flicker() {
  exec python3 - "$CTL" "$REC" <<'PY'
import os, socket, sys, time
path, rec = sys.argv[1], sys.argv[2]
me = "%s.flicker.%d" % (path, os.getpid())
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
s.bind(me)
s.settimeout(3)
last = None
try:
    for _ in range(3000):
        with open(rec) as f:
            cycle = sum(1 for line in f if line == "report 3\n")
        want = b"power 4900000" if cycle % 6 == 0 else b"power 4400000"
        if want != last:
            s.sendto(want, path)
            s.recv(64)
            last = want
        time.sleep(0.01)
finally:
    os.unlink(me)
PY
}
stop_flicker() { if [ -n "$FLICKER_PID" ]; then kill "$FLICKER_PID" 2>/dev/null; wait "$FLICKER_PID" 2>/dev/null; FLICKER_PID=""; fi; }

flicker & FLICKER_PID=$!
export KIVD_TEST_HOOKS=1 KIVD_TEST_WALLBOX_SPEEDUP=$SPEEDUP
t0=$(date +%s.%N)
start_kivd
check "three phases at some point" wait_rec "output 1" 10
sleep 12   # about 64 cycles: an hour of control time
kill -TERM "$DAEMON_PID"; wait_gone "$DAEMON_PID" 5
t1=$(date +%s.%N)
stop_flicker

cycles=$(rec_count "report 2")
switches=$(grep -c '^output ' "$REC")
allowed=$(awk -v a="$t0" -v b="$t1" -v s=$SPEEDUP -v g=$GUARD 'BEGIN { print int((b - a) * s / g) + 1 }')
echo "cycles: $cycles, changes of X2: $switches (at most $allowed), held by the guard: $(count_log 'Phase switch guard: output X2 stays')"
check "enough cycles for the hour" test "$cycles" -ge 20
check "X2 changes no more often than the guard allows" test "$switches" -le "$allowed"
check "output X2 never changed while enabled" \
  awk 'BEGIN { en = 1 } $1 == "ena" { en = $2 } $1 == "output" && en == 1 { bad = 1 } END { exit bad }' "$REC"
check "no current outside 6000..63000" \
  awk '$1 == "curr" && ($2 < 6000 || $2 > 63000) { bad = 1 } END { exit bad }' "$REC"

# Restarted right after a phase switch, against a box that refuses an X2
# change within its own guard: the new daemon waits out the guard too
# (6 s, longer than a restart takes).
sed -i 's/^PHASE_SWITCH_GUARD=.*/PHASE_SWITCH_GUARD=1800/' "$SANDBOX/etc/kivd.ini"
simctl guard 5800 > /dev/null
# want X2: the surplus that makes the control want output X2 at 1 or 0.
want() { if [ "$1" = 1 ]; then simctl power 4900000; else simctl power 4400000; fi > /dev/null; }
o=$(sim_state output); n=$((1 - o))
want "$n"
start_kivd
check "restart: phase switch before" wait_rec "output $n" 10 $(($(rec_count "output $n") + 1))
kill -TERM "$DAEMON_PID"; wait_gone "$DAEMON_PID" 5
want "$o"
m=$(rec_count "output $o")
start_kivd
check "restart: switched back after the guard" wait_rec "output $o" 15 $((m + 1))
kill -TERM "$DAEMON_PID"; wait_gone "$DAEMON_PID" 5
check "restart: no X2 change refused by the box" test "$(sim_state refused)" = 0
finish
