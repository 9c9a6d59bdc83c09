// pondrel log: the activity log. "log show" streams the file in constant memory: front to back
// for the whole log, back to front for the last N entries, and on as the file grows with
// --follow.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>
#include <thread>

#include <unistd.h>

#include "cli/commands.h"
#include "logviewer/log_document.h"
#include "logviewer/log_file.h"
#include "taskview/messages.h"
#include "taskview/service_control.h"

namespace pondrel::cli {

using namespace pondrel::logviewer;
using tasdek::ServiceControl;

namespace {

constexpr auto kFollowInterval = std::chrono::milliseconds(200);

bool ReadNumber(std::string_view s, std::size_t* pos, std::size_t digits, int* out) {
  if (*pos + digits > s.size()) return false;
  int v = 0;
  for (std::size_t i = 0; i < digits; ++i) {
    const char c = s[*pos + i];
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  *pos += digits;
  *out = v;
  return true;
}

// A time for --since/--until (and --start/--end): the viewer's "YYYY/MM/DD hh:mm[:ss]" in
// local time, or ISO 8601 "YYYY-MM-DD[Thh:mm[:ss]][Z|+hh:mm|-hh:mm]" (local time without a
// zone). Years 1971 to 2037.
bool ParseFilterTime(std::string_view s, std::time_t* out) {
  std::size_t p = 0;
  int y, mo, d, h = 0, mi = 0, sec = 0;
  if (!ReadNumber(s, &p, 4, &y) || p >= s.size() || (s[p] != '/' && s[p] != '-')) return false;
  const char date_sep = s[p++];
  if (!ReadNumber(s, &p, 2, &mo) || p >= s.size() || s[p++] != date_sep) return false;
  if (!ReadNumber(s, &p, 2, &d)) return false;
  const bool iso = date_sep == '-';
  bool has_time = false;
  if (p < s.size() && (s[p] == ' ' || (iso && (s[p] == 'T' || s[p] == 't')))) {
    ++p;
    if (!ReadNumber(s, &p, 2, &h) || p >= s.size() || s[p++] != ':' || !ReadNumber(s, &p, 2, &mi)) {
      return false;
    }
    if (p < s.size() && s[p] == ':') {
      ++p;
      if (!ReadNumber(s, &p, 2, &sec)) return false;
    }
    has_time = true;
  }
  if (!iso && !has_time) return false;
  bool zoned = false;
  long offset = 0;
  if (iso && has_time && p < s.size()) {
    if (s[p] == 'Z' || s[p] == 'z') {
      zoned = true;
      ++p;
    } else if (s[p] == '+' || s[p] == '-') {
      const int sign = s[p++] == '-' ? -1 : 1;
      int oh, om = 0;
      if (!ReadNumber(s, &p, 2, &oh)) return false;
      if (p < s.size() && s[p] == ':') ++p;
      if (p < s.size() && !ReadNumber(s, &p, 2, &om)) return false;
      if (oh > 23 || om > 59) return false;
      zoned = true;
      offset = sign * (oh * 3600L + om * 60L);
    }
  }
  if (p != s.size()) return false;
  if (y < 1971 || y > 2037 || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 ||
      sec > 59) {
    return false;
  }
  std::tm tm{};
  tm.tm_year = y - 1900;
  tm.tm_mon = mo - 1;
  tm.tm_mday = d;
  tm.tm_hour = h;
  tm.tm_min = mi;
  tm.tm_sec = sec;
  tm.tm_isdst = -1;
  // A day that the month does not have (April 31) is refused rather than moved on.
  static constexpr int kDays[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  if (d > kDays[mo - 1] || (mo == 2 && d == 29 && !leap)) return false;
  const std::time_t t = zoned ? timegm(&tm) - offset : std::mktime(&tm);
  if (t == static_cast<std::time_t>(-1)) return false;
  *out = t <= 0 ? 1 : t;
  return true;
}

// Text from the file is not trusted to be UTF-8: JSON output replaces bad sequences.
std::string ValidUtf8(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    std::size_t len = c < 0x80         ? 1
                      : (c >> 5) == 6  ? 2
                      : (c >> 4) == 14 ? 3
                      : (c >> 3) == 30 ? 4
                                       : 0;
    bool ok = len > 0 && i + len <= s.size();
    for (std::size_t k = 1; ok && k < len; ++k)
      ok = (static_cast<unsigned char>(s[i + k]) >> 6) == 2;
    if (ok && len == 2 && c < 0xC2) ok = false;
    if (ok && len == 3) {
      const auto c1 = static_cast<unsigned char>(s[i + 1]);
      if ((c == 0xE0 && c1 < 0xA0) || (c == 0xED && c1 >= 0xA0)) ok = false;
    }
    if (ok && len == 4) {
      const auto c1 = static_cast<unsigned char>(s[i + 1]);
      if ((c == 0xF0 && c1 < 0x90) || c > 0xF4 || (c == 0xF4 && c1 >= 0x90)) ok = false;
    }
    if (ok) {
      out.append(s.substr(i, len));
      i += len;
    } else {
      out += "\xEF\xBF\xBD";
      ++i;
    }
  }
  return out;
}

// "YYYY/MM/DD hh:mm:ss" as a schedule-file time string "YYYY/MM/DD/hh/mm/ss".
std::string DateTimeStr(std::string_view date) {
  std::string out(date);
  for (char& c : out) {
    if (c == ' ' || c == ':') c = '/';
  }
  return out;
}

class EntryPrinter {
 public:
  EntryPrinter(bool json, bool json_lines) : json_(json), json_lines_(json_lines) {}

  void Begin() {
    if (json_ && !json_lines_) std::fputs("[", stdout);
  }
  void End() {
    if (json_ && !json_lines_) std::fputs("]\n", stdout);
    std::fflush(stdout);
  }
  void Print(const LogLine& e) {
    char date[20];
    const std::string_view date_text =
        e.accepted ? (FormatDateKey(e.date, date), std::string_view(date, 19)) : kPlaceholderDate;
    std::string out;
    if (json_) {
      if (!json_lines_ && count_ > 0) out += ",";
      // The service's own entries have a blank for task and server: no task, no server.
      auto name = [](std::string_view n) { return n == " " ? std::string() : ValidUtf8(n); };
      out += JsonObject({{"code", JsonString(e.code)},
                         {"date", e.accepted ? JsonTime(DateTimeStr(date_text)) : "null"},
                         {"level", JsonString(ValidUtf8(e.accepted ? e.level_text : ""))},
                         {"task", JsonString(name(e.task))},
                         {"server", JsonString(name(e.server))},
                         {"message", JsonString(ValidUtf8(e.message))},
                         {"parsed", JsonBool(e.accepted)}});
      if (json_lines_) out += "\n";
    } else {
      out.append(e.code).append("\t").append(date_text).append("\t");
      out.append(Field(e.task)).append("\t").append(Field(e.server)).append("\t");
      out.append(Field(e.message)).append("\n");
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
    ++count_;
  }

 private:
  bool json_, json_lines_;
  std::size_t count_ = 0;
};

LogLine ParseStreamed(std::string_view line, bool cut) {
  // A line cut to the reader's limit has lost its end: it cannot be taken apart.
  if (cut) {
    LogLine e;
    e.task = e.server = kPlaceholderName;
    e.code = kPlaceholderCode;
    e.message = line;
    return e;
  }
  return ParseLogLine(line);
}

std::string LogPathFor(const Args& a, int* status) {
  if (a.Has("file")) return a.Get("file");
  if (!RequireRoot(status)) return "";
  return ServiceControl::LogPath();
}

// Prints what the file gains, for ever; starts over when the file is replaced or truncated.
int Follow(const std::string& path, std::uint64_t from, const CLineFilter& filter,
           EntryPrinter* printer) {
  CLogLineReader reader;
  int rc = reader.Open(path);
  if (rc == 0) reader.Seek(from);
  for (;;) {
    std::string_view line;
    bool cut;
    bool any = false;
    while (rc == 0 && reader.Next(&line, &cut, true)) {
      const LogLine e = ParseStreamed(line, cut);
      if (filter.Passes(e)) printer->Print(e);
      any = true;
    }
    if (any) std::fflush(stdout);
    if (std::ferror(stdout)) return kExitFailure;
    std::this_thread::sleep_for(kFollowInterval);
    if (rc != 0 || reader.WasReplacedOrTruncated()) rc = reader.Open(path);
  }
}

// The filter and the number of entries the options ask for. kExitOk or a usage complaint.
int ReadFilterOptions(const Args& a, LogFilter* f, long* last) {
  if (a.Has("task")) f->task = a.Get("task");
  if (a.Has("server")) f->server = a.Get("server");
  if (a.Has("code")) f->code = a.Get("code");
  if (a.Has("level")) {
    const std::string list = a.Get("level");
    std::size_t pos = 0;
    while (pos <= list.size()) {
      std::size_t comma = list.find(',', pos);
      if (comma == std::string::npos) comma = list.size();
      const std::string w = list.substr(pos, comma - pos);
      if (w == "error")
        f->levels |= kLevelBitError;
      else if (w == "warning")
        f->levels |= kLevelBitWarning;
      else if (w == "info" || w == "information")
        f->levels |= kLevelBitInfo;
      else
        return BadValue("level", "'" + w + "' is not error, warning or info");
      pos = comma + 1;
    }
  }
  for (const char* opt : {"start", "end", "since", "until"}) {
    if (!a.Has(opt)) continue;
    std::time_t t;
    if (!ParseFilterTime(a.Get(opt), &t)) {
      return BadValue(opt, "'" + a.Get(opt) +
                               "' is not YYYY/MM/DD hh:mm:ss or ISO 8601 (YYYY-MM-DDThh:mm:ss), "
                               "years 1971 to 2037");
    }
    (opt[0] == 's' ? f->start : f->end) = t;
  }
  if (a.Has("lines")) {
    const std::string n = a.Get("lines");
    if (!ParseInt(n, 0, 1000000000, last)) {
      return BadValue("lines", "'" + n + "' is not a number of entries");
    }
  }
  const FilterCheck check = CheckLogFilter(f, a.Has("task"), a.Has("server"), a.Has("code"));
  if (check != FilterCheck::kOk) {
    const char* option = check == FilterCheck::kTaskMissing     ? "--task"
                         : check == FilterCheck::kServerMissing ? "--server"
                         : check == FilterCheck::kStartAfterEnd ? "--since"
                                                                : "--code";
    return Error(option, FilterCheckText(check), kExitUsage);
  }
  return kExitOk;
}

// The last `last` entries that pass (all with `last` < 0), newest first or in file order,
// read from the end backwards so that only those are read and kept.
int PrintFromTheEnd(const std::string& path, const CLineFilter& filter, long last,
                    bool newest_first, EntryPrinter* printer, std::uint64_t* end_offset) {
  std::vector<std::string> kept;
  std::vector<char> kept_cut;
  const int rc = ForEachLineBackwards(
      path,
      [&](std::string_view line, bool cut) {
        if (last >= 0 && kept.size() >= static_cast<std::size_t>(last)) return false;
        const LogLine e = ParseStreamed(line, cut);
        if (!filter.Passes(e)) return true;
        if (newest_first && last < 0) {
          printer->Print(e);
          kept.emplace_back();  // counted only
        } else {
          kept.emplace_back(line);
          kept_cut.push_back(cut);
        }
        return true;
      },
      end_offset);
  if (rc != 0) {
    std::fflush(stdout);
    return Fail(path, LoadResultText(rc));
  }
  if (last >= 0) {
    const std::size_t n = kept.size();
    for (std::size_t i = 0; i < n; ++i) {
      const std::size_t k = newest_first ? i : n - 1 - i;
      printer->Print(ParseStreamed(kept[k], kept_cut[k]));
    }
  }
  return kExitOk;
}

// Every entry that passes, in file order; *end_offset the first byte not yet shown.
int PrintFromTheStart(const std::string& path, const CLineFilter& filter, bool follow,
                      EntryPrinter* printer, std::uint64_t* end_offset) {
  CLogLineReader reader;
  int rc = reader.Open(path);
  std::string_view line;
  bool cut;
  while (rc == 0 && reader.Next(&line, &cut, follow)) {
    const LogLine e = ParseStreamed(line, cut);
    if (filter.Passes(e)) printer->Print(e);
  }
  if (rc == 0) rc = reader.error();
  if (rc != 0) {
    std::fflush(stdout);
    return Fail(path, LoadResultText(rc));
  }
  // Follow on from the first byte not yet shown.
  *end_offset = reader.Offset();
  return kExitOk;
}

int Show(const Args& a) {
  LogFilter f;
  long last = -1;
  if (int r = ReadFilterOptions(a, &f, &last)) return r;
  int status = kExitOk;
  const std::string path = LogPathFor(a, &status);
  if (path.empty()) return status;
  const CLineFilter filter(f);
  const bool follow = a.Has("follow");
  EntryPrinter printer(G().json, follow);
  const bool newest_first = a.Has("newest-first");
  std::uint64_t end_offset = 0;
  printer.Begin();
  const int rc = last >= 0 || newest_first
                     ? PrintFromTheEnd(path, filter, last, newest_first, &printer, &end_offset)
                     : PrintFromTheStart(path, filter, follow, &printer, &end_offset);
  if (rc != kExitOk) return rc;
  printer.End();
  if (follow) return Follow(path, end_offset, filter, &printer);
  return std::ferror(stdout) ? kExitFailure : kExitOk;
}

int Clear(const Args&) {
  int status;
  if (!RequireRoot(&status)) return status;
  const std::string path = ServiceControl::LogPath();
  if (::access(path.c_str(), F_OK) != 0) {
    return Fail(path, "nothing to delete: there is no activity log");
  }
  if (!Confirm(tasdek::kMsgAskClearLog)) return Fail(path, "not deleted");
  if (!ServiceControl::ClearLog()) {
    const int error = errno;
    return Fail(path, std::strerror(error));
  }
  if (G().json) {
    PrintJson(JsonObject({{"deleted", JsonString(path)}}));
  } else {
    std::cout << "deleted " << path << "\n";
  }
  return kExitOk;
}

int Path(const Args&) {
  int status;
  if (!RequireRoot(&status)) return status;
  if (G().json) {
    PrintJson(JsonObject({{"path", JsonString(ServiceControl::LogPath())}}));
  } else {
    std::cout << ServiceControl::LogPath() << "\n";
  }
  return kExitOk;
}

}  // namespace

std::vector<std::string> LogShortForms(const std::vector<std::string>& argv_in) {
  // Short forms as in tail: -n N and -f.
  std::vector<std::string> argv;
  for (const std::string& w : argv_in) {
    if (w == "-n")
      argv.push_back("--lines");
    else if (w == "-f")
      argv.push_back("--follow");
    else if (w.size() > 2 && w.compare(0, 2, "-n") == 0 && w[2] >= '0' && w[2] <= '9')
      argv.push_back("--lines=" + w.substr(2));
    else
      argv.push_back(w);
  }
  return argv;
}

const std::vector<Command>& LogCommands() {
  static const std::vector<Command> kCommands = {
      {{"log show",
        "",
        "show the activity log, oldest entry first",
        {{"task", "NAME", "only entries of this task (exact)"},
         {"server", "NAME", "only entries of this server (exact)"},
         {"code", "CODE", "only entries with this code, a letter and three digits (S001)"},
         {"level", "LEVELS", "only these levels: error,warning,info"},
         {"since", "TIME", "only entries at or after TIME (YYYY/MM/DD hh:mm:ss or ISO 8601)"},
         {"until", "TIME", "only entries at or before TIME"},
         {"start", "TIME", "the same as --since"},
         {"end", "TIME", "the same as --until"},
         {"lines", "N", "only the last N entries (also -n N)"},
         {"follow", nullptr, "keep showing entries as they are written (also -f)"},
         {"newest-first", nullptr, "newest entry first"},
         {"file", "PATH", "read this log file instead of ROOT/SYSTEM/kvrpd.log"}},
        0,
        0,
        "One line per entry: code, date and time, task, server, message, separated by tabs.\n"
        "Lines without the log's layout show \"....\" and \"..........\" with the raw line as\n"
        "message; a time or level filter leaves them out. A time without a zone is local time.\n"
        "With --json the entries are one JSON array, or one JSON object a line with --follow;\n"
        "dates are ISO 8601 with the offset, task and server \"\" for the service's entries.\n"
        "The log is read as a stream: memory stays small whatever the size of the file."},
       Show},
      {{"log clear",
        "",
        "delete the activity log",
        {},
        0,
        0,
        "On a terminal asks first (--yes does not ask). Fails (status 1) when there is no\n"
        "log to delete."},
       Clear},
      {{"log path", "", "print the activity log's path", {}, 0, 0, nullptr}, Path},
  };
  return kCommands;
}

}  // namespace pondrel::cli
