#include "downloader/command_line.h"

#include <cctype>

#include "downloader/result_codes.h"

namespace pondrel::dl {

RunResult ParseCommandLine(std::string_view text, CommandLine* out) {
  *out = CommandLine{};
  std::size_t i = 0;
  while (i < text.size()) {
    if (text[i] != '/') {
      ++i;
      continue;
    }
    ++i;
    const char letter = i < text.size()
                            ? static_cast<char>(std::tolower(static_cast<unsigned char>(text[i])))
                            : '\0';
    if (letter == kOptHangUp || letter == kOptDelete) {
      if (letter == kOptHangUp) out->hang_up = true;
      if (letter == kOptDelete) out->delete_images = true;
      ++i;
      continue;
    }
    std::string* target = nullptr;
    std::string ignored;
    switch (letter) {
      case kOptServerId: target = &out->server_id_text; break;
      case kOptLogPath: target = &out->log_path; break;
      case kOptTaskName: target = &out->task_name; break;
      case 'e':
      case 'p':
      case 'u':
      case 'x': target = &ignored; break;
      default: return RunResult::kUnknownOption;
    }
    ++i;
    if (i >= text.size() || text[i] != ' ') return RunResult::kNoBlankAfterOption;
    ++i;
    const std::size_t end = text.find(',', i);
    const std::string_view value =
        text.substr(i, end == std::string_view::npos ? std::string_view::npos : end - i);
    if (value.empty() || value.size() > kOptionValueMax) return RunResult::kEmptyValue;
    target->assign(value);
    i += value.size();
  }
  out->server_id_set = GuidFromHex(out->server_id_text, &out->server_id);
  if (out->task_name.empty()) return RunResult::kNoTaskName;
  return RunResult::kOk;
}

}  // namespace pondrel::dl
