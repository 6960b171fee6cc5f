#!/usr/bin/env bash
# A large kivd.ini: read at start, settings page, settings save.
#   bench/ini_bench.sh [BUILD_DIR] [KEYS] [REPEATS]   (default build/, 100000, 5)
# Prints wall and process CPU time; on a shared machine read the CPU column.
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$src/build}
cmake -S "$src" -B "$build" -DKIVD_BENCH=ON > /dev/null
cmake --build "$build" -j2 --target ini_bench > /dev/null
"$build/bench/ini/ini_bench" "${2:-100000}" "${3:-5}"
