#!/usr/bin/env bash
# Holds the code to one form and one set of lint rules: clang-format (.clang-format) must have
# nothing to change, and clang-tidy (.clang-tidy, and the .clang-tidy of a folder where one
# refines it) must find nothing, in the project's own sources. clang-tidy reads how each file
# is compiled from <build-dir>/compile_commands.json, so build first (scripts/build.sh).
#
#   scripts/lint.sh [build-dir] [path...]     default: build, every source of the repository
#   scripts/lint.sh --format-only [path...]   only the formatter (no build needed)
#   PONDREL_LINT_JOBS=N                       clang-tidy processes at once (default: nproc)
#   PONDREL_LINT_CACHE=DIR|off                where clean units are remembered
#                                             (default <build-dir>/lint-cache)
#
# Files whose compile command is not in the build (the fuzz targets outside a fuzz build, the
# desktop programs without Qt) are formatted but not linted. Exit status 0 when clean, 1 when
# something was found, 2 on a usage error.
#
# Time goes into parsing: each translation unit is one clang-tidy process, the heavy ones (the
# tests with GoogleTest, the Qt programs) first, so that no core idles at the end while one
# is still parsing. A header is checked through every unit that includes it and each finding
# is told once. A unit found clean is remembered by a digest of all its check reads: the unit,
# every header of the repository, the compile commands, the lint rules, clang-tidy and the
# installed packages (the system headers); while none of these changes it is not checked
# again. A unit with findings is always checked.
set -euo pipefail
cd "$(dirname "$0")/.."

format_only=0
if [ "${1:-}" = --format-only ]; then
  format_only=1
  shift
  build=""
else
  build=${1:-build}
  shift || true
fi
jobs=${PONDREL_LINT_JOBS:-$(nproc)}
CLANG_FORMAT=${CLANG_FORMAT:-clang-format}
CLANG_TIDY=${CLANG_TIDY:-clang-tidy}

paths=("$@")
[ ${#paths[@]} -gt 0 ] || paths=(.)
mapfile -t files < <(git ls-files -- "${paths[@]}" | grep -E '\.(c|cc|cpp|h)$' || true)
if [ ${#files[@]} -eq 0 ]; then
  echo "lint: no C or C++ sources under ${paths[*]}" >&2
  exit 2
fi

status=0
echo "== clang-format (${#files[@]} files)"
if ! "$CLANG_FORMAT" --dry-run -Werror "${files[@]}"; then
  echo "lint: clang-format would change the files above (fix: clang-format -i FILE)" >&2
  status=1
fi
[ "$format_only" = 1 ] && exit "$status"

db="$build/compile_commands.json"
if [ ! -f "$db" ]; then
  echo "lint: $db is missing: build first (bash scripts/build.sh $build)" >&2
  exit 2
fi
# The translation units of the build among the files; headers are checked through them.
known=$(grep -o '"file": *"[^"]*"' "$db" | sed 's/^"file": *"//; s/"$//' | sort -u)
top=$(pwd)
# Headers are checked where they are ours: below a module folder of the repository.
top_re=$(printf '%s' "$top" | sed 's/[].[^$*+?(){}|\\]/\\&/g')
modules="common|taskmodel|servers|imagestore|service|downloader|taskview|logviewer|hosts|camsim|cli|tasdek|packaging|tests|bench|fuzz"
heavy=() light=()
for f in "${files[@]}"; do
  case "$f" in *.h) continue ;; esac
  grep -qxF "$top/$f" <<<"$known" || continue
  if grep -qE '^#include <(gtest/|gmock/|Q)' "$f"; then heavy+=("$f"); else light+=("$f"); fi
done
units=("${heavy[@]}" "${light[@]}")
cache=${PONDREL_LINT_CACHE:-$build/lint-cache}
if [ "$cache" != off ]; then
  mkdir -p "$cache"
  common=$({
    "$CLANG_TIDY" --version
    dpkg-query -W -f '${Package} ${Version}\n' 2>/dev/null || true
    cat "$db"
    git ls-files -z --cached --others --exclude-standard -- '*.h' '*.clang-tidy' |
      xargs -0 -r sha1sum
  } | sha1sum | cut -d' ' -f1)
  unchecked=()
  for f in "${units[@]}"; do
    digest=$({ echo "$common $f"; cat "$f"; } | sha1sum | cut -d' ' -f1)
    [ -e "$cache/$digest" ] || unchecked+=("$f")
  done
  echo "== clang-tidy: $((${#units[@]} - ${#unchecked[@]})) of ${#units[@]} units unchanged since they were found clean"
  units=("${unchecked[@]}")
fi
echo "== clang-tidy (${#units[@]} translation units, $jobs at a time)"
logs=$(mktemp -d /tmp/pondrel-lint-XXXXXX)
trap 'rm -rf "$logs"' EXIT
# One log per unit, so that the findings of units checked at once never interleave. GCC's
# warning options in the compile commands mean nothing to clang.
tidy_status=0
if [ ${#units[@]} -gt 0 ] && ! printf '%s\0' "${units[@]}" |
     xargs -0 -r -n 1 -P "$jobs" sh -c '
       log="$1/$(printf %s "$7" | tr / _).log"
       digest=$({ echo "$5 $7"; cat "$7"; } | sha1sum | cut -d" " -f1)
       "$2" -p "$3" --quiet --header-filter="$4" --extra-arg=-Wno-unknown-warning-option \
         "$7" >"$log" 2>&1 || exit 1
       if [ -n "$5" ]; then touch "$6/$digest"; fi' lint \
       "$logs" "$CLANG_TIDY" "$build" "^$top_re/($modules)/" "${common:-}" "$cache"; then
  tidy_status=1
fi
# Each finding once, even when a header is reached from many files.
grep -hsE '^[^ ]+:[0-9]+:[0-9]+: (warning|error):' "$logs"/*.log | sort -u || true
if [ "$tidy_status" != 0 ]; then
  if ! grep -qsE ': (warning|error):' "$logs"/*.log; then cat "$logs"/*.log >&2; fi
  echo "lint: clang-tidy found the problems above" >&2
  status=1
fi
exit "$status"
