#!/usr/bin/env bash
# Runs kivd in a sandbox: its own KIVD_ROOT folder and a private network
# namespace, so nothing it sends can leave the machine. Ctrl-C stops it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"

root=$(mktemp -d /tmp/kivd-demo.XXXXXX)
mkdir -p "$root/etc" "$root/log"
cat > "$root/etc/kivd.ini" <<INI
[LOG]
LOG_DIR=$root/log
LOG_FILE=$root/log/kivd.log
PID_FILE=$root/log/kivd.pid
[SMARTMETER]
USING=FALSE
INI
echo "demo: sandbox $root, log $root/log/kivd.log"
exec unshare -n bash -c '
  set -u
  ip link set lo up
  root=$1
  KIVD_ROOT=$root ./build/kivd
  sleep 0.5
  pid=$(cat "$root/log/kivd.pid")
  trap "kill -TERM $pid 2>/dev/null; sleep 0.5; rm -rf \"$root\"; exit 0" INT TERM
  tail -n +1 -f "$root/log/kivd.log" &
  while kill -0 "$pid" 2>/dev/null; do sleep 1; done' demo "$root"
