#!/usr/bin/env bash
# Control quality over six simulated days in virtual time (a few seconds):
# the charging control against a house, wallbox and car, clean and with a
# meter outage, lost exchanges and a restart; beside an ideal controller.
#   bench/control_quality.sh [BUILD_DIR [LOG_DIR]]   (default build/, configured with -DKIVD_BENCH=ON)
# Prints a Markdown table for docs/control.md; exit status 1 when the control
# held a phase above the fuse rating. Sends nothing: no socket is opened.
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$src/build}
cmake -S "$src" -B "$build" -DKIVD_BENCH=ON > /dev/null
cmake --build "$build" -j2 --target control_quality > /dev/null
"$build/bench/control/control_quality" ${2:+"$2"}
