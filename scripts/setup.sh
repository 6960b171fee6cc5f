#!/usr/bin/env bash
# Installs every Debian package that building, testing and the demo need.
# Idempotent: packages already present are skipped by apt; the package lists
# are refreshed only when something is missing. systemd is there for
# systemd-analyze (the unit's check), dpkg-dev for dpkg-shlibdeps (the
# package's library dependencies).
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive

PACKAGES=(
  build-essential cmake pkg-config git
  libcjson-dev libmariadb-dev libpugixml-dev libcrypt-dev libarchive-dev libssl-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  clang libclang-rt-14-dev
  iproute2 util-linux procps curl wget tar gzip python3 libxml2-utils
  mariadb-server mariadb-client knxd knxd-tools
  libmosquitto-dev mosquitto mosquitto-clients openssl
  busybox
  chromium libjs-chart.js
  systemd dpkg-dev
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
echo "setup: all packages present"
