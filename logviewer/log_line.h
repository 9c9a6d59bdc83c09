// The activity log's line layout as the Log Viewer reads it. A line written by the log writer
//   "Apr 05 06:07:08 2003 <info><task><server> message (D001)"
// is taken apart into its date, level, task, server, code and message; any line that does not
// have that layout in full is a placeholder: date "..........", task and server "..........",
// code "....", level 0 and the whole line as its message. Nothing here allocates.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string_view>

namespace pondrel::logviewer {

// Level numbers of an entry: the level word "error", "warning", "info"; 0 for anything else.
enum LogLevel : int { kLevelOther = 0, kLevelError = 1, kLevelWarning = 2, kLevelInfo = 3 };

// Level filter bits: bit 0 error, bit 1 warning, bit 2 information.
inline constexpr unsigned kLevelBitError = 1;
inline constexpr unsigned kLevelBitWarning = 2;
inline constexpr unsigned kLevelBitInfo = 4;

inline constexpr std::string_view kPlaceholderDate = "..........";
inline constexpr std::string_view kPlaceholderName = "..........";
inline constexpr std::string_view kPlaceholderCode = "....";

// Shortest line that can hold the layout.
inline constexpr std::size_t kMinLineLength = 38;

// A date of 1971..2037 as one number that orders like the date text "YYYY/MM/DD hh:mm:ss":
// whole days since 1971-01-01 times 86400 plus the second of the day, plus one, so that 0 is
// free to mean "no date" (a placeholder).
using DateKey = std::uint32_t;
inline constexpr DateKey kNoDate = 0;

DateKey MakeDateKey(int year, int month, int day, int hour, int minute, int second);
// Writes "%04d/%02d/%02d %02d:%02d:%02d" (19 characters and a NUL) for a key other than kNoDate.
void FormatDateKey(DateKey key, char out[20]);
// The key of a local time for comparing against entries; times before 1971 give 1 (before
// every entry) and times after 2037 give UINT32_MAX (after every entry).
DateKey DateKeyOfLocalTime(std::time_t t);

struct LogLine {
  bool accepted = false;
  DateKey date = kNoDate;
  int level = kLevelOther;
  std::string_view level_text;
  std::string_view task;     // kPlaceholderName for a placeholder
  std::string_view server;   // kPlaceholderName for a placeholder
  std::string_view code;     // kPlaceholderCode for a placeholder
  std::string_view message;  // the whole line for a placeholder
};

// Parses one line (without its line end). Views point into `line`.
LogLine ParseLogLine(std::string_view line);

// Level word to level number, exact case.
int LevelOfText(std::string_view level_text);

// Whether `code` is a letter (either case) and three digits.
bool IsValidCodeText(std::string_view code);

}  // namespace pondrel::logviewer
