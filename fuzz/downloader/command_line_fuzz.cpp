// The downloader's command line: any text parses to a result code without reading outside
// the text, and a successful parse always carries a task name within the value limit.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "downloader/command_line.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  pondrel::dl::CommandLine cmd;
  const int r = pondrel::dl::ResultCode(pondrel::dl::ParseCommandLine(text, &cmd));
  if (r == 0 && (cmd.task_name.empty() || cmd.task_name.size() > pondrel::dl::kOptionValueMax)) {
    std::abort();
  }
  if (r != 0 && r != 1001 && r != 1002 && r != 1003 && r != 1005) std::abort();
  return 0;
}
