#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in their own build directory and runs each on its
# seed corpus (fuzz/<module>/corpus/<target>/), printing the executions per target.
# Usage: scripts/fuzz.sh [seconds per target, default 30] [part of a target name]
#   PONDREL_FUZZ_DIR   build directory (default build-fuzz)
#   PONDREL_FUZZ_RUNS  a number of executions per target instead of the time limit
# New inputs found go to <build dir>/fuzz-work/<target>/corpus, never into the repository;
# a crash leaves its input in <build dir>/fuzz-work/<target>/artifacts and fails the script.
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${1:-30}
only=${2:-}
dir=${PONDREL_FUZZ_DIR:-build-fuzz}

cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPONDREL_FUZZ=ON \
  -DPONDREL_BENCH=OFF -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$dir" --target fuzzers -j "$(nproc)"

work="$dir/fuzz-work"
limit=(-max_total_time="$secs")
if [ -n "${PONDREL_FUZZ_RUNS:-}" ]; then limit=(-runs="$PONDREL_FUZZ_RUNS"); fi
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
status=0
while IFS='=' read -r name corpus; do
  [ -n "$name" ] || continue
  if [ -n "$only" ] && [[ "$name" != *"$only"* ]]; then continue; fi
  mkdir -p "$work/$name/corpus" "$work/$name/artifacts"
  log="$work/$name/log"
  seeds=()
  if [ -d "$corpus" ]; then seeds=("$corpus"); fi
  started=$(date +%s)
  if "$dir/stage/$name" "${limit[@]}" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$work/$name/artifacts/" "$work/$name/corpus" "${seeds[@]}" >"$log" 2>&1; then
    verdict="no finding"
  else
    verdict="FINDING (see $log)"
    status=1
  fi
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  edges=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
  printf 'fuzz: %-34s %12s executions, %5s edges, %4ss: %s\n' "$name" "${execs:-?}" \
    "${edges:-?}" "$(( $(date +%s) - started ))" "$verdict"
  if [ $status -ne 0 ] && [ "$verdict" != "no finding" ]; then tail -60 "$log" >&2; fi
done <"$dir/fuzzers.txt"
exit $status
