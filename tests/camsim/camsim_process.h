// Runs the camsim camera server simulator as a child process for a test: starts it on a free
// loopback port with a private port file and request log, waits until it listens, talks to
// its control and statistics requests, and stops it (SIGTERM, then SIGKILL) and removes its
// files when destroyed.
//
//   pondrel::test::CamsimProcess cam({"--pictures", "17", "--admin-user", "adm",
//                                     "--admin-password", "pw"});
//   ASSERT_TRUE(cam.ok()) << cam.Output();
//   ... point the downloader at 127.0.0.1:cam.port() ...
//   EXPECT_EQ(cam.Stats()["rpdel_batches"], "8,8,1");
//   EXPECT_EQ(cam.Requests("/-kvidb-/rpdel").size(), 3u);
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "tests/support/test_process.h"

namespace pondrel::test {

// One line of camsim's request log.
struct CamsimRequest {
  std::string method;
  std::string target;  // path and query as sent
  int status = 0;
  long bytes = 0;  // body bytes actually sent
};

class CamsimProcess {
 public:
  // `args` are camsim options (see `camsim --help`), without --port, --port-file and
  // --request-log, which the helper supplies. Waits up to 30 s for the port.
  explicit CamsimProcess(const std::vector<std::string>& args = {});
  ~CamsimProcess();
  CamsimProcess(const CamsimProcess&) = delete;
  CamsimProcess& operator=(const CamsimProcess&) = delete;

  bool ok() const { return port_ > 0; }
  int port() const { return port_; }
  pid_t pid() const { return process_.pid(); }
  // "http://127.0.0.1:<port>" followed by `target`.
  std::string Url(const std::string& target = "") const;
  // The private temporary directory (port file, request log, camsim's output).
  const std::string& Dir() const { return dir_; }
  std::string RequestLogPath() const { return dir_ + "/requests.log"; }
  // What camsim printed on stdout and stderr so far.
  std::string Output() const;

  // The request log so far; with `path_prefix`, only the requests whose target starts with it.
  std::vector<CamsimRequest> Requests(const std::string& path_prefix = "") const;

  // Sends control lines ("key=value", separated by line feeds; see camsim/camera_server.h).
  // True when camsim accepted all of them; *answer gets its reply.
  bool Control(const std::string& lines, std::string* answer = nullptr) const;
  // GET /-camsim-/stats as a map (empty when camsim does not answer).
  std::map<std::string, std::string> Stats() const;
  // One numeric statistic, or -1 when missing.
  long Stat(const std::string& key) const;

  // Ends camsim: SIGTERM, up to 10 s, then SIGKILL. Returns its exit code (128 + signal when
  // killed by a signal), or -1 when it was not running. Safe to call twice.
  int Stop();

  // Where the camsim executable is: the stage directory of the build.
  static std::string Executable();

 private:
  std::string dir_;
  TestProcess process_;
  int port_ = 0;
};

}  // namespace pondrel::test
