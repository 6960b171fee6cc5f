#!/usr/bin/env bash
# Soak run: kivd with every subsystem on (SMA meter, KEBA wallbox, storage,
# MariaDB logging, KNX datapoints) against the simulated house for MINUTES,
# sampling the daemon's resident memory, descriptors and threads, and the
# control cycles it completes. Prints a summary at the end.
#
# kivd, MariaDB and knxd run in one private network namespace, the house in a
# second one; a veth pair made inside them joins the two (kivd 10.200.0.1,
# house 10.200.0.2). Nothing can leave the machine. Not part of the tests.
#
# Run as root from anywhere: bench/soak.sh MINUTES [BUILD_DIR]
# Environment (optional):
#   SOAK_SPEED=10      the house's physics runs this many times faster
#   SOAK_START=08:00   time of day the house starts at
#   SOAK_SAMPLE=30     seconds between resource samples
#   SOAK_KEEP=0        1: keep the sandbox (logs, samples.csv) afterwards
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/.." && pwd)
MINUTES=${1:?usage: bench/soak.sh MINUTES [BUILD_DIR]}
build=${2:-$src/build}
SPEED=${SOAK_SPEED:-10}
START=${SOAK_START:-08:00}
SAMPLE=${SOAK_SAMPLE:-30}
[ "$(id -u)" -eq 0 ] || { echo "soak: network namespaces need root" >&2; exit 1; }
[ -x "$build/kivd" ] || { echo "soak: no $build/kivd; build it first" >&2; exit 1; }

root=$(mktemp -d /tmp/kivd-soak.XXXXXX)
mkdir -p "$root/etc" "$root/log"
cp "$build/kivd" "$root/kivd"   # a rebuild during the run does not touch it
KD_NS=kivd-soak-$$
HOUSE_NS=kivd-soakhouse-$$
HOUSE_PID="" KNXD_PID="" KIVD_PID="" DBDIR=""

stop_pid() {  # TERM, up to 5 s, then KILL
  [ -n "$1" ] || return 0
  kill -TERM "$1" 2>/dev/null || return 0
  for _ in $(seq 1 50); do kill -0 "$1" 2>/dev/null || return 0; sleep 0.1; done
  kill -KILL "$1" 2>/dev/null || true
}
cleanup() {
  trap - INT TERM EXIT
  stop_pid "$KIVD_PID"
  stop_pid "$HOUSE_PID"
  stop_pid "$KNXD_PID"
  [ -n "$DBDIR" ] && ip netns exec "$KD_NS" "$src/tests/tools/mariadb-down.sh" "$DBDIR" >/dev/null 2>&1
  ip netns del "$HOUSE_NS" 2>/dev/null || true
  ip netns del "$KD_NS" 2>/dev/null || true
  if [ "${SOAK_KEEP:-0}" = 1 ]; then echo "soak: sandbox kept in $root"; else rm -rf "$root"; fi
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

ip netns add "$KD_NS"
ip netns add "$HOUSE_NS"
ip -n "$KD_NS" link add veth-kivd type veth peer name veth-house netns "$HOUSE_NS"
ip -n "$KD_NS" link set lo up
ip -n "$KD_NS" addr add 10.200.0.1/24 dev veth-kivd
ip -n "$KD_NS" link set veth-kivd up
ip -n "$KD_NS" route add 224.0.0.0/4 dev veth-kivd
ip -n "$HOUSE_NS" link set lo up
ip -n "$HOUSE_NS" addr add 10.200.0.2/24 dev veth-house
ip -n "$HOUSE_NS" link set veth-house up
ip -n "$HOUSE_NS" route add 224.0.0.0/4 dev veth-house
kx() { ip netns exec "$KD_NS" "$@"; }

DBDIR=$(kx "$src/tests/tools/mariadb-up.sh" "$root/mariadb" | sed -n 's/^DIR=//p')
[ -n "$DBDIR" ] || { echo "soak: MariaDB did not start" >&2; exit 1; }
kx knxd -e 0.0.1 -E 0.0.2:8 -n kivd-soak -u "$root/knxd.sock" -f9 -t0x3ff \
   -D -T -R -I lo -S -b dummy: > "$root/log/knxd.log" 2>&1 &
KNXD_PID=$!
for _ in $(seq 1 50); do [ -S "$root/knxd.sock" ] && break; sleep 0.1; done

dpts=""
for n in 1 2 3 4 5 8 11 12 15 18 20 22 25; do
  dpts+=$'\n'"[DPT_$n]"$'\n'"USING=TRUE"$'\n'"GROUPADR=1/2/$n"
done
cat > "$root/etc/kivd.ini" <<INI
[LOG]
LOG_DIR=$root/log
LOG_FILE=$root/log/kivd.log
PID_FILE=$root/log/kivd.pid
DEBUG=1
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
INTERVAL=10$dpts
INI

ip netns exec "$HOUSE_NS" python3 "$src/tests/sim/house.py" --bind 10.200.0.2 --speed "$SPEED" \
  --start "$START" --duration "$((MINUTES * 60 + 60))" --status-every 60 > "$root/log/house.log" 2>&1 &
HOUSE_PID=$!
for _ in $(seq 1 50); do grep -q "^house: serving" "$root/log/house.log" 2>/dev/null && break; sleep 0.1; done
grep -q "^house: serving" "$root/log/house.log" || { echo "soak: house did not start" >&2; cat "$root/log/house.log" >&2; exit 1; }

KIVD_ROOT=$root kx "$root/kivd"
for _ in $(seq 1 100); do [ -s "$root/log/kivd.pid" ] && break; sleep 0.05; done
[ -s "$root/log/kivd.pid" ] || { echo "soak: kivd did not start" >&2; exit 1; }
KIVD_PID=$(tr -d '\n' < "$root/log/kivd.pid")
first_pid=$KIVD_PID
echo "soak: kivd PID $KIVD_PID, house PID $HOUSE_PID, $MINUTES min, sandbox $root"

# One sample: seconds, RSS KiB, descriptors, threads, children, LastWallboxControl.
sample() {
  local p=$1 rss thr fds kids stamp
  rss=$(awk '/^VmRSS:/{print $2}' "/proc/$p/status" 2>/dev/null)
  thr=$(awk '/^Threads:/{print $2}' "/proc/$p/status" 2>/dev/null)
  fds=$(ls "/proc/$p/fd" 2>/dev/null | wc -l)
  kids=$(cat /proc/"$p"/task/*/children 2>/dev/null | wc -w)
  stamp=$(kx python3 -c '
import re, socket
s = socket.create_connection(("127.0.0.1", 18001), timeout=5)
s.sendall(b"GET /xml HTTP/1.0\r\n\r\n")
d = b""
while True:
    c = s.recv(65536)
    if not c: break
    d += c
m = re.search(rb"<LastWallboxControl>([^<]*)<", d)
print(m.group(1).decode() if m else "-")' 2>/dev/null || echo -)
  echo "$SECONDS,${rss:-0},$fds,${thr:-0},$kids,$stamp"
}

echo "t_s,rss_kib,fds,threads,children,last_wbc" > "$root/samples.csv"
SECONDS=0
t_end=$((MINUTES * 60))
sleep 5   # start-up: threads, first reports, database check
sample "$KIVD_PID" >> "$root/samples.csv"
while [ $SECONDS -lt $t_end ]; do
  sleep "$SAMPLE"
  if [ -s "$root/log/kivd.pid" ]; then KIVD_PID=$(tr -d '\n' < "$root/log/kivd.pid"); fi
  kill -0 "$KIVD_PID" 2>/dev/null || { echo "soak: kivd has ended" >&2; break; }
  sample "$KIVD_PID" >> "$root/samples.csv"
done
elapsed=$SECONDS
log=$root/log/kivd.log

# Cycles: each completed one logs "ControlKEBA: points = " (debug) and
# stamps LastWallboxControl; a cycle is due every 56 s plus the exchanges.
cycles_log=$(grep -c "ControlKEBA: points = " "$log")
stamps=$(tail -n +2 "$root/samples.csv" | cut -d, -f6 | grep -v -e '^-$' -e '^00\.00' | sort -u)
gaps=$(echo "$stamps" | while read -r d t; do
         [ -n "$d" ] || continue
         IFS=. read -r dd mm yy <<< "$d"; date -d "$yy-$mm-$dd $t" +%s
       done | sort -n | awk 'NR>1{print $1-p} {p=$1}')
cycles_stamp=$(echo "$stamps" | grep -c .)
restarts=$(($(grep -c "Starting keba wallbox controller" "$log") - 1))
errors=$(grep -iE "error|fail|can't|cannot|timeout" "$log" | grep -vE 'error1 = 0x|"Error[12]"|^[^]]*[0-9] failsafe [0-9]' || true)

awk -F, -v elapsed="$elapsed" -v cl="$cycles_log" -v cs="$cycles_stamp" -v first="$first_pid" \
    -v last="$KIVD_PID" -v restarts="$restarts" -v gaps="$(echo $gaps)" '
NR==2 {r0=$2; f0=$3; t0=$4; c0=$5}
NR>1  {r1=$2; f1=$3; t1=$4; c1=$5; if ($2>rmax) rmax=$2; if ($3>fmax) fmax=$3; if ($4>tmax) tmax=$4; n++}
END {
  ng = split(gaps, g, " "); gmin = 1e9; gmax = 0; miss = 0
  for (i = 1; i <= ng; i++) { if (g[i] < gmin) gmin = g[i]; if (g[i] > gmax) gmax = g[i]; if (g[i] > 100) miss += int(g[i] / 70) }
  printf "soak summary: %d s (%.1f min), %d samples\n", elapsed, elapsed / 60, n
  printf "  daemon PID %s -> %s (%s)\n", first, last, first == last ? "no process restart" : "PROCESS RESTARTED"
  printf "  RSS KiB    start %d, end %d, max %d\n", r0, r1, rmax
  printf "  fds        start %d, end %d, max %d\n", f0, f1, fmax
  printf "  threads    start %d, end %d, max %d\n", t0, t1, tmax
  printf "  children   start %d, end %d\n", c0, c1
  # The first cycle ends about 57 s after the start (1 s, the reports, 56 s
  # of waiting); each further one takes 56 s plus the exchanges (about 1 s)
  # and 15 s per phase change.
  printf "  cycles     due at most %d (one per 57 s), logged %d, distinct stamps sampled %d\n", (elapsed + 5) / 57, cl, cs
  if (ng > 0) printf "  cycle gaps s: min %d, max %d; missed (gap > 100 s) %d\n", gmin, gmax, miss
  printf "  thread restarts %d\n", restarts
}' "$root/samples.csv"
echo "  error lines $(echo -n "$errors" | grep -c .)"
[ -n "$errors" ] && echo "$errors" | sed -E 's/^[^]]*\] ?//; s/[0-9]+/N/g' | sort | uniq -c | sort -rn | head -15
echo "  database rows $(kx mariadb --no-defaults -h127.0.0.1 -P3307 -uuser -pchgpw123 -N -B \
  -e "SELECT COUNT(*) FROM smarthouse.tblSmartMeter_$(date +%Y)" 2>/dev/null || echo '?')"
echo "  KNX group writes sent $(grep -c 'Sending TUNNELLING_REQUEST' "$log" || true)"
echo "  house: $(tail -1 "$root/log/house.log")"
cp "$root/samples.csv" "${SOAK_SAMPLES_OUT:-/dev/null}" 2>/dev/null || true
