#!/usr/bin/env bash
# The setup script's package lists: the demo's list holds what building and running needs and
# none of the test tools; the test list holds both; tinyproxy (whose package enables a daemon)
# is only installed for the tests and is then disabled.
set -euo pipefail
setup=$1
demo=$(bash "$setup" --list demo)
test=$(bash "$setup" --list test)
fail=0
has() { grep -qx "$2" <<<"$1"; }
for p in build-essential cmake ninja-build pkg-config libcurl4-openssl-dev libcpp-httplib-dev libsystemd-dev; do
  has "$demo" "$p" || { echo "demo list lacks $p"; fail=1; }
  has "$test" "$p" || { echo "test list lacks $p"; fail=1; }
done
for p in clang ccache libgtest-dev libgmock-dev libbenchmark-dev tinyproxy lintian debootstrap; do
  has "$demo" "$p" && { echo "demo list holds the test tool $p"; fail=1; }
  has "$test" "$p" || { echo "test list lacks $p"; fail=1; }
done
# Every package of the demo list is in the test list.
while read -r p; do has "$test" "$p" || { echo "test list lacks the demo's $p"; fail=1; }; done <<<"$demo"
grep -q 'DAEMON_PACKAGES=(tinyproxy)' "$setup" || { echo "tinyproxy is not disabled after install"; fail=1; }
if bash "$setup" --list bogus >/dev/null 2>&1; then echo "an unknown set is accepted"; fail=1; fi
# The demo asks only for its own list and builds without the tests.
demo_script=$(dirname "$setup")/demo.sh
grep -q 'scripts/setup.sh demo' "$demo_script" || { echo "demo.sh does not use the demo list"; fail=1; }
grep -q 'PONDREL_TESTS=OFF' "$demo_script" || { echo "demo.sh builds the tests"; fail=1; }
exit $fail
