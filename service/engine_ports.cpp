// The service's real profile look-ups and launcher.
#include "service/engine_ports.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cstdlib>

#include "common/fs_util.h"
#include "servers/srvmgr.h"

namespace pondrel {
namespace {

LookupResult FindProfile(const std::string& root, const Guid& id, std::uint16_t mask,
                         CKVSrvInfo* info) {
  CKVSrvMgr mgr;
  if (!mgr.InitWithDirectory(root)) return LookupResult::kUnreadable;
  const SrvResult rc = mgr.FindById(id, info, mask);
  if (rc == SrvResult::SRV_ERR_NOT_FOUND) return LookupResult::kNoSuchProfile;
  return rc == SrvResult::SRV_OK ? LookupResult::kFound : LookupResult::kUnreadable;
}

}  // namespace

LookupResult ProfileDirectory::Name(const Guid& id, std::string* name) {
  CKVSrvInfo info;
  const LookupResult r = FindProfile(*root_, id, kSrvMaskName, &info);
  if (r == LookupResult::kFound) *name = info.GetServerName();
  return r;
}

LookupResult ProfileDirectory::NameAndImageDir(const Guid& id, std::string* name,
                                               std::string* image_dir) {
  CKVSrvInfo info;
  const LookupResult r = FindProfile(*root_, id, kSrvMaskNameAndDir, &info);
  if (r != LookupResult::kFound) return r;
  *name = info.GetServerName();
  *image_dir = info.GetImageDirectory();
  return r;
}

AddrResult ProfileDirectory::Address(const Guid& id, sockaddr_in* addr) {
  CKVSrvInfo info;
  if (FindProfile(*root_, id, kSrvMaskHostName, &info) != LookupResult::kFound)
    return AddrResult::kUnreadable;
  const std::string& host = info.GetHostName();
  if (host.empty()) return AddrResult::kUnresolvable;
  in_addr a{};
  if (::inet_pton(AF_INET, host.c_str(), &a) == 1) {
    addr->sin_addr = a;
    return AddrResult::kResolved;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0 || !res)
    return AddrResult::kUnresolvable;
  addr->sin_addr = reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr;
  ::freeaddrinfo(res);
  return AddrResult::kResolved;
}

bool KvdlLauncher::Launch(const DownloaderOptions& options, LaunchedProcess* child) {
  std::string only_dir = dir_;
  if (only_dir.empty())
    if (const char* env = std::getenv(kLauncherDirVar)) only_dir = env;
  // A launcher that is missing or cannot run is a start failure.
  const std::string exe = FindExecutable(kLauncherName, only_dir);
  std::string error;
  return !exe.empty() &&
         StartLauncher(exe, kLauncherName, FormatDownloaderOptions(options), child, &error);
}

}  // namespace pondrel
