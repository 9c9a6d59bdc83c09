// Reading the activity log ("kvrpd.log") the way the Log Viewer does: each line is parsed
// into its date, level, task, server, code and message, or kept whole as a placeholder when
// it does not have the writer's layout; the viewer's filter then selects entries.
#pragma once

#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace pondrel::tasdek {

struct LogEntry {
  bool accepted = false;
  std::string date;     // "%04d/%02d/%02d %02d:%02d:%02d", or ".........." for a placeholder
  int level = 0;        // 1 error, 2 warning, 3 information, 0 anything else
  std::string level_text;
  std::string task;     // ".........." for a placeholder
  std::string server;   // ".........." for a placeholder
  std::string code;     // "...." for a placeholder
  std::string message;  // the whole line for a placeholder
};

LogEntry ParseLogLine(std::string_view line);
// Every line of `text` in file order; empty lines give no entry.
std::vector<LogEntry> ParseLogText(std::string_view text);

// Level flag bits.
inline constexpr unsigned kLevelError = 1;
inline constexpr unsigned kLevelWarning = 2;
inline constexpr unsigned kLevelInfo = 4;

struct LogFilter {
  std::time_t start = 0;  // 0 = none; entries at or after this local time
  std::time_t end = 0;    // 0 = none; entries at or before this local time
  unsigned levels = 0;    // 0 = any level
  std::string task, server, code;
};

// Checks a filter as the filter dialog's OK does and normalises the code to upper case.
// "" when accepted, else the dialog's message. `task_given`/`server_given`/`code_given` tell
// that the option was set (an empty value is then an error).
std::string ValidateLogFilter(LogFilter* filter, bool task_given, bool server_given,
                              bool code_given);

bool LogEntryPasses(const LogEntry& e, const LogFilter& f);

// Reads the log: a missing file is an empty log. False (with the system's error text) when the
// file exists but cannot be read after ten attempts.
bool ReadLogFile(const std::string& path, std::string* text, std::string* error);

}  // namespace pondrel::tasdek
