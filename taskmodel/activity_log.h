// The activity log: one text line per event, read by the Log Viewer.
//
// Line layout (the same for kvrpd.log, dl.log and rascon.log):
//   "<time> <<level>><<field1>><<field2>> <message>\r\n"
// for example
//   "Apr 05 06:07:08 2003 <info>< >< > Pondrel Task Scheduler Service has started. (S100)\r\n"
//   time     the local time of writing as "%b %d %H:%M:%S %Y" with English month names
//            whatever the locale (Jan .. Dec), two-digit day, 24-hour time, four-digit year
//   level    "info", "warning" or "error" (level numbers 0, 1, 2)
//   field1   the task name; a single blank for the service's own lines
//   field2   the server name; "(unknown)" when the task could not be read; a single blank for
//            the service's own lines
//   message  by convention ending in " (Xnnn)": S service, D downloader, P dial-up
// A line, with its CR LF, is at most 1023 characters: longer fields and messages are cut (at
// a UTF-8 character boundary) so that the brackets and the line end always stay in place.
// CR and LF inside the values become blanks, so one call always writes exactly one line.
#pragma once

#include <cstddef>
#include <ctime>
#include <string>
#include <string_view>

namespace pondrel {

enum : int {
  kLogInfo = 0,
  kLogWarning = 1,
  kLogError = 2,
};

inline constexpr std::size_t kMaxLogLineLen = 1023;     // including the CR LF
inline constexpr char kServiceLogName[] = "kvrpd.log";  // in <ROOT>/SYSTEM
inline constexpr char kRunLogName[] = "dl.log";         // in the task's image directory
inline constexpr char kDialLogName[] = "rascon.log";
inline constexpr char kServerUnknown[] = "(unknown)";

// "info", "warning" or "error"; other numbers give "error".
const char* LogLevelWord(int level);

// "<root>/SYSTEM/kvrpd.log"; empty for an empty root.
std::string ServiceLogPath(std::string_view root);

// The time stamp of a line, e.g. "Apr 05 06:07:08 2003" (local time of `t`).
std::string FormatLogTime(std::time_t t);

// One complete line, with its CR LF, as WriteLogLine writes it for the time `t`.
// Empty fields are written empty ("<>"); callers pass " " for the service's own lines.
std::string FormatLogLine(std::time_t t, std::string_view field1, std::string_view field2,
                          int level, std::string_view message);

// Appends one line, stamped with the current time (common/clock.h), to the file at `path`,
// creating the file and its missing parent directories. The file is opened and closed for
// each line (one append-mode write), so several processes can write the same file. Every
// failure is silent: the line is lost. An empty path writes nothing.
void WriteLogLine(const std::string& path, std::string_view field1, std::string_view field2,
                  int level, std::string_view message);

// Appends the run log (a run's dl.log) to the log (kvrpd.log) and deletes the run log.
// 0 done; -1 when either file cannot be opened or the copy fails - the run log then stays in
// place (the next run of the task appends to it). Bytes are copied as they are (lines keep
// their CR LF); a run log whose last line has no line end gets one, so the next line of the
// log starts on a line of its own.
int AppendRunLog(const std::string& log_path, const std::string& run_log_path);

}  // namespace pondrel
