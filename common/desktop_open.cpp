#include "common/desktop_open.h"

#include "common/fs_util.h"
#include "common/process.h"

namespace pondrel {

bool OpenWithDesktop(const std::string& path) {
  const std::string opener = FindExecutable("xdg-open");
  if (opener.empty() || path.empty()) return false;
  ChildSpec spec;
  spec.exe = opener;
  spec.argv = {opener, path};
  spec.new_session = true;
  spec.stdio_to_null = true;
  return StartDetached(std::move(spec));
}

}  // namespace pondrel
