# Sourced by deb_package_test.sh as process 1 of a PID namespace with its own
# mount namespace: starts the unpacked daemon the way systemd does (as the
# child of process 1, so it stays in the foreground) with the first-start
# defaults, whose log and PID paths lie in /tmp, here a folder of the test.
# When this script ends, the kernel ends every process of the namespace.
set -u
# The test's folder may itself lie below /tmp (a clone there): keep it in
# view through a mount outside /tmp before /tmp is replaced.
VIEW=$(mktemp -d /run/kivd-pkgtest.XXXXXX)
mount --bind "$WORK" "$VIEW"
trap 'umount -l "$VIEW" 2>/dev/null; rmdir "$VIEW"' EXIT
WORK=$VIEW
ROOT=$VIEW/root
mount --bind "$WORK/tmp" /tmp
mkdir -p "$ROOT/etc"
export KIVD_ROOT=$ROOT
LOG=/tmp/kivd.log
TEST_FAILS=0

"$ROOT/bin/kivd" > "$WORK/stdout" 2>&1 &
pid=$!
check "defaults written on the first start" wait_log "Thread 6: " 10
check "settings file in place" grep -q '^\[WEBSERVER\]' "$ROOT/etc/kivd.ini"
check "resources found" grep -q "Extended webserver resources found$" "$LOG"
check "stays in the foreground: the started process is the daemon" \
  test "$(readlink "/proc/$pid/exe")" = "$ROOT/bin/kivd"
check "no PID file" test ! -e /tmp/kivd.pid

get() { curl -s --max-time 5 "http://127.0.0.1:18001$1"; }
check "favicon served as shipped" bash -c \
  "curl -s --max-time 5 http://127.0.0.1:18001/favicon.ico | cmp -s - '$ROOT/usr/local/kiv/resources/favicon.ico'"
check "info page links the favicon" bash -c "$(declare -f get); get / | grep -qF 'href=\"favicon.ico\"'"
check "program's version is the package's" bash -c \
  "$(declare -f get); get /missing | grep -qF 'Embedded kiv server $VERSION at Port 18001'"

# An update whose updater cannot be started leaves the process as it was:
# still ended by SIGTERM, which a service manager's stop relies on.
mkdir -p /tmp/kivd.d/kivupdate/bin
cp "$ROOT/bin/kivd" /tmp/kivd.d/kivupdate/bin/kivd
echo "not a program" > /tmp/kivd.d/kivupdate/bin/kiv_updater
get /update > /dev/null
check "failed update goes on as a restart" wait_log "Restart or update daemon" 10
check "next pass running" bash -c \
  "for i in \$(seq 1 150); do [ \$(grep -c 'Thread 6: ' '$LOG') -eq 2 ] && exit 0; sleep 0.1; done; exit 1"

kill -TERM "$pid"
for _ in $(seq 1 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
kill -KILL "$pid" 2>/dev/null
wait "$pid"
rc=$?
check "SIGTERM ends it by its default action" test "$rc" -eq $((128 + 15))
check "no handler ran" bash -c "! grep -q 'STOP:' '$LOG'"
check "nothing on stdout or stderr" test ! -s "$WORK/stdout"
[ "$TEST_FAILS" -gt 0 ] && cat "$LOG"
[ "$TEST_FAILS" -eq 0 ]
