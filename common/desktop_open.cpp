#include "common/desktop_open.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "common/fs_util.h"
#include "common/unique_fd.h"

namespace pondrel {

bool OpenWithDesktop(const std::string& path) {
  const std::string opener = FindExecutable("xdg-open");
  if (opener.empty() || path.empty()) return false;
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return false;
  UniqueFd read_end(pipe_fds[0]), write_end(pipe_fds[1]);
  const pid_t child = ::fork();
  if (child < 0) return false;
  if (child == 0) {
    // The middle process leaves at once, so the opener runs on as an orphan of init and the
    // caller never has to reap it.
    ::setsid();
    const pid_t grandchild = ::fork();
    if (grandchild != 0) ::_exit(grandchild < 0 ? 127 : 0);
    RedirectStdioToNull();
    const char* argv[] = {opener.c_str(), path.c_str(), nullptr};
    ::execv(opener.c_str(), const_cast<char* const*>(argv));
    const int err = errno;
    (void)!::write(pipe_fds[1], &err, sizeof err);
    ::_exit(127);
  }
  write_end.reset();
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  int err = 0;
  ssize_t n;
  while ((n = ::read(read_end.get(), &err, sizeof err)) < 0 && errno == EINTR) {
  }
  // Any bytes mean that exec failed; end of file means the opener runs.
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 && n == 0;
}

}  // namespace pondrel
