#!/usr/bin/env bash
# Failures of the reader's socket set-up, made by a preloaded shim: each is
# logged and the cycle goes on, except the address read-back, which ends the
# daemon.
source "$(dirname "$0")/storage_lib.sh"

# A sanitizer build's runtime must come first in the preload list.
SANITIZER_RUNTIME=$(ldd "$KIVD_BIN" | awk '/lib(a|t)san\.so/ {printf "%s ", $3}')

SHIM_DIR=$(mktemp -d /tmp/kivd-shim.XXXXXX)
cc -shared -fPIC -O1 -o "$SHIM_DIR/shim.so" "$(dirname "$0")/socket_fault_shim.c" -ldl
check "shim built" test -f "$SHIM_DIR/shim.so"

# run_with_fault STEP: a fresh daemon whose socket set-up fails at STEP.
run_with_fault() {
  new_sandbox
  INI_DEBUG=1 write_ini "$STORAGE_INI"
  KIVD_SHIM_FAIL=$1 LD_PRELOAD="$SANITIZER_RUNTIME$SHIM_DIR/shim.so" start_kivd
}

start_sim "$SHIM_DIR/rec.1"
for step in "sndtimeo:SS thread: cannot set SO_SNDTIMEO for socket" \
            "rcvtimeo:SS thread: cannot set SO_RCVTIMEO for socket" \
            "bind:SS thread: local bind failed"; do
  run_with_fault "${step%%:*}"
  check "${step%%:*}: line" wait_log "${step#*:}$" 20
  check "${step%%:*}: the cycle goes on and reads the values" wait_log "SS thread: get AC frequency 49980$" 5
  kill -TERM "$DAEMON_PID"; wait_gone "$DAEMON_PID" 5
done

run_with_fault socket
check "socket: line" wait_log "SS thread: socket\(\) failed$" 20
check "socket: first send fails, cycle ends" wait_log "SS thread: sendto failed \(first request\)$" 2
check "socket: daemon keeps running" kill -0 "$DAEMON_PID"
kill -TERM "$DAEMON_PID"; wait_gone "$DAEMON_PID" 5

run_with_fault getsockname
check "getsockname: line" wait_log "SS thread: getsockname failed$" 20
check "getsockname: the daemon ends" wait_gone "$DAEMON_PID" 5
check "getsockname: no request sent" test "$(count_log 'SS thread: (get |sendto)')" -eq 0

stop_sim
rm -rf "$SHIM_DIR"
finish
