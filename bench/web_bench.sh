#!/usr/bin/env bash
# Web server benchmark: the real daemon in a sandbox, and as the reference
# busybox httpd serving copies of the daemon's own /xml and / answers, both
# in one private network namespace on loopback, measured in the same run.
#   bench/web_bench.sh [BUILD_DIR] [COUNT]     (COUNT sequential requests per path, default 5000)
#   bench/web_bench.sh BUILD_DIR SECONDS slow  (4 concurrent /xml clients for SECONDS beside a
#                                               client that sends its request slowly; kivd only)
#   bench/web_bench.sh BUILD_DIR SECONDS dribble (4 /xml clients beside 64 clients from 64 loopback
#                                               addresses that send a byte a second each; kivd only)
# KIVD_BENCH_NICE=-10 runs servers and client at that niceness (root only), so
# that other builds on a shared machine inflate the tail latency less.
set -u
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/.." && pwd)
build=${1:-$src/build}
count=${2:-5000}
mode=${3:-}
command -v busybox > /dev/null || { echo "busybox not installed (scripts/setup.sh)"; exit 1; }
exec nice -n "${KIVD_BENCH_NICE:-0}" env KIVD_NO_PEERS=1 KIVD_SRC="$src" KIVD_BUILD="$build" KIVD_BIN="$build/kivd" COUNT="$count" MODE="$mode" \
  "$src/tests/tools/netns-run.sh" bash -c '
source "$KIVD_SRC/tests/integration/lib.sh"
new_sandbox
# No wallbox: with no route to its host the first command would end the daemon.
write_ini "[WALLBOX]
USING=FALSE
[STORAGESYSTEM]
USING=FALSE
[WEBSERVER]
PORT=18001"
start_kivd
wait_log "Thread 2: Starting webserver" 5 || { echo "daemon did not start"; cat "$LOG"; exit 1; }
sleep 0.5
if [ "$MODE" = slow ] || [ "$MODE" = dribble ]; then
  echo "kivd PID $DAEMON_PID; $(nproc) cores, load $(cut -d" " -f1-3 /proc/loadavg)"
  if [ "$MODE" = slow ]; then
    python3 "$KIVD_SRC/bench/web_bench.py" --under-slow 4 "$COUNT" "kivd:18001:$DAEMON_PID:/xml"; rc=$?
  else
    python3 "$KIVD_SRC/bench/web_bench.py" --under-dribble 4 64 "$COUNT" "kivd:18001:$DAEMON_PID:/xml"; rc=$?
  fi
  echo "load after: $(cut -d" " -f1-3 /proc/loadavg)"
  kill -TERM "$DAEMON_PID"; wait_gone "$DAEMON_PID" 5
  rm -rf "$SANDBOX"
  exit $rc
fi
# The reference serves the same bytes the daemon answers (bodies only).
mkdir -p "$SANDBOX/www"
curl -sf -o "$SANDBOX/www/xml" http://127.0.0.1:18001/xml && curl -sf -o "$SANDBOX/www/index.html" http://127.0.0.1:18001/ \
  || { echo "daemon did not answer"; cat "$LOG"; exit 1; }
busybox httpd -f -p 127.0.0.1:18002 -h "$SANDBOX/www" &
REF_PID=$!
sleep 0.3
echo "kivd PID $DAEMON_PID; busybox httpd PID $REF_PID; $(nproc) cores, load $(cut -d" " -f1-3 /proc/loadavg)"
python3 "$KIVD_SRC/bench/web_bench.py" "$COUNT" "kivd:18001:$DAEMON_PID:/xml,/" "busybox:18002:$REF_PID:/xml,/index.html"; rc=$?
echo "load after: $(cut -d" " -f1-3 /proc/loadavg)"
[ $rc -eq 0 ] || { echo "--- kivd log ---"; tail -20 "$LOG"; }
kill -TERM "$REF_PID"; wait "$REF_PID" 2> /dev/null
kill -TERM "$DAEMON_PID"; wait_gone "$DAEMON_PID" 5
rm -rf "$SANDBOX"
exit $rc'
