#include "tests/support/test_env.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "common/registry.h"
#include "tests/support/test_process.h"

namespace pondrel::test {
namespace {

void SaveEnv(const char* name, std::string* saved, bool* had) {
  const char* v = std::getenv(name);
  *had = v != nullptr;
  if (v) *saved = v;
}

void RestoreEnv(const char* name, const std::string& saved, bool had) {
  if (had) {
    setenv(name, saved.c_str(), 1);
  } else {
    unsetenv(name);
  }
}

}  // namespace

ScopedTestEnv::ScopedTestEnv(bool write_root) {
  std::string tmpl = (std::filesystem::temp_directory_path() / "pondrel-test-XXXXXX").string();
  if (!mkdtemp(tmpl.data())) std::abort();
  dir_ = tmpl;
  // A test's private installation never reaches the machine's own service manager.
  setenv("PONDREL_SERVICE_MANAGER", "none", 1);
  root_ = dir_ + "/root";
  std::filesystem::create_directories(root_);
  run_ = dir_ + "/run";
  if (::mkdir(run_.c_str(), 0700) != 0) std::abort();

  SaveEnv("PONDREL_REGISTRY", &saved_registry_, &had_registry_);
  SaveEnv("PONDREL_USER_REGISTRY", &saved_user_registry_, &had_user_registry_);
  SaveEnv("PONDREL_RUNTIME_DIR", &saved_run_, &had_run_);
  setenv("PONDREL_REGISTRY", (dir_ + "/system.reg").c_str(), 1);
  setenv("PONDREL_USER_REGISTRY", (dir_ + "/user.reg").c_str(), 1);
  setenv("PONDREL_RUNTIME_DIR", run_.c_str(), 1);

  if (write_root) {
    RegistryKey::CreatePath(kSettingsKey);
    RegistryKey key;
    if (key.OpenAll(kSettingsKey)) key.WriteText("ROOT", root_);
  }
}

ScopedTestEnv::~ScopedTestEnv() {
  RestoreEnv("PONDREL_REGISTRY", saved_registry_, had_registry_);
  RestoreEnv("PONDREL_USER_REGISTRY", saved_user_registry_, had_user_registry_);
  RestoreEnv("PONDREL_RUNTIME_DIR", saved_run_, had_run_);
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

std::string StageDir() {
  if (const char* v = std::getenv("PONDREL_STAGE_DIR")) return v;
  return PONDREL_DEFAULT_STAGE_DIR;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteFile(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << data;
}

namespace {

// Runs `unshare --mount --propagation private -- /bin/true` and returns "" when it worked,
// else what it said (its wording differs between versions, so only the outcome counts).
std::string ProbeUnshare() {
  ProcessOptions options;
  options.argv0 = "unshare";
  const ProgramRun r = RunProgram(
      "/usr/bin/unshare", {"--mount", "--propagation", "private", "--", "/bin/true"}, "", options);
  if (r.status == 0) return "";
  const std::string said = r.out + r.err;
  return said.empty() ? "unshare ended with status " + std::to_string(r.status) : said;
}

}  // namespace

TmpfsChildRun RunInPrivateTmpfs(const ScopedTestEnv& env, const std::string& size, const char* var,
                                const std::string& filter) {
  TmpfsChildRun run;
  if (::geteuid() != 0) {
    run.skip = "mounting a tmpfs needs root";
    return run;
  }
  if (::access("/usr/bin/unshare", X_OK) != 0) {
    run.skip = "/usr/bin/unshare is missing";
    return run;
  }
  const std::string refusal = ProbeUnshare();
  if (!refusal.empty()) {
    run.skip = "this system refuses a private mount namespace: " + refusal;
    return run;
  }
  const std::string mount = env.Path("tmpfs");
  std::filesystem::create_directories(mount);
  const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  const std::string out = env.Path("tmpfs-child.out");
  const std::string script =
      "mount -t tmpfs -o size=" + size +
      " pondrel-test \"$0\" || exit 77; exec \"$1\" --gtest_filter=" + filter;
  ProcessOptions options;
  options.argv0 = "unshare";
  options.env = {std::string(var) + "=" + mount};
  options.output_path = out;
  TestProcess child;
  if (!child.Start(
          "/usr/bin/unshare",
          {"--mount", "--propagation", "private", "--", "/bin/sh", "-c", script, mount, self},
          options)) {
    run.skip = "cannot start the child: " + child.Error();
    return run;
  }
  const int status = child.Wait();
  run.output = ReadFile(out);
  run.exit_code = status;
  if (run.exit_code == 77 ||
      (run.exit_code == 1 && run.output.find("unshare failed") != std::string::npos)) {
    run.skip = "cannot mount a tmpfs in a private namespace here: " + run.output;
  }
  return run;
}

}  // namespace pondrel::test
