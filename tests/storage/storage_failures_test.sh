#!/usr/bin/env bash
# The storage reader against a failing inverter: refused logon, silence,
# wrong packet ids, foreign senders, short answers; and a stop in the middle
# of a receive.
source "$(dirname "$0")/storage_lib.sh"

new_sandbox
INI_DEBUG=1 write_ini "$STORAGE_INI"
R=$SANDBOX/rec
export KIVD_TEST_HOOKS=1

# --- refused logon: no value requests -----------------------------------------
start_sim "$R.1" --password 1234
start_kivd
check "refused logon logged" wait_log "SS thread: Logon failed$" 20
sleep 0.5
check "refused logon: identify, logoff, logon, logoff only" test "$(rec_ids "$R.1")" = "1 2 3 4"
check "refused logon: factory password sent" rec_check "$R.1" 'r[2]["password"] == "0000" and not r[2]["accepted"]'
check "refused logon: no values" test "$(count_log 'SS thread: get (SOC|AC)')" -eq 0

# --- silent device -------------------------------------------------------------
n=$(count_log "SS thread: recvfrom\(\) failed$")
start_sim "$R.2" --fault silent
check "silent: recvfrom failed" wait_more "SS thread: recvfrom\(\) failed$" "$n" 25
sleep 0.5
check "silent: identify and logoff only" test "$(rec_ids "$R.2")" = "1 2"
t1=$(grep "SS thread: recvfrom() failed" "$LOG" | tail -1 | cut -c1-24)
check "silent: every 11 s plus 5 s" wait_more "SS thread: recvfrom\(\) failed$" "$((n + 1))" 20
t2=$(grep "SS thread: recvfrom() failed" "$LOG" | tail -1 | cut -c1-24)
gap=$(( $(date -d "$t2" +%s) - $(date -d "$t1" +%s) ))
check "silent: cycles 16 s apart (was $gap)" test "$gap" -ge 15 -a "$gap" -le 18

# --- wrong packet ids in the value answers: each logged, cycle goes on ----------
n=$(count_log "SS thread: Get inverter frequency failed")
start_sim "$R.3" --fault wrong_id --fault-ids 4,5,6,7,8,9,10
check "wrong ids: frequency mismatch" wait_more "SS thread: Get inverter frequency failed" "$n" 25
sleep 0.5
for pair in "software version:4" "inverter type:5" "SOC:6" "bat param:7" "inverter power:8" "inverter voltage:9" "inverter frequency:10"; do
  what=${pair%:*}; id=${pair#*:}
  check "wrong id line for $what" grep -q "SS thread: Get $what failed. Packet ID mismatch. Expected $id, received $((id + 7))$" "$LOG"
done
check "wrong ids: all requests still sent" test "$(rec_ids "$R.3")" = "1 2 3 4 5 6 7 8 9 10 11"

# --- wrong packet id in the logon answer ----------------------------------------
n=$(count_log "SS thread: Packet ID mismatch")
start_sim "$R.4" --fault wrong_id --fault-ids 3
check "logon id mismatch" wait_more "SS thread: Packet ID mismatch. Expected 3, received 10$" "$n" 25
sleep 0.5
check "logon id mismatch: logoff, no values" test "$(rec_ids "$R.4")" = "1 2 3 4"

# --- identify answer from a foreign address only: passed over until the time-out --
n=$(count_log "SS thread: no valid answer \(first request\)$")
r=$(count_log "SS thread: recvfrom\(\) failed$")
start_sim "$R.5" --fault foreign --fault-ids 1
check "foreign identify" wait_more "SS thread: no valid answer \(first request\)$" "$n" 25
check "foreign identify: waited until the time-out" wait_more "SS thread: recvfrom\(\) failed$" "$r" 10
sleep 0.5
check "foreign identify: logoff, end" test "$(rec_ids "$R.5")" = "1 2"

# --- value answer from a foreign address, then the answer; short answers --------
n=$(count_log "SS thread: get AC frequency")
start_sim "$R.6" --fault foreign_first --fault-ids 1,8 --ac-power 777
check "foreign power answer: cycle ends" wait_more "SS thread: get AC frequency" "$n" 25
check "foreign power answer" grep -q "SS thread: no valid answer (inverter power)$" "$LOG"
check "foreign power answer passed over, the answer taken" test "$(count_log 'SS thread: get AC power 777$')" -eq 1

n=$(count_log "SS thread: get AC frequency")
start_sim "$R.7" --fault short --fault-ids 5,6,7,9 --soc 99
check "short answers: cycle ends" wait_more "SS thread: get AC frequency" "$n" 25
sleep 0.5
for what in "inverter type" "SOC" "bat param" "inverter voltage"; do
  check "short answer: $what" grep -q "SS thread: no valid answer ($what)$" "$LOG"
done
check "short SOC answer not read" test "$(count_log 'SS thread: get SOC 99$')" -eq 0

n=$(count_log "SS thread: no valid answer \(login request\)$")
start_sim "$R.8" --fault short --fault-ids 3
check "short logon answer" wait_more "SS thread: no valid answer \(login request\)$" "$n" 25
sleep 0.5
check "short logon answer: logoff, no values" test "$(rec_ids "$R.8")" = "1 2 3 4"

# --- a restart while the reader waits for an answer: joined at once ------------
start_sim "$R.9" --fault silent
: > "$R.9"
for _ in $(seq 1 200); do [ -s "$R.9" ] && break; sleep 0.1; done
check "identify sent to the silent device" test -s "$R.9"
kill -USR1 "$DAEMON_PID"
# main looks at the flag once a second; a receive that ignored the stop would
# hold the join for its whole 5 s time-out. 4 s leaves room for a sanitizer
# build on a busy machine and still tells the two apart.
check "threads joined within 4 s during a receive" wait_log "Threads joined...$" 4
check "still running" kill -0 "$DAEMON_PID"
kill -TERM "$DAEMON_PID"
check "daemon gone" wait_gone "$DAEMON_PID" 5
stop_sim
finish
