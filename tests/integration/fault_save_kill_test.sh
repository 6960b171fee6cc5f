#!/usr/bin/env bash
# SIGKILL in the middle of a settings save, of the request's child and of the
# daemon together with it, at random moments: the configuration file is
# always the old or the new one, whole, never a mix or a cut. The next start
# removes the copies that a save or an install cut short left behind.
source "$KIVD_SRC/tests/integration/lib.sh"
PORT=18022
URL=http://127.0.0.1:$PORT
KILLER="python3 $KIVD_SRC/tests/integration/save_kill.py"
CHILD_ROUNDS=${FAULT_CHILD_ROUNDS:-40}
DAEMON_ROUNDS=${FAULT_DAEMON_ROUNDS:-8}

new_sandbox
INI=$SANDBOX/etc/kivd.ini
write_ini "[WEBSERVER]
PORT=$PORT
[MYSQL]
PORT=3306"
BODY_A='StartMode=manual&ManualValue=16020&WallboxUsing=true&WallboxIP=10.0.0.1&MysqlPort=3301&KNXInterval=45'
BODY_B='StartMode=surplus&ManualValue=10000&WallboxUsing=true&WallboxIP=10.0.0.2&MysqlPort=3302&KNXInterval=30'
# A save is answered with a redirect whose query names the outcome.
save() { curl -s -o /dev/null -w '%{redirect_url}' --max-time 10 -d "$1" "$URL/settings" | grep -q 'saved=1$'; }
web_count() { count_log "Thread 2: Starting webserver...$"; }

start_kivd
check "web server started" wait_log "Thread 2: Starting webserver...$" 5

# The two files every save must leave: A's and B's, each saved over the other.
save "$BODY_A" && save "$BODY_B" && save "$BODY_A" && cp "$INI" "$SANDBOX/ref.a"
save "$BODY_B" && cp "$INI" "$SANDBOX/ref.b"
check "reference files differ" bash -c "! cmp -s '$SANDBOX/ref.a' '$SANDBOX/ref.b'"
# parses FILE PORT: an INI file whose [mysql] port is PORT and whose [log]
# section still names this sandbox's log.
parses() { python3 - "$@" "$LOG" <<'PY2'
import configparser, sys
c = configparser.ConfigParser(strict=False, interpolation=None, inline_comment_prefixes=(";", "#"))
c.read(sys.argv[1])
sys.exit(0 if c["mysql"]["port"].strip('"') == sys.argv[2] and c["log"]["log_file"].strip('"') == sys.argv[3] else 1)
PY2
}
check "reference A parses and holds its values" parses "$SANDBOX/ref.a" 3301
check "reference B parses and holds its values" parses "$SANDBOX/ref.b" 3302
ini_is_a_or_b() { cmp -s "$INI" "$SANDBOX/ref.a" || cmp -s "$INI" "$SANDBOX/ref.b"; }

# How long one save takes from the child's fork to its end bounds the kill
# moments: a child lives a few milliseconds.
t0=$(date +%s%N); save "$BODY_A"; t1=$(date +%s%N)
SPAN=$(( (t1 - t0) / 1000000 + 2 ))
echo "# one save: about $((SPAN - 2)) ms; kills spread over 0..$SPAN ms"

# outcome REF: counts the round as "new" when the file is REF, else "old".
new=0; old=0
outcome() { if cmp -s "$INI" "$1"; then new=$((new + 1)); else old=$((old + 1)); fi; }
bad=0; killed=0
for i in $(seq 1 "$CHILD_ROUNDS"); do
  if [ $((i % 2)) -eq 0 ]; then body=$BODY_A; ref=a; else body=$BODY_B; ref=b; fi
  r=$($KILLER child "$DAEMON_PID" "$PORT" "$body" "$SPAN")
  [ "$r" = killed ] && killed=$((killed + 1))
  ini_is_a_or_b || { bad=$((bad + 1)); cp "$INI" "$SANDBOX/bad.child.$i"; }
  outcome "$SANDBOX/ref.$ref"
done
echo "# child killed during $killed of $CHILD_ROUNDS saves: $old kept the old file, $new had the new one"
check "child killed: file always old or new ($bad bad)" test "$bad" -eq 0
check "child killed: some kills hit a running save" test "$killed" -ge 1
check "child killed: daemon alive" kill -0 "$DAEMON_PID"
check "child killed: daemon still saves" save "$BODY_A"
check "child killed: saved file is A" cmp -s "$INI" "$SANDBOX/ref.a"

# A save cut short by a crash long ago: the next start removes it.
echo "half a save" > "$SANDBOX/etc/.kivd.ini.zzzzzz"
# The same for an install: only the updater's own unfinished copies of the
# program go; a link, another name and a copy still locked by a writer stay.
mkdir -p "$SANDBOX/bin"
echo "half a program" > "$SANDBOX/bin/.kivd.new.Zq3x9A"
echo precious > "$SANDBOX/precious"
ln -s "$SANDBOX/precious" "$SANDBOX/bin/.kivd.new.Sym0l1"
echo other > "$SANDBOX/bin/.kivd.new.toolong"
echo writing > "$SANDBOX/bin/.kivd.new.Lk4y7B"
( exec 9< "$SANDBOX/bin/.kivd.new.Lk4y7B"; flock 9; exec sleep 60 ) & LOCK_HOLDER=$!
bad=0; killed=0; new=0; old=0
for i in $(seq 1 "$DAEMON_ROUNDS"); do
  if [ $((i % 2)) -eq 0 ]; then body=$BODY_A; ref=a; else body=$BODY_B; ref=b; fi
  r=$($KILLER daemon "$DAEMON_PID" "$PORT" "$body" "$SPAN")
  [ "$r" = killed ] && killed=$((killed + 1))
  wait_gone "$DAEMON_PID" 5
  ini_is_a_or_b || { bad=$((bad + 1)); cp "$INI" "$SANDBOX/bad.daemon.$i"; }
  outcome "$SANDBOX/ref.$ref"
  # A killed daemon leaves its PID file (unlocked now); the next one takes it.
  n=$(web_count)
  rm -f "$PIDFILE"
  start_kivd
  for _ in $(seq 1 50); do [ "$(web_count)" -gt "$n" ] && break; sleep 0.1; done
done
echo "# daemon killed during $killed of $DAEMON_ROUNDS saves: $old kept the old file, $new had the new one"
check "daemon killed: file always old or new ($bad bad)" test "$bad" -eq 0
check "daemon killed: restarted daemon reads the file" bash -c "curl -s --max-time 5 '$URL/settings' | grep -qE 'value=\"330[12]\"'"
check "daemon killed: restarted daemon saves" save "$BODY_B"
check "daemon killed: saved file is B" cmp -s "$INI" "$SANDBOX/ref.b"
check "start removes unfinished saves" grep -q "Settings: unfinished save $SANDBOX/etc/.kivd.ini.zzzzzz removed" "$LOG"
check "no temporaries left once restarted" test "$(find "$SANDBOX/etc" -name '.kivd.ini.*' | wc -l)" -eq 0
check "only the configuration in etc" test "$(find "$SANDBOX/etc" -type f ! -name kivd.ini | wc -l)" -eq 0
check "start removes an install's unfinished copy" bash -c "[ ! -e '$SANDBOX/bin/.kivd.new.Zq3x9A' ] && grep -q 'KIV update: unfinished copy $SANDBOX/bin/.kivd.new.Zq3x9A of an install cut short removed' '$LOG'"
check "start leaves links, other names and a locked copy" bash -c "[ -L '$SANDBOX/bin/.kivd.new.Sym0l1' ] && [ -f '$SANDBOX/precious' ] && [ -f '$SANDBOX/bin/.kivd.new.toolong' ] && [ -f '$SANDBOX/bin/.kivd.new.Lk4y7B' ]"
kill "$LOCK_HOLDER" 2>/dev/null; wait "$LOCK_HOLDER" 2>/dev/null
kill -TERM "$DAEMON_PID"; wait_gone "$DAEMON_PID" 5
finish
