#!/usr/bin/env bash
# The settings and KNX pages in headless Chromium against the real daemon:
# the scripts' effects and alerts, and the submitted forms in the file.
# Screenshots go to the build folder.
source "$KIVD_SRC/tests/integration/lib.sh"
if [ ! -x /usr/lib/chromium/chromium ]; then echo "chromium not installed: skipped"; exit 77; fi
PORT=18012
new_sandbox
write_ini "[WEBSERVER]
PORT=$PORT"
mkdir -p "$SANDBOX/usr/local/kiv/resources"
cp "$KIVD_SRC/resources/kivd.css" "$SANDBOX/usr/local/kiv/resources/"
start_kivd
check "web server started" wait_log "Thread 2: Starting webserver...$" 5
sleep 0.3
OUT=$KIVD_BUILD/test-artifacts/web
timeout 120 python3 "$KIVD_SRC/tests/web/settings_browser.py" "http://127.0.0.1:$PORT" "$OUT" "$SANDBOX/etc/kivd.ini"
check "browser checks" test $? -eq 0
check "screenshots saved" test -s "$OUT/settings_page.png" -a -s "$OUT/knx_page.png"
kill -TERM "$DAEMON_PID"; wait_gone "$DAEMON_PID" 5
finish
