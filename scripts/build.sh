#!/usr/bin/env bash
# Configures and builds Pondrel. Usage: scripts/build.sh [build-dir] [extra cmake options...]
# PONDREL_SANITIZE=1 builds with AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
shift || true
opts=(-G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo)
if [ "${PONDREL_SANITIZE:-0}" = 1 ]; then
  opts+=(-DPONDREL_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug)
fi
cmake -S . -B "$dir" "${opts[@]}" "$@" >/dev/null
cmake --build "$dir" -j "$(nproc)"
