#!/usr/bin/env bash
# The info and control pages in headless Chromium: scripts run without
# errors, the info page's values follow the simulated meter without a reload
# and turn stale when it stops, the form's scripts enable the right inputs, submitting the form
# changes the daemon's mode; a page from a second origin (another port) that
# posts a form and loads an image URL to the daemon is refused. Screenshots
# go to the build folder.
source "$KIVD_SRC/tests/integration/lib.sh"
if [ ! -x /usr/lib/chromium/chromium ]; then echo "chromium not installed: skipped"; exit 77; fi
PORT=18001
new_sandbox
# The pages only need the wallbox switched on: pointed at 127.0.0.1, the
# daemon hears its own commands back as plain-text answers, so no exchange
# waits for a device. The meter is the simulated one on loopback, sent by the
# driver; the stylesheet and the info page's scripts come from the resources
# folder.
mkdir -p "$SANDBOX/usr/local/kiv"
cp -r "$KIVD_SRC/resources" "$SANDBOX/usr/local/kiv/resources"
INI_METER=TRUE write_ini "TYPE=sma
HOST=239.12.255.254
PORT=9522
TIMEOUT=5
[SMA]
SERIAL=1900000001
[WALLBOX]
USING=TRUE
HOST=127.0.0.1
[WEBSERVER]
PORT=$PORT"
# A point of the day chart every second; the update check finds no server on
# this host.
export KIVD_TEST_HOOKS=1 KIVD_TEST_SQL_SECONDS=1
export KIVD_UPDATE_HOST=localhost
start_kivd
check "web server started" wait_log "Thread 2: Starting webserver...$" 5
check "meter in SMA mode" wait_log "Energymeter: Starting in SMA multicast UDP mode" 5
sleep 1.3   # the meter joins the group a second after its start
OUT=$KIVD_BUILD/test-artifacts/web
timeout 120 python3 "$KIVD_SRC/tests/web/cdp_drive.py" "http://127.0.0.1:$PORT" "$OUT"
check "browser checks" test $? -eq 0
check "screenshots saved" test -s "$OUT/control_page.png" -a -s "$OUT/info_page.png"

# Another site in the same namespace: its page posts the control form and
# loads /restart as an image.
EVIL=$SANDBOX/evil
mkdir -p "$EVIL"
cat > "$EVIL/index.html" <<HTML
<html><body><img src="http://127.0.0.1:$PORT/restart">
<form id="f" method="post" action="http://127.0.0.1:$PORT/control"><input name="WebChargingMode" value="0"></form>
<script>setTimeout(() => document.getElementById('f').submit(), 300)</script></body></html>
HTML
cat > "$EVIL/nav.html" <<HTML
<html><head><meta name="referrer" content="no-referrer"></head>
<body><script>location = 'http://127.0.0.1:$PORT/remote?mode=manual&x=.css'</script></body></html>
HTML
python3 -m http.server 18002 --bind 127.0.0.1 --directory "$EVIL" >/dev/null 2>&1 &
EVIL_PID=$!
STARTED_PIDS+=("$EVIL_PID")
for _ in $(seq 1 50); do curl -s -o /dev/null "http://127.0.0.1:18002/" && break; sleep 0.1; done
timeout 60 python3 "$KIVD_SRC/tests/web/cdp_drive.py" "http://127.0.0.1:$PORT" "$OUT" cross-site "http://127.0.0.1:18002/"
check "second origin refused, own pages working" test $? -eq 0
check "the three cross-site requests logged" test "$(count_log 'cross-site request refused')" -ge 3
check "the no-referrer navigation refused" test "$(count_log 'cross-site request refused .*: /remote\?mode=manual')" -eq 1
check "no restart from the image" test "$(count_log 'Restart kivd daemon initiated')" -eq 0
kill -TERM "$EVIL_PID"; wait "$EVIL_PID" 2>/dev/null
kill -TERM "$DAEMON_PID"; wait_gone "$DAEMON_PID" 5
finish
