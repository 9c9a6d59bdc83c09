#!/usr/bin/env bash
# Installs what Pondrel needs to build, test and run on Debian 12. Safe to run again: it
# only calls apt-get when a package is missing.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config ccache clang libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev libjpeg-dev
  libcurl4-openssl-dev libcpp-httplib-dev libsystemd-dev
  tinyproxy curl util-linux mount procps tzdata
  qt6-base-dev qt6-qpa-plugins dbus dbus-daemon libglib2.0-bin xvfb xauth
  fonts-dejavu-core adwaita-icon-theme
  debootstrap systemd-container lintian dpkg-dev
<<<<<<< HEAD
  chromium fonts-ipafont-gothic
=======
  qt6-base-dev qt6-qpa-plugins libqt6test6 xvfb xauth
  ppp
>>>>>>> main
)

missing=()
for p in "${PACKAGES[@]}"; do
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
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
