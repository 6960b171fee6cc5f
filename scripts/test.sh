#!/usr/bin/env bash
# Runs every test: installs what is missing, builds, then runs the unit and
# integration tests inside a private network namespace (nothing can leave the
# machine), and the unit tests again under AddressSanitizer + UBSan.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

bash scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs"
tests/tools/netns-run.sh ctest --test-dir build --output-on-failure -j"$jobs" --timeout 600

if [ -z "${KIVD_SKIP_SANITIZERS:-}" ]; then
  cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DKIVD_SANITIZE=address,undefined >/dev/null
  cmake --build build-asan -j"$jobs"
  KIVD_NO_PEERS=1 tests/tools/netns-run.sh \
    ctest --test-dir build-asan --output-on-failure -j"$jobs" -L unit --timeout 600
fi
