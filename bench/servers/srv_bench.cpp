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
  p.SetServerName("camera " + std::to_string(i));
  p.SetImageDirectory(dir + "/img" + std::to_string(i));
  p.SetHostName("cam" + std::to_string(i) + ".example.net");
  p.SetAdminAccount("admin");
  p.SetAdminPassword("secret");
  p.SetProxyHost("proxy.example.net");
  p.SetProxyPort("3128");
  p.SetUseProxy(i % 2);
  return p;
}

}  // namespace

int main() {
  pondrel::test::ScopedTestEnv env;

  // A store of 1,000 profiles, written directly (the editors would rewrite it 1,000 times).
  std::string file, one;
  for (int i = 0; i < 1000; ++i) {
    if (EncodeSrvFileRecord(Full(i, env.Dir()), &one) != SRV_OK) return 1;
    file += one;
  }
  pondrel::test::WriteFile(env.Root() + "/prp1", file);
  CKVSrvMgr mgr;
  if (!mgr.Init()) return 1;
  bool more = false;
  const int loads = 20;
  auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < loads; ++i) {
    if (mgr.LoadAll(&more, kSrvMaskAll) != SRV_OK || mgr.Loaded().size() != 1000) return 1;
  }
  double ms = MsSince(t0) / loads;
  std::printf("LoadAll, 1000 profiles (%zu bytes), mask 0xFFFE: %.2f ms per load\n", file.size(),
              ms);
  t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < loads; ++i) mgr.LoadAll(&more, kSrvMaskServerList);
  std::printf("LoadAll, 1000 profiles, mask 0x0D8A (no image directory): %.2f ms per load\n",
              MsSince(t0) / loads);

  // A full record: every string at its limit.
  CKVSrvInfo p;
  p.SetServerName(std::string(255, 'n'));
  p.SetImageDirectory("/" + std::string(199, 'd'));
  p.SetHostName(std::string(63, 'h'));
  p.SetAdminAccount(std::string(15, 'a'));
  p.SetAdminPassword(std::string(15, 'p'));
  p.SetProxyHost(std::string(63, 'x'));
  p.SetPppConnectionName(std::string(255, 'c'));
  p.SetPppAccount(std::string(15, 'u'));
  p.SetPppPassword(std::string(15, 'w'));
  p.SetSettingsPageUrl(std::string(31, 's'));
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
