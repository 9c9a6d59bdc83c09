// The camera's own clock: recording times in local camera time with hundredths of a second,
// the time string the command line takes, and the picture key that the picture list carries.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace pondrel::camsim {

struct CameraTime {
  int year = 2024;
  int month = 1;
  int day = 1;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int centi = 0;  // hundredths of a second
};

// Parses "YYYY/MM/DD/hh/mm/ss" (the time-string form), strictly: 19 characters, real dates,
// years 1970 to 9999.
bool ParseTimeString(std::string_view text, CameraTime* out);

// Hundredths of a second since 1970-01-01 00:00:00.00 of the same clock (no time zone applied).
std::int64_t ToCentiseconds(const CameraTime& t);
CameraTime FromCentiseconds(std::int64_t cs);

// "YYYYMMDD/hhmmsscc", the key of a picture in the list.
std::string PictureKey(const CameraTime& t);

}  // namespace pondrel::camsim
