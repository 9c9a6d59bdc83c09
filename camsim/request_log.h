// The simulator's request log: one line per request served, "<method> <target> <status>
// <body bytes sent>", appended with one write each so that a reader never sees half a line.
#pragma once

#include <cstddef>
#include <string>

#include "common/unique_fd.h"

namespace pondrel::camsim {

class RequestLog {
 public:
  // Opens (creating, appending) `path`; false when it cannot be opened.
  bool Open(const std::string& path);
  bool IsOpen() const { return fd_.valid(); }
  void Write(const std::string& method, const std::string& target, int status, std::size_t bytes);

 private:
  UniqueFd fd_;
};

// "<method> <target> <status> <bytes>\n"; control characters and blanks in the target are
// written as %XX so that the line keeps its four fields.
std::string FormatRequestLogLine(const std::string& method, const std::string& target, int status,
                                 std::size_t bytes);

}  // namespace pondrel::camsim
