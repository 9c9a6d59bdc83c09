// The registry file is text anybody with write access may have edited: whatever it holds,
// reading keys and values stays within bounds, and writing one value keeps every other value
// of the key as it was read.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/fs_util.h"
#include "common/registry.h"

namespace {

char g_dir[] = "/tmp/pondrel-reg-fuzz-XXXXXX";

void RemoveScratch() { pondrel::RemoveTree(g_dir); }

const std::string& RegistryFile() {
  static const std::string kPath = [] {
    if (!mkdtemp(g_dir)) std::abort();
    std::atexit(RemoveScratch);
    const std::string p = std::string(g_dir) + "/system.reg";
    setenv("PONDREL_REGISTRY", p.c_str(), 1);
    return p;
  }();
  return kPath;
}

bool SameValue(const pondrel::RegValue& a, const pondrel::RegValue& b) {
  return a.type == b.type && a.text == b.text && a.multi == b.multi && a.number == b.number;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace pondrel;
  const std::string& path = RegistryFile();
  {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);
  }
  (void)ReadRootDir();
  (void)RegistryKey::SubKeyNames("SOFTWARE\\VELTA");
  RegistryKey key(RegHive::kLocalMachine);
  if (!key.OpenRead(kSettingsKey)) return 0;
  std::uint32_t number = 0;
  char root[kRootBufferSize];
  key.ReadNumber("DLLimitSpaceMB", &number);
  if (key.ReadText("ROOT", root, sizeof root) && std::string(root).size() >= sizeof root) {
    std::abort();
  }
  struct Named {
    std::string name;
    RegValue value;
  };
  std::vector<Named> before;
  for (const std::string& name : key.ValueNames()) {
    Named n{name, {}};
    if (key.ReadValue(name, &n.value)) before.push_back(std::move(n));
  }
  if (!key.WriteText("FuzzProbe", "a \"quoted\" \\ value")) return 0;
  std::string probe;
  if (!key.ReadText("FuzzProbe", &probe) || probe != "a \"quoted\" \\ value") std::abort();
  for (const Named& n : before) {
    if (n.name == "FuzzProbe" || n.name == "fuzzprobe") continue;
    RegValue after;
    if (!key.ReadValue(n.name, &after) || !SameValue(after, n.value)) std::abort();
  }
  return 0;
}
