#!/usr/bin/env bash
# Resident memory and CPU time of kivd against the simulated house with every
# feature on: SMA meter, KEBA wallbox and storage (sim/house.py), the
# database logger against a throwaway MariaDB and KNX against a local knxd,
# all in private network namespaces (bench/house_rig.sh).
#
# Run as root from the source tree: bench/house_soak_figures.sh [MINUTES] [BUILD_DIR]
# Prints RSS/PSS samples each minute, then the figures: RSS and PSS from
# /proc/PID/status and smaps_rollup, process CPU time (utime+stime) over the
# window scaled to one hour, and the share of each thread (by name).
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
MINUTES=${1:-10}
build=${2:-$src/build}
TCK=$(getconf CLK_TCK)

RIG_NAME=perf RIG_DEBUG=0 RIG_KNX_INTERVAL=30 RIG_KNX_DPTS="4 5 8 11 12 15 18 20 22 25" RIG_MINUTES=$MINUTES
source "$src/bench/house_rig.sh"
RIG_HOUSE_ARGS=(--quiet --status "$root/log/house.json")
rig_before_kivd() {  # what reaches the bus
  ip netns exec "$KD_NS" knxtool groupsocketlisten "local:$KNXD_SOCK" > "$root/log/knx-writes.txt" 2>&1 &
  RIG_PIDS+=($!)
}
rig_start

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
