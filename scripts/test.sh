#!/usr/bin/env bash
# Runs every test: installs what is missing, builds, then runs the unit and
# integration tests inside a private network namespace (nothing can leave the
# machine); then the whole suite again under AddressSanitizer + UBSan, and
# the integration tests (the real daemon's threads) under ThreadSanitizer.
# KIVD_SKIP_SANITIZERS=1 runs only the first, plain stage.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
# Integration tests mostly wait on devices and timers: run more of them at
# once than there are cores.
test_jobs=$((jobs + 1))
stage() { printf '\n==== %s\n' "$*"; }

stage "set-up"
bash scripts/setup.sh

stage "build and test"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs"
tests/tools/netns-run.sh ctest --test-dir build --output-on-failure -j"$test_jobs" --timeout 900

[ -n "${KIVD_SKIP_SANITIZERS:-}" ] && exit 0

stage "AddressSanitizer + UndefinedBehaviorSanitizer"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DKIVD_SANITIZE=address,undefined >/dev/null
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  tests/tools/netns-run.sh ctest --test-dir build-asan --output-on-failure -j"$test_jobs" --timeout 900

stage "libFuzzer (every parser, ${KIVD_FUZZ_SECONDS:-30} s each)"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKIVD_FUZZ=ON \
  -DKIVD_FUZZ_SECONDS="${KIVD_FUZZ_SECONDS:-30}" >/dev/null
fuzz_targets=$(cmake --build build-fuzz --target help | sed -n 's/^\.\.\. \([a-z0-9_]*fuzz[a-z0-9_]*\)$/\1/p' | grep -v replay || true)
if [ -n "$fuzz_targets" ]; then
  # shellcheck disable=SC2086
  cmake --build build-fuzz -j"$jobs" --target $fuzz_targets
  KIVD_NO_PEERS=1 tests/tools/netns-run.sh ctest --test-dir build-fuzz --output-on-failure -L fuzz -j"$jobs"
fi

stage "ThreadSanitizer (integration)"
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DKIVD_SANITIZE=thread >/dev/null
cmake --build build-tsan -j"$jobs" --target kivd kiv_updater kivd-passwd kiv_fake_daemon knx_pass_probe
reports=$(mktemp -d /tmp/kivd-tsan.XXXXXX)
TSAN_OPTIONS="halt_on_error=1:log_path=$reports/report" \
  tests/tools/netns-run.sh ctest --test-dir build-tsan --output-on-failure -j"$test_jobs" -L integration --timeout 900
if compgen -G "$reports/report*" >/dev/null; then
  echo "ThreadSanitizer reports:"; cat "$reports"/report*; rm -rf "$reports"; exit 1
fi
rm -rf "$reports"
echo "ThreadSanitizer: no reports"
