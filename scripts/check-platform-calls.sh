#!/usr/bin/env bash
# Fails when a process, wait-loop, signal or file-lock call of the system appears outside the
# platform layer (common/). The camera simulator, the tests, the benchmarks and the fuzz
# targets are tools around the system and may call them directly.
set -euo pipefail
cd "$(dirname "$0")/.."
calls='fork|vfork|clone|clone3|exec[lv]p?e?|fexecve|posix_spawnp?|wait|waitpid|waitid|wait3|wait4|pidfd_open|pidfd_send_signal|pidfd_getfd|SYS_pidfd_[a-z_]+|epoll_create1?|epoll_ctl|epoll_p?wait2?|timerfd_create|timerfd_settime|signalfd|sigaction|signal|sigprocmask|pthread_sigmask|kill|killpg|tgkill|flock|lockf|setsid|daemon'
mapfile -t dirs < <(find . -mindepth 1 -maxdepth 1 -type d \
  ! -name common ! -name tests ! -name camsim ! -name bench ! -name fuzz \
  ! -name '.*' ! -name 'build*' -printf '%P\n' | sort)
found=$( (grep -rnE --include='*.cpp' --include='*.h' --include='*.c' --include='*.cc' \
           "(^|[^A-Za-z0-9_.>])(::)?($calls)[[:space:]]*\(" "${dirs[@]}" 2>/dev/null || true) |
         grep -vE '^[^:]+:[0-9]+:[[:space:]]*(//|\*)' || true)
if [ -n "$found" ]; then
  echo "Process, wait-loop and lock calls belong in the platform layer (common/):" >&2
  echo "$found" >&2
  exit 1
fi
echo "platform calls: none outside common/ (checked: ${dirs[*]})"
