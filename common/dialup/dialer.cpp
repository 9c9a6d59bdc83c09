#include "common/dialup/dialer.h"

#include <cstdlib>

#include "common/dialup/pppd_dialer.h"
#include "common/dialup/scripted_dialer.h"

namespace pondrel::dialup {

std::unique_ptr<Dialer> LoadDialer() {
  if (const char* script = std::getenv(kDialScriptVariable); script && *script) {
    return ScriptedDialer::Load(script);
  }
  return PppdDialer::Load();
}

bool IsValidEntryName(std::string_view entry) {
  if (entry.empty() || entry.find('/') != entry.npos || entry.find("..") != entry.npos)
    return false;
  for (char c : entry) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return false;
  }
  return true;
}

}  // namespace pondrel::dialup
