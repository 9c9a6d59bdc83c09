#include "tests/downloader/run_fixture.h"

#include <filesystem>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "common/registry.h"
#include "servers/srvmgr.h"

namespace pondrel::dl::test {

DownloaderWorld::DownloaderWorld() {}

std::string DownloaderWorld::AddProfile(const TestProfile& profile) {
  image_dir_ = profile.image_directory.empty() ? env_.Root() + "/images/" + profile.server_name
                                               : profile.image_directory;
  CKVSrvInfo info;
  (void)info.SetServerName(profile.server_name);
  (void)info.SetImageDirectory(image_dir_);
  (void)info.SetHostName("127.0.0.1");
  info.SetHttpPortRaw(static_cast<std::uint16_t>(profile.port));
  (void)info.SetAdminAccount(profile.account);
  (void)info.SetAdminPassword(profile.password);
  info.SetDeleteImagesOnServer(profile.delete_on_server ? 1 : 0);
  info.SetUseProxy(profile.use_proxy ? 1 : 0);
  if (profile.use_proxy) {
    (void)info.SetProxyHost("127.0.0.1");
    info.SetProxyPortRaw(static_cast<std::uint16_t>(profile.proxy_port));
  }
  info.SetUsePpp(profile.use_ppp ? 1 : 0);
  if (!profile.ppp_entry.empty()) {
    (void)info.SetPppConnectionName(profile.ppp_entry);
    (void)info.SetPppAccount("dial");
    (void)info.SetPppPassword("up");
  }
  CKVSrvMgr store;
  if (!store.Init()) return "";
  if (store.Add(&info) != SrvResult::SRV_OK) return "";
  return GuidToHex(info.GetId());
}

void DownloaderWorld::SetOption(const char* name, std::uint32_t value) {
  RegistryKey key;
  if (key.OpenAll(kSettingsKey)) key.WriteNumber(name, value);
}

std::string DownloaderWorld::CommandLine(const std::string& id_hex, const std::string& task) const {
  return "/g " + id_hex + ",/l " + LogPath() + ",/t " + task;
}

RunSettings DownloaderWorld::Settings() {
  RunSettings s;
  s.progress = &progress_;
  s.timeouts.connect_retries = 0;
  s.close_on_sigterm = false;
  return s;
}

RunResult DownloaderWorld::Run(const std::string& command_line, RunSettings settings) {
  if (!settings.progress) settings.progress = &progress_;
  return RunDownload(command_line, settings);
}

std::vector<std::string> DownloaderWorld::LogLines(const std::string& code) const {
  std::vector<std::string> out;
  std::istringstream in(Log());
  std::string line;
  while (std::getline(in, line)) {
    if (line.find(code) != std::string::npos) out.push_back(line);
  }
  return out;
}

int FreeLoopbackPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
                     ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0;
  ::close(fd);
  return bound ? ntohs(addr.sin_port) : 0;
}

namespace {
bool CanConnect(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  ::close(fd);
  return ok;
}
}  // namespace

bool TinyProxy::Available() { return ::access("/usr/bin/tinyproxy", X_OK) == 0; }

TinyProxy::TinyProxy(const std::string& dir) {
  const int port = FreeLoopbackPort();
  const std::string conf = dir + "/tinyproxy.conf";
  {
    std::ofstream out(conf);
    out << "Port " << port << "\nListen 127.0.0.1\nTimeout 30\nMaxClients 40\n"
        << "LogLevel Critical\nAllow 127.0.0.1\n";
  }
  pondrel::test::ProcessOptions how;
  how.argv0 = "tinyproxy";
  if (!process_.Start("/usr/bin/tinyproxy", {"-d", "-c", conf}, how)) return;
  for (int i = 0; i < 200; ++i) {
    if (CanConnect(port)) {
      port_ = port;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

TinyProxy::~TinyProxy() { process_.Stop(); }

bool PathExists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::exists(path, ec);
}

}  // namespace pondrel::dl::test
