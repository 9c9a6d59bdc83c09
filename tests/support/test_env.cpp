#include "tests/support/test_env.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "common/registry.h"

namespace pondrel::test {
namespace {

std::atomic<int> g_counter{0};

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
  ns_ = "pondrel-test-" + std::to_string(getpid()) + "-" + std::to_string(g_counter++) + "-" +
        dir_.substr(dir_.size() - 6);

  SaveEnv("PONDREL_REGISTRY", &saved_registry_, &had_registry_);
  SaveEnv("PONDREL_USER_REGISTRY", &saved_user_registry_, &had_user_registry_);
  SaveEnv("PONDREL_IPC_NAMESPACE", &saved_ns_, &had_ns_);
  setenv("PONDREL_REGISTRY", (dir_ + "/system.reg").c_str(), 1);
  setenv("PONDREL_USER_REGISTRY", (dir_ + "/user.reg").c_str(), 1);
  setenv("PONDREL_IPC_NAMESPACE", ns_.c_str(), 1);

  if (write_root) {
    CKVRegKey::CreatePath(kSettingsKey);
    CKVRegKey key;
    if (key.OpenAll(kSettingsKey)) key.WriteText("ROOT", root_);
  }
}

ScopedTestEnv::~ScopedTestEnv() {
  RestoreEnv("PONDREL_REGISTRY", saved_registry_, had_registry_);
  RestoreEnv("PONDREL_USER_REGISTRY", saved_user_registry_, had_user_registry_);
  RestoreEnv("PONDREL_IPC_NAMESPACE", saved_ns_, had_ns_);
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

}  // namespace pondrel::test
