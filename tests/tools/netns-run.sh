#!/usr/bin/env bash
# Runs a command inside a private network namespace that has only loopback,
# with the real peers the tests need already serving inside it:
#   MariaDB on 127.0.0.1:3307   (KIVD_TEST_MYSQL_PORT)
#   knxd KNXnet/IP tunnelling on 127.0.0.1:3671 (KNXD_URL for knxtool)
# Nothing started here can reach any other host. Exit status is the command's.
#
# Usage: tests/tools/netns-run.sh COMMAND [ARGS...]
if [ -z "${KIVD_NETNS_INNER:-}" ]; then
  exec unshare -n env KIVD_NETNS_INNER=1 "$0" "$@"
fi
set -u
here=$(cd "$(dirname "$0")" && pwd)
ip link set lo up
ip route add 224.0.0.0/4 dev lo src 127.0.0.1 2>/dev/null || true

work=$(mktemp -d /tmp/kivd-peers.XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null; done
  [ -n "${DBDIR:-}" ] && "$here/mariadb-down.sh" "$DBDIR" >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT

if [ -z "${KIVD_NO_PEERS:-}" ]; then
  if command -v mariadbd >/dev/null; then
    DBDIR=$("$here/mariadb-up.sh" "$work/mariadb" | sed -n 's/^DIR=//p') || DBDIR=""
    [ -n "$DBDIR" ] && export KIVD_TEST_MYSQL_PORT=3307
  fi
  if command -v knxd >/dev/null; then
    knxd -e 0.0.1 -E 0.0.2:8 -n kivd-test -u "$work/knxd.sock" -f9 -t0x3ff \
         -D -T -R -I lo -S -b dummy: > "$work/knxd.log" 2>&1 &
    pids+=($!)
    for _ in $(seq 1 50); do
      [ -S "$work/knxd.sock" ] && break
      sleep 0.1
    done
    export KNXD_URL="local:$work/knxd.sock" KNXD_LOG="$work/knxd.log" KIVD_TEST_KNX_PORT=3671
  fi
fi

"$@"
