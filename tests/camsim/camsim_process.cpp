#include "tests/camsim/camsim_process.h"

#include <httplib.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <thread>

#include "tests/support/test_env.h"

namespace pondrel::test {

std::string CamsimProcess::Executable() { return StageDir() + "/camsim"; }

CamsimProcess::CamsimProcess(const std::vector<std::string>& args) {
  std::string tmpl = (std::filesystem::temp_directory_path() / "camsim-XXXXXX").string();
  if (!::mkdtemp(tmpl.data())) return;
  dir_ = tmpl;
  const std::string port_file = dir_ + "/port";
  const std::string out_file = dir_ + "/output.txt";

  std::vector<std::string> argv = {"--port",        "0", "--port-file", port_file, "--request-log",
                                   RequestLogPath()};
  argv.insert(argv.end(), args.begin(), args.end());
  ProcessOptions options;
  options.output_path = out_file;
  if (!process_.Start(Executable(), argv, options)) return;

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < deadline) {
    const std::string text = ReadFile(port_file);
    if (!text.empty() && text.back() == '\n') {
      port_ = std::atoi(text.c_str());
      if (port_ > 0) return;
    }
    // Ended at once (bad options, cannot listen): see Output().
    if (!process_.Running()) return;
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
  port_ = 0;
  return process_.Stop();
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
