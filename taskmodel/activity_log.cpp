#include "taskmodel/activity_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "common/clock.h"
#include "common/fs_util.h"
#include "common/text_util.h"
#include "common/unique_fd.h"

namespace pondrel {
namespace {

// Longest field kept when a line has to be cut; the message gets what remains.
constexpr std::size_t kMaxFieldLen = 300;

// Line breaks inside a value would split the line: they become blanks.
// A field made one line of plain text: line breaks become blanks, and every other control
// character (an escape sequence from a task name in a message, say) is written as "\xNN",
// so a line is never a terminal command. Then cut to `max_bytes` on a character boundary.
std::string OneLine(std::string_view text, std::size_t max_bytes) {
  std::string out;
  out.reserve(std::min(text.size(), max_bytes));
  for (char ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c == '\r' || c == '\n') {
      out.push_back(' ');
    } else if (c < 0x20 || c == 0x7f) {
      char buf[5];
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    } else {
      out.push_back(ch);
    }
    if (out.size() > max_bytes + 4) break;  // the rest is cut anyway
  }
  return std::string(Utf8CutPrefix(out, max_bytes));
}

}  // namespace

const char* LogLevelWord(int level) {
  switch (level) {
    case kLogInfo: return "info";
    case kLogWarning: return "warning";
    default: return "error";
  }
}

std::string ServiceLogPath(std::string_view root) {
  if (root.empty()) return {};
  std::string path(root);
  if (path.back() != '/') path.push_back('/');
  path += "SYSTEM/";
  path += kServiceLogName;
  return path;
}

std::string FormatLogTime(std::time_t t) {
  // English month names whatever the locale: the Log Viewer parses them.
  static const char* const kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::tm tm{};
  if (!localtime_r(&t, &tm) || tm.tm_mon < 0 || tm.tm_mon > 11) return {};
  char buf[64];
  std::snprintf(buf, sizeof buf, "%s %02d %02d:%02d:%02d %04ld", kMonths[tm.tm_mon], tm.tm_mday,
                tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<long>(tm.tm_year) + 1900);
  return buf;
}

std::string FormatLogLine(std::time_t t, std::string_view field1, std::string_view field2,
                          int level, std::string_view message) {
  const std::string stamp = FormatLogTime(t);
  const std::string_view word = LogLevelWord(level);
  // "<stamp> <<word>><<f1>><<f2>> <message>\r\n" must stay within kMaxLogLineLen.
  const std::size_t fixed = stamp.size() + word.size() + 10;
  std::size_t room = kMaxLogLineLen - fixed;
  std::string f1 = OneLine(field1, room);
  std::string f2 = OneLine(field2, room);
  if (f1.size() + f2.size() + message.size() > room) {
    f1 = OneLine(field1, kMaxFieldLen);
    f2 = OneLine(field2, kMaxFieldLen);
  }
  room -= f1.size() + f2.size();
  std::string msg = OneLine(message, room);

  std::string line;
  line.reserve(fixed + f1.size() + f2.size() + msg.size());
  line.append(stamp).append(" <").append(word).append("><").append(f1).append("><");
  line.append(f2).append("> ").append(msg).append("\r\n");
  return line;
}

void WriteLogLine(const std::string& path, std::string_view field1, std::string_view field2,
                  int level, std::string_view message) try {
  if (path.empty()) return;
  std::size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0) CreateDirectoryChain(path.substr(0, slash));
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
  if (!fd) return;
  // One write per line, so that lines of several writers never interleave.
  WriteAll(fd.get(), FormatLogLine(GetClock().Now(), field1, field2, level, message));
} catch (...) {
  // The writer fails silently, out of memory included.
}

int AppendRunLog(const std::string& log_path, const std::string& run_log_path) {
  UniqueFd in(::open(run_log_path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!in) return -1;
  UniqueFd out(::open(log_path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
  if (!out) return -1;
  char buf[65536];
  char last = '\n';
  for (;;) {
    ssize_t n = ::read(in.get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) break;
    if (!WriteAll(out.get(), std::string_view(buf, static_cast<std::size_t>(n)))) return -1;
    last = buf[n - 1];
  }
  // A run cut off in the middle of a line: end that line here.
  if (last != '\n' && !WriteAll(out.get(), "\r\n")) return -1;
  in.reset();
  out.reset();
  ::unlink(run_log_path.c_str());
  return 0;
}

}  // namespace pondrel
