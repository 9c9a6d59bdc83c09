#include "common/detached_process.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "common/fs_util.h"
#include "common/unique_fd.h"

namespace pondrel {

bool StartDetached(const std::string& program, const std::vector<std::string>& args) {
  std::vector<const char*> argv;
  argv.push_back(program.c_str());
  for (const std::string& a : args) argv.push_back(a.c_str());
  argv.push_back(nullptr);
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return false;
  UniqueFd read_end(pipe_fds[0]), write_end(pipe_fds[1]);
  const pid_t child = ::fork();
  if (child < 0) return false;
  if (child == 0) {
    ::setsid();
    const pid_t grandchild = ::fork();
    if (grandchild != 0) ::_exit(grandchild < 0 ? 127 : 0);
    RedirectStdioToNull();
    ::execv(program.c_str(), const_cast<char* const*>(argv.data()));
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
  // Any bytes mean that exec failed; end of file means the program runs.
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 && n == 0;
}

bool OpenWithDesktop(const std::string& path) {
  const std::string opener = FindExecutable("xdg-open");
  if (opener.empty() || path.empty()) return false;
  return StartDetached(opener, {path});
}

}  // namespace pondrel
