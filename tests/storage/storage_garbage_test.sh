#!/usr/bin/env bash
# The storage reader against an inverter answering garbage: random bytes in
# place of answers, and random values behind a good header. Each is logged
# or read as numbers, the cycle goes on, nothing ends the daemon. Beside
# the failures test, in a namespace of its own, so both run at once.
source "$(dirname "$0")/storage_lib.sh"

new_sandbox
INI_DEBUG=1 write_ini "$STORAGE_INI"
R=$SANDBOX/rec
export KIVD_TEST_HOOKS=1

# --- random bytes for the SOC and power answers ----------------------------------
start_sim "$R.1" --fault garbage --fault-ids 6,8 --soc 98
start_kivd
check "garbage answers: cycle ends" wait_log "SS thread: get AC frequency" 25
# Which line depends on the bytes: too short, or a foreign packet id.
check "garbage answer: SOC logged" grep -qE "SS thread: (no valid answer \(SOC\)|Get SOC failed\. Packet ID mismatch\. Expected 6, received [0-9]+)$" "$LOG"
check "garbage answer: power logged" grep -qE "SS thread: (no valid answer \(inverter power\)|Get inverter power failed\. Packet ID mismatch\. Expected 8, received [0-9]+)$" "$LOG"
check "garbage SOC not read" test "$(count_log 'SS thread: get SOC 98$')" -eq 0
check "garbage answers: all requests still sent" test "$(rec_ids "$R.1")" = "1 2 3 4 5 6 7 8 9 10 11"

# --- random values behind good headers: read as numbers, never a crash ----------
n=$(count_log "SS thread: get AC frequency")
start_sim "$R.2" --fault garbled --fault-ids 1,4,5,6,7,8,9
check "garbled values: cycle ends" wait_more "SS thread: get AC frequency" "$n" 25
check "garbled values: all requests still sent" test "$(rec_ids "$R.2")" = "1 2 3 4 5 6 7 8 9 10 11"
check "garbled values: daemon alive" kill -0 "$DAEMON_PID"

# --- good answers again: values as before ---------------------------------------
start_sim "$R.3" --soc 97
check "good again: SOC read" wait_more "SS thread: get SOC 97$" 0 25
kill -TERM "$DAEMON_PID"
check "daemon gone" wait_gone "$DAEMON_PID" 5
stop_sim
finish
