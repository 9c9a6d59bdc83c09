#include "tasdek/tasdek_app.h"

#include <strings.h>
#include <cstdio>
#include <cstdlib>

#include "common/fs_util.h"
#include "common/registry.h"

namespace pondrel::tasdek {
namespace {

bool g_stand_alone = false;
constexpr char kHostProductKey[] = "SOFTWARE\\VELTA\\Orvane\\KV\\VEZO\\1.0\\";

}  // namespace

CommandWords ParseCommandWords(const std::string& line) {
  CommandWords w;
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (line[i] != '-' && line[i] != '/') continue;
    const char* rest = line.c_str() + i + 1;
    if (strcasecmp(rest, "RegServer") == 0) w.reg_server = true;
    if (strcasecmp(rest, "UnregServer") == 0) w.unreg_server = true;
    if (strcasecmp(rest, "StandAloneMode") == 0 || strcasecmp(rest, "SAM") == 0)
      w.stand_alone = true;
    if (strcasecmp(rest, "Embedding") == 0) w.embedding = true;
  }
  return w;
}

void SetStandAlone(bool on) { g_stand_alone = on; }

bool IsEmbeddedMode() {
  if (g_stand_alone) return false;
  RegistryKey key;
  return key.OpenRead(kHostProductKey);
}

std::string ActivationFilePath() {
  std::string base;
  if (const char* x = std::getenv("XDG_DATA_HOME"); x && x[0] == '/') {
    base = x;
  } else if (const char* h = std::getenv("HOME"); h && h[0] == '/') {
    base = std::string(h) + "/.local/share";
  } else {
    return "";
  }
  return base + "/dbus-1/services/" + kBusName + ".service";
}

bool RegisterServer(const std::string& program) {
  const std::string path = ActivationFilePath();
  if (path.empty() || program.empty()) return false;
  const std::string dir = path.substr(0, path.rfind('/'));
  if (!CreateDirectoryChain(dir)) return false;
  // The bus splits Exec at blanks and understands quotes; the program path is quoted.
  std::string quoted;
  for (char c : program) {
    if (c == '"' || c == '\\') quoted += '\\';
    quoted += c;
  }
  const std::string text =
      std::string("[D-BUS Service]\nName=") + kBusName + "\nExec=\"" + quoted + "\" -Embedding\n";
  return WriteFileAtomically(path, text, path + ".tmp");
}

bool UnregisterServer() {
  const std::string path = ActivationFilePath();
  bool ok = true;
  if (!path.empty() && FileExists(path)) ok = std::remove(path.c_str()) == 0;
  if (RegistryKey::KeyExists(kSettingsKey, RegHive::kCurrentUser)) {
    ok = RegistryKey::DeleteKey(kSettingsKey, RegHive::kCurrentUser) && ok;
  }
  return ok;
}

}  // namespace pondrel::tasdek
