#!/usr/bin/env bash
# SMA Energy Meter datagram cost (Google Benchmark): decode, decode and
# publish, worst-case record walk; each with its heap allocation count.
#   bench/meter_bench.sh [BUILD_DIR]     (default build/, configured with -DKIVD_BENCH=ON)
# Five repetitions, aggregates only. Read the CPU column: on a shared machine
# the wall time ("Time") is inflated by other processes.
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$src/build}
cmake -S "$src" -B "$build" -DKIVD_BENCH=ON > /dev/null
cmake --build "$build" -j2 --target meter_bench > /dev/null
echo "load: $(cut -d' ' -f1-3 /proc/loadavg), $(nproc) cores"
"$build/bench/meter/meter_bench" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
