#include "taskview/activity_log_reader.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "common/fs_util.h"
#include "common/unique_fd.h"

namespace pondrel::tasdek {
namespace {

constexpr const char* kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// A two-character field whose first character is a digit or a blank.
bool TwoDigits(std::string_view s, std::size_t pos, int* value) {
  char a = s[pos], b = s[pos + 1];
  if (!(IsDigit(a) || a == ' ') || !IsDigit(b)) return false;
  *value = (a == ' ' ? 0 : (a - '0') * 10) + (b - '0');
  return true;
}

LogEntry Placeholder(std::string_view line) {
  LogEntry e;
  e.date = "..........";
  e.task = "..........";
  e.server = "..........";
  e.code = "....";
  e.message = std::string(line);
  return e;
}

std::string FormatLocal(std::time_t t) {
  std::tm tm{};
  localtime_r(&t, &tm);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d/%02d/%02d %02d:%02d:%02d", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return buf;
}

}  // namespace

LogEntry ParseLogLine(std::string_view s) {
  if (s.size() < 38) return Placeholder(s);
  int month = -1;
  for (int i = 0; i < 12; ++i) {
    if (s.substr(0, 3) == kMonths[i]) month = i + 1;
  }
  if (month < 0) return Placeholder(s);
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

  const std::size_t n = s.size();
  std::string_view code = s.substr(n - 5, 4);
  if (!(code[0] >= 'A' && code[0] <= 'Z') || !IsDigit(code[1]) || !IsDigit(code[2]) ||
      !IsDigit(code[3])) {
    return Placeholder(s);
  }
  // Three bracketed fields in turn: level, task, server.
  std::size_t open = s.find('<');
  std::size_t close = s.find('>');
  if (open == std::string_view::npos || close == std::string_view::npos || close <= open + 1) {
    return Placeholder(s);
  }
  std::string_view fields[3];
  fields[0] = s.substr(open + 1, close - open - 1);
  for (int i = 1; i < 3; ++i) {
    open = s.find('<', close + 1);
    std::size_t next_close = s.find('>', close + 1);
    if (open == std::string_view::npos || next_close == std::string_view::npos ||
        next_close <= open + 1) {
      return Placeholder(s);
    }
    close = next_close;
    fields[i] = s.substr(open + 1, close - open - 1);
  }
  const std::size_t msg_begin = close + 2;
  if (n < 7 || msg_begin >= n - 7) return Placeholder(s);

  LogEntry e;
  e.accepted = true;
  char date[64];
  std::snprintf(date, sizeof date, "%04d/%02d/%02d %02d:%02d:%02d", year, month, day, hour,
                minute, second);
  e.date = date;
  e.level_text = std::string(fields[0]);
  e.level = e.level_text == "error" ? 1 : e.level_text == "warning" ? 2 : e.level_text == "info" ? 3 : 0;
  e.task = std::string(fields[1]);
  e.server = std::string(fields[2]);
  e.code = std::string(code);
  e.message = std::string(s.substr(msg_begin, n - 7 - msg_begin));
  return e;
}

std::vector<LogEntry> ParseLogText(std::string_view text) {
  std::vector<LogEntry> out;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find_first_of("\r\n", pos);
    if (end == std::string_view::npos) end = text.size();
    // A line also ends at a NUL, as the viewer's in-place parser sees it.
    std::string_view line = text.substr(pos, end - pos);
    if (auto nul = line.find('\0'); nul != std::string_view::npos) line = line.substr(0, nul);
    if (!line.empty()) out.push_back(ParseLogLine(line));
    pos = end + 1;
  }
  return out;
}

std::string ValidateLogFilter(LogFilter* f, bool task_given, bool server_given, bool code_given) {
  if (task_given && f->task.empty()) return "Please enter a value for the \"Task\" field";
  if (server_given && f->server.empty()) return "Please enter a value for the \"Server\" field";
  if (code_given) {
    if (f->code.empty()) return "Please enter a value for the \"Code\" field";
    const std::string& c = f->code;
    if (c.size() != 4 || !std::isalpha(static_cast<unsigned char>(c[0])) || !IsDigit(c[1]) ||
        !IsDigit(c[2]) || !IsDigit(c[3])) {
      return "The format of Code is invalid";
    }
    f->code[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(c[0])));
  }
  if (f->start != 0 && f->end != 0 && f->end < f->start) {
    return "Cannot set Start Date & Time after End Date & Time";
  }
  return "";
}

bool LogEntryPasses(const LogEntry& e, const LogFilter& f) {
  if ((f.start != 0 || f.end != 0) && !e.date.empty() && e.date[0] == '.') return false;
  if (f.start != 0 && e.date < FormatLocal(f.start)) return false;
  if (f.end != 0 && e.date > FormatLocal(f.end)) return false;
  if (f.levels != 0) {
    if (e.level == 0) return false;
    if (!(f.levels & (1u << (e.level - 1)))) return false;
  }
  if (!f.code.empty() && f.code != e.code) return false;
  if (!f.task.empty() && f.task != e.task) return false;
  if (!f.server.empty() && f.server != e.server) return false;
  return true;
}

bool ReadLogFile(const std::string& path, std::string* text, std::string* error) {
  text->clear();
  UniqueFd fd;
  for (int attempt = 0; attempt < 10; ++attempt) {
    fd.reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd) break;
    if (errno == ENOENT) return true;  // a missing log is an empty log
    if (errno != EACCES && errno != EBUSY) break;
    if (attempt < 9) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (!fd) {
    *error = std::strerror(errno);
    return false;
  }
  if (!ReadAllFromFd(fd.get(), text)) {
    *error = std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace pondrel::tasdek
