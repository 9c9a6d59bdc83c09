// Activity log lines are read back by the log viewer and the command line: any text parses
// into entries without reading outside it, and the filter never trips over what it parsed.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "taskview/activity_log_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace pondrel::tasdek;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto entries = ParseLogText(text);
  if (entries.size() > size + 1) std::abort();
  LogFilter any, narrow;
  narrow.levels = kLevelError | kLevelWarning;
  narrow.start = 1000000000;
  narrow.end = 2000000000;
  narrow.task = "daily";
  for (const auto& e : entries) {
    (void)LogEntryPasses(e, any);
    (void)LogEntryPasses(e, narrow);
  }
  const std::size_t end = text.find('\n');
  (void)ParseLogLine(text.substr(0, end));
  return 0;
}
