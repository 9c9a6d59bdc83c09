#include "camsim/request_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

namespace pondrel::camsim {

bool RequestLog::Open(const std::string& path) {
  fd_.reset(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
  return fd_.valid();
}

void RequestLog::Write(const std::string& method, const std::string& target, int status,
                       std::size_t bytes) {
  if (!fd_.valid()) return;
  const std::string line = FormatRequestLogLine(method, target, status, bytes);
  // O_APPEND makes each write land whole at the end, whichever thread writes.
  const ssize_t n = ::write(fd_.get(), line.data(), line.size());
  (void)n;
}

std::string FormatRequestLogLine(const std::string& method, const std::string& target, int status,
                                 std::size_t bytes) {
  std::string line = method.empty() ? "-" : method;
  line += ' ';
  if (target.empty()) line += '-';
  for (unsigned char c : target) {
    if (c <= ' ' || c == 0x7F) {
      char esc[4];
      std::snprintf(esc, sizeof esc, "%%%02X", c);
      line += esc;
    } else {
      line += static_cast<char>(c);
    }
  }
  line += ' ' + std::to_string(status) + ' ' + std::to_string(bytes) + '\n';
  return line;
}

}  // namespace pondrel::camsim
