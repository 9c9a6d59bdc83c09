#!/usr/bin/env bash
# The package under a real systemd: builds pondrel_*.deb from a build tree, boots a minimal
# Debian 12 with systemd in a container (systemd-nspawn, its own network namespace so that
# only its own loopback is reached), installs the package there with apt-get and shows from
# inside:
#   - the unit is enabled and active after install, and the journal holds its start event
#     with the event's fields;
#   - a user in the group pondrel adds a server and a task, and the task collects every
#     picture from a camsim running in the container;
#   - systemctl restart and a reboot of the container keep tasks and pictures, and the
#     service comes back by itself;
#   - apt-get remove stops the service; purge removes what the package made.
# The Debian root is made once with debootstrap and kept in $PONDREL_ROOTFS_CACHE
# (default /var/cache/pondrel/rootfs-bookworm); each run boots a copy of it that is removed
# afterwards. Needs root. Usage: scripts/systemd-check.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build}

say() { printf '\n== systemd-check: %s\n' "$*"; }
fail() { printf 'systemd-check: FAILED: %s\n' "$*" >&2; exit 1; }

if [ "$(id -u)" -ne 0 ]; then
  echo "systemd-check: skipped: booting a container needs root" >&2
  exit 0
fi
for tool in debootstrap systemd-nspawn nsenter cpack; do
  command -v "$tool" >/dev/null || fail "$tool is missing (scripts/setup.sh installs it)"
done
[ -x "$BUILD/stage/camsim" ] || fail "$BUILD is not built (scripts/build.sh $BUILD)"

# ---- the package -------------------------------------------------------------------------
say "building the packages (pondrel; pondrel-desktop, which the headless container does not need)"
PKGDIR=$(mktemp -d /tmp/pondrel-pkg-XXXXXX)
WORKROOT=
NSPAWN_PID=
LEADER=
cleanup() {
  local status=$?
  set +e
  if [ -n "$NSPAWN_PID" ] && kill -0 "$NSPAWN_PID" 2>/dev/null; then
    kill -TERM "$NSPAWN_PID" 2>/dev/null
    for _ in $(seq 100); do kill -0 "$NSPAWN_PID" 2>/dev/null || break; sleep 0.2; done
    kill -KILL "$NSPAWN_PID" 2>/dev/null
    wait "$NSPAWN_PID" 2>/dev/null
  fi
  [ -n "$WORKROOT" ] && rm -rf "$WORKROOT"
  rm -rf "$PKGDIR"
  exit $status
}
trap cleanup EXIT
trap 'exit 130' INT TERM

(cd "$BUILD" && cpack -B "$PKGDIR" >"$PKGDIR/cpack.log" 2>&1) || { cat "$PKGDIR/cpack.log"; fail "cpack"; }
DEB=$(ls "$PKGDIR"/pondrel_*.deb)
echo "package: $(basename "$DEB")"
if command -v lintian >/dev/null; then
  for deb in "$PKGDIR"/*.deb; do
    echo "lintian $(basename "$deb"):"
    lintian "$deb" 2>&1 | grep -v 'running with root privileges' || true
    lintian --fail-on error "$deb" >/dev/null 2>&1 || fail "lintian reports errors in $(basename "$deb")"
  done
fi

# ---- the Debian root ---------------------------------------------------------------------
CACHE=${PONDREL_ROOTFS_CACHE:-/var/cache/pondrel/rootfs-bookworm}
# What the package and camsim need is in the root already: the container has no network.
INCLUDE=systemd,systemd-sysv,dbus,libcurl4,libsystemd0,adduser,logrotate,procps,ca-certificates
if [ ! -x "$CACHE/lib/systemd/systemd" ] || [ "$(cat "$CACHE/.pondrel-include" 2>/dev/null)" != "$INCLUDE" ]; then
  say "making a minimal Debian 12 root with systemd (kept in $CACHE)"
  MIRROR=$(sed -n 's/^URIs: *//p' /etc/apt/sources.list.d/debian.sources 2>/dev/null | head -n1)
  MIRROR=${MIRROR:-http://deb.debian.org/debian}
  rm -rf "$CACHE.tmp"
  mkdir -p "$(dirname "$CACHE")"
  debootstrap --variant=minbase --include="$INCLUDE" bookworm "$CACHE.tmp" "$MIRROR" \
    >"$PKGDIR/debootstrap.log" 2>&1 || { tail -20 "$PKGDIR/debootstrap.log"; fail "debootstrap"; }
  echo "$INCLUDE" >"$CACHE.tmp/.pondrel-include"
  rm -rf "$CACHE"
  mv "$CACHE.tmp" "$CACHE"
fi
WORKROOT=$(mktemp -d /var/tmp/pondrel-container-XXXXXX)
cp -a "$CACHE/." "$WORKROOT/"
echo pondrel-check >"$WORKROOT/etc/hostname"
printf '127.0.0.1 localhost\n::1 localhost\n' >"$WORKROOT/etc/hosts"
cp "$DEB" "$WORKROOT/root/"
cp "$BUILD/stage/camsim" "$WORKROOT/usr/local/bin/camsim"
# camsim's own libraries that the container lacks (cpp-httplib's) go beside it.
ldd "$BUILD/stage/camsim" | awk '$3 ~ /^\// {print $3}' | while read -r lib; do
  [ -e "$WORKROOT$lib" ] || cp -L "$lib" "$WORKROOT/usr/local/lib/"
done
chroot "$WORKROOT" ldconfig

# ---- booting, and commands inside --------------------------------------------------------
boot() {
  systemd-nspawn --register=no --keep-unit -b -D "$WORKROOT" --private-network \
    --console=read-only >>"$PKGDIR/console.log" 2>&1 &
  NSPAWN_PID=$!
  # The container's init is the child of systemd-nspawn that is pid 1 in its own namespace
  # (nspawn passes through an intermediate child first, so this is asked again until it holds).
  local state=
  for _ in $(seq 300); do
    LEADER=
    for pid in $(pgrep -P "$NSPAWN_PID" || true); do
      if grep -qE '^NSpid:.*[[:space:]]1$' "/proc/$pid/status" 2>/dev/null; then LEADER=$pid; fi
    done
    if [ -n "$LEADER" ]; then
      state=$(inside systemctl is-system-running 2>/dev/null || true)
      case "$state" in running|degraded) break ;; esac
    fi
    kill -0 "$NSPAWN_PID" 2>/dev/null || fail "the container ended while booting"
    sleep 0.2
  done
  echo "container booted: $state"
  case "$state" in running|degraded) ;; *) tail -30 "$PKGDIR/console.log"; fail "boot ($state)" ;; esac
}
inside() {
  nsenter -t "$LEADER" -m -u -i -n -p -- /usr/bin/env -i PATH=/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    HOME=/root LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive "$@"
}
as_alice() { inside runuser -u alice -- "$@"; }
# Waits for the container's systemd to end after a poweroff or reboot; prints nspawn's status.
wait_down() {
  local rc=0
  wait "$NSPAWN_PID" || rc=$?
  NSPAWN_PID=
  echo "container stopped (systemd-nspawn exit status $rc)"
}
expect() {  # expect DESCRIPTION WANTED ACTUAL
  if [ "$2" = "$3" ]; then echo "ok: $1 ($3)"; return; fi
  if [ -n "$LEADER" ]; then
    inside systemctl status --no-pager kestova.service 2>&1 | head -20 || true
    inside journalctl --no-pager -n 30 -u kestova.service 2>&1 || true
  fi
  fail "$1: wanted '$2', got '$3'"
}
pictures() { inside sh -c 'find /srv/pictures/cam1/image -name "*.jpg" 2>/dev/null | wc -l'; }
run_task_and_wait() {
  as_alice pondrel task run --wait --timeout 120 "Cam1 collection" || true
}
last_result() {  # the first word of a task's Last Result
  as_alice pondrel task show "$1" | sed -n 's/^Last Result: *\([A-Za-z]*\).*/\1/p'
}

say "booting the container"
boot

say "installing the package with apt-get"
inside apt-get install -y -q "/root/$(basename "$DEB")" >"$PKGDIR/apt.log" 2>&1 || { cat "$PKGDIR/apt.log"; fail "apt-get install"; }
expect "unit enabled after install" enabled "$(inside systemctl is-enabled kestova.service || true)"
expect "unit active after install" active "$(inside systemctl is-active kestova.service || true)"
expect "runtime directory" "2770 root pondrel" "$(inside stat -c '%a %U %G' /run/pondrel)"
expect "ROOT" "2770 root pondrel" "$(inside stat -c '%a %U %G' /var/lib/pondrel)"
journal=$(inside journalctl -u kestova.service -o verbose --no-pager)
grep -q 'PONDREL_EVENT_ID=1001' <<<"$journal" || { echo "$journal"; fail "no start event in the journal"; }
grep -q 'MESSAGE=The service has started.' <<<"$journal" || fail "start event without its message"
grep -q 'PONDREL_EVENT_SOURCE=KESTOVA' <<<"$journal" || fail "start event without its source"
grep -q 'PRIORITY=6' <<<"$journal" || fail "start event without its priority"
echo "ok: the journal holds the start event with its fields"

say "a member of the group pondrel collects from camsim in the container"
inside useradd --create-home --groups pondrel alice
inside sh -c 'setsid camsim --pictures 12 --user demo --password secret --port-file /root/camsim.port \
  </dev/null >/root/camsim.out 2>&1 & echo $! >/root/camsim.pid'
for _ in $(seq 100); do inside test -s /root/camsim.port && break; sleep 0.1; done
PORT=$(inside cat /root/camsim.port)
echo secret | inside runuser -u alice -- pondrel server add cam1 --host 127.0.0.1 --port "$PORT" \
  --image-dir /srv/pictures/cam1 --admin-account demo --password-stdin
as_alice pondrel task add "Cam1 collection" --server cam1 --cycle daily --start "2026/01/01 03:00"
run_task_and_wait
expect "pictures collected" 12 "$(pictures)"
expect "last result" Succeeded "$(last_result "Cam1 collection")"

say "systemctl restart keeps tasks and pictures"
inside systemctl restart kestova.service
expect "unit active after restart" active "$(inside systemctl is-active kestova.service || true)"
expect "task kept" 1 "$(as_alice pondrel task list | grep -c 'Cam1 collection' || true)"
expect "pictures kept" 12 "$(pictures)"

say "pondrel service stop/start as root go through systemd; a member of the group may not"
inside pondrel service stop
expect "unit after pondrel service stop" inactive "$(inside systemctl is-active kestova.service || true)"
inside pondrel service start
expect "unit after pondrel service start" active "$(inside systemctl is-active kestova.service || true)"
if as_alice /usr/lib/pondrel/zoricsm -osstop 2>"$PKGDIR/alice.err"; then fail "a group member stopped the unit"; fi
echo "ok: refused to alice: $(cat "$PKGDIR/alice.err")"
expect "unit still active" active "$(inside systemctl is-active kestova.service || true)"

say "systemctl stop while a download runs: the run is aborted and recorded, its log merged"
inside sh -c 'setsid camsim --pictures 20 --picture-size 20000 --fault data=trickle:4000 \
  --port-file /root/slow.port </dev/null >/root/slow.out 2>&1 &'
for _ in $(seq 100); do inside test -s /root/slow.port && break; sleep 0.1; done
SLOW_PORT=$(inside cat /root/slow.port)
as_alice pondrel server add cam2 --host 127.0.0.1 --port "$SLOW_PORT" --image-dir /srv/pictures/cam2 >/dev/null
as_alice pondrel task add "Cam2 slow" --server cam2 --cycle daily --start "2026/01/01 04:00"
as_alice pondrel task run "Cam2 slow" >/dev/null
for _ in $(seq 200); do
  as_alice pondrel task show "Cam2 slow" | grep -q '^Status: *running' && break
  sleep 0.1
done
inside sh -c 'pgrep -x KVdl >/dev/null' || fail "the slow download is not running"
started=$(date +%s)
inside systemctl stop kestova.service
echo "stopped in $(( $(date +%s) - started )) s"
expect "no downloader left" 0 "$(inside sh -c 'pgrep -x KVdl | wc -l')"
expect "aborted run recorded" Aborted "$(last_result "Cam2 slow")"
inside grep -q 'Cam2 slow' /var/lib/pondrel/SYSTEM/kvrpd.log || fail "the aborted run's log lines were not merged"
echo "ok: the activity log holds the aborted run"
inside systemctl start kestova.service

say "a reboot of the container brings the service back"
inside systemctl reboot || true
wait_down
boot
expect "unit active after reboot" active "$(inside systemctl is-active kestova.service || true)"
expect "task kept over the reboot" 1 "$(as_alice pondrel task list | grep -c 'Cam1 collection' || true)"
expect "pictures kept over the reboot" 12 "$(pictures)"

say "a missing ROOT directory is told in the journal, and nothing else is lost"
inside systemctl stop kestova.service
inside mv /var/lib/pondrel /var/lib/pondrel.away
inside systemctl start kestova.service || true
journal=$(inside journalctl -u kestova.service -n 20 --no-pager -o verbose)
grep -q 'PRIORITY=4' <<<"$journal" || { echo "$journal"; fail "no warning in the journal"; }
grep -q 'MESSAGE=The ROOT directory /var/lib/pondrel did not exist' <<<"$journal" || { echo "$journal"; fail "the missing ROOT is not told"; }
echo "ok: told in the journal: $(inside journalctl -u kestova.service -p warning -n 1 --no-pager -o cat)"
inside systemctl stop kestova.service || true
inside rm -rf /var/lib/pondrel
inside mv /var/lib/pondrel.away /var/lib/pondrel
inside systemctl reset-failed kestova.service || true
inside systemctl start kestova.service
expect "unit active with ROOT back" active "$(inside systemctl is-active kestova.service || true)"
expect "task kept" 1 "$(as_alice pondrel task list | grep -c 'Cam1 collection' || true)"

say "apt-get remove stops the service"
inside apt-get remove -y -q pondrel >>"$PKGDIR/apt.log" 2>&1 || { cat "$PKGDIR/apt.log"; fail "apt-get remove"; }
expect "no service process after remove" 0 "$(inside sh -c 'pgrep -x zoricsm | wc -l')"
state=$(inside systemctl is-active kestova.service || true)
case "$state" in inactive|unknown) echo "ok: unit after remove ($state)" ;; *) fail "unit after remove: $state" ;; esac
inside test -d /var/lib/pondrel || fail "remove must keep the data"

say "apt-get purge removes what the package made"
inside apt-get purge -y -q pondrel >>"$PKGDIR/apt.log" 2>&1 || { cat "$PKGDIR/apt.log"; fail "apt-get purge"; }
for path in /var/lib/pondrel /etc/pondrel /run/pondrel /lib/systemd/system/kestova.service; do
  if inside test -e "$path"; then fail "$path left after purge"; fi
done
echo "ok: nothing of the package is left"
expect "pictures stay after purge" 12 "$(pictures)"

say "powering off"
inside systemctl poweroff || true
wait_down
echo "systemd-check: passed"
