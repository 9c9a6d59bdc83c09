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
      if (letter == kOptHangUp) out->hangUp = true;
      if (letter == kOptDelete) out->deleteImages = true;
      ++i;
      continue;
    }
    std::string* target = nullptr;
    std::string ignored;
    switch (letter) {
      case kOptServerId: target = &out->serverIdText; break;
      case kOptLogPath: target = &out->logPath; break;
      case kOptTaskName: target = &out->taskName; break;
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
  out->serverIdSet = GuidFromHex(out->serverIdText, &out->serverId);
  if (out->taskName.empty()) return RunResult::kNoTaskName;
  return RunResult::kOk;
}

}  // namespace pondrel::dl
