#!/usr/bin/env bash
# The main job, end to end: builds Pondrel, starts the camera-server simulator with a few
# dozen pictures, sets up a temporary installation with `pondrel` (a server profile and a task
# due now), starts the scheduler service, lets it run the task, and shows the task's result,
# the activity log and the pictures it stored. Everything it starts and creates is removed at
# the end, whatever happens.
set -euo pipefail
cd "$(dirname "$0")/.."

# PONDREL_DEMO_BUILD_DIR names an existing build to use as it is (no setup, no build).
if [ -n "${PONDREL_DEMO_BUILD_DIR:-}" ]; then
  STAGE=$(cd "$PONDREL_DEMO_BUILD_DIR" && pwd)/stage
else
  # Only what the demo needs: no test tools, no tests, benchmarks or desktop programs built; the build's output
  # goes to a log file and a single progress line stands for it.
  bash scripts/setup.sh demo
  mkdir -p build-demo
  printf 'demo: building Pondrel (log: build-demo/build.log) ...'
  if ! bash scripts/build.sh build-demo -DPONDREL_TESTS=OFF -DPONDREL_BENCH=OFF -DPONDREL_GUI=OFF \
      >build-demo/build.log 2>&1; then
    echo " failed" >&2
    tail -n 30 build-demo/build.log >&2
    echo "demo: the build failed (full log: build-demo/build.log)" >&2
    exit 1
  fi
  echo " done"
  STAGE=$PWD/build-demo/stage
fi
PONDREL=$STAGE/pondrel

if [ -t 1 ]; then bold=$'\033[1m' plain=$'\033[0m'; else bold= plain=; fi
say() { printf '\n%s== %s%s\n' "$bold" "$*" "$plain"; }
# Shows a command as typed (the stage directory left out, the temporary directory as $DEMO),
# then runs it.
run() {
  local shown
  shown=$(printf '%q ' "$@")
  printf '$ %s\n' "${shown% }" | sed "s|$STAGE/||g; s|$WORK|\$DEMO|g"
  "$@"
}

missing=()
for f in pondrel zoricsm libkestova.so KVdl libfetchko.so camsim; do
  [ -e "$STAGE/$f" ] || missing+=("$f")
done
if [ ${#missing[@]} -ne 0 ]; then
  echo "demo: not built yet: ${missing[*]} - nothing to demonstrate without them" >&2
  exit 1
fi

# A private installation: its own registry file, ROOT, and runtime directory, so that nothing
# here meets a real installation or another run.
WORK=$(mktemp -d /tmp/pondrel-demo-XXXXXX)
export PONDREL_REGISTRY=$WORK/system.reg
export PONDREL_USER_REGISTRY=$WORK/user.reg
# A private installation: never the machine's own service manager.
export PONDREL_SERVICE_MANAGER=none
export PONDREL_RUNTIME_DIR=$WORK/run
mkdir -m 0700 "$PONDREL_RUNTIME_DIR"
ROOT=$WORK/root
mkdir -p "$ROOT"
cat >"$PONDREL_REGISTRY" <<REG
REGEDIT4

[HKEY_LOCAL_MACHINE\\SOFTWARE\\VELTA\\Orvane\\KV\\RIDAVOR\\1.0]
"ROOT"="$ROOT"
REG

CAMSIM_PID=
cleanup() {
  local status=$?
  set +e
  "$PONDREL" service stop >/dev/null 2>&1
  [ -n "$CAMSIM_PID" ] && kill "$CAMSIM_PID" 2>/dev/null && wait "$CAMSIM_PID" 2>/dev/null
  # The service runs detached; anything still alive that carries this run's private runtime
  # directory was started by this script (the service host, a downloader) and is ended by pid.
  for env in /proc/[0-9]*/environ; do
    pid=${env#/proc/}
    pid=${pid%/environ}
    if { tr '\0' '\n' <"$env"; } 2>/dev/null | grep -qx "PONDREL_RUNTIME_DIR=$PONDREL_RUNTIME_DIR"; then
      kill "$pid" 2>/dev/null
    fi
  done
  rm -rf "$WORK"
  exit $status
}
trap cleanup EXIT
trap 'exit 130' INT TERM

say "Camera server simulator: 36 pictures, user demo, on a free loopback port"
"$STAGE/camsim" --pictures 36 --user demo --password secret --port-file "$WORK/camsim.port" \
  >"$WORK/camsim.out" 2>&1 &
CAMSIM_PID=$!
for _ in $(seq 100); do
  [ -s "$WORK/camsim.port" ] && break
  sleep 0.1
done
PORT=$(cat "$WORK/camsim.port")
echo "camsim listens on 127.0.0.1:$PORT"

say "A server profile (the password comes from standard input and is never shown)"
echo secret | run "$PONDREL" server add camera-1 --image-dir "$WORK/pictures" \
  --host 127.0.0.1 --port "$PORT" --admin-account demo --password-stdin
run "$PONDREL" server list

say "A task due at the service's next scan (--start now)"
run "$PONDREL" task add "Collect camera-1" --server camera-1 --cycle once --start now
run "$PONDREL" task list

say "The scheduler service"
run "$PONDREL" service start
run "$PONDREL" service status

say "Running the task (--wait: until the run has ended, with its result as the exit status)"
result=0
run "$PONDREL" task run "Collect camera-1" --wait || result=$?

say "The task's result"
run "$PONDREL" task list
run "$PONDREL" task show "Collect camera-1"

say "The activity log"
run "$PONDREL" log show

say "The stored pictures"
( cd "$WORK" && find pictures -type d | sort )
printf '%s picture files, %s day index file(s)\n' \
  "$(find "$WORK/pictures/image" -name '*.jpg' | wc -l)" \
  "$(find "$WORK/pictures" -name '*.idx' | wc -l)"
( cd "$WORK" && find pictures/image -name '*.jpg' | sort | head -5 && echo "...")

say "Stopping the service"
run "$PONDREL" service stop
# Exit status 3: stopped (as systemctl is-active).
run "$PONDREL" service status || true

if [ "$result" -eq 0 ]; then
  say "Done: the whole collection ran"
else
  echo "demo: the task did not succeed (pondrel task run --wait ended with $result)" >&2
  exit 1
fi
