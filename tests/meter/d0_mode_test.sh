#!/usr/bin/env bash
# D0/TCP modes against the simulated gateway on loopback: AS1440 and MT175
# readouts, a gateway that closes the connection (reconnected), a restart
# while the thread waits in a read, and the set-up failures.
source "$KIVD_SRC/tests/integration/lib.sh"
source "$KIVD_SRC/tests/meter/meter_lib.sh"
export KIVD_TEST_HOOKS=1
GW_PIDS=()
# Starts the gateway and waits until it listens.
gateway() {
  python3 "$SIM/d0_gateway.py" "$@" > "$SANDBOX/gw.out" 2>&1 & GW_PIDS+=($!); STARTED_PIDS+=($!)
  local port
  port=$(echo "$*" | sed -n 's/.*--port \([0-9]*\).*/\1/p')
  for _ in $(seq 100); do ss -ltnH "sport = :$port" | grep -q . && return 0; sleep 0.1; done
  echo "gateway on port $port did not start"
}
d0_ini() {
  INI_METER=TRUE INI_DEBUG=1 write_ini "TYPE=$1
HOST=${2:-localhost}
PORT=${3:-5000}
[WEBSERVER]
PORT=18102"
}

# --- AS1440, with a gateway that closes after two readouts -----------------
new_sandbox
d0_ini as1440
gateway --kind as1440 --port 5000 --power 450 --energy-in 1234.5 --energy-out 567.8 \
        --interval 0.3 --close-after 2 --lifetime 30
start_kivd
check "type line" wait_text "Energymeter: Elster AS1440 (Mode C)" 5
check "mode line" wait_text "Energymeter: Starting in D0/TCP mode..." 5
check "readout values" wait_text "Energymeter: 450 W | 230 230 230 V | 652 652 652 mA" 5
check "energies" wait_text "Energymeter test: 1234.5000 567.8000 kWh" 2
check "closed connection noticed" wait_text "Energymeter: D0 gateway closed the connection, reconnecting" 10
check "reconnected" wait_text "Energymeter: D0 gateway connected again" 10
check "readouts go on after the reconnect" bash -c "for i in \$(seq 50); do [ \$(grep -c 'Energymeter: 450 W' '$LOG') -ge 3 ] && exit 0; sleep 0.2; done; exit 1"
check "one loss line per loss, no spinning" bash -c "sleep 1; n=\$(grep -c 'closed the connection' '$LOG'); c=\$(grep -c 'connected again' '$LOG'); [ \$n -le \$((c + 1)) ] && [ \$n -lt 10 ]"
check "no read error lines" no_text "error reading"

# A restart while the thread is in a read ends it at once.
kill -USR1 "$DAEMON_PID"
check "threads joined" wait_text "Threads joined..." 5
stop_kivd
for p in "${GW_PIDS[@]}"; do kill "$p" 2>/dev/null; wait "$p" 2>/dev/null; done; GW_PIDS=()

# --- the gateway goes away for a while: back-off, then back ----------------
new_sandbox
d0_ini AS1440 127.0.0.1 5001
gateway --kind as1440 --port 5001 --power -1200 --energy-out 10 --interval 0.3 --lifetime 2
start_kivd
check "feed-in readout" wait_text "Energymeter: -1200 W | 230 230 230 V | -1739 -1739 -1739 mA" 5
for p in "${GW_PIDS[@]}"; do wait "$p" 2>/dev/null; done; GW_PIDS=()
check "loss noticed" wait_text "reconnecting" 5
check "failed tries logged" wait_text "Energymeter: error connecting" 5
gateway --kind as1440 --port 5001 --power 300 --interval 0.3 --lifetime 20
check "back after the gateway returns" wait_text "Energymeter: 300 W" 15
stop_kivd
for p in "${GW_PIDS[@]}"; do kill "$p" 2>/dev/null; wait "$p" 2>/dev/null; done; GW_PIDS=()

# --- MT175 with a recorded transmission, then a built one -------------------
SML_CAPTURE=$KIVD_TESTDATA/sml_iskra_mt175_D1A52-V22-K0t_transmission0.DERIVED.hex
check "recorded SML capture in tests/data" test -f "$SML_CAPTURE"
if [ -f "$SML_CAPTURE" ]; then
  new_sandbox
  d0_ini MT175 127.0.0.1 5002
  gateway --kind mt175 --port 5002 --interval 0.3 --lifetime 20 \
          --sml-file "$SML_CAPTURE"
  start_kivd
  check "MT175 type line" wait_text "Energymeter: ISKRA MT175 (SML)" 5
  check "recorded SML: -4308 W" wait_text "Energymeter: -4308 W | 230 230 230 V | -6243 -6243 -6243 mA" 5
  check "recorded SML energies" wait_text "Energymeter test: 10732.3086 28275.3242 kWh" 2
  stop_kivd
  for p in "${GW_PIDS[@]}"; do kill "$p" 2>/dev/null; wait "$p" 2>/dev/null; done; GW_PIDS=()
fi
new_sandbox
d0_ini mt175 127.0.0.1 5003
gateway --kind mt175 --port 5003 --power -200 --energy-in 1234.5678 --energy-out 0.5 --interval 0.3 --lifetime 20
start_kivd
check "built SML: -200 W" wait_text "Energymeter: -200 W | 230 230 230 V | -289 -289 -289 mA" 5
check "built SML energies" wait_text "Energymeter test: 1234.5677 0.5000 kWh" 2
stop_kivd
for p in "${GW_PIDS[@]}"; do kill "$p" 2>/dev/null; wait "$p" 2>/dev/null; done; GW_PIDS=()

# --- a readout that comes in two sends: read whole, once ---------------------
new_sandbox
d0_ini AS1440 127.0.0.1 5005
gateway --kind as1440 --port 5005 --interval 0.3 --gap 0.4 --lifetime 20 \
        --raw-header '/HDR5\r\n1.7.0(0.250*kW)\r\n' --raw-data '1.8.0(0001.5*kWh)\r\n!\r\n'
start_kivd
check "split readout read" wait_text "Energymeter: 250 W | 230 230 230 V | 362 362 362 mA" 5
check "split readout: both parts" test "$(grep -m1 'Energymeter test:' "$LOG" | sed 's/.*Energymeter test: //')" = "1.5000 0.0000 kWh"
stop_kivd
for p in "${GW_PIDS[@]}"; do kill "$p" 2>/dev/null; wait "$p" 2>/dev/null; done; GW_PIDS=()

# --- a gateway that comes up after the daemon: tried again until it is there --
new_sandbox
d0_ini AS1440 127.0.0.1 5004
start_kivd
check "nobody listening" wait_text "Energymeter: error connecting" 5
check "daemon still runs" kill -0 "$DAEMON_PID"
sleep 6
gateway --kind as1440 --port 5004 --power 700 --interval 0.3 --lifetime 30
check "late gateway connected" wait_text "Energymeter: D0 gateway connected" 15
check "late gateway read" wait_text "Energymeter: 700 W" 5
check "one failure line for the outage" test "$(count_text 'Energymeter: error connecting')" -eq 1
stop_kivd
for p in "${GW_PIDS[@]}"; do kill "$p" 2>/dev/null; wait "$p" 2>/dev/null; done; GW_PIDS=()
new_sandbox
d0_ini AS1440 no-such-gateway.invalid 5000
start_kivd
check "unknown host" wait_text "Energymeter: error, no such host" 15
stop_kivd
finish
