#!/usr/bin/env bash
# Web server benchmark against the real daemon in a sandbox, inside a private
# network namespace: bench/web_bench.sh [BUILD_DIR] [COUNT]
set -u
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/.." && pwd)
build=${1:-$src/build}
count=${2:-3000}
exec env KIVD_NO_PEERS=1 KIVD_SRC="$src" KIVD_BUILD="$build" KIVD_BIN="$build/kivd" COUNT="$count" \
  "$src/tests/tools/netns-run.sh" bash -c '
source "$KIVD_SRC/tests/integration/lib.sh"
new_sandbox
write_ini "[WALLBOX]
USING=TRUE
[STORAGESYSTEM]
USING=FALSE
[WEBSERVER]
PORT=18001"
start_kivd
wait_log "Thread 2: Starting webserver" 5 || { echo "daemon did not start"; exit 1; }
sleep 0.5
python3 "$KIVD_SRC/bench/web_bench.py" 18001 "$DAEMON_PID" "$COUNT"; rc=$?
kill -TERM "$DAEMON_PID"; wait_gone "$DAEMON_PID" 5
rm -rf "$SANDBOX"
exit $rc'
