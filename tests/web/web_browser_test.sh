#!/usr/bin/env bash
# The info and control pages in headless Chromium: scripts run without
# errors, the form's scripts enable the right inputs, submitting the form
# changes the daemon's mode. Screenshots go to the build folder.
source "$KIVD_SRC/tests/integration/lib.sh"
if [ ! -x /usr/lib/chromium/chromium ]; then echo "chromium not installed: skipped"; exit 77; fi
PORT=18001
new_sandbox
# The pages only need the wallbox switched on: pointed at 127.0.0.1, the
# daemon hears its own commands back as plain-text answers, so no exchange
# waits for a device.
write_ini "[WALLBOX]
USING=TRUE
HOST=127.0.0.1
[WEBSERVER]
PORT=$PORT"
start_kivd
check "web server started" wait_log "Thread 2: Starting webserver...$" 5
sleep 0.3
OUT=$KIVD_BUILD/test-artifacts/web
timeout 120 python3 "$KIVD_SRC/tests/web/cdp_drive.py" "http://127.0.0.1:$PORT" "$OUT"
check "browser checks" test $? -eq 0
check "screenshots saved" test -s "$OUT/control_page.png" -a -s "$OUT/info_page.png"
kill -TERM "$DAEMON_PID"; wait_gone "$DAEMON_PID" 5
finish
