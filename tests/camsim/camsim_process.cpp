#include "tests/camsim/camsim_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <httplib.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <thread>

#include "tests/support/test_env.h"

namespace pondrel::test {
namespace {

// Waits for `pid` up to `ms`; returns its status, or -1 while it still runs.
int WaitFor(pid_t pid, int ms, int* status) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (true) {
    const pid_t r = ::waitpid(pid, status, WNOHANG);
    if (r == pid || (r < 0 && errno != EINTR)) return 0;
    if (std::chrono::steady_clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

int ExitCodeOf(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace

std::string CamsimProcess::Executable() { return StageDir() + "/camsim"; }

CamsimProcess::CamsimProcess(const std::vector<std::string>& args) {
  std::string tmpl = (std::filesystem::temp_directory_path() / "camsim-XXXXXX").string();
  if (!::mkdtemp(tmpl.data())) return;
  dir_ = tmpl;
  const std::string port_file = dir_ + "/port";
  const std::string out_file = dir_ + "/output.txt";

  std::vector<std::string> argv_text = {Executable(), "--port", "0", "--port-file", port_file,
                                        "--request-log", RequestLogPath()};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);

  const pid_t parent = ::getpid();
  pid_ = ::fork();
  if (pid_ == 0) {
    // Only async-signal-safe calls between fork and exec. camsim dies with the test.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    const int fd = ::open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
      ::dup2(fd, 1);
      ::dup2(fd, 2);
      ::close(fd);
    }
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  if (pid_ < 0) return;

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < deadline) {
    const std::string text = ReadFile(port_file);
    if (!text.empty() && text.back() == '\n') {
      port_ = std::atoi(text.c_str());
      if (port_ > 0) return;
    }
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;  // it ended at once (bad options, cannot listen): see Output()
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

CamsimProcess::~CamsimProcess() {
  Stop();
  if (!dir_.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
}

int CamsimProcess::Stop() {
  if (pid_ <= 0) return -1;
  int status = 0;
  ::kill(pid_, SIGTERM);
  if (WaitFor(pid_, 10000, &status) < 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status, 0);
  }
  pid_ = -1;
  port_ = 0;
  return ExitCodeOf(status);
}

std::string CamsimProcess::Url(const std::string& target) const {
  return "http://127.0.0.1:" + std::to_string(port_) + target;
}

std::string CamsimProcess::Output() const { return ReadFile(dir_ + "/output.txt"); }

std::vector<CamsimRequest> CamsimProcess::Requests(const std::string& path_prefix) const {
  std::vector<CamsimRequest> out;
  std::istringstream in(ReadFile(RequestLogPath()));
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    CamsimRequest r;
    if (!(fields >> r.method >> r.target >> r.status >> r.bytes)) continue;
    if (r.target.rfind(path_prefix, 0) == 0) out.push_back(r);
  }
  return out;
}

bool CamsimProcess::Control(const std::string& lines, std::string* answer) const {
  if (!ok()) return false;
  httplib::Client client("127.0.0.1", port_);
  client.set_connection_timeout(5);
  client.set_read_timeout(10);
  const auto res = client.Post("/-camsim-/control", lines, "text/plain");
  if (!res) return false;
  if (answer) *answer = res->body;
  return res->status == 200;
}

std::map<std::string, std::string> CamsimProcess::Stats() const {
  std::map<std::string, std::string> out;
  if (!ok()) return out;
  httplib::Client client("127.0.0.1", port_);
  client.set_connection_timeout(5);
  client.set_read_timeout(10);
  const auto res = client.Get("/-camsim-/stats");
  if (!res || res->status != 200) return out;
  std::istringstream in(res->body);
  std::string line;
  while (std::getline(in, line)) {
    const size_t eq = line.find('=');
    if (eq != std::string::npos) out[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return out;
}

long CamsimProcess::Stat(const std::string& key) const {
  const auto stats = Stats();
  const auto it = stats.find(key);
  if (it == stats.end() || it->second.empty()) return -1;
  return std::strtol(it->second.c_str(), nullptr, 10);
}

}  // namespace pondrel::test
