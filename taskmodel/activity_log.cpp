#include "taskmodel/activity_log.h"

namespace pondrel {
const char* LogLevelWord(int) { return "error"; }
std::string ServiceLogPath(std::string_view) { return {}; }
std::string FormatLogTime(std::time_t) { return {}; }
std::string FormatLogLine(std::time_t, std::string_view, std::string_view, int, std::string_view) { return {}; }
void WriteLogLine(const std::string&, std::string_view, std::string_view, int, std::string_view) {}
int AppendRunLog(const std::string&, const std::string&) { return -1; }
}  // namespace pondrel
