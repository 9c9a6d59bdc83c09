#!/usr/bin/env bash
# Screenshots of a generated album in headless Chromium: the thumbnails of a page, the view
# after choosing a time in the drop-down, the detail view and the Japanese variant.
# Usage: scripts/screenshots-albums.sh [build-dir] [output-dir]   (default: build, screenshots/albums)
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
out=${2:-screenshots/albums}
if [ ! -x "$dir/stage/album_browser_tests" ]; then
  bash scripts/build.sh "$dir"
fi
if ! command -v chromium >/dev/null 2>&1; then
  echo "screenshots-albums: chromium is not installed (scripts/setup.sh installs it)" >&2
  exit 1
fi
mkdir -p "$out"
PONDREL_ALBUM_SCREENSHOTS=$(realpath "$out") "$dir/stage/album_browser_tests" --gtest_brief=1
ls -l "$out"/album-*.png
