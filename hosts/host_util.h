// What both host programs share: finding their own directory.
#pragma once

#include <limits.h>
#include <unistd.h>

#include <string>

namespace pondrel::host {

// The directory of the running program, from /proc/self/exe ("." when unknown).
inline std::string OwnDirectory() {
  char buf[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  std::string path(buf, static_cast<std::size_t>(n));
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace pondrel::host
