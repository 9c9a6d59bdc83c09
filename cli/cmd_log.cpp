// pondrel log: the activity log.
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <iostream>

#include "cli/commands.h"
#include "taskmodel/timestr.h"
#include "taskview/activity_log_reader.h"
#include "taskview/service_control.h"

namespace pondrel::cli {

using namespace pondrel::tasdek;

namespace {

// "YYYY/MM/DD HH:MM[:SS]" (1971-2037) as a local time.
bool ParseFilterTime(const std::string& text, std::time_t* out) {
  std::string s = text;
  for (char& c : s) {
    if (c == '-' || c == '/' || c == ':' || c == 'T') c = ' ';
  }
  int y, mo, d, h, mi, sec = 0;
  char extra;
  const int n = std::sscanf(s.c_str(), "%d %d %d %d %d %d %c", &y, &mo, &d, &h, &mi, &sec, &extra);
  if (n != 5 && n != 6) return false;
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d/%02d/%02d/%02d/%02d/%02d", y, mo, d, h, mi, sec);
  return y >= 1971 && y <= 2037 && TimeStrToTime(buf, out) && *out != 0;
}

std::string LogPathFor(const Args& a, int* status) {
  if (a.Has("file")) return a.Get("file");
  if (!RequireRoot(status)) return "";
  return CServiceControl::LogPath();
}

int Show(const Args& a) {
  LogFilter f;
  if (a.Has("task")) f.task = a.Get("task");
  if (a.Has("server")) f.server = a.Get("server");
  if (a.Has("code")) f.code = a.Get("code");
  if (a.Has("level")) {
    std::string list = a.Get("level");
    std::size_t pos = 0;
    while (pos <= list.size()) {
      std::size_t comma = list.find(',', pos);
      if (comma == std::string::npos) comma = list.size();
      const std::string w = list.substr(pos, comma - pos);
      if (w == "error") f.levels |= kLevelError;
      else if (w == "warning") f.levels |= kLevelWarning;
      else if (w == "info" || w == "information") f.levels |= kLevelInfo;
      else return Complain("invalid level '" + w + "' in --level (error, warning, info)", kExitUsage);
      pos = comma + 1;
    }
  }
  for (const char* opt : {"start", "end"}) {
    if (!a.Has(opt)) continue;
    std::time_t t;
    if (!ParseFilterTime(a.Get(opt), &t)) {
      return Complain(std::string("invalid --") + opt + " '" + a.Get(opt) +
                          "': expected YYYY/MM/DD HH:MM:SS between 1971 and 2037",
                      kExitUsage);
    }
    (opt[0] == 's' ? f.start : f.end) = t;
  }
  const std::string problem = ValidateLogFilter(&f, a.Has("task"), a.Has("server"), a.Has("code"));
  if (!problem.empty()) return Error("log filter", problem, kExitUsage);

  int status = kExitOk;
  const std::string path = LogPathFor(a, &status);
  if (path.empty()) return status;
  std::string text, error;
  if (!ReadLogFile(path, &text, &error)) return Fail(path, error);
  std::vector<LogEntry> entries = ParseLogText(text);
  std::vector<const LogEntry*> shown;
  for (const LogEntry& e : entries) {
    if (LogEntryPasses(e, f)) shown.push_back(&e);
  }
  if (a.Has("newest-first")) std::reverse(shown.begin(), shown.end());
  if (G().json) {
    std::vector<std::string> items;
    for (const LogEntry* e : shown) {
      items.push_back(JsonObject({{"code", JsonString(e->code)},
                                  {"date", JsonString(e->date)},
                                  {"level", JsonString(e->accepted ? e->level_text : "")},
                                  {"task", JsonString(e->task)},
                                  {"server", JsonString(e->server)},
                                  {"message", JsonString(e->message)},
                                  {"parsed", JsonBool(e->accepted)}}));
    }
    std::cout << JsonArray(items) << "\n";
    return kExitOk;
  }
  for (const LogEntry* e : shown) {
    std::cout << e->code << "\t" << e->date << "\t" << Field(e->task) << "\t" << Field(e->server)
              << "\t" << Field(e->message) << "\n";
  }
  return kExitOk;
}

int Clear(const Args&) {
  int status;
  if (!RequireRoot(&status)) return status;
  CServiceControl::ClearLog();
  return kExitOk;
}

int Path(const Args&) {
  int status;
  if (!RequireRoot(&status)) return status;
  std::cout << CServiceControl::LogPath() << "\n";
  return kExitOk;
}

}  // namespace

const std::vector<Command>& LogCommands() {
  static const std::vector<Command> commands = {
      {{"log show", "", "show the activity log, oldest entry first",
        {{"task", "NAME", "only entries of this task (exact)"},
         {"server", "NAME", "only entries of this server (exact)"},
         {"code", "CODE", "only entries with this code, a letter and three digits (S001)"},
         {"level", "LEVELS", "only these levels: error,warning,info"},
         {"start", "TIME", "only entries at or after YYYY/MM/DD HH:MM:SS"},
         {"end", "TIME", "only entries at or before YYYY/MM/DD HH:MM:SS"},
         {"newest-first", nullptr, "newest entry first, as the Log Viewer lists them"},
         {"file", "PATH", "read this log file instead of ROOT/SYSTEM/kvrpd.log"}},
        0, 0,
        "One line per entry: code, date and time, task, server, message, separated by tabs.\n"
        "Lines without the log's layout show \"....\" and \"..........\" with the raw line as\n"
        "message; a time or level filter leaves them out."},
       Show},
      {{"log clear", "", "delete the activity log", {}, 0, 0, nullptr}, Clear},
      {{"log path", "", "print the activity log's path", {}, 0, 0, nullptr}, Path},
  };
  return commands;
}

}  // namespace pondrel::cli
