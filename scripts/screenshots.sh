#!/usr/bin/env bash
# Renders every window and dialog of the Task View into PNG files under Xvfb, so that they can
# be looked at without a desktop. Usage: scripts/screenshots.sh <output folder> [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:?usage: scripts/screenshots.sh <output folder> [build-dir]}
dir=${2:-build}
if [ ! -x "$dir/stage/tasdek_screens" ]; then
  cmake --build "$dir" --target tasdek_screens
fi
mkdir -p "$out"
QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1280x1024x24" "$dir/stage/tasdek_screens" "$out"
