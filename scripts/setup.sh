#!/usr/bin/env bash
# Installs the Debian 12 packages Pondrel needs. Safe to run again: it only calls apt-get when
# a package is missing.
#
#   scripts/setup.sh demo        what building and running Pondrel needs (scripts/demo.sh)
#   scripts/setup.sh [test]      that and the test tools (scripts/test.sh, CI)
#   scripts/setup.sh --list demo|test   prints the package list, one a line, and installs nothing
#
# apt-get's output goes to a log file (its path is printed when something fails). No daemon is
# left enabled that Pondrel does not use: tinyproxy's package enables a proxy at boot, which the
# tests never use (they start their own), so a tinyproxy installed here is stopped and disabled.
set -euo pipefail

# Building and running: compiler, CMake, and the libraries the programs link.
DEMO_PACKAGES=(
  build-essential cmake ninja-build pkg-config
  libcurl4-openssl-dev libcpp-httplib-dev libsystemd-dev
  util-linux procps tzdata
)

# The test tools on top (tests, benchmarks, sanitizer and fuzz builds, the formatter and lint
# checks, the desktop programs and their screenshots, the browser checks, dial-up, the package
# checks).
PACKAGES=(
  ccache clang libclang-rt-14-dev clang-format clang-tidy
  libgtest-dev libgmock-dev libbenchmark-dev libjpeg-dev
  tinyproxy curl mount
  qt6-base-dev qt6-qpa-plugins libqt6test6 dbus dbus-daemon libglib2.0-bin xvfb xauth
  fonts-dejavu-core adwaita-icon-theme
  chromium fonts-ipafont-gothic
  ppp
  debootstrap systemd-container lintian dpkg-dev
)

# Packages whose Debian install enables a daemon Pondrel does not use.
DAEMON_PACKAGES=(tinyproxy)

list_only=0
if [ "${1:-}" = --list ]; then
  list_only=1
  shift
fi
what=${1:-test}
case "$what" in
  demo) wanted=("${DEMO_PACKAGES[@]}") ;;
  test) wanted=("${DEMO_PACKAGES[@]}" "${PACKAGES[@]}") ;;
  *) echo "setup: unknown set '$what' (demo or test)" >&2; exit 2 ;;
esac

if [ "$list_only" = 1 ]; then
  printf '%s\n' "${wanted[@]}"
  exit 0
fi

missing=()
for p in "${wanted[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "setup: installing ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then SUDO="sudo"; else
    echo "setup: these packages are missing and I am not root: ${missing[*]}" >&2
    exit 1
  fi
fi
log=$(mktemp /tmp/pondrel-setup-XXXXXX.log)
export DEBIAN_FRONTEND=noninteractive
if ! { $SUDO apt-get update -qq && \
       $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"; } >"$log" 2>&1; then
  tail -n 20 "$log" >&2
  echo "setup: apt-get failed (full log: $log)" >&2
  exit 1
fi

# A daemon that came with a package installed just now is stopped and kept from starting at boot.
for d in "${DAEMON_PACKAGES[@]}"; do
  case " ${missing[*]} " in *" $d "*) ;; *) continue ;; esac
  # systemctl disable works without a running systemd too (it removes the unit's links).
  if command -v systemctl >/dev/null 2>&1; then
    $SUDO systemctl disable "$d" >>"$log" 2>&1 || true
  fi
  if [ -d /run/systemd/system ]; then
    $SUDO systemctl stop "$d" >>"$log" 2>&1 || true
  else
    $SUDO invoke-rc.d "$d" stop >>"$log" 2>&1 || true
  fi
  $SUDO update-rc.d "$d" disable >>"$log" 2>&1 || true
done
rm -f "$log"
