#include "camsim/camera_time.h"

#include <cstdio>

namespace pondrel::camsim {
namespace {

// Days since 1970-01-01 of a proleptic Gregorian date, and back.
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void CivilFromDays(std::int64_t z, int* year, int* month, int* day) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t y = static_cast<std::int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  *year = static_cast<int>(y + (m <= 2));
  *month = static_cast<int>(m);
  *day = static_cast<int>(d);
}

int DaysInMonth(int year, int month) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

bool ReadDigits(std::string_view text, size_t pos, size_t n, int* out) {
  int v = 0;
  for (size_t i = pos; i < pos + n; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    v = v * 10 + (text[i] - '0');
  }
  *out = v;
  return true;
}

}  // namespace

bool ParseTimeString(std::string_view text, CameraTime* out) {
  if (text.size() != 19) return false;
  for (size_t slash : {4u, 7u, 10u, 13u, 16u}) {
    if (text[slash] != '/') return false;
  }
  CameraTime t;
  if (!ReadDigits(text, 0, 4, &t.year) || !ReadDigits(text, 5, 2, &t.month) ||
      !ReadDigits(text, 8, 2, &t.day) || !ReadDigits(text, 11, 2, &t.hour) ||
      !ReadDigits(text, 14, 2, &t.minute) || !ReadDigits(text, 17, 2, &t.second)) {
    return false;
  }
  if (t.year < 1970 || t.month < 1 || t.month > 12 || t.day < 1 ||
      t.day > DaysInMonth(t.year, t.month) || t.hour > 23 || t.minute > 59 || t.second > 59) {
    return false;
  }
  *out = t;
  return true;
}

std::int64_t ToCentiseconds(const CameraTime& t) {
  const std::int64_t days =
      DaysFromCivil(t.year, static_cast<unsigned>(t.month), static_cast<unsigned>(t.day));
  const std::int64_t secs = days * 86400 + t.hour * 3600 + t.minute * 60 + t.second;
  return secs * 100 + t.centi;
}

CameraTime FromCentiseconds(std::int64_t cs) {
  std::int64_t secs = cs / 100;
  int centi = static_cast<int>(cs % 100);
  if (centi < 0) {
    centi += 100;
    --secs;
  }
  std::int64_t days = secs / 86400;
  std::int64_t rest = secs % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  CameraTime t;
  CivilFromDays(days, &t.year, &t.month, &t.day);
  t.hour = static_cast<int>(rest / 3600);
  t.minute = static_cast<int>(rest / 60 % 60);
  t.second = static_cast<int>(rest % 60);
  t.centi = centi;
  return t;
}

std::string PictureKey(const CameraTime& t) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d%02d%02d/%02d%02d%02d%02d", t.year, t.month, t.day, t.hour,
                t.minute, t.second, t.centi);
  return buf;
}

}  // namespace pondrel::camsim
