#!/usr/bin/env bash
# The log engine against wc -l (the floor) and lnav (headless) on one generated, cached
# kvrpd.log of about 1 GB (10 million lines), and pondrel log show's time and memory.
# Usage: bench/logviewer/compare.sh [build-dir] [megabytes]
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${1:-build}
mb=${2:-1024}
stage=$build/stage
work=$(mktemp -d /tmp/pondrel-logbench-XXXXXX)
trap 'rm -rf "$work"' EXIT
log=$work/kvrpd.log

"$stage/log_bench" generate "$log" "$mb"
cat "$log" >/dev/null  # into the page cache
echo "machine: $(nproc) cores, $(awk '/MemTotal/ {printf "%.1f GB", $2/1048576}' /proc/meminfo)"

# Wall time and peak resident memory of one command (its output discarded).
measure() {
  local label=$1
  shift
  local t0 t1
  echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
  t0=$(date +%s.%N)
  /usr/bin/time -f '%M' -o "$work/rss" "$@" >/dev/null 2>&1 || true
  t1=$(date +%s.%N)
  printf '%-40s %8.3f s  peak %7.1f MB\n' "$label" "$(echo "$t1 - $t0" | bc)" \
    "$(echo "$(tail -1 "$work/rss") / 1024" | bc -l)"
}

measure "wc -l" wc -l "$log"
"$stage/log_bench" open "$log"
if command -v lnav >/dev/null; then
  # Headless: load and index the file, then quit.
  measure "lnav -n (headless)" env HOME="$work" lnav -n -c ':quit' "$log"
fi
measure "pondrel log show -n 100" "$stage/pondrel" log show -n 100 --file "$log"
measure "pondrel log show > /dev/null" "$stage/pondrel" log show --file "$log"
measure "pondrel log show --level error" "$stage/pondrel" log show --level error --file "$log"
