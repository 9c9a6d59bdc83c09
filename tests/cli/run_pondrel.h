// Runs the built pondrel program as a child (it inherits the test's environment, and so the
// ScopedTestEnv's registry files and IPC namespace) with a given standard input, and collects
// its exit status, standard output and standard error.
#pragma once

#include <string>
#include <vector>

#include "tests/support/test_env.h"
#include "tests/support/test_process.h"

namespace pondrel::test {

using CliResult = ProgramRun;

inline CliResult RunPondrel(const std::vector<std::string>& args, const std::string& input = "") {
  return RunProgram(StageDir() + "/pondrel", args, input);
}

}  // namespace pondrel::test
