// Time strings: local wall-clock time written as "YYYY/MM/DD/hh/mm/ss" (19 characters; an
// empty string means "no time"). Every task field that holds a time uses this form.
//
// The one rule for turning a wall-clock time into an absolute time, and for stepping by
// calendar days, lives here so that the service and the Task View compute identical run
// times:
//   - A time string is local wall-clock time in the process's time zone (TZ); whether
//     daylight-saving time applies is decided by the zone, never by the caller.
//   - A wall-clock time that occurs twice (the hour repeated when the clocks go back) means
//     the earlier of the two instants.
//   - A wall-clock time that does not exist (the hour skipped when the clocks go forward) is
//     moved forward by the length of the gap: 02:30 on the spring-forward day in
//     Europe/Berlin is 03:30 CEST.
//   - Stepping by days adds calendar days to the local date and keeps the wall-clock time of
//     day (a daily task at 08:00 stays at 08:00 across a daylight-saving change); the gap
//     rule above applies when that time does not exist on the target day.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

namespace pondrel {

// Length of a time string and the size of the record fields that hold one.
inline constexpr std::size_t kTimeStrLen = 19;
inline constexpr std::size_t kTimeStrSize = 21;

// Parses a time string into a calendar record (tm_year, tm_mon, tm_mday, tm_hour, tm_min,
// tm_sec set; tm_isdst = -1; tm_wday and tm_yday are not filled in). "/" and ":" are both
// accepted between the six numbers and a run of separators counts as one; leading and
// trailing separators are ignored. Fails (false, *out unchanged) unless there are exactly six
// decimal numbers forming a real date and time of day: year 1900..9999, month 1..12, a day
// that exists in that month, hour 0..23, minute 0..59, second 0..59.
bool ParseTimeStr(std::string_view text, std::tm* out);

// Formats tm_year/tm_mon/tm_mday/tm_hour/tm_min/tm_sec as "%04d/%02d/%02d/%02d/%02d/%02d".
// `out` must hold at least 20 bytes. Fails (writes an empty string when size > 0) when a
// value is out of range (year outside 0..9999, and so on) or the buffer is too small.
bool FormatTimeStr(const std::tm& tm, char* out, std::size_t size);
// The same as a string; empty on failure.
std::string FormatTimeStr(const std::tm& tm);

// Converts local wall-clock fields (tm_year .. tm_sec; tm_isdst, tm_wday, tm_yday ignored;
// out-of-range fields are normalised as mktime does) to an absolute time by the rule above.
// False when the time cannot be represented.
bool LocalWallTimeToTime(const std::tm& wall, std::time_t* out);

// ParseTimeStr followed by LocalWallTimeToTime.
bool TimeStrToTime(std::string_view text, std::time_t* out);
// Local-time conversion followed by FormatTimeStr. `out` must hold at least 20 bytes.
bool TimeToTimeStr(std::time_t t, char* out, std::size_t size);
std::string TimeToTimeStr(std::time_t t);  // empty on failure

// The current time (common/clock.h) as a time string.
std::string CurrentTimeStr();

// The day-stepping rule: `days` calendar days after (or, when negative, before) the local
// date of `t`, at the same wall-clock time of day. False when the result cannot be
// represented.
bool AddLocalDays(std::time_t t, std::int64_t days, std::time_t* out);

}  // namespace pondrel
