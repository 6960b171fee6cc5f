#!/usr/bin/env bash
# The demo: kivd charging a car from the sun of a simulated house.
#
# Sets up the machine (packages, build), then runs kivd and the simulated
# house (sim/house.py: PV, household, battery, car, energy meter,
# wallbox, storage) each in a private network namespace of its own, joined by
# a veth pair that exists only inside them (kivd 10.200.0.1, house
# 10.200.0.2). Nothing they send can leave the machine. The web interface is
# relayed from kivd's namespace to http://localhost:18001 on the host's
# loopback. Ctrl-C stops everything the demo started and removes the
# namespaces.
#
# Run as root from the source tree: sudo scripts/run-demo.sh
# Environment (all optional):
#   KIVD_DEMO_PORT=18001     host port of the web interface
#   KIVD_DEMO_SPEED=1        the house's physics runs this many times faster
#   KIVD_DEMO_START=13:30    time of day the house starts at
#   KIVD_DEMO_SECONDS=       end by itself after this many seconds
#   KIVD_DEMO_JOBS=$(nproc)  parallel build jobs
#   KIVD_DEMO_DEBUG=0        1: kivd logs debug lines
#   KIVD_DEMO_KEEP=0         1: keep the sandbox folder (logs) afterwards
#   KIVD_DEMO_SETUP=1        0: skip scripts/setup.sh (packages known present)
set -euo pipefail
cd "$(dirname "$0")/.."
src=$(pwd)

if [ "$(id -u)" -ne 0 ]; then
  echo "demo: network namespaces need root; run: sudo $0" >&2
  exit 1
fi

PORT=${KIVD_DEMO_PORT:-18001}
SPEED=${KIVD_DEMO_SPEED:-1}
START=${KIVD_DEMO_START:-13:30}
SECONDS_LIMIT=${KIVD_DEMO_SECONDS:-}
JOBS=${KIVD_DEMO_JOBS:-$(nproc)}

if [ "${KIVD_DEMO_SETUP:-1}" != 0 ]; then bash scripts/setup.sh; fi
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$JOBS" --target kivd

if python3 -c 'import socket,sys; s=socket.socket(); s.connect(("127.0.0.1", int(sys.argv[1])))' "$PORT" 2>/dev/null; then
  echo "demo: port $PORT on localhost is taken; set KIVD_DEMO_PORT to another one" >&2
  exit 1
fi

root=$(mktemp -d /tmp/kivd-demo.XXXXXX)
mkdir -p "$root/etc" "$root/log"
KD_NS=kivd-demo-$$
HOUSE_NS=kivd-house-$$
HOUSE_PID="" RELAY_PID="" TAIL_PID="" KIVD_PID="" BROKER_PID=""

stop_pid() {  # stop_pid PID: TERM, up to 5 s, then KILL
  local pid=$1
  [ -n "$pid" ] || return 0
  kill -TERM "$pid" 2>/dev/null || return 0
  for _ in $(seq 1 50); do kill -0 "$pid" 2>/dev/null || return 0; sleep 0.1; done
  kill -KILL "$pid" 2>/dev/null || true
}

# Says a line where the output may already be gone: Ctrl-C on
# "run-demo.sh | tee demo.log" ends tee first, and a write into the closed
# pipe must not end the script before it has stopped everything.
say() { printf '%s\n' "$*" 2>/dev/null || true; }

cleanup() {
  trap - EXIT
  trap '' INT TERM HUP PIPE
  say
  say "demo: stopping"
  stop_pid "$RELAY_PID"
  [ -z "$KIVD_PID" ] && [ -s "$root/log/kivd.pid" ] && KIVD_PID=$(tr -d '\n' < "$root/log/kivd.pid")
  stop_pid "$KIVD_PID"
  stop_pid "$HOUSE_PID"
  stop_pid "$BROKER_PID"
  stop_pid "$TAIL_PID"
  ip netns del "$HOUSE_NS" 2>/dev/null || true
  ip netns del "$KD_NS" 2>/dev/null || true
  if [ "${KIVD_DEMO_KEEP:-0}" = 1 ]; then
    say "demo: logs kept in $root/log"
  else
    rm -rf "$root"
  fi
  say "demo: stopped"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP
trap 'exit 141' PIPE

# Two namespaces; the veth pair is made inside them, so the host never has it.
ip netns add "$KD_NS"
ip netns add "$HOUSE_NS"
ip -n "$KD_NS" link add veth-kivd type veth peer name veth-house netns "$HOUSE_NS"
ip -n "$KD_NS" link set lo up
ip -n "$KD_NS" addr add 10.200.0.1/24 dev veth-kivd
ip -n "$KD_NS" link set veth-kivd up
ip -n "$KD_NS" route add 224.0.0.0/4 dev veth-kivd   # the meter's multicast group is joined here
ip -n "$HOUSE_NS" link set lo up
ip -n "$HOUSE_NS" addr add 10.200.0.2/24 dev veth-house
ip -n "$HOUSE_NS" link set veth-house up
ip -n "$HOUSE_NS" route add 224.0.0.0/4 dev veth-house

cat > "$root/etc/kivd.ini" <<INI
[LOG]
LOG_DIR=$root/log
LOG_FILE=$root/log/kivd.log
PID_FILE=$root/log/kivd.pid
DEBUG=${KIVD_DEMO_DEBUG:-0}
[WEBSERVER]
PORT=18001
[SMARTMETER]
USING=TRUE
TYPE=SMA
HOST=239.12.255.254
PORT=9522
[SMA]
SERIAL=1900000001
[INFRASTRUCTURE]
CURRENT=35000
DISTANCE=2000
STARTMODE=SURPLUS
[WALLBOX]
USING=TRUE
TYPE=KEBAP20
HOST=10.200.0.2
PORT=7090
ACTIVATION=-1380
CAR_MAX_PHASES=3
CAR_MIN_CHARGE=6000
[MYSQL]
USING=FALSE
[STORAGESYSTEM]
USING=TRUE
TYPE=SIX0H
HOST=10.200.0.2
PORT=9522
EVRATIO=100
[KNX]
USING=FALSE
INI

# With mosquitto installed, a broker beside kivd in its namespace, and kivd
# publishing to it.
MQTT_WATCH=""
if command -v mosquitto > /dev/null; then
  printf 'listener 1883 127.0.0.1\nallow_anonymous true\npersistence false\nuser root\n' > "$root/etc/mosquitto.conf"
  ip netns exec "$KD_NS" mosquitto -c "$root/etc/mosquitto.conf" > "$root/log/mosquitto.log" 2>&1 &
  BROKER_PID=$!
  printf '[MQTT]\nUSING=TRUE\nHOST=127.0.0.1\n' >> "$root/etc/kivd.ini"
  MQTT_WATCH="sudo ip netns exec $KD_NS mosquitto_sub -h 127.0.0.1 -v -t 'kivd/#' -t 'homeassistant/#'"
fi

house_args=(--bind 10.200.0.2 --speed "$SPEED" --start "$START" --status "$root/log/house.json")
[ -n "$SECONDS_LIMIT" ] && house_args+=(--duration "$((SECONDS_LIMIT + 30))")
ip netns exec "$HOUSE_NS" python3 "$src/sim/house.py" "${house_args[@]}" > "$root/log/house.log" 2>&1 &
HOUSE_PID=$!
for _ in $(seq 1 50); do grep -q "^house: serving" "$root/log/house.log" 2>/dev/null && break; sleep 0.1; done
if ! grep -q "^house: serving" "$root/log/house.log"; then
  echo "demo: the simulated house did not start:" >&2; cat "$root/log/house.log" >&2; exit 1
fi

# The web interface's stylesheet, scripts and icons, where the package
# installs them.
mkdir -p "$root/usr/local/kiv"
cp -r "$src/resources" "$root/usr/local/kiv/resources"

# kivd detaches; its PID file says which process to stop.
KIVD_ROOT=$root ip netns exec "$KD_NS" "$src/build/kivd"
for _ in $(seq 1 100); do [ -s "$root/log/kivd.pid" ] && break; sleep 0.05; done
if [ ! -s "$root/log/kivd.pid" ]; then
  echo "demo: kivd did not start:" >&2; cat "$root/log/kivd.log" >&2 2>/dev/null; exit 1
fi
KIVD_PID=$(tr -d '\n' < "$root/log/kivd.pid")

# The relay listens on the host's loopback, then moves itself into kivd's
# namespace: each connection it accepts is carried on to kivd's web server
# there. Both ends are loopback sockets.
python3 - "/run/netns/$KD_NS" "$PORT" 18001 > "$root/log/relay.log" 2>&1 <<'PY' &
import ctypes, os, select, socket, sys, threading

ns_path, host_port, kivd_port = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
CLONE_NEWNET = 0x40000000
listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
listener.bind(("127.0.0.1", host_port))
listener.listen(16)
libc = ctypes.CDLL(None, use_errno=True)
fd = os.open(ns_path, os.O_RDONLY)
if libc.setns(fd, CLONE_NEWNET) != 0:
    err = ctypes.get_errno()
    sys.exit("relay: setns: %s" % os.strerror(err))
os.close(fd)
slots = threading.Semaphore(32)
print("relay: 127.0.0.1:%d -> kivd's 127.0.0.1:%d" % (host_port, kivd_port), flush=True)


def carry(a, b):
    try:
        while True:
            ready, _, _ = select.select([a, b], [], [], 120)
            if not ready:
                return
            for s in ready:
                data = s.recv(65536)
                if not data:
                    return
                (b if s is a else a).sendall(data)
    except OSError:
        pass
    finally:
        a.close()
        b.close()
        slots.release()


while True:
    client, _ = listener.accept()
    if not slots.acquire(timeout=5):
        client.close()
        continue
    try:
        upstream = socket.create_connection(("127.0.0.1", kivd_port), timeout=5)
        upstream.settimeout(None)
    except OSError as e:
        print("relay: kivd not reachable: %s" % e, flush=True)
        client.close()
        slots.release()
        continue
    threading.Thread(target=carry, args=(client, upstream), daemon=True).start()
PY
RELAY_PID=$!
for _ in $(seq 1 50); do grep -q "^relay:" "$root/log/relay.log" 2>/dev/null && break; sleep 0.1; done
if ! grep -q "^relay: 127" "$root/log/relay.log"; then
  echo "demo: the web relay did not start:" >&2; cat "$root/log/relay.log" >&2; exit 1
fi

cat <<TXT

demo: kivd (PID $KIVD_PID) runs against the simulated house (PID $HOUSE_PID).
demo: web interface: http://localhost:$PORT/   values as XML: http://localhost:$PORT/xml
demo: kivd's control cycle runs about once a minute: the car starts charging within one or two.
demo: sandbox $root (kivd.ini in etc/, logs in log/). Ctrl-C stops the demo.

TXT
[ -n "$MQTT_WATCH" ] && printf 'demo: MQTT values and Home Assistant discovery: %s\n\n' "$MQTT_WATCH"
tail -n +1 -F "$root/log/kivd.log" "$root/log/house.log" 2>/dev/null &
TAIL_PID=$!

t_end=$((SECONDS + ${SECONDS_LIMIT:-999999999}))
while [ $SECONDS -lt $t_end ]; do
  if ! kill -0 "$KIVD_PID" 2>/dev/null; then say "demo: kivd has ended"; break; fi
  if ! kill -0 "$HOUSE_PID" 2>/dev/null; then say "demo: the simulated house has ended"; break; fi
  sleep 1
done
