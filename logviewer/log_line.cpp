#include "logviewer/log_line.h"

#include <climits>

namespace pondrel::logviewer {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// A two-character field whose first character is a digit or a blank.
bool TwoDigits(std::string_view s, std::size_t pos, int* value) {
  const char a = s[pos], b = s[pos + 1];
  if (!(IsDigit(a) || a == ' ') || !IsDigit(b)) return false;
  *value = (a == ' ' ? 0 : (a - '0') * 10) + (b - '0');
  return true;
}

int MonthOf(std::string_view s) {
  // Exact case, as the writer's English "%b" produces them.
  static constexpr char kMonths[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
  for (int i = 0; i < 12; ++i) {
    if (s[0] == kMonths[3 * i] && s[1] == kMonths[3 * i + 1] && s[2] == kMonths[3 * i + 2]) {
      return i + 1;
    }
  }
  return 0;
}

// Days from 1970-01-01 of a proleptic Gregorian date (Howard Hinnant's days_from_civil).
long DaysFromCivil(int y, int m, int d) {
  y -= m <= 2;
  const long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long>(doe) - 719468;
}

void CivilFromDays(long z, int* y, int* m, int* d) {
  z += 719468;
  const long era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  *m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  *y = static_cast<int>(static_cast<long>(yoe) + era * 400 + (*m <= 2));
}

const long kDays1971 = DaysFromCivil(1971, 1, 1);

LogLine Placeholder(std::string_view line) {
  LogLine e;
  e.task = kPlaceholderName;
  e.server = kPlaceholderName;
  e.code = kPlaceholderCode;
  e.message = line;
  return e;
}

}  // namespace

DateKey MakeDateKey(int year, int month, int day, int hour, int minute, int second) {
  const long days = DaysFromCivil(year, month, day) - kDays1971;
  return static_cast<DateKey>(days * 86400 + hour * 3600 + minute * 60 + second + 1);
}

void FormatDateKey(DateKey key, char out[20]) {
  const std::uint32_t k = key - 1;
  int y, m, d;
  CivilFromDays(static_cast<long>(k / 86400) + kDays1971, &y, &m, &d);
  std::uint32_t s = k % 86400;
  const int v[6] = {
      y, m, d, static_cast<int>(s / 3600), static_cast<int>(s / 60 % 60), static_cast<int>(s % 60)};
  // "YYYY/MM/DD hh:mm:ss" without printf: the list asks for many of these.
  char* p = out;
  p[0] = static_cast<char>('0' + v[0] / 1000 % 10);
  p[1] = static_cast<char>('0' + v[0] / 100 % 10);
  p[2] = static_cast<char>('0' + v[0] / 10 % 10);
  p[3] = static_cast<char>('0' + v[0] % 10);
  p += 4;
  static constexpr char kSeparators[5] = {'/', '/', ' ', ':', ':'};
  for (int i = 1; i < 6; ++i) {
    *p++ = kSeparators[i - 1];
    *p++ = static_cast<char>('0' + v[i] / 10);
    *p++ = static_cast<char>('0' + v[i] % 10);
  }
  *p = '\0';
}

DateKey DateKeyOfLocalTime(std::time_t t) {
  std::tm tm{};
  if (!localtime_r(&t, &tm)) return 1;
  const int year = tm.tm_year + 1900;
  if (year < 1971) return 1;
  if (year > 2037) return UINT32_MAX;
  return MakeDateKey(year, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
}

int LevelOfText(std::string_view t) {
  if (t == "error") return kLevelError;
  if (t == "warning") return kLevelWarning;
  if (t == "info") return kLevelInfo;
  return kLevelOther;
}

bool IsValidCodeText(std::string_view c) {
  return c.size() == 4 && ((c[0] >= 'A' && c[0] <= 'Z') || (c[0] >= 'a' && c[0] <= 'z')) &&
         IsDigit(c[1]) && IsDigit(c[2]) && IsDigit(c[3]);
}

LogLine ParseLogLine(std::string_view s) {
  if (s.size() < kMinLineLength) return Placeholder(s);
  const int month = MonthOf(s);
  if (month == 0) return Placeholder(s);
  int day, hour, minute, second;
  if (!TwoDigits(s, 4, &day) || !TwoDigits(s, 7, &hour) || !TwoDigits(s, 10, &minute) ||
      !TwoDigits(s, 13, &second)) {
    return Placeholder(s);
  }
  for (int i = 16; i < 20; ++i) {
    if (!IsDigit(s[i])) return Placeholder(s);
  }
  const int year = (s[16] - '0') * 1000 + (s[17] - '0') * 100 + (s[18] - '0') * 10 + (s[19] - '0');
  if (year < 1971 || year > 2037 || day < 1 || day > 31 || hour > 23 || minute > 59 ||
      second > 59) {
    return Placeholder(s);
  }
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (month == 2 && day > (leap ? 29 : 28)) return Placeholder(s);
  if ((month == 4 || month == 6 || month == 9 || month == 11) && day > 30) return Placeholder(s);

  // The code: four characters beginning five before the end; the last one is not examined.
  const std::size_t n = s.size();
  const std::string_view code = s.substr(n - 5, 4);
  if (!(code[0] >= 'A' && code[0] <= 'Z') || !IsDigit(code[1]) || !IsDigit(code[2]) ||
      !IsDigit(code[3])) {
    return Placeholder(s);
  }
  // Level, task and server in angle brackets, each searched after the previous ">".
  std::size_t open = s.find('<');
  std::size_t close = s.find('>');
  if (open == std::string_view::npos || close == std::string_view::npos || close <= open + 1) {
    return Placeholder(s);
  }
  std::string_view fields[3];
  fields[0] = s.substr(open + 1, close - open - 1);
  for (int i = 1; i < 3; ++i) {
    open = s.find('<', close + 1);
    const std::size_t next_close = s.find('>', close + 1);
    if (open == std::string_view::npos || next_close == std::string_view::npos ||
        next_close <= open + 1) {
      return Placeholder(s);
    }
    close = next_close;
    fields[i] = s.substr(open + 1, close - open - 1);
  }
  // The message skips the ">" and one blank and stops before " (D001)".
  const std::size_t msg_begin = close + 2;
  if (msg_begin >= n - 7) return Placeholder(s);

  LogLine e;
  e.accepted = true;
  e.date = MakeDateKey(year, month, day, hour, minute, second);
  e.level_text = fields[0];
  e.level = LevelOfText(fields[0]);
  e.task = fields[1];
  e.server = fields[2];
  e.code = code;
  e.message = s.substr(msg_begin, n - 7 - msg_begin);
  return e;
}

}  // namespace pondrel::logviewer
