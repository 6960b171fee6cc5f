#!/usr/bin/env bash
# Builds the Debian package kivd_<version>-1_<arch>.deb from a release build.
# Usage: scripts/build-deb.sh [OUTPUT_DIR]   (default: the current folder)
# KIVD_DEB_BUILD names the build folder (default build-deb/), KIVD_JOBS the
# number of compile jobs (default: all cores).
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
out=$(mkdir -p "${1:-.}" && cd "${1:-.}" && pwd)
build=${KIVD_DEB_BUILD:-$src/build-deb}
jobs=${KIVD_JOBS:-$(nproc)}

bash "$src/scripts/setup.sh"
cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKIVD_TESTS=OFF >/dev/null
cmake --build "$build" -j"$jobs" --target kivd kiv_updater kivd-passwd
# cpack stages into its own folder below the output one and runs as the
# invoking user; the archive records every file as root's.
work=$(mktemp -d "$out/.kivd-deb.XXXXXX")
trap 'rm -rf "$work"' EXIT
cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work" >/dev/null
deb=$(find "$work" -maxdepth 1 -name 'kivd_*.deb' -print -quit)
[ -n "$deb" ] || { echo "build-deb: cpack made no package" >&2; exit 1; }
mv -f "$deb" "$out/"
echo "$out/$(basename "$deb")"
