#!/usr/bin/env bash
# Resident memory and CPU time of kivd against the simulated house with every
# feature on: SMA meter, KEBA wallbox and storage (tests/sim/house.py), the
# database logger against a throwaway MariaDB and KNX against a local knxd.
#
# kivd, MariaDB and knxd live in one private namespace, the house in a
# second, joined by a veth pair that exists only inside them (as in
# scripts/run-demo.sh). Nothing leaves the machine. Everything started here
# is stopped by its PID and both namespaces are removed at the end.
#
# Run as root from the source tree: bench/house_soak_figures.sh [MINUTES] [BUILD_DIR]
# Prints RSS/PSS samples each minute, then the figures: RSS and PSS from
# /proc/PID/status and smaps_rollup, process CPU time (utime+stime) over the
# window scaled to one hour, and the share of each thread (by name).
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
MINUTES=${1:-10}
build=${2:-$src/build}
[ "$(id -u)" -eq 0 ] || { echo "soak: network namespaces need root" >&2; exit 1; }
[ -x "$build/kivd" ] || { echo "soak: $build/kivd not built" >&2; exit 1; }
TCK=$(getconf CLK_TCK)

root=$(mktemp -d /tmp/kivd-soak.XXXXXX)
mkdir -p "$root/etc" "$root/log"
KD_NS=kivd-perf-$$
HOUSE_NS=kivd-perfhouse-$$
HOUSE_PID="" KNXD_PID="" LISTEN_PID="" KIVD_PID="" DBDIR=""

stop_pid() {  # TERM, up to 5 s, then KILL
  local pid=$1
  [ -n "$pid" ] || return 0
  kill -TERM "$pid" 2>/dev/null || return 0
  for _ in $(seq 1 50); do kill -0 "$pid" 2>/dev/null || return 0; sleep 0.1; done
  kill -KILL "$pid" 2>/dev/null || true
}
cleanup() {
  trap - INT TERM EXIT
  stop_pid "$KIVD_PID"
  stop_pid "$HOUSE_PID"
  stop_pid "$LISTEN_PID"
  stop_pid "$KNXD_PID"
  [ -n "$DBDIR" ] && ip netns exec "$KD_NS" "$src/tests/tools/mariadb-down.sh" "$DBDIR" >/dev/null 2>&1
  ip netns del "$HOUSE_NS" 2>/dev/null || true
  ip netns del "$KD_NS" 2>/dev/null || true
  rm -rf "$root"
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
# The meter's group is joined on the veth; knxd wants a multicast route with a source.
ip -n "$KD_NS" route add 224.0.0.0/4 dev veth-kivd src 10.200.0.1
ip -n "$HOUSE_NS" link set lo up
ip -n "$HOUSE_NS" addr add 10.200.0.2/24 dev veth-house
ip -n "$HOUSE_NS" link set veth-house up
ip -n "$HOUSE_NS" route add 224.0.0.0/4 dev veth-house

DBDIR=$(ip netns exec "$KD_NS" "$src/tests/tools/mariadb-up.sh" "$root/mariadb" | sed -n 's/^DIR=//p')
[ -n "$DBDIR" ] || { echo "soak: MariaDB did not start" >&2; exit 1; }

ip netns exec "$KD_NS" knxd -e 0.0.1 -E 0.0.2:8 -n kivd-soak -u "$root/knxd.sock" -t0x3ff -f9 \
  -D -T -R -I veth-kivd -S -b dummy: > "$root/log/knxd.log" 2>&1 &
KNXD_PID=$!
for _ in $(seq 1 50); do [ -S "$root/knxd.sock" ] && break; sleep 0.1; done
[ -S "$root/knxd.sock" ] || { echo "soak: knxd did not start:" >&2; cat "$root/log/knxd.log" >&2; exit 1; }
ip netns exec "$KD_NS" knxtool groupsocketlisten "local:$root/knxd.sock" > "$root/log/knx-writes.txt" 2>&1 &
LISTEN_PID=$!

knx_sections=""
for n in 4 5 8 11 12 15 18 20 22 25; do knx_sections+="[DPT_$n]"$'\n'"USING=TRUE"$'\n'"GROUPADR=8/1/$n"$'\n'; done
cat > "$root/etc/kivd.ini" <<INI
[LOG]
LOG_DIR=$root/log
LOG_FILE=$root/log/kivd.log
PID_FILE=$root/log/kivd.pid
DEBUG=0
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
USING=TRUE
HOST=127.0.0.1
PORT=3307
USERNAME=user
PASSWORD=chgpw123
DATABASE=smarthouse
[STORAGESYSTEM]
USING=TRUE
TYPE=SIX0H
HOST=10.200.0.2
PORT=9522
EVRATIO=100
[KNX]
USING=TRUE
ROUTER=127.0.0.1
PORT=3671
INTERVAL=30
$knx_sections
INI

ip netns exec "$HOUSE_NS" python3 "$src/tests/sim/house.py" --bind 10.200.0.2 --quiet --status "$root/log/house.json" \
  --duration "$((MINUTES * 60 + 60))" > "$root/log/house.log" 2>&1 &
HOUSE_PID=$!
for _ in $(seq 1 50); do grep -q "^house: serving" "$root/log/house.log" 2>/dev/null && break; sleep 0.1; done
grep -q "^house: serving" "$root/log/house.log" || { echo "soak: house did not start" >&2; cat "$root/log/house.log" >&2; exit 1; }

KIVD_ROOT=$root ip netns exec "$KD_NS" "$build/kivd"
for _ in $(seq 1 100); do [ -s "$root/log/kivd.pid" ] && break; sleep 0.05; done
[ -s "$root/log/kivd.pid" ] || { echo "soak: kivd did not start" >&2; cat "$root/log/kivd.log" >&2; exit 1; }
KIVD_PID=$(tr -d '\n' < "$root/log/kivd.pid")

kib() { awk -v k="$2:" '$1 == k {print $2}' "$1" 2>/dev/null; }
proc_ticks() { awk '{sub(/.*\) /, ""); print $12 + $13}' "/proc/$KIVD_PID/stat"; }
thread_ticks() {  # TID NAME TICKS ON_CPU_NS per line (schedstat: exact, the ticks are 10 ms coarse)
  local t
  for t in /proc/"$KIVD_PID"/task/*; do
    printf '%s %s %s %s\n' "${t##*/}" "$(cat "$t/comm")" "$(awk '{sub(/.*\) /, ""); print $12 + $13}' "$t/stat")" \
      "$(cut -d' ' -f1 "$t/schedstat")"
  done 2>/dev/null
}

sleep 5  # let the threads start
t0=$(date +%s.%N)
c0=$(proc_ticks)
thread_ticks > "$root/threads0"
echo "soak: kivd PID $KIVD_PID, measuring $MINUTES min (machine shared with other builds)"
printf '%6s %9s %9s %9s\n' min RSS_KiB PSS_KiB CPU_ticks
for m in $(seq 1 "$MINUTES"); do
  for _ in $(seq 1 60); do kill -0 "$KIVD_PID" 2>/dev/null || { echo "soak: kivd ended" >&2; tail "$root/log/kivd.log" >&2; exit 1; }; sleep 1; done
  printf '%6d %9s %9s %9s\n' "$m" "$(kib /proc/"$KIVD_PID"/status VmRSS)" \
    "$(kib /proc/"$KIVD_PID"/smaps_rollup Pss)" "$(($(proc_ticks) - c0))"
done
t1=$(date +%s.%N)
c1=$(proc_ticks)
thread_ticks > "$root/threads1"

echo
echo "== memory after $MINUTES min"
grep -E '^(VmPeak|VmHWM|VmRSS|RssAnon|RssFile|RssShmem|Threads):' "/proc/$KIVD_PID/status"
grep -E '^(Rss|Pss|Pss_Anon|Pss_File|Private_Dirty|Shared_Clean):' "/proc/$KIVD_PID/smaps_rollup"
echo "== CPU (utime+stime, $TCK ticks/s)"
awk -v c="$((c1 - c0))" -v a="$t0" -v b="$t1" -v t="$TCK" 'BEGIN {
  w = b - a; s = c / t
  printf "window %.1f s wall, %.2f s CPU -> %.2f s CPU per hour\n", w, s, s * 3600 / w }'
echo "== per thread over the window (name, count, ticks, on-CPU ms from schedstat, share of the on-CPU time)"
awk 'NR == FNR { t0[$1] = $3; n0[$1] = $4; next }
  { bt[$2] += $3 - ($1 in t0 ? t0[$1] : 0); bn[$2] += $4 - ($1 in n0 ? n0[$1] : 0); c[$2]++; all += $4 - ($1 in n0 ? n0[$1] : 0) }
  END { for (k in bn) printf "%-14s x%-2d %5d ticks %9.1f ms %5.1f%%\n", k, c[k], bt[k], bn[k] / 1e6, all ? 100 * bn[k] / all : 0 }' \
  "$root/threads0" "$root/threads1" | sort -k5 -n -r
echo "== the features worked"
echo "kivd.log lines: $(wc -l < "$root/log/kivd.log")"
grep -E "Thread [0-9]: |datapoint" "$root/log/kivd.log" | sort | uniq -c | head -20
sqlq() { ip netns exec "$KD_NS" mariadb --no-defaults --socket="$DBDIR/mysqld.sock" -u"$(id -un)" -N smarthouse -e "$1" 2>/dev/null; }
rows=0
for t in $(sqlq "SHOW TABLES"); do rows=$((rows + $(sqlq "SELECT COUNT(*) FROM \`$t\`"))); done
echo "database rows: $rows"
echo "knxd tunnel connections closed: $(grep -c 'Stop Conn' "$root/log/knxd.log" || true)"
echo "knx group writes heard on the bus: $(grep -c '^Write from' "$root/log/knx-writes.txt" || true)"
echo "house at the end: $(head -c 600 "$root/log/house.json" 2>/dev/null)"
grep -E "error|failed" "$root/log/kivd.log" | sort | uniq -c | sort -rn | head -5 || true
