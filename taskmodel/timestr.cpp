#include "taskmodel/timestr.h"

#include <cerrno>
#include <cstdio>
#include <limits>

#include "common/clock.h"

namespace pondrel {
namespace {

bool IsLeap(long y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(long y, int month) {  // month 1..12
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeap(y) ? 29 : kDays[month - 1];
}

bool IsSeparator(char c) { return c == '/' || c == ':'; }

// The UTC offset of the local time zone at `t`; false when the time cannot be converted.
bool OffsetAt(std::time_t t, long* offset) {
  std::tm tm{};
  if (!localtime_r(&t, &tm)) return false;
  *offset = tm.tm_gmtoff;
  return true;
}

}  // namespace

bool ParseTimeStr(std::string_view text, std::tm* out) {
  long values[6];
  int count = 0;
  std::size_t i = 0;
  while (i < text.size()) {
    if (IsSeparator(text[i])) {
      ++i;
      continue;
    }
    if (count == 6) return false;
    long v = 0;
    std::size_t digits = 0;
    while (i < text.size() && !IsSeparator(text[i])) {
      char c = text[i++];
      if (c < '0' || c > '9' || ++digits > 9) return false;
      v = v * 10 + (c - '0');
    }
    values[count++] = v;
  }
  if (count != 6) return false;
  const long year = values[0];
  const long month = values[1];
  if (year < 1900 || year > 9999 || month < 1 || month > 12) return false;
  if (values[2] < 1 || values[2] > DaysInMonth(year, static_cast<int>(month))) return false;
  if (values[3] > 23 || values[4] > 59 || values[5] > 59) return false;
  std::tm tm{};
  tm.tm_year = static_cast<int>(year - 1900);
  tm.tm_mon = static_cast<int>(month - 1);
  tm.tm_mday = static_cast<int>(values[2]);
  tm.tm_hour = static_cast<int>(values[3]);
  tm.tm_min = static_cast<int>(values[4]);
  tm.tm_sec = static_cast<int>(values[5]);
  tm.tm_isdst = -1;
  *out = tm;
  return true;
}

bool FormatTimeStr(const std::tm& tm, char* out, std::size_t size) {
  if (size > 0) out[0] = '\0';
  if (size < kTimeStrLen + 1) return false;
  const long year = static_cast<long>(tm.tm_year) + 1900;
  if (year < 0 || year > 9999 || tm.tm_mon < 0 || tm.tm_mon > 11 || tm.tm_mday < 1 ||
      tm.tm_mday > 31 || tm.tm_hour < 0 || tm.tm_hour > 23 || tm.tm_min < 0 || tm.tm_min > 59 ||
      tm.tm_sec < 0 || tm.tm_sec > 60) {
    return false;
  }
  std::snprintf(out, size, "%04ld/%02d/%02d/%02d/%02d/%02d", year, tm.tm_mon + 1, tm.tm_mday,
                tm.tm_hour, tm.tm_min, tm.tm_sec);
  return true;
}

std::string FormatTimeStr(const std::tm& tm) {
  char buf[kTimeStrSize];
  return FormatTimeStr(tm, buf, sizeof buf) ? std::string(buf) : std::string();
}

bool LocalWallTimeToTime(const std::tm& wall, std::time_t* out) {
  // The wall-clock fields read as if they were UTC; the real instant is that minus the zone's
  // offset, for whichever offset is in force at the instant found.
  std::tm tmp = wall;
  tmp.tm_isdst = 0;
  errno = 0;
  const std::time_t naive = timegm(&tmp);
  if (naive == static_cast<std::time_t>(-1) && errno != 0) return false;
  constexpr std::time_t kDay = 86400;
  if (naive < std::numeric_limits<std::time_t>::min() / 2 ||
      naive > std::numeric_limits<std::time_t>::max() / 2) {
    return false;
  }
  long offsets[3];
  if (!OffsetAt(naive - kDay, &offsets[0]) || !OffsetAt(naive, &offsets[1]) ||
      !OffsetAt(naive + kDay, &offsets[2])) {
    return false;
  }
  bool found = false;
  std::time_t best = 0;
  for (long off : offsets) {
    const std::time_t t = naive - off;
    long actual;
    if (!OffsetAt(t, &actual) || actual != off) continue;
    if (!found || t < best) best = t;  // a repeated hour means its first instant
    found = true;
  }
  if (!found) {
    // A skipped hour: read it with the offset in force before the change, which moves it
    // forward by the length of the gap.
    best = naive - offsets[0];
  }
  *out = best;
  return true;
}

bool TimeStrToTime(std::string_view text, std::time_t* out) {
  std::tm tm;
  return ParseTimeStr(text, &tm) && LocalWallTimeToTime(tm, out);
}

bool TimeToTimeStr(std::time_t t, char* out, std::size_t size) {
  if (size > 0) out[0] = '\0';
  std::tm tm{};
  if (!localtime_r(&t, &tm)) return false;
  return FormatTimeStr(tm, out, size);
}

std::string TimeToTimeStr(std::time_t t) {
  char buf[kTimeStrSize];
  return TimeToTimeStr(t, buf, sizeof buf) ? std::string(buf) : std::string();
}

std::string CurrentTimeStr() { return TimeToTimeStr(GetClock().Now()); }

bool AddLocalDays(std::time_t t, std::int64_t days, std::time_t* out) {
  std::tm tm{};
  if (!localtime_r(&t, &tm)) return false;
  // Keeps the sum within int; beyond a few million years nothing is representable anyway.
  if (days > 100'000'000 || days < -100'000'000) return false;
  tm.tm_mday += static_cast<int>(days);
  return LocalWallTimeToTime(tm, out);
}

}  // namespace pondrel
