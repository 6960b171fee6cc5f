#!/usr/bin/env bash
# OEM mode: JSON datagrams of the simulated gateway on loopback multicast;
# currents from power and voltage (0 V gives 0 mA), kept values, datagrams
# without the gateway mark, and a broken datagram that does not end the mode.
source "$KIVD_SRC/tests/integration/lib.sh"
source "$KIVD_SRC/tests/meter/meter_lib.sh"
export KIVD_TEST_HOOKS=1
oem() { python3 "$SIM/oem_gateway.py" --group 224.3.29.71 --port 10004 --interval 0.2 "$@" > /dev/null; }

new_sandbox
INI_METER=TRUE INI_DEBUG=1 write_ini "TYPE=OEM
HOST=224.3.29.71
PORT=10004
[WEBSERVER]
PORT=18103"
start_kivd
check "mode line" wait_text "Energymeter: Starting in OEM mode..." 5
check "no type line for OEM" bash -c "! grep -qE 'Energymeter: (SMA Energy Meter|Elster|ISKRA|Local)' '$LOG'"
sleep 0.5

oem --count 1 --power 1150,-460,0 --voltage 230,229,0
check "values and currents" wait_text "Energymeter: 690 W | 230 229 0 V | 5000 -2008 0 mA" 5

oem --count 1 --raw '{"oemgateway":1,"power 1":12x}'
check "broken datagram logged from the error position" wait_text " x}" 5
oem --count 1 --raw '{"node":"other","power 1":5}'
check "datagram without the mark re-publishes the kept values" \
  bash -c "for i in \$(seq 30); do [ \$(grep -c 'Energymeter: 690 W | 230 229 0 V' '$LOG') -ge 2 ] && exit 0; sleep 0.1; done; exit 1"

oem --count 1 --raw '{"oemgateway":1,"power 2":100,"voltage 3":231,"other":{"power 1":9}}'
check "missing keys keep their values, nested ones do not count" wait_text "Energymeter: 1250 W | 230 229 231 V | 5000 436 0 mA" 5
check "still running" kill -0 "$DAEMON_PID"
stop_kivd
finish
