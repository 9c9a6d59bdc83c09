// Shared pieces of the downloader's tests: a private test world with one server profile
// pointing at a camera on loopback, the download options in the registry, a status-line
// recorder, the run log, and a tinyproxy started on demand.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "common/guid.h"
#include "downloader/download_run.h"
#include "downloader/progress_reporter.h"
#include "tests/support/image_files.h"
#include "tests/support/test_env.h"
#include "tests/support/test_process.h"

namespace pondrel::dl {
// Results print as their numbers in test failures.
inline void PrintTo(RunResult r, std::ostream* os) { *os << ResultCode(r); }
}  // namespace pondrel::dl

namespace pondrel::dl::test {

using pondrel::test::ReadFile;
using pondrel::test::ScopedTestEnv;
using pondrel::test::StageDir;
using pondrel::test::WriteFile;

class RecordingProgress final : public ProgressReporter {
 public:
  void Status(std::string_view text) override {
    std::lock_guard lock(mu_);
    lines_.emplace_back(text);
  }
  std::vector<std::string> Lines() {
    std::lock_guard lock(mu_);
    return lines_;
  }

 private:
  std::mutex mu_;
  std::vector<std::string> lines_;
};

struct TestProfile {
  std::string server_name = "cam1";
  int port = 80;
  std::string account = "admin";
  std::string password = "secret";
  bool delete_on_server = false;
  bool use_proxy = false;
  int proxy_port = 0;
  bool use_ppp = false;
  std::string ppp_entry;
  std::string image_directory;  // empty = <Root>/images/<serverName>
};

class DownloaderWorld {
 public:
  DownloaderWorld();
  // Stores a profile; returns its identifier in hex.
  std::string AddProfile(const TestProfile& profile);
  void SetOption(const char* name, std::uint32_t value);
  // "/g <id>,/l <log>,/t task1" for the profile.
  std::string CommandLine(const std::string& id_hex, const std::string& task = "task1") const;
  RunResult Run(const std::string& command_line, RunSettings settings = {});
  // Settings with the recorder and short waits; stall limits as in production.
  RunSettings Settings();

  std::string ImageDir() const { return image_dir_; }
  std::string LogPath() const { return env_.Path("dl.log"); }
  std::string Log() const { return ReadFile(LogPath()); }
  // Lines of the run log holding `code` (e.g. "(D002)").
  std::vector<std::string> LogLines(const std::string& code) const;
  RecordingProgress& progress() { return progress_; }
  const ScopedTestEnv& env() const { return env_; }

 private:
  ScopedTestEnv env_;
  std::string image_dir_;
  RecordingProgress progress_;
};

// tinyproxy on a free loopback port, configured from a file in a temporary directory.
class TinyProxy {
 public:
  static bool Available();
  explicit TinyProxy(const std::string& dir);
  ~TinyProxy();
  bool ok() const { return port_ > 0; }
  int port() const { return port_; }

 private:
  pondrel::test::TestProcess process_;
  int port_ = 0;
};

// A loopback port that was free a moment ago (nobody listens on it); 0 when none was had.
int FreeLoopbackPort();

// What a run left below <image_dir>/image: the ".jpg" files, their bytes, and every byte
// (pictures still being written included).
using pondrel::test::CountJpgs;
using pondrel::test::ImageBytes;
using pondrel::test::JpgBytes;
bool PathExists(const std::string& path);

}  // namespace pondrel::dl::test
