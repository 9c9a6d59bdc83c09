#!/usr/bin/env bash
# Sets everything up and runs every test: installs missing packages, builds, runs CTest.
# PONDREL_SANITIZE=1 does the same under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh test
if [ "${PONDREL_SANITIZE:-0}" = 1 ]; then dir=build-sanitize; else dir=build; fi
bash scripts/build.sh "$dir"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
ctest --test-dir "$dir" --output-on-failure -j "$(nproc)" --timeout 300
