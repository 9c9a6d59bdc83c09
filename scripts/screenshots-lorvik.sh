#!/usr/bin/env bash
# Renders the Log Viewer's window (as loaded, and sorted by date twice) and its Filter dialog to
# PNG files under a real X server (Xvfb). Usage: scripts/screenshots-lorvik.sh [build-dir] [out-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
out=${2:-$build/screenshots}
mkdir -p "$out"
xvfb-run -a -s "-screen 0 1280x800x24" "$build/stage/lorvik_screenshots" "$out"
