#!/usr/bin/env bash
# Runs one integration test script and afterwards stops every process it left
# behind (daemons detach, so they escape the script's process group). The
# processes are found by a marker in their environment, and stopped by PID.
# Usage: run-integration.sh [--own-netns] SCRIPT
#   --own-netns: run in a new network namespace with only loopback (and the
#   multicast route on it), so the test shares no port with any other.
if [ "${1:-}" = "--own-netns" ]; then
  shift
  exec unshare -n bash -c 'ip link set lo up && ip route add 224.0.0.0/4 dev lo src 127.0.0.1 && exec bash "$0" "$@"' "$0" "$@"
fi
marker=kivd-it-$$-$RANDOM
export KIVD_TEST_RUN=$marker
bash "$1"
rc=$?
export -n KIVD_TEST_RUN
leftovers=()
for env in /proc/[0-9]*/environ; do
  pid=${env#/proc/}; pid=${pid%/environ}
  [ "$pid" = "$$" ] && continue
  if { tr '\0' '\n' < "$env"; } 2>/dev/null | grep -qx "KIVD_TEST_RUN=$marker"; then
    leftovers+=("$pid")
  fi
done
if [ ${#leftovers[@]} -gt 0 ]; then
  echo "run-integration: stopping processes the test left running: ${leftovers[*]}"
  kill -TERM "${leftovers[@]}" 2>/dev/null
  sleep 1
  kill -KILL "${leftovers[@]}" 2>/dev/null
fi
# The next test may need the same ports: wait until they are really gone
# (a zombie waiting for its reaper holds nothing any more).
for pid in "${leftovers[@]}"; do
  for _ in $(seq 1 100); do
    state=$(awk '{print $3}' "/proc/$pid/stat" 2>/dev/null) || break
    [ "$state" = Z ] && break
    sleep 0.05
  done
done
exit $rc
