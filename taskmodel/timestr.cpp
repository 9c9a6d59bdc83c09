#include "taskmodel/timestr.h"

namespace pondrel {
bool ParseTimeStr(std::string_view, std::tm*) { return false; }
bool FormatTimeStr(const std::tm&, char* out, std::size_t size) { if (size) out[0] = 0; return false; }
std::string FormatTimeStr(const std::tm&) { return {}; }
bool LocalWallTimeToTime(const std::tm&, std::time_t*) { return false; }
bool TimeStrToTime(std::string_view, std::time_t*) { return false; }
bool TimeToTimeStr(std::time_t, char* out, std::size_t size) { if (size) out[0] = 0; return false; }
std::string TimeToTimeStr(std::time_t) { return {}; }
std::string CurrentTimeStr() { return {}; }
bool AddLocalDays(std::time_t, std::int64_t, std::time_t*) { return false; }
}  // namespace pondrel
