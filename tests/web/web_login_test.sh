#!/usr/bin/env bash
# The web password: kivd-passwd writes a hash the daemon accepts (the file
# staying private), scripts pass with curl -u and get 401 without, and in
# Chromium the login page refuses a wrong password, takes the right one and
# its session ends after the (test-shortened) idle time.
source "$KIVD_SRC/tests/integration/lib.sh"
PORT=18001
SESSION_SECONDS=3
new_sandbox
write_ini "[WALLBOX]
USING=TRUE
HOST=127.0.0.1
[WEBSERVER]
PORT=$PORT"
chmod 0640 "$SANDBOX/etc/kivd.ini"
printf 'pa55 word\n' | "$KIVD_BUILD/kivd-passwd"
check "kivd-passwd succeeded" test $? -eq 0
check "hash written" grep -qE '^password_hash += \$y\$' "$SANDBOX/etc/kivd.ini"
check "file mode kept" test "$(stat -c %a "$SANDBOX/etc/kivd.ini")" = 640
check "other keys kept" grep -qE "^port += $PORT$" "$SANDBOX/etc/kivd.ini"
printf '' | "$KIVD_BUILD/kivd-passwd" 2>/dev/null
check "empty password refused" test $? -ne 0

export KIVD_TEST_HOOKS=1 KIVD_TEST_SESSION_SECONDS=$SESSION_SECONDS
start_kivd
check "web server started" wait_log "Thread 2: Starting webserver...$" 5
sleep 0.3
URL=http://127.0.0.1:$PORT
check "info page open" test "$(curl -s -o /dev/null -w '%{http_code}' "$URL/")" = 200
check "remote without password: 401" test "$(curl -s -o /dev/null -w '%{http_code}' "$URL/remote?mode=quick")" = 401
# Every route of the table against the gate, also with a static suffix in the query.
for t in /control /control?x=.png "/remote?mode=off&x=.css" /settings /settings?x=.css /knx?.js /log /restart \
         /clearlog /checkupdate /update "/download?url=http://localhost/a.css" /history /history?x=.css /x.html \
         /day_chart.js?x /nothing.css?x; do
  check "without password: $t 401" test "$(curl -s -o /dev/null -w '%{http_code}' "$URL$t")" = 401
done
for t in / /home /xml /api/status /api/day /live_values.js /favicon.ico; do
  check "open without password: $t" test "$(curl -s -o /dev/null -w '%{http_code}' "$URL$t")" = 200
done
check "remote with curl -u" bash -c "curl -s -u ':pa55 word' '$URL/remote?mode=quick' | grep -q '<'"
check "remote command applied" bash -c "curl -s '$URL/xml' | grep -q '<ChargingMode>QUICK<'"
check "wrong password logged" bash -c "curl -s -o /dev/null -u ':nope' '$URL/log'; grep -q 'wrong password from 127.0.0.1' '$LOG'"

if [ -x /usr/lib/chromium/chromium ]; then
  timeout 90 python3 "$KIVD_SRC/tests/web/cdp_drive.py" "$URL" "$KIVD_BUILD/test-artifacts/web" login 'pa55 word' "$SESSION_SECONDS"
  check "browser login flow" test $? -eq 0
else
  echo "chromium not installed: browser part skipped"
fi
kill -TERM "$DAEMON_PID"; wait_gone "$DAEMON_PID" 5
finish
