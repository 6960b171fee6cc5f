#!/usr/bin/env bash
# kivd's group writes through a real KNXnet/IP server (knxd on 127.0.0.1:3671,
# started by netns-run.sh), seen by knxd's own group listener.
source "$KIVD_SRC/tests/integration/lib.sh"
if [ -z "${KNXD_URL:-}" ] || ! command -v knxtool > /dev/null; then
  echo "knxd not running (run through tests/tools/netns-run.sh); skipped"
  exit 77
fi

new_sandbox

# --- the sender with non-zero live values (fake clock, real tunnel) --------
PROBE_LISTEN=$SANDBOX/probe-listen.txt
knxtool groupsocketlisten "$KNXD_URL" > "$PROBE_LISTEN" 2>&1 &
PL=$!
sleep 0.3
"$KIVD_BUILD/tests/knx/knx_pass_probe" 127.0.0.1 "${KIVD_TEST_KNX_PORT:-3671}" "$SANDBOX/probe.log" \
  4,5,8,9,11,12,15,18,20,21,22,23,25 intpow=-3000 ss_ac_power=1200 em_u1=230 em_pf=950 \
  em_energy_consumption=1234.5 ChargingMode=2 wb_enable_sys=1 wb_pow=11040 wb_e_total=-1 ss_bat_soc=50 \
  ss_bat_temp=215 ss_bat_voltage=52300
check "probe: two passes answered" test $? -eq 0
sleep 0.3
kill "$PL" 2> /dev/null
wait "$PL" 2> /dev/null
# First pass: the on-change datapoints; second: the cyclic ones.
cat > "$SANDBOX/probe-want.txt" << 'WANT'
8/1/12: 02 |
8/1/15: 01|
8/1/18: 00 00 00 0B |
8/1/20: 48 D1 B7 17 |
8/1/21: 7F |
8/1/22: 0C 33 |
8/1/23: 42 51 33 33 |
8/1/25: 00 00 04 B0 |
8/1/4: FF FF F4 48 |
8/1/5: 00 E6 |
8/1/8: 3F 73 33 33 |
8/1/9: 44 9A 50 00 |
8/1/11: 00 00 07 08 |
WANT
check "probe: every value arrives as encoded, in order" \
  diff <(sed -n 's/^Write from [0-9.]* to //p' "$PROBE_LISTEN" | sed 's/$/|/') "$SANDBOX/probe-want.txt"
check "probe: no failure line" bash -c "! grep -E 'KNX thread: (recvfrom|sendto|failed|error)' '$SANDBOX/probe.log'"
check "probe: float debug line" grep -q "KNX thread: Sending TUNNELLING_REQUEST to: 8/1/23, value: 52.3$" "$SANDBOX/probe.log"

# --- the daemon -------------------------------------------------------------
LISTEN=$SANDBOX/listen.txt
knxtool groupsocketlisten "$KNXD_URL" > "$LISTEN" 2>&1 &
LISTENER=$!
STARTED_PIDS+=("$LISTENER")
sleep 0.3

# Cyclic: 4 grid power (4 bytes), 5 voltage L1 (2 bytes), 8 power factor
# (float), 11 available power. On change: 22 battery temperature (DPT 9),
# sent in the first pass. Sources are 0: no meter, the storage not answering.
INI_DEBUG=1 write_ini "[KNX]
USING=TRUE
ROUTER=127.0.0.1
PORT=${KIVD_TEST_KNX_PORT:-3671}
INTERVAL=10
[NETWORK]
BINDTODEVICE=nosuchdev0
[STORAGESYSTEM]
USING=TRUE
HOST=127.0.0.1
[DPT_4]
USING=TRUE
GROUPADR=1/2/4
[DPT_5]
USING=TRUE
GROUPADR=1/2/5
[DPT_8]
USING=TRUE
GROUPADR=31/7/255
[DPT_11]
USING=TRUE
GROUPADR=1/2/11
[DPT_22]
USING=TRUE
GROUPADR=1/8/0"
export KIVD_TEST_HOOKS=1
start_kivd
check "start line" wait_log "Thread 4: Starting knx interface...$" 5
check "count line" wait_log "KNX: 5 datapoint\(s\) activated \(4 cycle, 1 on change\)...$" 5

# The battery temperature does not differ from its start value 0, so the
# first pass is the first cyclic one (3 s pause + 11 s); being the first, it
# also sends the on-change datapoint. Then cyclic passes ~11 s apart.
check "first pass sends the battery temperature as DPT 9" \
  bash -c "for i in \$(seq 1 200); do grep -q 'to 2/0/0: 00 00 \$' '$LISTEN' && exit 0; sleep 0.1; done; exit 1"
check "first cyclic pass" grep -q "to 1/2/11: " "$LISTEN"
T1=$SECONDS
check "second cyclic pass" \
  bash -c "for i in \$(seq 1 150); do [ \$(grep -c 'to 1/2/11: ' '$LISTEN') -ge 2 ] && exit 0; sleep 0.1; done; exit 1"
T2=$SECONDS
check "cyclic passes about 11 s apart ($((T2 - T1)) s)" test $((T2 - T1)) -ge 9 -a $((T2 - T1)) -le 13
sleep 0.5

check "grid power: 4 bytes" grep -qE "Write from [0-9.]+ to 1/2/4: 00 00 00 00 $" "$LISTEN"
check "voltage: 2 bytes" grep -qE "Write from [0-9.]+ to 1/2/5: 00 00 $" "$LISTEN"
check "power factor: 4-byte float to 31/7/255" grep -qE "Write from [0-9.]+ to 31/7/255: 00 00 00 00 $" "$LISTEN"
check "available power" grep -qE "Write from [0-9.]+ to 1/2/11: 00 00 00 00 $" "$LISTEN"
check "on-change datapoint only in the first pass" test "$(grep -c 'to 2/0/0: ' "$LISTEN")" -eq 1
check "datapoints sent in the order 1 to 25" bash -c "grep -oE 'to [0-9/]+:' '$LISTEN' | head -5 | tr '\n' ' ' | grep -q '^to 1/2/4: to 1/2/5: to 31/7/255: to 1/2/11: to 2/0/0: \$'"
check "group address debug line" grep -q "KNX thread: calculated group address = 31/7/255 (65535)$" "$LOG"
check "float debug line" grep -q "KNX thread: Sending TUNNELLING_REQUEST to: 31/7/255, value: 0$" "$LOG"
check "DPT 9 debug line" grep -q "KNX thread: Sending TUNNELLING_REQUEST to: 1/8/0, value: 0x0000$" "$LOG"
check "device fallback line each pass" test "$(count_log 'KNX thread: error binding interface to nosuchdev0, fallback to default$')" -ge 2
check "disconnect accepted" grep -q "KNX thread: Receive Disconnect Status: 0$" "$LOG"
check "no failure line" bash -c "! grep -E 'KNX thread: (recvfrom|sendto|failed|error=)' '$LOG'"
check "knxd saw the disconnects" test "$(grep -c 'Stop Conn' "$KNXD_LOG")" -ge 2
check "knxd got every confirmation acknowledged" bash -c "! grep -q 'dropped no-ACK' '$KNXD_LOG'"

# A restart stops the thread at once and the next pass starts over.
kill -USR1 "$DAEMON_PID" 2> /dev/null
check "threads joined" wait_log "Threads joined...$" 5
check "daemon alive" kill -0 "$DAEMON_PID"
kill -TERM "$DAEMON_PID"
wait_gone "$DAEMON_PID" 5
kill "$LISTENER" 2> /dev/null
wait "$LISTENER" 2> /dev/null
if [ "$TEST_FAILS" -gt 0 ]; then
  echo "--- group listener ---"; cat "$LISTEN"
  echo "--- knxd trace (layer 8) ---"; grep 'Layer 8' "$KNXD_LOG" | tail -40
fi
finish
