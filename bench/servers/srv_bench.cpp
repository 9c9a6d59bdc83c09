// Figures for the profile store: loading a store of 1,000 profiles, and compressing plus
// decompressing a full (980-byte) record.
#include <chrono>
#include <cstdio>
#include <string>

#include "servers/srvcodec.h"
#include "servers/srvmgr.h"
#include "tests/support/test_env.h"

using namespace pondrel;

namespace {

double MsSince(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

CKVSrvInfo Full(int i, const std::string& dir) {
  CKVSrvInfo p;
  Guid id;
  CreateGuid(&id);
  p.SetId(id);
  (void)p.SetServerName("camera " + std::to_string(i));
  (void)p.SetImageDirectory(dir + "/img" + std::to_string(i));
  (void)p.SetHostName("cam" + std::to_string(i) + ".example.net");
  (void)p.SetAdminAccount("admin");
  (void)p.SetAdminPassword("secret");
  (void)p.SetProxyHost("proxy.example.net");
  (void)p.SetProxyPort("3128");
  p.SetUseProxy(i % 2);
  return p;
}

}  // namespace

int main() {
  pondrel::test::ScopedTestEnv env;

  // A store of 1,000 profiles, written directly (the editors would rewrite it 1,000 times).
  std::string file, one;
  for (int i = 0; i < 1000; ++i) {
    if (EncodeSrvFileRecord(Full(i, env.Dir()), &one) != SrvResult::SRV_OK) return 1;
    file += one;
  }
  pondrel::test::WriteFile(env.Root() + "/prp1", file);
  CKVSrvMgr mgr;
  if (!mgr.Init()) return 1;
  bool more = false;
  const int loads = 20;
  auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < loads; ++i) {
    if (mgr.LoadAll(&more, kSrvMaskAll) != SrvResult::SRV_OK || mgr.Loaded().size() != 1000)
      return 1;
  }
  double ms = MsSince(t0) / loads;
  std::printf("LoadAll, 1000 profiles (%zu bytes), mask 0xFFFE: %.2f ms per load\n", file.size(),
              ms);
  t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < loads; ++i) (void)mgr.LoadAll(&more, kSrvMaskServerList);
  std::printf("LoadAll, 1000 profiles, mask 0x0D8A (no image directory): %.2f ms per load\n",
              MsSince(t0) / loads);

  // A full record: every string at its limit.
  CKVSrvInfo p;
  (void)p.SetServerName(std::string(255, 'n'));
  (void)p.SetImageDirectory("/" + std::string(199, 'd'));
  (void)p.SetHostName(std::string(63, 'h'));
  (void)p.SetAdminAccount(std::string(15, 'a'));
  (void)p.SetAdminPassword(std::string(15, 'p'));
  (void)p.SetProxyHost(std::string(63, 'x'));
  (void)p.SetPppConnectionName(std::string(255, 'c'));
  (void)p.SetPppAccount(std::string(15, 'u'));
  (void)p.SetPppPassword(std::string(15, 'w'));
  (void)p.SetSettingsPageUrl(std::string(31, 's'));
  const std::string ser = SerializeSrvRecord(p);
  std::string block, back;
  const int rounds = 20000;
  t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < rounds; ++i) {
    if (!CompressSrvRecord(ser, &block) || !DecompressSrvRecord(block, &back) || back != ser)
      return 1;
  }
  double us = MsSince(t0) * 1000.0 / rounds;
  std::printf("compress + decompress of a %zu-byte record (block %zu bytes): %.2f us per round\n",
              ser.size(), block.size(), us);
  return 0;
}
