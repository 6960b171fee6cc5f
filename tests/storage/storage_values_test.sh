#!/usr/bin/env bash
# The storage reader against a simulated inverter of each kind: requests byte
# layout, logon, and every published value (seen through the debug lines).
source "$(dirname "$0")/storage_lib.sh"

new_sandbox
INI_DEBUG=1 write_ini "$STORAGE_INI"
R=$SANDBOX/rec
start_sim "$R.1" --device si6 --soc 72 --bat-temp 251 --bat-voltage 53120 --bat-current -12340 \
  --ac-power -1500 --ac-voltage 230120,231000,229500 --frequency 49980 --firmware 3.10.5.4
check "simulator up" test -n "$SIM_PID"
start_kivd
check "start line" wait_log "Thread 5: Starting storage system reader...$" 5
check "type line" wait_log "Storage: Sunny Island / Sunny Boy Storage$" 5
check "no request before the 11-second wait" bash -c "sleep 9; ! test -s '$R.1'"
check "first cycle: AC frequency" wait_more "SS thread: get AC frequency" 0 10
sleep 0.5
check "serial" grep -q "SS thread: get serial no. 3012345678$" "$LOG"
check "firmware" grep -q "SS thread: get comm version 03.10.05.R$" "$LOG"
check "device name" grep -q "SS thread: get device name Sunny Island 6.0H-11$" "$LOG"
check "SOC" grep -q "SS thread: get SOC 72$" "$LOG"
check "battery kind 1" grep -q "SS thread: get temp, voltage, current 251, 53120, -12340$" "$LOG"
check "AC power" grep -q "SS thread: get AC power -1500$" "$LOG"
check "AC voltages" grep -q "SS thread: get AC volage 230120 231000 229500$" "$LOG"
check "frequency" grep -q "SS thread: get AC frequency 49980$" "$LOG"
check "request order 1..11" test "$(rec_ids "$R.1")" = "1 2 3 4 5 6 7 8 9 10 11"
check "every request laid out right" rec_check "$R.1" 'all(x["faults"] == [] for x in r)'
check "request sizes" rec_check "$R.1" '[x["size"] for x in r] == [58, 54, 78] + [58] * 7 + [54]'
check "logon: user group 7, 900 s, factory password, current time" rec_check "$R.1" \
  'r[2]["group"] == 7 and r[2]["timeout"] == 900 and r[2]["password"] == "0000" and abs(r[2]["time"] - r[2]["t"]) < 3 and r[2]["accepted"]'
check "application serial 8xx/9xx million, same in the cycle" rec_check "$R.1" \
  '800000000 < r[0]["src_serial"] < 1000000000 and len({x["src_serial"] for x in r}) == 1'
check "commands and ranges" rec_check "$R.1" \
  '[(x["command"], x["first"], x.get("last")) for x in r[3:10]] == [("0x58000200", "0x00823400", "0x008234FF"), ("0x58000200", "0x00821E00", "0x008220FF"), ("0x51000200", "0x00295A00", "0x00295AFF"), ("0x51000200", "0x00491E00", "0x00495DFF"), ("0x51000200", "0x00263F00", "0x00263FFF"), ("0x51000200", "0x00464800", "0x004652FF"), ("0x51000200", "0x00465700", "0x004657FF")]'
check "no failure lines" test "$(count_log 'SS thread: (sendto|recvfrom|no valid|Get |Packet|Logon)')" -eq 0

# --- Sunny Boy Storage 2.5, no-value current ---------------------------------
n=$(count_log "SS thread: get AC frequency")
start_sim "$R.2" --device sbs25 --soc 64 --bat-voltage 49870 --bat-current 0x80000000 --ac-power 2300 \
  --ac-voltage 229000,0,0 --frequency 50010
check "second cycle" wait_more "SS thread: get AC frequency" "$n" 20
sleep 0.5
check "SBS device name" grep -q "SS thread: get device name Sunny Boy Storage 2.5$" "$LOG"
check "SBS battery: no temperature, no-value current as 0" grep -q "SS thread: get temp, voltage, current 0, 49870, 0$" "$LOG"
check "SBS SOC, power, frequency" bash -c "grep -q 'get SOC 64$' '$LOG' && grep -q 'get AC power 2300$' '$LOG' && grep -q 'get AC frequency 50010$' '$LOG'"
check "new application serial per cycle" test "$(python3 -c "import json,sys; print(json.loads(open('$R.1').readline())['src_serial'] != json.loads(open('$R.2').readline())['src_serial'])")" = True

# --- Sunny Island 8.0H-13 -----------------------------------------------------
n=$(count_log "SS thread: get AC frequency")
start_sim "$R.3" --device si813 --soc 15 --bat-temp 187 --bat-voltage 51230 --bat-current 8000 --frequency 49950
check "third cycle" wait_more "SS thread: get AC frequency" "$n" 20
sleep 0.5
check "SI 8.0H-13 name" grep -q "SS thread: get device name Sunny Island 8.0H-13$" "$LOG"
check "SI 8.0H-13 battery one record further" grep -q "SS thread: get temp, voltage, current 187, 51230, 8000$" "$LOG"

# --- an unknown device: battery values 0, the rest still read -----------------
n=$(count_log "SS thread: get AC frequency")
start_sim "$R.4" --device unknown --soc 33 --ac-power 120 --frequency 50020
check "fourth cycle" wait_more "SS thread: get AC frequency" "$n" 20
sleep 0.5
check "unknown device text" grep -q "SS thread: get device name unknown device: 24 99$" "$LOG"
check "unknown device: battery 0" grep -q "SS thread: get temp, voltage, current 0, 0, 0$" "$LOG"
check "unknown device: SOC, power, frequency" bash -c "grep -q 'get SOC 33$' '$LOG' && grep -q 'get AC power 120$' '$LOG' && grep -q 'get AC frequency 50020$' '$LOG'"
check "unknown device: full cycle" test "$(rec_ids "$R.4")" = "1 2 3 4 5 6 7 8 9 10 11"

kill -TERM "$DAEMON_PID"
check "stop lines" wait_log "STOP: Global sockets closed.$" 2
check "daemon gone" wait_gone "$DAEMON_PID" 5
stop_sim
finish
