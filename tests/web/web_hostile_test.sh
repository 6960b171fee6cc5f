#!/usr/bin/env bash
# Hostile and broken clients against the real daemon's web server (headers
# of 100 KB, bodies without or short of their length, clients gone in the
# middle, encoded traversal, markup in every echoed field), then
# 10,000 mixed requests, after which its descriptors, children and resident
# memory are back where they were.
source "$KIVD_SRC/tests/integration/lib.sh"
PORT=18001

new_sandbox
write_ini "[WALLBOX]
USING=TRUE
HOST=127.0.0.1
[WEBSERVER]
PORT=$PORT"
mkdir -p "$SANDBOX/usr/local/kiv/resources"
printf 'body {}\n' > "$SANDBOX/usr/local/kiv/resources/style.css"
for f in usr/local/secret.css usr/secret.css secret.css usr/local/kiv/secret.css; do
  printf 'SECRET-7f3a\n' > "$SANDBOX/$f"
done
ln -s "$SANDBOX/usr/local/secret.css" "$SANDBOX/usr/local/kiv/resources/link.css"
start_kivd
check "web server started" wait_log "Thread 2: Starting webserver...$" 5
sleep 0.5
python3 "$KIVD_SRC/tests/web/hostile_http.py" "$PORT" "$DAEMON_PID" "$SANDBOX" "${KIVD_HOSTILE_COUNT:-10000}"
check "hostile clients and the mixed run" test $? -eq 0
check "daemon alive" kill -0 "$DAEMON_PID"
check "no waitpid errors" test "$(count_log 'error waitpid')" -eq 0
check "settings unchanged" bash -c "grep -q '^PORT=$PORT$' '$SANDBOX/etc/kivd.ini'"
kill -TERM "$DAEMON_PID"; wait_gone "$DAEMON_PID" 5
finish
