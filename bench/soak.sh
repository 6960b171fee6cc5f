#!/usr/bin/env bash
# Soak run: kivd with every subsystem on (SMA meter, KEBA wallbox, storage,
# MariaDB logging, KNX datapoints) against the simulated house for MINUTES,
# sampling the daemon's resident memory, descriptors and threads, and the
# control cycles it completes. Prints a summary at the end.
#
# Everything runs in private network namespaces (bench/house_rig.sh); nothing
# can leave the machine. Not part of the tests.
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
SAMPLE=${SOAK_SAMPLE:-30}

RIG_NAME=soak RIG_DEBUG=1 RIG_KNX_INTERVAL=10 RIG_KNX_DPTS="1 2 3 4 5 8 11 12 15 18 20 22 25"
RIG_MINUTES=$MINUTES RIG_KEEP=${SOAK_KEEP:-0}
RIG_HOUSE_ARGS=(--speed "${SOAK_SPEED:-10}" --start "${SOAK_START:-08:00}" --status-every 60)
source "$here/house_rig.sh"
rig_start
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
