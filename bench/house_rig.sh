# Sourced by the long runs under bench/: kivd with every feature on against
# the simulated house. The SMA meter, KEBA wallbox and storage come from
# sim/house.py; the database logger writes to a throwaway MariaDB and
# KNX goes to a local knxd.
#
# kivd, MariaDB and knxd live in one private namespace, the house in a
# second, joined by a veth pair that exists only inside them (kivd
# 10.200.0.1, house 10.200.0.2). Nothing leaves the machine. Everything
# started here is stopped by its PID, and both namespaces are removed when
# the sourcing script exits.
#
# Before rig_start, the sourcing script sets:
#   src, build       source tree and build folder
#   RIG_NAME         short name for the namespaces and log lines
#   RIG_DEBUG        LOG:DEBUG of kivd (0 or 1)
#   RIG_KNX_DPTS     datapoint numbers to switch on; RIG_KNX_INTERVAL seconds
#   RIG_HOUSE_ARGS   array of further house.py arguments
#   RIG_MINUTES      how long the house runs (it gets one minute more)
#   RIG_KEEP         1: keep the sandbox folder afterwards
# After rig_start: root (sandbox), KD_NS, HOUSE_NS, DBDIR, KNXD_SOCK,
# HOUSE_PID, KIVD_PID; kx runs a command in kivd's namespace.

[ "$(id -u)" -eq 0 ] || { echo "$RIG_NAME: network namespaces need root" >&2; exit 1; }
[ -x "$build/kivd" ] || { echo "$RIG_NAME: no $build/kivd; build it first" >&2; exit 1; }

root=$(mktemp -d "/tmp/kivd-$RIG_NAME.XXXXXX")
mkdir -p "$root/etc" "$root/log"
cp "$build/kivd" "$root/kivd"  # a rebuild during the run does not touch it
KD_NS=kivd-$RIG_NAME-$$
HOUSE_NS=kivd-${RIG_NAME}house-$$
KNXD_SOCK=$root/knxd.sock
HOUSE_PID="" KNXD_PID="" KIVD_PID="" DBDIR=""
RIG_PIDS=()  # further helpers to stop, such as a bus listener

kx() { ip netns exec "$KD_NS" "$@"; }

stop_pid() {  # TERM, up to 5 s, then KILL
  [ -n "$1" ] || return 0
  kill -TERM "$1" 2>/dev/null || return 0
  for _ in $(seq 1 50); do kill -0 "$1" 2>/dev/null || return 0; sleep 0.1; done
  kill -KILL "$1" 2>/dev/null || true
}

rig_cleanup() {
  trap - INT TERM EXIT
  local p
  stop_pid "$KIVD_PID"
  stop_pid "$HOUSE_PID"
  for p in "${RIG_PIDS[@]}"; do stop_pid "$p"; done
  stop_pid "$KNXD_PID"
  [ -n "$DBDIR" ] && kx "$src/tests/tools/mariadb-down.sh" "$DBDIR" >/dev/null 2>&1
  ip netns del "$HOUSE_NS" 2>/dev/null || true
  ip netns del "$KD_NS" 2>/dev/null || true
  if [ "${RIG_KEEP:-0}" = 1 ]; then echo "$RIG_NAME: sandbox kept in $root"; else rm -rf "$root"; fi
}
trap rig_cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

rig_namespaces() {
  ip netns add "$KD_NS"
  ip netns add "$HOUSE_NS"
  ip -n "$KD_NS" link add veth-kivd type veth peer name veth-house netns "$HOUSE_NS"
  ip -n "$KD_NS" link set lo up
  ip -n "$KD_NS" addr add 10.200.0.1/24 dev veth-kivd
  ip -n "$KD_NS" link set veth-kivd up
  # The meter's group is joined on the veth; knxd wants a multicast route with a source.
  ip -n "$KD_NS" route add 224.0.0.0/4 dev veth-kivd src 10.200.0.1
  ip -n "$HOUSE_NS" link set lo up
  ip -n "$HOUSE_NS" addr add 10.200.0.2/24 dev veth-house
  ip -n "$HOUSE_NS" link set veth-house up
  ip -n "$HOUSE_NS" route add 224.0.0.0/4 dev veth-house
}

rig_peers() {
  DBDIR=$(kx "$src/tests/tools/mariadb-up.sh" "$root/mariadb" | sed -n 's/^DIR=//p') || true
  [ -n "$DBDIR" ] || { echo "$RIG_NAME: MariaDB did not start:" >&2; cat "$root/mariadb/error.log" >&2; exit 1; }
  # Started without the kx function, so that $! is knxd itself.
  ip netns exec "$KD_NS" knxd -e 0.0.1 -E 0.0.2:8 -n "kivd-$RIG_NAME" -u "$KNXD_SOCK" -t0x3ff -f9 \
    -D -T -R -I veth-kivd -S -b dummy: > "$root/log/knxd.log" 2>&1 &
  KNXD_PID=$!
  for _ in $(seq 1 50); do [ -S "$KNXD_SOCK" ] && break; sleep 0.1; done
  [ -S "$KNXD_SOCK" ] || { echo "$RIG_NAME: knxd did not start:" >&2; cat "$root/log/knxd.log" >&2; exit 1; }
}

rig_ini() {
  local n dpts=""
  for n in $RIG_KNX_DPTS; do dpts+=$'\n'"[DPT_$n]"$'\n'"USING=TRUE"$'\n'"GROUPADR=8/1/$n"; done
  cat > "$root/etc/kivd.ini" <<INI
[LOG]
LOG_DIR=$root/log
LOG_FILE=$root/log/kivd.log
PID_FILE=$root/log/kivd.pid
DEBUG=$RIG_DEBUG
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
[STORAGESYSTEM]
USING=TRUE
TYPE=SIX0H
HOST=10.200.0.2
PORT=9522
EVRATIO=100
[MYSQL]
USING=TRUE
HOST=127.0.0.1
PORT=3307
USERNAME=user
PASSWORD=chgpw123
DATABASE=smarthouse
[KNX]
USING=TRUE
ROUTER=127.0.0.1
PORT=3671
INTERVAL=$RIG_KNX_INTERVAL$dpts
INI
}

rig_house_and_kivd() {
  ip netns exec "$HOUSE_NS" python3 "$src/sim/house.py" --bind 10.200.0.2 "${RIG_HOUSE_ARGS[@]}" \
    --duration "$((RIG_MINUTES * 60 + 60))" > "$root/log/house.log" 2>&1 &
  HOUSE_PID=$!
  for _ in $(seq 1 50); do grep -q "^house: serving" "$root/log/house.log" 2>/dev/null && break; sleep 0.1; done
  grep -q "^house: serving" "$root/log/house.log" ||
    { echo "$RIG_NAME: house did not start" >&2; cat "$root/log/house.log" >&2; exit 1; }
  KIVD_ROOT=$root kx "$root/kivd"
  for _ in $(seq 1 100); do [ -s "$root/log/kivd.pid" ] && break; sleep 0.05; done
  [ -s "$root/log/kivd.pid" ] || { echo "$RIG_NAME: kivd did not start" >&2; cat "$root/log/kivd.log" >&2; exit 1; }
  KIVD_PID=$(tr -d '\n' < "$root/log/kivd.pid")
}

rig_start() {
  rig_namespaces
  rig_peers
  rig_ini
  [ "$(type -t rig_before_kivd)" = function ] && rig_before_kivd
  rig_house_and_kivd
}
