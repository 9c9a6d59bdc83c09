// Runs the built pondrel program as a child (it inherits the test's environment, and so the
// ScopedTestEnv's registry files and IPC namespace) with a given standard input, and collects
// its exit status, standard output and standard error.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/support/test_env.h"

extern char** environ;

namespace pondrel::test {

struct CliResult {
  int status = -1;
  std::string out, err;
};

inline CliResult RunPondrel(const std::vector<std::string>& args, const std::string& input = "") {
  static int counter = 0;
  const std::string base = "/tmp/pondrel-cli-" + std::to_string(getpid()) + "-" +
                           std::to_string(counter++);
  const std::string in = base + ".in", out = base + ".out", err = base + ".err";
  WriteFile(in, input);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, in.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  const std::string program = StageDir() + "/pondrel";
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  CliResult r;
  pid_t pid;
  if (posix_spawn(&pid, program.c_str(), &fa, nullptr, argv.data(), environ) == 0) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
    }
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  posix_spawn_file_actions_destroy(&fa);
  r.out = ReadFile(out);
  r.err = ReadFile(err);
  unlink(in.c_str());
  unlink(out.c_str());
  unlink(err.c_str());
  return r;
}

}  // namespace pondrel::test
