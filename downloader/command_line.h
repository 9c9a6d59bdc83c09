// The downloader's command line: "/g <server id>,/l <log path>,/t <task name>" with the
// optional flags "/h" and "/d", as the service builds it for each run.
#pragma once

#include <string>
#include <string_view>

#include "common/guid.h"
#include "common/protocol.h"

namespace pondrel::dl {

// Each option value has room for this many characters.
inline constexpr std::size_t kOptionValueMax = 1023;

struct CommandLine {
  bool hang_up = false;        // "/h": hang up the dial-up connection after the run
  bool delete_images = false;  // "/d": the task deletes the pictures on the server
  bool server_id_set = false;  // "/g" held exactly 32 lower-case hexadecimal digits
  Guid server_id;
  std::string server_id_text;  // the "/g" value as given
  std::string log_path;        // "/l"; empty = <imageDirectory>/info/dl.log
  std::string task_name;       // "/t", mandatory
};

// Parses `text` into `out`. Returns kOk, or 1001 (unknown option letter), 1002 (letter not
// followed by a blank), 1003 (empty value, a value beginning with ",", or one longer than
// 1023 characters) or 1005 (no task name).
//
// An option is "/", a letter of either case, one blank and a value. A value runs to the next
// "," or the end of the text; "/" is this platform's path separator, so it belongs to the
// value (the "/l" path holds it). Characters outside options are skipped.
RunResult ParseCommandLine(std::string_view text, CommandLine* out);

}  // namespace pondrel::dl
