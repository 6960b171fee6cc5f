#!/usr/bin/env bash
# The Debian package made from this build, checked without touching the
# system: its control data and files, the unit, the maintainer scripts with
# the real deb-systemd-helper in a private mount namespace, and the unpacked
# daemon started the way systemd starts it (a child of process 1, here in a
# PID namespace of its own) with KIVD_ROOT on the unpacked tree.
set -u
: "${KIVD_SRC:?}" "${KIVD_BUILD:?}"
source "$KIVD_SRC/tests/integration/lib.sh" || exit 1

if [ "${1:-}" = --as-init ]; then
  source "$KIVD_SRC/tests/packaging/as_service.sh"
  exit $?
fi

# Below the build folder, not /tmp: the daemon's run gets a /tmp of its own.
WORK=$(mktemp -d "$KIVD_BUILD/pkgtest.XXXXXX")
SANDBOX=$WORK
LOG=$WORK/tmp/kivd.log
ROOT=$WORK/root
mkdir -p "$WORK/tmp" "$ROOT" "$WORK/control"

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$KIVD_BUILD/CMakeCache.txt")
cpack --config "$KIVD_BUILD/CPackConfig.cmake" -G DEB -B "$WORK/cpack" > "$WORK/cpack.log" 2>&1
DEB=$(find "$WORK/cpack" -maxdepth 1 -name 'kivd_*.deb' -print -quit)
check "cpack makes the package" test -n "$DEB"
[ -n "$DEB" ] || { cat "$WORK/cpack.log"; finish; }
check "file name carries the project version" \
  bash -c "[[ \$(basename '$DEB') == kivd_${version}-1_\$(dpkg --print-architecture).deb ]]"

# --- control data -------------------------------------------------------------
field() { dpkg-deb -f "$DEB" "$1"; }
check "package name" test "$(field Package)" = kivd
check "version is the project's" test "$(field Version)" = "${version}-1"
check "has a maintainer" bash -c "[[ '$(field Maintainer)' == *@* ]]"
depends=$(field Depends)
dep_names=$(tr ',' '\n' <<< "$depends" | sed 's/(.*)//; s/ //g' | sed '/^$/d')
for lib in libc6 libstdc++6 libcjson1 libmariadb3 libpugixml1v5 libmosquitto1 wget tar libjs-chart.js; do
  check "depends on $lib" grep -qx "$lib" <<< "$dep_names"
done
for name in $dep_names; do
  check "dependency $name is a Debian package here" \
    bash -c "dpkg-query -W -f '\${Status}' '$name' 2>/dev/null | grep -q 'ok installed'"
done
dpkg-deb -e "$DEB" "$WORK/control"
for s in postinst prerm postrm; do
  check "$s is an executable shell script" bash -c "test -x '$WORK/control/$s' && sh -n '$WORK/control/$s'"
done
check "no conffiles: an upgrade never touches the settings" test ! -e "$WORK/control/conffiles"

# --- files ----------------------------------------------------------------------
dpkg-deb -c "$DEB" | awk '{print $1, $2, $6}' > "$WORK/contents"
has() { grep -qx -- "$1" "$WORK/contents"; }
check "daemon at /bin/kivd" has "-rwxr-xr-x root/root ./bin/kivd"
check "updater beside it" has "-rwxr-xr-x root/root ./bin/kiv_updater"
check "unit file" has "-rw-r--r-- root/root ./lib/systemd/system/kivd.service"
check "favicon in the web resources" has "-rw-r--r-- root/root ./usr/local/kiv/resources/favicon.ico"
check "nothing below /etc" bash -c "! grep -q ' \./etc/' '$WORK/contents'"
check "only web files among the resources" bash -c \
  "! grep ' ./usr/local/kiv/resources/.' '$WORK/contents' | grep -vqE '\.(ico|png|gif|jpe?g|css|js|html)$'"
dpkg -x "$DEB" "$ROOT"
for f in "$KIVD_SRC"/resources/*.ico "$KIVD_SRC"/resources/*.png; do
  n=$(basename "$f")
  check "$n shipped as in the tree" cmp -s "$f" "$ROOT/usr/local/kiv/resources/$n"
  # The server sends at most the first 10240 bytes of a binary file.
  check "$n fits what the server sends" test "$(stat -c %s "$f")" -le 10240
done
check "programs are stripped" bash -c "! readelf -S '$ROOT/bin/kivd' | grep -q '\.debug_info'"
check "every library of the daemon is found" bash -c "! ldd '$ROOT/bin/kivd' | grep -q 'not found'"

# --- the unit ------------------------------------------------------------------
if command -v systemd-analyze >/dev/null; then
  # verify wants the program at the path ExecStart names: point it at ours.
  sed "s|^ExecStart=/bin/kivd\$|ExecStart=$ROOT/bin/kivd|" "$ROOT/lib/systemd/system/kivd.service" \
    > "$WORK/kivd.service"
  verify_out=$(SYSTEMD_LOG_LEVEL=notice systemd-analyze verify --man=no "$WORK/kivd.service" 2>&1)
  check "systemd-analyze verify is silent" test -z "$verify_out"
  [ -n "$verify_out" ] && echo "$verify_out"
else
  echo "skip - systemd-analyze not installed"
fi
check "unit starts /bin/kivd in the foreground" \
  bash -c "grep -qx 'ExecStart=/bin/kivd' '$ROOT/lib/systemd/system/kivd.service' && grep -qx 'Type=simple' '$ROOT/lib/systemd/system/kivd.service'"

# --- maintainer scripts -----------------------------------------------------------
# Private /etc, /var/lib, /run and unit folder: the real deb-systemd-helper
# keeps its state there, and postrm's purge removes a throwaway kivd.ini.
# /run has no systemd/system, as on a machine where systemd does not run.
if command -v deb-systemd-helper >/dev/null && [ -d /lib/systemd/system ]; then
  unshare -m bash -s "$WORK/control" "$ROOT/lib/systemd/system/kivd.service" > "$WORK/scripts.out" 2>&1 <<'SH'
set -u
ctl=$1 unit=$2
# Not one step further unless every folder is a private one.
for d in /etc /var/lib /run /lib/systemd/system; do
  mount -t tmpfs kivd-test "$d" || { echo "mount $d failed"; exit 1; }
done
cp "$unit" /lib/systemd/system/kivd.service
link=/etc/systemd/system/multi-user.target.wants/kivd.service
# What dpkg sets for a maintainer script; deb-systemd-helper insists on it.
export DPKG_MAINTSCRIPT_PACKAGE=kivd DPKG_MAINTSCRIPT_ARCH=all
echo "[LOG]" > /etc/kivd.ini
echo keep > /etc/other.conf
"$ctl/postinst" configure "" || echo "postinst failed"
[ -L "$link" ] && echo "enabled"
"$ctl/postinst" configure 2.6.106-1 || echo "postinst upgrade failed"
[ -L "$link" ] && echo "enabled after upgrade"
"$ctl/prerm" remove || echo "prerm failed"
rm /lib/systemd/system/kivd.service
"$ctl/postrm" remove || echo "postrm remove failed"
[ "$(readlink /etc/systemd/system/kivd.service)" = /dev/null ] && echo "masked"
[ -f /etc/kivd.ini ] && echo "settings kept on remove"
"$ctl/postrm" purge || echo "postrm purge failed"
[ ! -e /etc/systemd/system/kivd.service ] && [ ! -e "$link" ] && echo "links gone on purge"
[ ! -e /etc/kivd.ini ] && echo "settings gone on purge"
[ -f /etc/other.conf ] && echo "other files stay"
SH
  for line in "enabled" "enabled after upgrade" "masked" "settings kept on remove" \
              "links gone on purge" "settings gone on purge" "other files stay"; do
    check "maintainer scripts: $line" grep -qx "$line" "$WORK/scripts.out"
  done
  check "maintainer scripts: no failures" bash -c "! grep -q failed '$WORK/scripts.out'"
  grep -q failed "$WORK/scripts.out" && cat "$WORK/scripts.out"
else
  echo "skip - no deb-systemd-helper or no /lib/systemd/system to stand in for"
fi

# --- the daemon as a service -----------------------------------------------------
unshare -m -p -f --mount-proc env ROOT="$ROOT" WORK="$WORK" VERSION="$version" bash "$0" --as-init
check "daemon behaves as a service (see above)" test $? -eq 0

finish
