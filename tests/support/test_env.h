// A private little world for one test: a temporary directory holding the registry files, a
// ROOT directory and a runtime directory of its own ($PONDREL_RUNTIME_DIR), so that tests can
// run side by side without seeing each other's named objects or mailslots. Everything is
// removed afterwards.
#pragma once

#include <string>

namespace pondrel::test {

class ScopedTestEnv {
 public:
  // With `write_root`, "ROOT" is set in the registry file to Root().
  explicit ScopedTestEnv(bool write_root = true);
  ScopedTestEnv(const ScopedTestEnv&) = delete;
  ScopedTestEnv& operator=(const ScopedTestEnv&) = delete;
  ~ScopedTestEnv();

  const std::string& Dir() const { return dir_; }    // the temporary directory
  const std::string& Root() const { return root_; }  // Dir() + "/root", created
  // Dir() + "/run", created with mode 0700: the named objects and mailslots.
  const std::string& RuntimeDir() const { return run_; }
  const std::string& Namespace() const { return run_; }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }

 private:
  std::string dir_, root_, run_;
  std::string saved_registry_, saved_user_registry_, saved_run_;
  bool had_registry_ = false, had_user_registry_ = false, had_run_ = false;
};

// Where the built programs and libraries are (zoricsm, KVdl, libkestova.so, camsim, ...).
std::string StageDir();

// Reads a whole file ("" when missing).
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& data);

// Runs this test program again, limited to `filter`, in a private mount namespace
// (unshare --mount) in which a tmpfs of `size` (as mount takes it: "4m", "12k") is mounted
// at <env>/tmpfs; the child finds that path in the environment variable `var`. Needs root
// and /usr/bin/unshare: without them, or when the mount is refused, `skip` says why.
struct TmpfsChildRun {
  std::string skip;    // not empty: the child could not run its cases here
  int exit_code = -1;  // the child's exit status
  std::string output;  // its standard output and error
};
TmpfsChildRun RunInPrivateTmpfs(const ScopedTestEnv& env, const std::string& size, const char* var,
                                const std::string& filter);

}  // namespace pondrel::test
