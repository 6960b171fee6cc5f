#!/usr/bin/env bash
# SMA mode: kivd joins the group on loopback and takes the simulated meter's
# datagrams; size limits, the serial filter, the phase warning, missing
# counters, garbage datagrams, and a restart while it waits for data.
source "$KIVD_SRC/tests/integration/lib.sh"
source "$KIVD_SRC/tests/meter/meter_lib.sh"
export KIVD_TEST_HOOKS=1
meter() { python3 "$SIM/sma_energy_meter.py" send --serial 1900000001 --interval 0.2 --count 3 "$@" > /dev/null; }

new_sandbox
INI_METER=TRUE INI_DEBUG=1 write_ini "TYPE=sma
HOST=239.12.255.254
PORT=9522
[SMA]
SERIAL=1900000001
[WEBSERVER]
PORT=18101"
start_kivd
check "start line" wait_text "Thread 1: Starting energymeter service..." 5
check "type line" wait_text "Energymeter: SMA Energy Meter" 5
check "mode line" wait_text "Energymeter: Starting in SMA multicast UDP mode..." 5
sleep 1.5   # the mode waits a second before it joins

meter --power 1234 --voltage 230,229,231 --energy-in 5347080 --energy-out 812880 --time-ms 4321987
check "values of a datagram" wait_text "Energymeter: 1234 W | 230 229 231 V | 1788 1796 1781 mA | cos phi 1.000" 5
check "serial, time, phases, counters" wait_text "Energymeter test: serial 1900000001 time 4321 | 411 411 411 W | 1.5 0.2 kWh |" 2
check "receive time written" grep -qE "Energymeter test: serial 1900000001 .* \| $(date +%d.%m.%Y) [0-9]{2}:[0-9]{2}:[0-9]{2}$" "$LOG"

meter --power -4600 --split 1,1,0 --voltage 231,232,233 --pf 0.95
check "feed-in is negative, per phase too" wait_text "Energymeter: -4600 W | 231 232 233 V | 9957 9914 0 mA | cos phi 0.950" 5
check "per phase feed-in" wait_text "| -2300 -2300 0 W |" 2

meter --power 111 --size 599
meter --power 222 --size 1501
meter --power 333 --serial 42
meter --power 444 --size 1500
check "1500 bytes taken" wait_text "Energymeter: 444 W" 5
check "599 bytes dropped" no_text "Energymeter: 111 W"
check "1501 bytes dropped" no_text "Energymeter: 222 W"
check "other meter dropped" no_text "Energymeter: 333 W"

meter --power 555 --voltage 230,0,229
check "phase warning" wait_text "Energymeter: SMA EM failed on phase 2 and phase 3! Please install it correctly." 5
check "warning per datagram" test "$(count_text 'failed on phase 2 and phase 3')" -eq 3
meter --power 666 --voltage 230,0,0.5
check "no warning below 1 V on L3" bash -c "sleep 1; test \$(grep -c 'failed on phase 2' '$LOG') -eq 3"

meter --power 777 --no-counters
check "missing counters" wait_text "| -1193.0 -1193.0 kWh" 5

# Garbage on the group (random bytes, cut and padded headers): dropped
# without a value taken, and the next good datagram is read as usual.
values() { grep -cE 'Energymeter: -?[0-9]+ W \|' "$LOG"; }
n=$(values)
python3 "$SIM/garbage_udp.py" 239.12.255.254 9522 --bind 127.0.0.1 --count 300 \
  --prefix 'SMA\x00\x00\x04\x02\xa0\x00\x00\x00\x01\x02\x44\x00\x10\x60\x69' > /dev/null
sleep 0.5
check "garbage: no values taken" test "$(values)" -eq "$n"
meter --power 888
check "garbage: next datagram read" wait_text "Energymeter: 888 W" 5
check "garbage: daemon alive" kill -0 "$DAEMON_PID"

# A restart while the thread waits for data ends it at once.
kill -USR1 "$DAEMON_PID"
check "threads joined" wait_text "Threads joined..." 5
check "second pass joins again" wait_text "Restart or update daemon" 5
stop_kivd
finish
