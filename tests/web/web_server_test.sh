#!/usr/bin/env bash
# The web server of the real daemon: status lines and headers, the XML
# status, the remote interface and the control form changing live values,
# the restart hand-over, refused traversal, hostile and broken requests.
source "$KIVD_SRC/tests/integration/lib.sh"
RAW="python3 $KIVD_SRC/tests/web/raw_http.py"
PORT=18001
URL=http://127.0.0.1:$PORT

new_sandbox
# The pages only need the wallbox switched on: pointed at 127.0.0.1, the
# daemon hears its own commands back as plain-text answers, so no exchange
# waits for a device.
INI_DEBUG=1 write_ini "[WALLBOX]
USING=TRUE
HOST=127.0.0.1
[WEBSERVER]
PORT=$PORT"
# Hand-over files left from an earlier run are never applied.
mkdir -m 700 "$SANDBOX/log/kivd.d"
printf 'action=restart&mode=off' > "$SANDBOX/log/kivd.d/kivd.var"
printf 'restart' > "$SANDBOX/log/kivd.d/kivd.act"
mkdir -p "$SANDBOX/usr/local/kiv/resources"
printf 'body {}\n' > "$SANDBOX/usr/local/kiv/resources/style.css"
printf 'SECRET\n' > "$SANDBOX/usr/local/secret.css"
ln -s "$SANDBOX/usr/local/secret.css" "$SANDBOX/usr/local/kiv/resources/link.css"
start_kivd
check "web server started" wait_log "Thread 2: Starting webserver...$" 5
check "stale hand-over files removed" bash -c "sleep 0.3; ! test -e '$SANDBOX/log/kivd.d/kivd.var' && ! test -e '$SANDBOX/log/kivd.d/kivd.act'"

xml() { curl -s --max-time 10 "$URL/xml"; }
xml_value() {  # xml_value XPATH (ElementTree path below GetValues)
  xml | python3 -c "import sys,xml.etree.ElementTree as E; print(E.fromstring(sys.stdin.buffer.read()).findtext('$1'))"
}

# --- status line, header block, XML ------------------------------------
curl -s -i --max-time 10 "$URL/XML" > "$SANDBOX/a1"
check "200 with reason phrase" grep -q $'^HTTP/1.1 200 OK\r$' "$SANDBOX/a1"
check "date header with calendar year" grep -qE $'^Date: [A-Z][a-z]{2}, [0-9]{2} [A-Z][a-z]{2} '"$(date -u +%Y)"$' [0-9:]{8} GMT\r$' "$SANDBOX/a1"
check "server header" grep -q $'^Server: dovireruzida/1.0\r$' "$SANDBOX/a1"
check "connection close" grep -q $'^Connection: close\r$' "$SANDBOX/a1"
check "xml content type" grep -q $'^Content-Type: text/xml; charset=utf-8\r$' "$SANDBOX/a1"
xml > "$SANDBOX/x1"
check "xml well-formed (xmllint)" xmllint --noout "$SANDBOX/x1"
check "xml not started" grep -q $'\t<LastKIVReceive>00.00.0000 00:00:00</LastKIVReceive>' "$SANDBOX/x1"
check "xml start mode surplus" test "$(xml_value EV/Charging/ChargingMode)" = SURPLUS
check "stale restart not applied" test "$(count_log 'Restart kivd daemon initiated')" -eq 0
curl -s -i --max-time 10 "$URL/api/status" > "$SANDBOX/j1"
check "status json content type" grep -q $'^Content-Type: application/json\r$' "$SANDBOX/j1"
check "status json parses, meter unused and stale" bash -c "sed '1,/^\r\$/d' '$SANDBOX/j1' | python3 -c \
  'import json,sys; m = json.load(sys.stdin)[\"meter\"]; sys.exit(0 if m[\"used\"] is False and m[\"stale\"] else 1)'"

# --- remote interface ---------------------------------------------------
curl -s --max-time 10 "$URL/remote?mode=quick&carmaxphases=3" > "$SANDBOX/r1"
check "remote answer" test "$(cat "$SANDBOX/r1")" = "$(printf '<?xml version="1.0" encoding="UTF-8" ?>\n<RemoteControl>\n\t<set name="mode">quick</set>\n\t<set name="carmaxphases">3</set>\n\t<parameters>successful</parameters>\n</RemoteControl>')"
check "remote applied: quick" test "$(xml_value EV/Charging/ChargingMode)" = QUICK
check "remote applied: phases" test "$(xml_value EV/Charging/MaxPhases)" = 3
check "remote hand-over logged" grep -q "Webserver: parent get interop string: carmaxphases=3$" "$LOG"
Q198="carmincharge=7980&z=$(printf 'z%.0s' $(seq 1 178))"
check "198-character query" test ${#Q198} -eq 198
curl -s --max-time 10 "$URL/remote?$Q198" > /dev/null
check "198 applied" test "$(xml_value EV/Charging/MinCharge)" = 7980
curl -s --max-time 10 "$URL/remote?carmincharge=9000&${Q198:18}z" > "$SANDBOX/r2"
check "199 refused" grep -q "parameter string is too long" "$SANDBOX/r2"
check "199 not applied" test "$(xml_value EV/Charging/MinCharge)" = 7980
curl -s --max-time 10 "$URL/remote?CarMaxPhases=2" > "$SANDBOX/r4"
check "remote name in capitals: not in the answer" grep -q "no valid parameter found" "$SANDBOX/r4"
check "remote name in capitals: applied by the daemon" test "$(xml_value EV/Charging/MaxPhases)" = 2
curl -s --max-time 10 "$URL/remote?carmaxphases=3" > /dev/null
curl -s --max-time 10 "$URL/remote?action=%3Cscript%3E<b>" > "$SANDBOX/r3"
check "remote answer with hostile action stays well-formed" xmllint --noout "$SANDBOX/r3"

# --- control page -------------------------------------------------------
check "control page" bash -c "curl -s --max-time 10 '$URL/control' | grep -q 'value=\"1\" type=\"radio\" checked=\"checked\" />&nbsp;&nbsp;QUICK'"
# Another site's form, posted by the browser: refused, nothing changed; the
# same post without browser headers (below) is applied.
code=$(curl -s -o "$SANDBOX/x2" -w '%{http_code}' --max-time 10 -H 'Sec-Fetch-Site: cross-site' -d 'WebChargingMode=2' "$URL/control")
check "cross-site POST /control is 403" test "$code" = 403
check "cross-site POST logged" wait_log "Webserver: cross-site request refused \(Sec-Fetch-Site\): /control$" 5
check "cross-site POST changed nothing" test "$(xml_value EV/Charging/ChargingMode)" = QUICK
curl -sL --max-time 10 -d 'WebChargingMode=2&ManualValue=16020&MinCharge=6000&MaxPhases=1' "$URL/control" > "$SANDBOX/c1"
check "control POST succeeded" grep -q "Operation succeeded." "$SANDBOX/c1"
check "control POST page shows manual" grep -q 'value="2" type="radio" checked="checked" />&nbsp;&nbsp;MANUAL' "$SANDBOX/c1"
check "control applied: manual" test "$(xml_value EV/Charging/ChargingMode)" = MANUAL
check "control applied: current" test "$(xml_value EV/Charging/ManualCurrent)" = 16020
check "control applied: safety" test "$(xml_value EV/Charging/SafetyCurrent)" = 6000
LONG="WebChargingMode=3&x=$(printf 'x%.0s' $(seq 1 180))"
curl -sL --max-time 10 -d "$LONG" "$URL/control" > "$SANDBOX/c2"
check "199-character body refused" grep -q "Operation failed, nothing was changed." "$SANDBOX/c2"
check "199 body not applied" test "$(xml_value EV/Charging/ChargingMode)" = MANUAL

# --- errors, escaping, traversal ----------------------------------------
check "404 reason" bash -c "curl -s -i --max-time 10 '$URL/nothing' | grep -q \$'^HTTP/1.1 404 Not Found\r\$'"
check "501 for PUT" bash -c "curl -s -i -X PUT --max-time 10 '$URL/' | grep -q \$'^HTTP/1.1 501 Not Implemented\r\$'"
$RAW $PORT 'GET /<script>alert(1)</script>.x HTTP/1.1\r\n\r\n' > "$SANDBOX/e1"
check "hostile resource escaped" grep -q '/&lt;script&gt;alert(1)&lt;/script&gt;.x was not found' "$SANDBOX/e1"
check "no raw script" bash -c "! grep -q '<script>' '$SANDBOX/e1'"
check "static file served" bash -c "curl -s --max-time 10 '$URL/style.css' | grep -q 'body {}'"
for t in '/../secret.css' '/..%2fsecret.css' '/..\\secret.css' '/link.css' 'X/../../secret.css'; do
  $RAW $PORT "GET $t HTTP/1.1\\r\\n\\r\\n" > "$SANDBOX/t1"
  check "traversal refused: $t" bash -c "! grep -q SECRET '$SANDBOX/t1'"
done
check "simple request: no header block" bash -c "$RAW $PORT 'GET /home\r\n' | head -c 6 | grep -q '<HTML>'"

# --- broken requests: dropped, the server keeps serving -----------------
$RAW $PORT "$(python3 -c 'import random; random.seed(7); print("".join("\\\\x%02x" % random.randrange(256) for _ in range(3000)))')" > /dev/null
check "garbage answered or dropped" test $? -ne 2
check "oversized request line is 400" bash -c "$RAW $PORT 'GET /$(printf 'a%.0s' $(seq 1 3000)) HTTP/1.1\r\n\r\n' | grep -q \$'^HTTP/1.1 400 Bad Request\r\$'"
$RAW $PORT 'POST /control HTTP/1.1\r\nContent-Length: 99999999999\r\n\r\nWebChargingMode=3' > "$SANDBOX/b1"
check "absurd content length refused" grep -q $'^HTTP/1.1 400 Bad Request\r$' "$SANDBOX/b1"
# A client that sends nothing holds the server for 5 s, then gets no answer.
start=$SECONDS
$RAW $PORT '' --wait 12 > "$SANDBOX/s1"
check "silent client closed after about 5 s without answer" bash -c "test ! -s '$SANDBOX/s1' && test $((SECONDS - start)) -ge 4 && test $((SECONDS - start)) -le 8"
$RAW $PORT 'GET / HTTP/1.1\r\nHost: x\r\n' --wait 12 > "$SANDBOX/s2"
check "incomplete head gets no answer" test ! -s "$SANDBOX/s2"
check "still serving after broken requests" test "$(xml_value Version)" = 2.6.107
check "values survived" test "$(xml_value EV/Charging/ChargingMode)" = MANUAL

# --- restart through the browser ----------------------------------------
curl -s -I --max-time 10 "$URL/restart" > /dev/null
sleep 0.5
check "HEAD /restart raises nothing" test "$(count_log 'Restart kivd daemon initiated')" -eq 0
code=$(curl -s -o /dev/null -w '%{http_code}' --max-time 10 -H 'Sec-Fetch-Site: cross-site' "$URL/restart")
check "cross-site GET /restart is 403" test "$code" = 403
sleep 0.5
check "cross-site GET /restart raises nothing" test "$(count_log 'Restart kivd daemon initiated')" -eq 0
curl -s --max-time 10 "$URL/restart" > /dev/null
check "restart initiated" wait_log "Restart kivd daemon initiated...$" 5
check "restart cycle runs" wait_log "Threads joined...$" 10
check "reachable during the restart" test "$(xml_value Version)" = 2.6.107
check "second pass" wait_log "Restart or update daemon \(wait 10s\)...$" 5
check "threads started again" bash -c "for i in \$(seq 1 150); do [ \$(grep -c 'Thread 6: ' '$LOG') -ge 2 ] && exit 0; sleep 0.1; done; exit 1"
check "web server started only once" test "$(count_log 'Thread 2: Starting webserver')" -eq 1
check "values back to configured start" test "$(xml_value EV/Charging/ChargingMode)" = SURPLUS

# --- update without an unpacked update keeps the server ------------------
curl -s --max-time 10 "$URL/update" > /dev/null
check "update without files ignored" wait_log "Webserver: update request ignored, $SANDBOX/log/kivd.d/kivupdate/bin/kiv_updater not found$" 5
check "still serving after update request" test "$(xml_value Version)" = 2.6.107

check "no zombie children" bash -c "! ps -o stat= --ppid $DAEMON_PID | grep -q Z"
check "no waitpid errors" test "$(count_log 'error waitpid')" -eq 0
check "daemon alive" kill -0 "$DAEMON_PID"
kill -TERM "$DAEMON_PID"; wait_gone "$DAEMON_PID" 5

# --- planted hand-over and update files, a failed and a good update --------
new_sandbox
write_ini "[WEBSERVER]
PORT=$PORT"
UPD_DIR=$SANDBOX/log/kivd.d/kivupdate/bin
mkdir -p -m 700 "$SANDBOX/log/kivd.d" && mkdir -p "$UPD_DIR"
cat > "$UPD_DIR/kiv_updater" <<'SH'
#!/bin/sh
echo "$$" > "$(dirname "$0")/ran"
SH
touch "$UPD_DIR/kivd"
start_kivd
wait_log "Thread 2: Starting webserver...$" 5
if [ "$(id -u)" = 0 ]; then
  # Files another user planted are neither read nor run.
  printf 'restart' > "$SANDBOX/log/kivd.d/kivd.act" && chown 65534 "$SANDBOX/log/kivd.d/kivd.act"
  # /xml is answered without a child: the hand-over is looked at after one.
  curl -s --max-time 10 "$URL/log" > /dev/null
  check "planted kivd.act removed unread" wait_log "Webserver: $SANDBOX/log/kivd.d/kivd.act not written by this service, removed unread$" 5
  check "planted kivd.act not obeyed" test "$(count_log 'Restart kivd daemon initiated')" -eq 0
  chown 65534 "$UPD_DIR/kiv_updater"
  curl -s --max-time 10 "$URL/update" > /dev/null
  check "planted updater not run" wait_log "Webserver: update request ignored, $UPD_DIR/kiv_updater owned by another user$" 5
  chown 0 "$UPD_DIR/kiv_updater"
fi
# An updater that cannot be executed: the daemon goes on, web server included.
chmod 644 "$UPD_DIR/kiv_updater"
curl -s --max-time 10 "$URL/update" > /dev/null
check "failed update logged" wait_log "KIV update: cannot execute $UPD_DIR/kiv_updater: Permission denied, failed!$" 20
check "web server started again" bash -c "for i in \$(seq 1 200); do [ \$(grep -c 'Thread 2: Starting webserver' '$LOG') -eq 2 ] && exit 0; sleep 0.1; done; exit 1"
check "serving after the failed update" bash -c "for i in \$(seq 1 50); do curl -s --max-time 2 '$URL/xml' | grep -q GetValues && exit 0; sleep 0.1; done; exit 1"
chmod 755 "$UPD_DIR/kiv_updater"
curl -s --max-time 10 "$URL/update" > /dev/null
check "update initiated" bash -c "for i in \$(seq 1 50); do [ \$(grep -c 'Update kivd daemon initiated' '$LOG') -eq 2 ] && exit 0; sleep 0.1; done; exit 1"
check "updater started in the daemon's process" bash -c "for i in \$(seq 1 300); do [ -s '$UPD_DIR/ran' ] && exit 0; sleep 0.1; done; exit 1"
check "updater kept the pid" test "$(cat "$UPD_DIR/ran" 2>/dev/null)" = "$DAEMON_PID"

# --- a database that accepts and never answers ---------------------------
# The history page waits on its own thread within its deadline; /xml and
# the other pages are answered meanwhile.
new_sandbox
write_ini "[MYSQL]
USING=TRUE
HOST=127.0.0.1
PORT=18399
[WEBSERVER]
PORT=$PORT"
python3 -c "import socket,time; s=socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1); s.bind(('127.0.0.1', 18399)); s.listen(64); open('$SANDBOX/mute','w').close(); c=[s.accept() for _ in range(40)]; time.sleep(30)" &
mute=$!
STARTED_PIDS+=("$mute")
for _ in $(seq 1 50); do [ -e "$SANDBOX/mute" ] && break; sleep 0.1; done
start_kivd
wait_log "Thread 2: Starting webserver...$" 5
hist=()
for i in 1 2 3; do
  curl -s -o "$SANDBOX/h$i" -w '%{time_total}' --max-time 20 "$URL/history?days=2" > "$SANDBOX/t$i" &
  hist+=($!)
done
sleep 0.5
check "xml answered beside three waiting history pages" test "$(curl -s -o /dev/null -w '%{http_code}' --max-time 1 "$URL/xml")" = 200
wait "${hist[@]}"
check "history gives up within its deadline" python3 -c "import sys; sys.exit(0 if max(float(open('$SANDBOX/t%d' % i).read()) for i in (1, 2, 3)) < 16 else 1)"
check "history says the database could not be read" bash -c "cat '$SANDBOX'/h[123] | grep -q 'The database could not be read.'"
check "a history page queued past the deadline is told busy" bash -c "cat '$SANDBOX'/h[123] | grep -q 'is busy answering other requests'"
kill -TERM "$DAEMON_PID"; wait_gone "$DAEMON_PID" 5
kill "$mute" 2>/dev/null; wait "$mute" 2>/dev/null

# --- the port is taken: the daemon ends with the bind failure -------------
new_sandbox
write_ini "[WEBSERVER]
PORT=$PORT"
python3 -c "import socket,time; s=socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1); s.bind(('0.0.0.0', $PORT)); s.listen(1); open('$SANDBOX/held','w').close(); time.sleep(8)" &
holder=$!
for _ in $(seq 1 50); do [ -e "$SANDBOX/held" ] && break; sleep 0.1; done
start_kivd
check "bind failure logged" wait_log "Webserver: Couldn't bind listening socket, again. Now exit!$" 5
check "quit by the failure" wait_log "STOP: Quit signal catched.$" 5
check "daemon ended" wait_gone "$DAEMON_PID" 5
kill "$holder" 2>/dev/null; wait "$holder" 2>/dev/null
finish
