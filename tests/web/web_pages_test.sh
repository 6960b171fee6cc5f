#!/usr/bin/env bash
# The log, settings and update pages of the real daemon over HTTP: settings
# and KNX forms written into the file, the log page, clearing and archiving
# the log, and the self-update from check to the new daemon's start, against
# a local update server reached as "localhost".
source "$KIVD_SRC/tests/integration/lib.sh"
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY no_proxy NO_PROXY
PORT=18011
URL=http://127.0.0.1:$PORT
SERVER="python3 $KIVD_SRC/tests/web/update_server.py"
BUILT_KIVD=${KIVD_BIN:-$KIVD_BUILD/kivd}
UPD=${KIV_UPDATER_BIN:-$KIVD_BUILD/kiv_updater}
get() { curl -s --max-time 60 "$URL$1"; }

new_sandbox
INI="$SANDBOX/etc/kivd.ini"
# The test's own maker key: the update server serves archives signed with it.
KEYTOOL=$KIVD_SRC/scripts/update-key.sh
PUB=$("$KEYTOOL" new "$SANDBOX/maker.pem")
"$KEYTOOL" new "$SANDBOX/other.pem" > /dev/null
sign() { for f in "$@"; do "$KEYTOOL" sign "$SANDBOX/maker.pem" "$SANDBOX/www/$f"; done; }
write_ini "[WEBSERVER]
PORT=$PORT
UPDATE_KEY=$PUB
[MYSQL]
PORT=3306
SECRET_KEY=kept"
mkdir -p "$SANDBOX/bin" "$SANDBOX/usr/local" "$SANDBOX/www/updates"
cp "$BUILT_KIVD" "$SANDBOX/bin/kivd" && printf 'MARK:old' >> "$SANDBOX/bin/kivd"
export KIVD_UPDATE_HOST=localhost
# The updater keeps the new program once it stayed up 2 s, not a minute.
export KIVD_TEST_HOOKS=1 KIV_UPDATER_SETTLE_SECONDS=2
KIVD_BIN=$SANDBOX/bin/kivd
start_kivd
check "web server started" wait_log "Thread 2: Starting webserver...$" 5

# --- settings -----------------------------------------------------------------
chmod 640 "$INI"
get /settings > "$SANDBOX/s1"
check "settings page shows the file's port" grep -q 'name="MysqlPort" size="6" maxlength="5" style="text-align:center" value="3306"' "$SANDBOX/s1"
check "settings page has the save button" grep -q 'value="Save settings"' "$SANDBOX/s1"
curl -sL --max-time 10 -d 'StartMode=manual&ManualValue=16020&WallboxUsing=true&WallboxIP=127.0.0.1&MysqlPort=3307&MysqlPassword=s3cr%26t&KNXInterval=45&SmartmeterType=OEM' "$URL/settings" > "$SANDBOX/s2"
check "settings saved message" grep -q '<font color="#00C000">Settings successfully saved. Restart the service to apply the configuration settings!</font>' "$SANDBOX/s2"
check "page after the save shows the new port" grep -q 'value="3307"' "$SANDBOX/s2"
ini() { python3 - "$INI" "$1" "$2" <<'PY'
import sys
path, sect, key = sys.argv[1:]
cur = None
for line in open(path):
    s = line.strip()
    if s.startswith('['):
        cur = s[1:s.index(']')]
    elif '=' in s and cur == sect and s.split('=', 1)[0].strip() == key:
        print(s.split('=', 1)[1].strip().strip('"'))
        break
PY
}
check "ini: mysql port" test "$(ini mysql port)" = 3307
check "ini: mode kept by the save" test "$(stat -c %a "$INI")" = 640
check "ini: start mode" test "$(ini infrastructure startmode)" = MANUAL
check "ini: manual current" test "$(ini infrastructure manualcurrent)" = 16020
check "ini: wallbox using" test "$(ini wallbox using)" = TRUE
check "ini: wallbox host" test "$(ini wallbox host)" = 127.0.0.1
check "ini: unticked storage stored FALSE" test "$(ini storagesystem using)" = FALSE
check "ini: meter type" test "$(ini smartmeter type)" = OEM
check "ini: unknown key kept" test "$(ini mysql secret_key)" = kept
check "ini: log settings kept" test "$(ini log log_file)" = "$LOG"
check "password not in the log" bash -c "! grep -q 's3cr' '$LOG'"
check "ini: typed password stored" test "$(ini mysql password)" = 's3cr&t'
check "password not in the page" bash -c "! grep -q 's3cr' '$SANDBOX/s2'"
curl -s --max-time 10 -d 'StartMode=manual&ManualValue=16020&WallboxUsing=true&WallboxIP=127.0.0.1&MysqlPort=3307&MysqlPassword=&KNXInterval=45&SmartmeterType=OEM' "$URL/settings" > /dev/null
check "ini: empty password field keeps it" test "$(ini mysql password)" = 's3cr&t'
check "daemon keeps its running values" bash -c "curl -s --max-time 10 '$URL/' | grep -q . && ! curl -s -o /dev/null -w '%{http_code}' --max-time 10 '$URL/control' | grep -q 200"

# --- KNX ----------------------------------------------------------------------
check "KNX page" bash -c "curl -s --max-time 10 '$URL/knx' | grep -q 'name=\"g_11\" size=\"11\" maxlength=\"11\" style=\"text-align:center\" value=\"8/1/11\"'"
curl -sL --max-time 10 -d 'c_1=true&g_1=1%2F2%2F3&c_5=true&g_5=2%2F0%2F5&g_6=7%2F7%2F7' "$URL/knx" > "$SANDBOX/k1"
check "KNX saved message" grep -q 'Settings successfully saved. Restart the service to apply the knx configuration settings!' "$SANDBOX/k1"
check "ini: dpt_1 using" test "$(ini dpt_1 using)" = TRUE
check "ini: dpt_1 address" test "$(ini dpt_1 groupadr)" = 1/2/3
check "ini: dpt_5 address" test "$(ini dpt_5 groupadr)" = 2/0/5
check "ini: dpt_6 unticked" test "$(ini dpt_6 using)" = FALSE
check "KNX page shows the saved address" grep -q 'name="c_1" value="true" checked="true"' "$SANDBOX/k1"

# --- log page -----------------------------------------------------------------
printf 'marker 100%% %%s </textarea><b>x</b>\n' >> "$LOG"
get /log > "$SANDBOX/l1"
check "log page shows the daemon's lines" grep -q 'Thread 2: Starting webserver...' "$SANDBOX/l1"
check "log line escaped, per-cent kept" grep -q 'marker 100% %s &lt;/textarea&gt;&lt;b&gt;x&lt;/b&gt;' "$SANDBOX/l1"
check "one text area end only" test "$(grep -c '</textarea>' "$SANDBOX/l1")" -eq 1
for i in $(seq 1 400); do echo "filler $i"; done >> "$LOG"
get /log > "$SANDBOX/l2"
check "250 lines shown" test "$(sed -n '/<textarea/,/<\/textarea>/p' "$SANDBOX/l2" | grep -c 'filler')" -eq 250
check "the last line shown" grep -q '^filler 400$' "$SANDBOX/l2"
get /CLEARLOG > "$SANDBOX/l3"
check "clear log redirects to the log page" grep -q '<meta http-equiv="refresh" content="0;url=/log">' "$SANDBOX/l3"
check "log cleared" bash -c "! grep -q 'filler' '$LOG' 2>/dev/null"
# Just below the limit it is shown, at the limit archived.
python3 -c "import sys; sys.stdout.write(('y' * 99 + '\n') * 20479 + 'y' * 99)" > "$LOG"
check "2047999 bytes" test "$(stat -c %s "$LOG")" -eq 2047999
check "2047999 bytes shown" bash -c "curl -s --max-time 10 '$URL/log' | grep -q '^yyyy'"
printf '\n' >> "$LOG"
check "2048000 bytes" test "$(stat -c %s "$LOG")" -eq 2048000
get /log > "$SANDBOX/l4"
check "archived at 2048000" grep -q '^The log file has been compressed.$' "$SANDBOX/l4"
ARCH="$LOG-$(date +%Y%m%d).tar.gz"
check "archive named by date" test -s "$ARCH"
check "archive holds the whole log" test "$(tar xzOf "$ARCH" | wc -c)" -eq 2048000

# --- restart page -------------------------------------------------------------
get /restart > "$SANDBOX/r1"
check "restart page: 65 cells" test "$(grep -c '<span id="progress' "$SANDBOX/r1")" -eq 65
check "restart initiated" wait_log "Restart kivd daemon initiated...$" 5
check "threads restarted" wait_log "Thread 6: " 15

# --- update check -------------------------------------------------------------
SRV_PID=""
serve() {  # serve [--silent]
  [ -n "$SRV_PID" ] && { kill "$SRV_PID" 2>/dev/null; wait "$SRV_PID" 2>/dev/null; }
  $SERVER --root "$SANDBOX/www" --lifetime 280 "$@" &
  SRV_PID=$!
  STARTED_PIDS+=("$SRV_PID")
  for _ in $(seq 1 50); do
    (exec 3<>/dev/tcp/127.0.0.1/80) 2>/dev/null && return 0
    sleep 0.1
  done
}
descriptor() {  # descriptor MAJOR MINOR REVISION [URL]
  cat > "$SANDBOX/www/updates/kivupdate.xml" <<XML
<?xml version="1.0" encoding="UTF-8"?>
<kivupdate><date>2026-12-07</date><version><major>$1</major><minor>$2</minor><revision>$3</revision></version>
<changelog>Better charging &lt;script&gt;alert(1)&lt;/script&gt; at 100%</changelog>
<arm><filename>kivupdate.tar</filename><url>${4:-http://localhost/kivupdate.tar}</url></arm></kivupdate>
XML
}
serve
descriptor 2 6 107
check "same version: no update" bash -c "curl -s --max-time 20 '$URL/checkupdate' | grep -q '^Sorry, no update available!'"
descriptor 2 5 200
check "older version: no update" bash -c "curl -s --max-time 20 '$URL/checkupdate' | grep -q '^Sorry, no update available!'"
descriptor 2 7 0 "http://localhost/kivupdate.tar?a='b'"
get /checkupdate > "$SANDBOX/u1"
check "check: connected" grep -q '^Connected to 127.0.0.1$' "$SANDBOX/u1"
check "newer version offered" grep -q '^A new version is available!$' "$SANDBOX/u1"
check "version line" grep -q '^Version: 2.7.0$' "$SANDBOX/u1"
check "changelog escaped" grep -q '^Changelog: Better charging &lt;script&gt;alert(1)&lt;/script&gt; at 100%$' "$SANDBOX/u1"
check "download button" grep -q 'value="Download 2.7.0"data-onclick="ConfirmDownload"' "$SANDBOX/u1"
check "url escaped in the confirmation" grep -qF 'data-target="/download?url=http://localhost/kivupdate.tar?a=&#39;b&#39;"></BODY>' "$SANDBOX/u1"
printf '<html><body>404 Not Found</body></html>' > "$SANDBOX/www/updates/kivupdate.xml"
check "HTML answer refused" bash -c "curl -s --max-time 20 '$URL/checkupdate' | grep -q '^Error: no valid update information found, please try again later!'"
descriptor 2 7 0
sed -i 's#<revision>0</revision>##' "$SANDBOX/www/updates/kivupdate.xml"
check "missing element refused" bash -c "curl -s --max-time 20 '$URL/checkupdate' | grep -q '^Error: incorrect XML datagram, please try again later'"
rm "$SANDBOX/www/updates/kivupdate.xml"
check "404 from the server refused" bash -c "curl -s --max-time 20 '$URL/checkupdate' | grep -q '^Error: no valid update information found'"
serve --silent
t0=$SECONDS
get /checkupdate > "$SANDBOX/u2"
check "silent server: receive time-out" grep -q '^Error: receiving data (timeout), please try again later!' "$SANDBOX/u2"
check "silent server: about 5 s" test $((SECONDS - t0)) -ge 4 -a $((SECONDS - t0)) -le 9
check "silent server: home button" grep -q "value=\"Home\" data-href=\"/\"" "$SANDBOX/u2"
kill "$SRV_PID" 2>/dev/null; wait "$SRV_PID" 2>/dev/null; SRV_PID=""
check "no server: connect error" bash -c "curl -s --max-time 20 '$URL/checkupdate' | grep -q '^Error: could not connect!'"

# --- download -----------------------------------------------------------------
serve
PKG=$SANDBOX/pkg
mkdir -p "$PKG/bin" "$PKG/usr/local/kiv/resources"
cp "$BUILT_KIVD" "$PKG/bin/kivd" && printf 'MARK:new' >> "$PKG/bin/kivd"
cp "$UPD" "$PKG/bin/kiv_updater"
echo '<html>new resources</html>' > "$PKG/usr/local/kiv/resources/index.html"
tar cf "$SANDBOX/www/broken.tar" -C "$PKG" bin/kivd usr
tar cf "$SANDBOX/www/kivupdate.tar" -C "$PKG" bin usr
sign broken.tar kivupdate.tar
offer() {  # offer URL: an update check that offers the archive at URL
  descriptor 2 7 0 "$1"
  curl -s --max-time 20 "$URL/checkupdate" > /dev/null
}
check "download under another path: 404" test "$(curl -s -o /dev/null -w '%{http_code}' --max-time 10 "$URL/x/download?url=http://localhost/kivupdate.tar")" = 404
check "bad query: no valid url" bash -c "curl -s --max-time 10 '$URL/download?uri=http://localhost/kivupdate.tar' | grep -q '</head><body><PRE>Error: no valid url found'"
check "Download in capitals: 404" test "$(curl -s -o /dev/null -w '%{http_code}' --max-time 10 "$URL/Download?url=A")" = 404
check "query of 200 characters: too long" bash -c "curl -s --max-time 10 '$URL/download?url=http://localhost/$(printf 'a%.0s' $(seq 1 179))' | grep -q 'Error: url string is too long'"
rm -f /tmp/kivd-pages-pwned
check "shell text refused" bash -c "curl -s --max-time 10 '$URL/download?url=http://localhost/x%60touch%20/tmp/kivd-pages-pwned%60|sh' | grep -q 'Error: only http:// or https:// URLs are accepted'"
check "ftp refused" bash -c "curl -s --max-time 10 '$URL/download?url=ftp://localhost/kivupdate.tar' | grep -q 'Error: only http:// or https:// URLs are accepted'"
check "nothing executed" test ! -e /tmp/kivd-pages-pwned
get "/download?url=http://localhost/broken.tar" > "$SANDBOX/d5"
check "download not offered: refused" grep -q 'Error: only the update offered by the last update check can be downloaded$' "$SANDBOX/d5"
check "download not offered: logged" wait_log "Webserver: download refused, not the URL the last update check offered: http://localhost/broken.tar$" 5
offer http://localhost/broken.tar
get "/download?url=http://localhost/kivupdate.tar" > "$SANDBOX/d6"
check "another URL than the offered one: refused" grep -q 'Error: only the update offered by the last update check can be downloaded$' "$SANDBOX/d6"
check "nothing fetched" test ! -e "$SANDBOX/log/kivd.d/kivupdate.log"
get "/download?url=http://localhost/broken.tar" > "$SANDBOX/d0"
check "archive without updater: not found" grep -q "^Error: $SANDBOX/log/kivd.d/kivupdate/bin/kiv_updater not found, failed!" "$SANDBOX/d0"
printf 'not a tar archive' > "$SANDBOX/www/garbage.tar"
sign garbage.tar
offer http://localhost/garbage.tar
get "/download?url=http://localhost/garbage.tar" > "$SANDBOX/d3"
check "garbage archive: unpack error" grep -q '^Error: the update archive could not be unpacked, refused.$' "$SANDBOX/d3"
check "garbage archive: earlier programs gone" test ! -e "$SANDBOX/log/kivd.d/kivupdate/bin/kivd"
# A download cut short: tar unpacks the updater whole and the new program in
# part before it fails; neither may stay for /update to install.
tar cf "$SANDBOX/full.tar" -C "$PKG" bin/kiv_updater bin/kivd usr
cut_at=$(( $(stat -c %s "$SANDBOX/full.tar") - $(stat -c %s "$PKG/bin/kivd") / 2 ))
head -c "$cut_at" "$SANDBOX/full.tar" > "$SANDBOX/www/cut.tar"
sign cut.tar
offer http://localhost/cut.tar
get "/download?url=http://localhost/cut.tar" > "$SANDBOX/d4"
check "cut archive: unpack error" grep -q '^Error: the update archive could not be unpacked, refused.$' "$SANDBOX/d4"
check "cut archive: no confirm offered" bash -c "! grep -q 'value=\"Confirm\"' '$SANDBOX/d4'"
check "cut archive: no program left to install" \
  test ! -e "$SANDBOX/log/kivd.d/kivupdate/bin/kivd" -a ! -e "$SANDBOX/log/kivd.d/kivupdate/bin/kiv_updater"
check "cut archive: archive removed" test ! -e "$SANDBOX/log/kivd.d/kivupdate.tar"
check "cut archive: installed program untouched" bash -c "tail -c 8 '$SANDBOX/bin/kivd' | grep -q 'MARK:old'"
# A hostile update server: unsigned, signed by another key, a link that a
# later archive would write through, a name outside, a gzip bomb, too big.
cp "$SANDBOX/www/kivupdate.tar" "$SANDBOX/www/unsigned.tar"
cp "$SANDBOX/www/kivupdate.tar" "$SANDBOX/www/other.tar"
"$KEYTOOL" sign "$SANDBOX/other.pem" "$SANDBOX/www/other.tar"
mkdir -p "$SANDBOX/evil/bin" && ln -s "$SANDBOX/bin" "$SANDBOX/evil/bin/usr"
tar cf "$SANDBOX/www/link.tar" -C "$PKG" bin && tar rf "$SANDBOX/www/link.tar" -C "$SANDBOX/evil" bin/usr
python3 -c "import sys, tarfile; t = tarfile.open(sys.argv[1], 'w'); t.add(sys.argv[2], 'bin/kiv_updater'); \
t.add(sys.argv[3], '../../../bin/kivd'); t.close()" "$SANDBOX/www/dotdot.tar" "$PKG/bin/kiv_updater" "$PKG/bin/kivd"
head -c 70000000 /dev/zero > "$SANDBOX/zeros" && tar czf "$SANDBOX/www/bomb.tar" -C "$SANDBOX" zeros && rm "$SANDBOX/zeros"
head -c 34000000 /dev/zero > "$SANDBOX/www/big.tar"
sign link.tar dotdot.tar bomb.tar big.tar
for c in "unsigned:carries no signature" "other:signature is not valid for the maker" "link:holds a link" \
         "dotdot:holds a name outside its folder" "bomb:unpacks to more than 64 MiB" "big:larger than 32 MiB"; do
  offer "http://localhost/${c%%:*}.tar"
  get "/download?url=http://localhost/${c%%:*}.tar" > "$SANDBOX/h1"
  check "hostile update ${c%%:*}: refused (${c#*:})" grep -q "^Error: .*${c#*:}.*, refused.$" "$SANDBOX/h1"
  check "hostile update ${c%%:*}: logged" wait_log "Webserver: update refused, .*${c#*:}" 5
  check "hostile update ${c%%:*}: nothing to install" test ! -e "$SANDBOX/log/kivd.d/kivupdate/bin/kivd"
done
check "hostile updates: installed program untouched" bash -c "tail -c 8 '$SANDBOX/bin/kivd' | grep -q 'MARK:old'"
offer http://localhost/missing.tar
get "/download?url=http://localhost/missing.tar" > "$SANDBOX/d1"
check "404 download: wget log shown" grep -q '404' "$SANDBOX/d1"
check "404 download: failure" grep -q '^Error: download failed, please try again later!' "$SANDBOX/d1"
# The good download is held by the server: the info page and /xml answer
# meanwhile, from the daemon and not behind the download's child.
offer http://localhost/kivupdate.tar
serve --hold "$SANDBOX/release"
get "/download?x=1&url=http://localhost/missing.tar&url=http://localhost/kivupdate.tar" > "$SANDBOX/d2" &
DL_PID=$!
check "held download asked for" bash -c "for i in \$(seq 1 200); do [ -e '$SANDBOX/release.asked' ] && exit 0; sleep 0.1; done; exit 1"
check "xml answers during the download" bash -c "curl -s --max-time 10 '$URL/xml' | grep -q GetValues"
check "info page answers during the download" bash -c "curl -s --max-time 10 '$URL/' | grep -q '</HTML>'"
check "download still running meanwhile" kill -0 "$DL_PID"
touch "$SANDBOX/release"
wait "$DL_PID"
check "download: progress log shown" grep -q 'kivupdate.tar' "$SANDBOX/d2"
check "download: confirm offered" grep -q "^Click 'Confirm' to update the program.$" "$SANDBOX/d2"
check "download: confirm button" grep -q 'value="Confirm"data-onclick="ConfirmUpdate"' "$SANDBOX/d2"
check "download: programs unpacked" test -x "$SANDBOX/log/kivd.d/kivupdate/bin/kivd" -a -x "$SANDBOX/log/kivd.d/kivupdate/bin/kiv_updater"
check "download: archive removed" test ! -e "$SANDBOX/log/kivd.d/kivupdate.tar"
kill "$SRV_PID" 2>/dev/null; wait "$SRV_PID" 2>/dev/null

# --- update -------------------------------------------------------------------
get /update > "$SANDBOX/p1"
check "update page: 90 cells" test "$(grep -c '<span id="progress' "$SANDBOX/p1")" -eq 90
check "update initiated" wait_log "Update kivd daemon initiated...$" 5
check "updater started" wait_log "KIV updater: started.$" 25
check "updater runs in the daemon's process" test "$(readlink /proc/$DAEMON_PID/exe)" = "$SANDBOX/log/kivd.d/kivupdate/bin/kiv_updater"
check "new program installed" wait_log "KIV updater: wait until everything is ready to restart \(60s\).$" 10
check "installed program is the new one" cmp -s "$PKG/bin/kivd" "$SANDBOX/bin/kivd"
check "resources installed" grep -q "new resources" "$SANDBOX/usr/local/kiv/resources/index.html"
check "new daemon started" wait_log "KIV updater: execute new binary daemon.$" 70
check "new daemon reached its running state" wait_log "KIV updater: new daemon is running.$" 10
check "new daemon serves again" bash -c "for i in \$(seq 1 100); do curl -s --max-time 2 '$URL/xml' | grep -q GetValues && exit 0; sleep 0.1; done; exit 1"
check "same process id" test "$(tr -d '\n' < "$PIDFILE")" = "$DAEMON_PID"
check "start line of the new daemon" test "$(grep -cE '^.{24} Starting Orvane' "$LOG")" -ge 1
kill -TERM "$DAEMON_PID"
wait_gone "$DAEMON_PID" 5

finish
