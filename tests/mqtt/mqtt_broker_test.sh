#!/usr/bin/env bash
# kivd against a real mosquitto in kivd's own namespace: retained values that
# follow the simulated box, discovery configs Home Assistant accepts, a
# command applied and a refused one changing nothing (both seen in /xml), a
# broker restart survived, a wrong password named in the log, TLS with
# a throw-away CA, discovery removed when MQTT is turned off, and a name
# lookup that hangs without holding up a restart.
source "$KIVD_SRC/tests/integration/lib.sh"
source "$KIVD_SRC/tests/wallbox/lib_wallbox.sh"
for tool in mosquitto mosquitto_sub mosquitto_pub mosquitto_passwd openssl; do
  command -v "$tool" > /dev/null || { echo "$tool missing: skipped"; exit 77; }
done
BROKER_PID=""
broker_down() {
  if [ -n "$BROKER_PID" ]; then kill "$BROKER_PID" 2>/dev/null; wait "$BROKER_PID" 2>/dev/null; BROKER_PID=""; fi
}
trap 'broker_down; wallbox_net_down' EXIT

in_ns() { ip netns exec "$KD_NS" "$@"; }
broker_up() {
  # Not through in_ns: $! must be the broker itself, not a subshell.
  ip netns exec "$KD_NS" mosquitto -c "$SANDBOX/mosquitto.conf" > "$SANDBOX/broker.out" 2>&1 &
  BROKER_PID=$!
  STARTED_PIDS+=("$BROKER_PID")
  for _ in $(seq 1 50); do in_ns bash -c '</dev/tcp/127.0.0.1/1883' 2> /dev/null && return 0; sleep 0.1; done
  return 1
}
# The retained messages below a topic filter, "topic payload" a line.
retained() { in_ns mosquitto_sub -h 127.0.0.1 -u kiv -P secret -t "$1" -v --retained-only -W 1 2> /dev/null; true; }
# has_retained TOPIC LINE: the topic's retained message is LINE.
has_retained() {
  in_ns mosquitto_sub -h 127.0.0.1 -u kiv -P secret -t "$1" -v --retained-only -C 1 -W 1 2> /dev/null | grep -qxF -- "$2"
}
wait_retained() {  # wait_retained FILTER LINE [SECONDS]
  local deadline=$((SECONDS + ${3:-10}))
  while [ $SECONDS -lt $deadline ]; do has_retained "$1" "$2" && return 0; sleep 0.5; done
  return 1
}
send() { in_ns mosquitto_pub -h 127.0.0.1 -u kiv -P secret -t "kivd/set/$1" -m "$2"; }
xml() { in_ns curl -s "http://127.0.0.1:18001/xml"; }
xml_has() { xml | grep -qF -- "$1"; }
wait_true() {  # wait_true SECONDS command...
  local deadline=$((SECONDS + $1)); shift
  while [ $SECONDS -lt $deadline ]; do "$@" && return 0; sleep 0.5; done
  return 1
}
wait_xml() {
  local deadline=$((SECONDS + ${2:-10}))
  while [ $SECONDS -lt $deadline ]; do xml_has "$1" && return 0; sleep 0.5; done
  return 1
}

new_sandbox
check "namespace and veth pair" wallbox_net_up
# A CA for this run only, and the broker's certificate for 127.0.0.1.
tls_files() (
  cd "$SANDBOX" || exit 1
  ec=(-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes)
  openssl req -x509 "${ec[@]}" -days 1 -subj /CN=kivd-test-ca -keyout ca.key -out ca.crt &&
    openssl req "${ec[@]}" -subj /CN=127.0.0.1 -keyout broker.key -out broker.csr &&
    printf 'subjectAltName=IP:127.0.0.1\n' > san.ext &&
    openssl x509 -req -in broker.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 1 -extfile san.ext -out broker.crt
) > /dev/null 2>&1
check "throw-away CA" tls_files
cat > "$SANDBOX/mosquitto.conf" <<CONF
allow_anonymous false
password_file $SANDBOX/passwd
persistence false
user root
listener 1883 127.0.0.1
listener 8883 127.0.0.1
cafile $SANDBOX/ca.crt
certfile $SANDBOX/broker.crt
keyfile $SANDBOX/broker.key
CONF
: > "$SANDBOX/passwd"
mosquitto_passwd -b "$SANDBOX/passwd" kiv secret
check "broker up" broker_up

MQTT_INI="[MQTT]
USING=TRUE
HOST=127.0.0.1
USERNAME=kiv
INTERVAL=5"
INI_METER=TRUE write_ini "$LOCAL_METER
[WALLBOX]
USING=TRUE
HOST=10.200.0.2
PHASE_SWITCH_GUARD=0
[INFRASTRUCTURE]
STARTMODE=MANUAL
$MQTT_INI
PASSWORD=secret"
check "simulator up" start_sim --plug 7
export KIVD_TEST_HOOKS=1 KIVD_TEST_WALLBOX_SPEEDUP=14
start_kivd
check "connected" wait_log "MQTT: connected to broker 127.0.0.1:1883$" 10
check "online, retained" wait_retained "kivd/status" "kivd/status online"
check "mode retained" has_retained "kivd/mode" "kivd/mode manual"
check "plugged retained" wait_retained "kivd/plugged" "kivd/plugged ON" 10
simctl plug 0 > /dev/null
check "unplugged follows" wait_retained "kivd/plugged" "kivd/plugged OFF" 10

# Discovery: every config valid JSON with the keys its component needs.
retained "homeassistant/#" > "$SANDBOX/discovery.txt"
check "discovery configs" python3 - "$SANDBOX/discovery.txt" <<'PY'
import json, sys
need = {"sensor": ["state_topic"], "binary_sensor": ["state_topic"], "select": ["command_topic", "options"],
        "number": ["command_topic", "min", "max"]}
seen = {}
for line in open(sys.argv[1]):
    topic, payload = line.rstrip("\n").split(" ", 1)
    component = topic.split("/")[1]
    c = json.loads(payload)
    for key in need[component] + ["name", "unique_id", "availability_topic", "device"]:
        assert key in c, (topic, key)
    assert c["device"]["identifiers"] and c["availability_topic"] == "kivd/status", topic
    seen[topic.split("/")[3]] = c
for energy in ("total_energy", "session_energy"):
    assert seen[energy]["state_class"] == "total_increasing" and seen[energy]["unit_of_measurement"] == "kWh"
assert seen["mode"]["options"] == ["surplus", "quick", "manual", "off"]
assert len(seen) >= 20, len(seen)
PY

# Commands: one applied, one refused; /xml tells.
send mode quick
check "mode command applied" wait_xml "<ChargingMode>QUICK</ChargingMode>" 10
check "mode retained anew" wait_retained "kivd/mode" "kivd/mode quick" 5
send max_phases 5
check "refusal logged" wait_log "MQTT: command refused max_phases=5: not 1, 2 or 3$" 5
check "refused value changed nothing" xml_has "<MaxPhases>1</MaxPhases>"

# The broker away and back.
broker_down
check "outage logged" wait_log "MQTT: .*(lost|not reachable)" 30
check "broker up again" broker_up
reconnected() { [ "$(count_log 'MQTT: connected to broker 127.0.0.1:1883$')" -ge 2 ]; }
check "reconnected" wait_true 20 reconnected
check "one outage line" test "$(count_log 'MQTT: (connection to )?broker 127.0.0.1:1883 (lost|not reachable)')" -eq 1

# A wrong password: refused, and said so.
kill -TERM "$DAEMON_PID"; wait_gone "$DAEMON_PID" 10
check "offline on stop" wait_retained "kivd/status" "kivd/status offline" 5
INI_METER=TRUE write_ini "$LOCAL_METER
$MQTT_INI
PASSWORD=wrong"
start_kivd
check "wrong password logged" wait_log "MQTT: broker 127.0.0.1:1883 refused the connection: Connection Refused: not authorised" 10
kill -TERM "$DAEMON_PID"; wait_gone "$DAEMON_PID" 10

INI_METER=TRUE write_ini "$LOCAL_METER
$MQTT_INI
PASSWORD=secret
PORT=8883
TLS=TRUE
CAFILE=$SANDBOX/ca.crt"
start_kivd
check "connected over TLS" wait_log "MQTT: connected to broker 127.0.0.1:8883$" 10
kill -TERM "$DAEMON_PID"; wait_gone "$DAEMON_PID" 10

# MQTT turned off: the discovery configs go from the broker.
INI_METER=TRUE write_ini "$LOCAL_METER
${MQTT_INI/USING=TRUE/USING=FALSE}
PASSWORD=secret"
start_kivd
check "discovery removed" wait_log "MQTT: discovery messages removed from broker 127.0.0.1:1883$" 10
check "no config left" test -z "$(retained 'homeassistant/#')"
kill -TERM "$DAEMON_PID"; wait_gone "$DAEMON_PID" 10

# A name lookup that hangs (the hook holds each attempt for a minute): a
# restart pass does not wait for it.
INI_METER=TRUE write_ini "$LOCAL_METER
$MQTT_INI"
KIVD_TEST_MQTT_LOOKUP_DELAY=60 start_kivd
check "connecting" wait_log "Thread 7: Starting MQTT client" 5
# A request before the pass has settled is dropped: ask until it is taken.
restart_taken() { kill -USR1 "$DAEMON_PID"; wait_log "Reset wallbox...$" 2; }
check "restart asked" wait_true 10 restart_taken
check "restart pass not held up" wait_log "Threads joined...$" 5
kill -TERM "$DAEMON_PID"; wait_gone "$DAEMON_PID" 10
finish
