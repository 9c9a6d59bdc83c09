// pondrel task: collection tasks.
#include <cctype>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <thread>

#include "cli/commands.h"
#include "common/clock.h"
#include "common/guid.h"
#include "common/runtime_dir.h"
#include "taskmodel/schedule.h"
#include "taskmodel/timestr.h"
#include "taskview/messages.h"
#include "taskview/service_control.h"
#include "taskview/tasdek_doc.h"
#include "taskview/task_editor.h"

namespace pondrel::cli {

using namespace pondrel::tasdek;

namespace {

constexpr const char* kDayShort[7] = {"sun", "mon", "tue", "wed", "thu", "fri", "sat"};
constexpr const char* kDayLong[7] = {"sunday",   "monday", "tuesday", "wednesday",
                                     "thursday", "friday", "saturday"};
constexpr const char* kOrdinalWords[5] = {"first", "second", "third", "fourth", "final"};

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

int DayIndex(const std::string& word) {
  const std::string w = Lower(word);
  for (int d = 0; d < 7; ++d) {
    if (w == kDayShort[d] || w == kDayLong[d]) return d;
  }
  return -1;
}

std::string StatusWord(int image) {
  switch (image) {
    case 0: return "finished";
    case 1: return "disabled";
    case 2: return "invalid";
    case 3: return "running";
    default: return "scheduled";
  }
}

std::string StateWord(std::int32_t state) {
  switch (state) {
    case kStateRunning: return "running";
    case kStateWaiting: return "waiting";
    case kStateRerun: return "retry due";
    case kStateDisabled: return "disabled";
    default: return "state " + std::to_string(state);
  }
}

std::string ResultWord(std::int32_t result) {
  switch (result) {
    case kResultNone: return "none";
    case kResultSucceeded: return "succeeded";
    case kResultFailed: return "failed";
    case kResultAborted: return "aborted";
    case kResultStartFailed: return "failed to start";
    case kResultRunning: return "running";
    default: return "result " + std::to_string(result);
  }
}

std::string CycleWord(std::int32_t cycle) {
  switch (cycle) {
    case kCycleDays: return "daily";
    case kCycleWeeks: return "weekly";
    case kCycleMonths: return "monthly";
    case kCycleOnce: return "once";
    default: return "cycle " + std::to_string(cycle);
  }
}

// What an end code means: the service's own codes, the downloader's results, HTTP failures.
std::string EndCodeMeaning(std::int32_t code) {
  switch (code) {
    case 0: return "completed";
    case 100: return "aborted";
    case 101: return "the camera server was rebuilding its picture list";
    case 102: return "the camera server was deleting pictures";
    case 103: return "the camera server has no picture storage";
    case 104: return "not enough free space on the image directory's disk";
    case 200: return "the downloader could not start its work";
    case 1001:
    case 1002:
    case 1003:
    case 1005: return "the downloader was started wrongly";
    case 1008: return "the server profile could not be read";
    case 2000:
    case 2001: return "a work file could not be written";
    case 3000: return "not enough memory";
    case 3001:
    case 3002:
    case 3003: return "the downloader could not start its work";
    case 4000: return "a picture directory could not be created";
    case 8000: return "communication error";
    case 8001: return "the camera server refused access (HTTP 403)";
    case 8002: return "the camera server did not answer in time";
    case 8003: return "the camera server refused the account or password (HTTP 401)";
    case 8004: return "the camera server does not have the page (HTTP 404)";
    case 8005: return "the camera server is unavailable (HTTP 503)";
    case 8006: return "the camera server answered with an unexpected HTTP status";
    case 8007: return "the HTTP session could not be set up";
    case 9000: return "the dial-up connection failed";
    case kEndCodeMissedRun: return "the run time passed while the service was not running";
    case kEndCodeServerBusy: return "another task was using the same camera server";
    case kEndCodeTooManyTasks: return "too many tasks were running";
    case kEndCodeUnreadable: return "the task or its server could not be read";
    case kEndCodeNoExitCode: return "the downloader ended without a result";
    default: return "end code " + std::to_string(code);
  }
}

// A schedule-file time for people: "YYYY/MM/DD HH:MM:SS" ("" when unset).
std::string DisplayTime(const char* time_str) {
  std::tm tm{};
  if (!time_str[0] || !ParseTimeStr(time_str, &tm)) return "";
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y/%m/%d %H:%M:%S", &tm);
  return buf;
}

std::string TaskJson(const TaskEntry& e) {
  const CKVTask& t = e.task;
  return JsonObject({
      {"name", JsonString(t.Name)},
      {"server", JsonString(e.server_name)},
      {"server_id", JsonString(GuidToHex(t.ServerId))},
      {"enabled", JsonBool(t.Effect == 1 && t.ActState != kStateDisabled)},
      {"status", JsonString(StatusWord(StatusImage(e)))},
      {"running", JsonBool(t.ActState == kStateRunning)},
      {"invalid", JsonBool(e.invalid)},
      {"next_run_time", JsonTime(t.NextTime)},
      {"last_result", JsonString(LastResultText(t))},
      {"schedule", JsonString(DescribeSchedule(t))},
      {"start_time", JsonTime(t.StartTime)},
      {"cycle", JsonString(CycleWord(t.TaskCycle))},
      {"interval", std::to_string(t.TaskInterval)},
      {"days_of_week", JsonString(t.DayofWeek)},
      {"month_unit", std::to_string(t.MonthUnit)},
      {"day_of_month", std::to_string(t.ActDayofMonth)},
      {"delete_images", JsonBool(t.ImageDelete != 0)},
      {"disconnect", JsonBool(t.RasDisconnect != 0)},
      {"retry_count", std::to_string(t.RetryCnt)},
      {"retries_left", std::to_string(t.RestRetryCnt)},
      {"retry_interval_minutes", std::to_string(t.RetryInterval)},
      {"repeat_count", std::to_string(t.LoopCnt)},
      {"repeat_interval_hours", std::to_string(static_cast<int>(t.LoopInterval))},
      {"last_run_time", JsonTime(t.LastActTime)},
      {"state", JsonString(StateWord(t.ActState))},
      {"result", JsonString(ResultWord(t.ActResult))},
      {"end_code", std::to_string(t.EndCode)},
      {"end_code_meaning", JsonString(t.ActResult == kResultNone ? "" : EndCodeMeaning(t.EndCode))},
      {"end_time", JsonTime(t.EndTime)},
  });
}

std::string TaskWhat(std::string_view name) { return "task '" + std::string(name) + "'"; }

int NoSuchTask(const std::string& name) {
  return Fail(TaskWhat(name), "no such task (see 'pondrel task list')");
}

const std::vector<OptionSpec> kTaskOptions = {
    {"server", "SERVER",
     "the camera server (name or identifier; may be left out when there is only one)"},
    {"enable", nullptr, "the task is in effect"},
    {"disable", nullptr, "keep the task but never start it"},
    {"start", "TIME",
     "first run, \"YYYY/MM/DD HH:MM\" (1971-2037), or \"now\": the service's next scan"},
    {"cycle", "KIND", "once, daily, weekly or monthly"},
    {"every", "N", "daily: every N days (1-31); weekly: every N weeks (1-53)"},
    {"weekdays", "DAYS", "weekly: days such as Mon,Wed,Fri (or \"all\")"},
    {"day-of-month", "N", "monthly: on day N (1-31)"},
    {"month-ordinal", "WORD", "monthly: first, second, third, fourth or final ..."},
    {"month-weekday", "DAY", "... weekday of every month (Sunday-Saturday)"},
    {"repeat-every", "HOURS", "repeat within the day every HOURS hours (1-23)"},
    {"repeat-times", "N", "repeat N times (1-23)"},
    {"no-repeat", nullptr, "no repetition within the day"},
    {"retry-every", "MINUTES", "after a failure retry every MINUTES minutes (1-10)"},
    {"retry-times", "N", "retry at most N times (1-10)"},
    {"no-retry", nullptr, "no retries"},
    {"disconnect", nullptr, "hang up the dial-up connection after the download"},
    {"no-disconnect", nullptr, "stay connected"},
};

// "YYYY/MM/DD HH:MM" (also with "-" in the date, "T" or "/" before the time), or "now".
bool ParseStart(const std::string& text, TaskEditorForm* f) {
  int y, mo, d, h, mi;
  if (Lower(text) == "now") {
    // The service picks up runs that fell due since its last scan, once a minute; a start
    // time of this minute has already passed for it, so "now" is the next whole minute.
    const std::time_t now = (GetClock().Now() / 60 + 1) * 60;
    std::tm tm{};
    localtime_r(&now, &tm);
    y = tm.tm_year + 1900, mo = tm.tm_mon + 1, d = tm.tm_mday, h = tm.tm_hour, mi = tm.tm_min;
  } else {
    std::string s = text;
    for (char& c : s) {
      if (c == '-' || c == '/' || c == ':' || c == 'T') c = ' ';
    }
    char extra;
    if (std::sscanf(s.c_str(), "%d %d %d %d %d %c", &y, &mo, &d, &h, &mi, &extra) != 5) {
      return false;
    }
  }
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d/%02d/%02d/%02d/%02d/00", y, mo, d, h, mi);
  std::tm check{};
  if (y < 1971 || y > 2037 || !ParseTimeStr(buf, &check)) return false;
  f->year = y, f->month = mo, f->day = d, f->hour = h, f->minute = mi;
  return true;
}

// An option given with its opposite, or a number that is not all digits (the editor reads
// the leading digits of a number; here a number is all digits).
int CheckTaskOptionForms(const Args& a) {
  auto exclusive = [&a](const char* x, const char* y) { return a.Has(x) && a.Has(y); };
  if (exclusive("enable", "disable") || exclusive("repeat-every", "no-repeat") ||
      exclusive("repeat-times", "no-repeat") || exclusive("retry-every", "no-retry") ||
      exclusive("retry-times", "no-retry") || exclusive("disconnect", "no-disconnect")) {
    return Complain("contradicting options: an option and its opposite (see --help)", kExitUsage);
  }
  for (const char* option :
       {"every", "day-of-month", "repeat-every", "repeat-times", "retry-every", "retry-times"}) {
    long n;
    if (a.Has(option) && !ParseInt(a.Get(option), 0, 1000000, &n)) {
      return BadValue(option, "'" + a.Get(option) + "' is not a whole number");
    }
  }
  return kExitOk;
}

// --server, --enable/--disable and --start.
int ApplyServerAndStart(const Args& a, TaskEditorForm* f) {
  if (a.Has("server")) {
    CKVSrvInfo s;
    if (int r = FindServer(a.Get("server"), &s, "--server")) return r;
    f->server_index = -1;
    for (std::size_t i = 0; i < f->servers.size(); ++i) {
      if (f->servers[i].id == s.GetId()) f->server_index = static_cast<int>(i);
    }
  }
  if (a.Has("enable")) f->enabled = true;
  if (a.Has("disable")) f->enabled = false;
  if (a.Has("start") && !ParseStart(a.Get("start"), f)) {
    return BadValue("start", "'" + a.Get("start") +
                                 "' is not YYYY/MM/DD HH:MM between 1971/01/01 00:00 and "
                                 "2037/12/31 23:59, or now");
  }
  return kExitOk;
}

// --cycle and --every.
int ApplyCycle(const Args& a, TaskEditorForm* f) {
  if (a.Has("cycle")) {
    const std::string c = Lower(a.Get("cycle"));
    if (c == "once")
      f->repetition = kRepOnce;
    else if (c == "daily")
      f->repetition = kRepDaily;
    else if (c == "weekly")
      f->repetition = kRepWeekly;
    else if (c == "monthly")
      f->repetition = kRepMonthly;
    else
      return BadValue("cycle", "'" + a.Get("cycle") + "' is not once, daily, weekly or monthly");
  }
  if (a.Has("every")) {
    if (f->repetition == kRepWeekly)
      f->weekly_weeks = a.Get("every");
    else if (f->repetition == kRepDaily)
      f->daily_days = a.Get("every");
    else
      return BadValue("every", "applies to daily and weekly tasks only");
  }
  return kExitOk;
}

// --weekdays: "all", or days separated by commas.
int ApplyWeekdays(const Args& a, TaskEditorForm* f) {
  if (!a.Has("weekdays")) return kExitOk;
  bool days[7] = {};
  const std::string list = a.Get("weekdays");
  if (Lower(list) == "all") {
    for (bool& d : days) d = true;
  } else if (!list.empty()) {
    std::size_t pos = 0;
    while (pos <= list.size()) {
      std::size_t comma = list.find(',', pos);
      if (comma == std::string::npos) comma = list.size();
      const int d = DayIndex(list.substr(pos, comma - pos));
      if (d < 0) {
        return BadValue("weekdays", "'" + list.substr(pos, comma - pos) +
                                        "' is not a day (Sun, Mon, Tue, Wed, Thu, Fri, Sat)");
      }
      days[d] = true;
      pos = comma + 1;
    }
  }
  for (int d = 0; d < 7; ++d) f->weekdays[d] = days[d];
  return kExitOk;
}

// --day-of-month, or --month-ordinal with --month-weekday.
int ApplyMonthlyRule(const Args& a, TaskEditorForm* f) {
  if (a.Has("day-of-month")) {
    f->monthly_rule = kRuleDay;
    f->month_day = a.Get("day-of-month");
  }
  if (a.Has("month-ordinal")) {
    const std::string w = Lower(a.Get("month-ordinal"));
    int o = -1;
    for (int i = 0; i < 5; ++i) {
      if (w == kOrdinalWords[i] || (i == 4 && w == "last")) o = i;
    }
    if (o < 0) {
      return BadValue("month-ordinal", "'" + a.Get("month-ordinal") +
                                           "' is not first, second, third, fourth or final");
    }
    f->monthly_rule = kRuleWeekday;
    f->ordinal = o;
  }
  if (a.Has("month-weekday")) {
    const int d = DayIndex(a.Get("month-weekday"));
    if (d < 0) {
      return BadValue("month-weekday",
                      "'" + a.Get("month-weekday") + "' is not a day (Sunday-Saturday)");
    }
    f->monthly_rule = kRuleWeekday;
    f->weekday = d;
  }
  if (a.Has("day-of-month") && f->monthly_rule == kRuleWeekday) {
    return BadValue("day-of-month", "excludes --month-ordinal and --month-weekday");
  }
  return kExitOk;
}

// --repeat-..., --retry-... and --disconnect.
int ApplyRepeatRetryDisconnect(const Args& a, TaskEditorForm* f) {
  if (a.Has("repeat-every") || a.Has("repeat-times")) f->repeat = true;
  if (a.Has("repeat-every")) f->repeat_hours = a.Get("repeat-every");
  if (a.Has("repeat-times")) f->repeat_times = a.Get("repeat-times");
  if (a.Has("no-repeat")) f->repeat = false;
  if (a.Has("retry-every") || a.Has("retry-times")) f->retry = true;
  if (a.Has("retry-every")) f->retry_minutes = a.Get("retry-every");
  if (a.Has("retry-times")) f->retry_times = a.Get("retry-times");
  if (a.Has("no-retry")) f->retry = false;
  if (a.Has("disconnect") || a.Has("no-disconnect")) {
    // The box is enabled only for a server that dials up.
    if (!SelectedServerUsesPpp(*f)) {
      return BadValue(a.Has("disconnect") ? "disconnect" : "no-disconnect",
                      "needs a server that uses a PPP connection");
    }
    f->disconnect = a.Has("disconnect");
  }
  return kExitOk;
}

// Applies the options to the editor's controls, in this order (the first refusal is the one
// reported). kExitOk or a failure status.
int ApplyTaskOptions(const Args& a, TaskEditorForm* f) {
  if (int r = CheckTaskOptionForms(a)) return r;
  for (int (*step)(const Args&, TaskEditorForm*) :
       {&ApplyServerAndStart, &ApplyCycle, &ApplyWeekdays, &ApplyMonthlyRule,
        &ApplyRepeatRetryDisconnect}) {
    if (int r = step(a, f)) return r;
  }
  return kExitOk;
}

// The option that sets what an editor code refuses (for naming it in an error).
const char* OptionOfEditorCode(EditorResult code) {
  switch (code) {
    case EditorResult::kNameMissing:
    case EditorResult::kNameFormat:
    case EditorResult::kNameChars: return "name";
    case EditorResult::kNoServer: return "server";
    case EditorResult::kDayRange:
    case EditorResult::kWeekRange: return "every";
    case EditorResult::kNoWeekday: return "weekdays";
    case EditorResult::kMonthDayRange: return "day-of-month";
    case EditorResult::kRepeatInterval: return "repeat-every";
    case EditorResult::kRepeatTimes: return "repeat-times";
    case EditorResult::kRetryTimes: return "retry-times";
    case EditorResult::kRetryInterval: return "retry-every";
    default: return nullptr;
  }
}

// An editor refusal: a bad value is a usage error naming its option; the rest are failures.
int EditorRefusal(EditorResult code, const std::string& name) {
  const std::string message = TaskEditorMessage(code, name);
  if (code == EditorResult::kNameExists) return Fail(TaskWhat(name), message);
  if (const char* option = OptionOfEditorCode(code)) return BadValue(option, message);
  return Fail(TaskWhat(name), message);
}

int List(const Args& a) {
  CTasdekDoc doc;
  if (int r = LockAndLoadTasks(&doc)) return r;
  TaskListModel list(&doc);
  if (a.Has("server")) {
    CKVSrvInfo s;
    if (int r = FindServer(a.Get("server"), &s, "--server")) return r;
    list.SetServerFilter(&s.GetId());
  } else {
    list.SetServerFilter(nullptr);
  }
  if (a.Has("reverse") && !a.Has("sort")) return BadValue("reverse", "needs --sort");
  if (a.Has("sort")) {
    const std::string c = Lower(a.Get("sort"));
    int col = c == "name"       ? kColTaskName
              : c == "server"   ? kColServerName
              : c == "next"     ? kColNextRunTime
              : c == "result"   ? kColLastResult
              : c == "schedule" ? kColSchedule
                                : -1;
    if (col < 0) {
      return BadValue("sort",
                      "'" + a.Get("sort") + "' is not name, server, next, result or schedule");
    }
    list.ClickColumn(col);
    if (a.Has("reverse")) list.ClickColumn(col);
  }
  if (G().json) {
    std::vector<std::string> items;
    for (std::size_t i = 0; i < list.RowCount(); ++i) items.push_back(TaskJson(list.Row(i)));
    PrintJson(JsonArray(items));
    return kExitOk;
  }
  std::vector<std::vector<std::string>> rows;
  for (std::size_t i = 0; i < list.RowCount(); ++i) {
    std::vector<std::string> row;
    for (int c = 0; c < 5; ++c) row.push_back(list.Text(i, c));
    row.push_back(StatusWord(StatusImage(list.Row(i))));
    rows.push_back(std::move(row));
  }
  std::vector<std::string> header;
  for (const char* h : kTaskColumnHeaders) header.push_back(h);
  header.push_back("Status");
  PrintTable(header, rows);
  return kExitOk;
}

std::vector<std::pair<std::string, std::string>> TaskRecord(const TaskEntry& e) {
  const CKVTask& t = e.task;
  return {
      {"Task Name", t.Name},
      {"Server Name", e.server_name},
      {"Server Id", GuidToHex(t.ServerId)},
      {"Status", StatusWord(StatusImage(e))},
      {"Next Run Time", NextRunText(t)},
      {"Last Result", LastResultText(t)},
      {"Schedule", DescribeSchedule(t)},
      {"Start Time", DisplayTime(t.StartTime)},
      {"Cycle", CycleWord(t.TaskCycle)},
      {"Delete Images", t.ImageDelete ? "yes" : "no"},
      {"Disconnect", t.RasDisconnect ? "yes" : "no"},
      {"Retries", std::to_string(t.RetryCnt) + " every " + std::to_string(t.RetryInterval) +
                      " min (" + std::to_string(t.RestRetryCnt) + " left)"},
      {"Last Run Time", DisplayTime(t.LastActTime)},
      {"State", StateWord(t.ActState)},
      {"Result", ResultWord(t.ActResult)},
      {"End Code", t.ActResult == kResultNone
                       ? std::to_string(t.EndCode)
                       : std::to_string(t.EndCode) + " (" + EndCodeMeaning(t.EndCode) + ")"},
      {"End Time", DisplayTime(t.EndTime)},
  };
}

int Show(const Args& a) {
  CTasdekDoc doc;
  if (int r = LockAndLoadTasks(&doc)) return r;
  const std::string name = a.Positional()[0];
  const TaskEntry* e = doc.FindTask(name);
  if (!e) return NoSuchTask(name);
  if (G().json) {
    PrintJson(TaskJson(*e));
    return kExitOk;
  }
  PrintRecord(TaskRecord(*e));
  return kExitOk;
}

// After an add or an edit: with --json, the task as it now stands in the file.
int PrintStoredTask(CTasdekDoc* doc, const std::string& name) {
  if (G().json) {
    (void)doc->ResolveServers();  // a name that cannot be resolved prints empty
    if (const TaskEntry* e = doc->FindTask(name)) PrintJson(TaskJson(*e));
  }
  return kExitOk;
}

int Add(const Args& a) {
  CTasdekDoc doc;
  // The file lock spans reading the list and adding, so that the name test and the write
  // see the same file.
  if (int r = LockAndLoadTasks(&doc)) return r;
  TaskEditorForm form;
  if (EditorResult r = LoadEditorServers(&form, nullptr); r != EditorResult::kOk)
    return Fail("server profiles", TaskEditorMessage(r, ""));
  if (form.servers.empty()) return Fail("server profiles", kMsgNoServer);
  if (!a.Has("server") && form.servers.size() > 1) {
    return BadValue("server", "missing: there are " + std::to_string(form.servers.size()) +
                                  " servers; name one (see 'pondrel server list')");
  }
  FormFromTask(CKVTask(), "", &form);
  form.name = a.Positional()[0];
  if (int r = ApplyTaskOptions(a, &form)) return r;
  CKVTask task;
  if (EditorResult code = ApplyTaskEditor(form, "", doc, &task); code != EditorResult::kOk)
    return EditorRefusal(code, form.name);
  const DocResult r = AddEditedTask(&doc, task);
  if (r == DocResult::kNameExists) return Fail(TaskWhat(task.Name), kMsgTaskNameExists);
  if (r != DocResult::kOk) return Fail(TaskWhat(task.Name), ErrorText(ResultCode(r)));
  return PrintStoredTask(&doc, task.Name);
}

int Edit(const Args& a) {
  CTasdekDoc doc;
  if (int r = LockAndLoadTasks(&doc)) return r;
  const std::string name = a.Positional()[0];
  const TaskEntry* e = doc.FindTask(name);
  if (!e) return NoSuchTask(name);
  TaskEditorForm form;
  if (EditorResult r = LoadEditorServers(&form, nullptr); r != EditorResult::kOk)
    return Fail("server profiles", TaskEditorMessage(r, ""));
  FormFromTask(e->task, e->server_name, &form);
  if (a.Has("name")) form.name = a.Get("name");
  if (int r = ApplyTaskOptions(a, &form)) return r;
  CKVTask task;
  if (EditorResult code = ApplyTaskEditor(form, name, doc, &task); code != EditorResult::kOk)
    return EditorRefusal(code, form.name);
  const DocResult r = ModifyEditedTask(&doc, name, task);
  if (r == DocResult::kTaskRunning) return Fail(TaskWhat(name), kMsgTaskRunning);
  if (r == DocResult::kNameExists) return Fail(TaskWhat(task.Name), kMsgTaskNameExists);
  if (r != DocResult::kOk) return Fail(TaskWhat(name), kMsgWriteSettingFailed);
  return PrintStoredTask(&doc, task.Name);
}

// task enable / task disable: only the switch changes; Last Result and the run history stay.
int SetEnabled(const Args& a, bool enable) {
  CTasdekDoc doc;
  if (int r = LockAndLoadTasks(&doc)) return r;
  const std::string name = a.Positional()[0];
  const TaskEntry* e = doc.FindTask(name);
  if (!e) return NoSuchTask(name);
  CKVTask task = e->task;
  if (task.ActState == kStateRunning) return Fail(TaskWhat(name), kMsgTaskRunning);
  task.Effect = enable ? 1 : 0;
  if (enable) {
    if (task.ActState == kStateDisabled) task.ActState = kStateWaiting;
    CKVSchedule().ComputeNextTime(&task);
  } else {
    task.ActState = kStateDisabled;
  }
  const DocResult r = doc.ModifyTask(name, task);
  if (r == DocResult::kTaskRunning) return Fail(TaskWhat(name), kMsgTaskRunning);
  if (r != DocResult::kOk) return Fail(TaskWhat(name), kMsgWriteSettingFailed);
  return PrintStoredTask(&doc, name);
}

int Enable(const Args& a) { return SetEnabled(a, true); }
int Disable(const Args& a) { return SetEnabled(a, false); }

int Duplicate(const Args& a) {
  CTasdekDoc doc;
  if (int r = LockAndLoadTasks(&doc)) return r;
  const std::string name = a.Positional()[0];
  const TaskEntry* e = doc.FindTask(name);
  if (!e) return NoSuchTask(name);
  const std::string new_name = DuplicateName(doc);
  if (new_name.empty()) return Fail(TaskWhat(name), "no free name for a duplicate");
  const CKVTask copy = MakeDuplicate(e->task, new_name);
  const DocResult r = doc.AddTask(copy);
  if (r == DocResult::kNameExists) return Fail(TaskWhat(new_name), kMsgTaskNameExists);
  if (r != DocResult::kOk) return Fail(TaskWhat(new_name), ErrorText(ResultCode(r)));
  if (G().json) {
    PrintJson(JsonObject({{"name", JsonString(new_name)}, {"source", JsonString(name)}}));
  } else {
    std::cout << "duplicated '" << name << "' as '" << new_name << "' (disabled)\n";
  }
  return kExitOk;
}

int Delete(const Args& a) {
  CTasdekDoc doc;
  if (int r = LockAndLoadTasks(&doc)) return r;
  const std::string name = a.Positional()[0];
  if (!doc.FindTask(name)) return NoSuchTask(name);
  char question[512];
  std::snprintf(question, sizeof question, kFmtDeleteTaskAsk, name.c_str());
  if (!Confirm(question)) return Fail(TaskWhat(name), "not deleted");
  const DocResult r = doc.DeleteTask(name);
  if (r == DocResult::kTaskRunning) return Fail(TaskWhat(name), kMsgTaskRunning);
  if (r != DocResult::kOk) return Fail(TaskWhat(name), kMsgWriteSettingFailed);
  if (G().json) {
    PrintJson(JsonObject({{"deleted_task", JsonString(name)}}));
  } else {
    std::cout << "deleted task '" << name << "'\n";
  }
  return kExitOk;
}

// Reads the task under the file lock without waiting for it: false when the lock is busy or
// the task cannot be read.
bool ReadTaskNow(CTasdekDoc* doc, const std::string& name, CKVTask* out) {
  CKVTaskMgr& store = doc->Store();
  if (!store.Lock(100)) return false;
  const int r = store.ReadTask(name, out);
  store.Unlock();
  return r == 0;
}

// Whether two readings of a task differ in what a run writes.
bool RunFieldsChanged(const CKVTask& a, const CKVTask& b) {
  return std::string(a.LastActTime) != b.LastActTime || std::string(a.EndTime) != b.EndTime ||
         a.ActResult != b.ActResult || a.EndCode != b.EndCode || a.ActState != b.ActState ||
         std::string(a.NextTime) != b.NextTime || a.RestRetryCnt != b.RestRetryCnt;
}

// Waits until the run that `before` preceded has ended, prints its result and returns the
// exit status: `success_result` gives 0, any other result 1.
int WaitForRunEnd(CTasdekDoc* doc, const CKVTask& before, bool seen_running,
                  std::int32_t success_result) {
  const std::string name = before.Name;
  // A download can take long: without --timeout the run is waited for as long as it lasts.
  Waiter waiter(TaskWhat(name) + " to finish its run", G().timeout_given ? G().timeout_seconds : 0);
  CKVTask now;
  for (;;) {
    if (ReadTaskNow(doc, name, &now)) {
      if (now.ActState == kStateRunning) seen_running = true;
      if (now.ActState != kStateRunning && (seen_running || RunFieldsChanged(before, now))) break;
    }
    if (!waiter.KeepWaiting(250)) return waiter.TimedOut();
  }
  const std::string result = LastResultText(now);
  const std::string meaning = EndCodeMeaning(now.EndCode);
  if (G().json) {
    PrintJson(JsonObject({{"name", JsonString(name)},
                          {"result", JsonString(ResultWord(now.ActResult))},
                          {"last_result", JsonString(result)},
                          {"end_code", std::to_string(now.EndCode)},
                          {"end_code_meaning", JsonString(meaning)},
                          {"end_time", JsonTime(now.EndTime)},
                          {"next_run_time", JsonTime(now.NextTime)}}));
  } else {
    std::cout << result << ": end code " << now.EndCode << " (" << meaning << ")\n";
  }
  return now.ActResult == success_result ? kExitOk : kExitFailure;
}

// A run's record tells it from the run before only by time stamps, which count seconds, and
// the service starts a requested run at once: a request made in the second that the previous
// run started or ended waits for the next second, so that --wait can tell the two runs apart.
void WaitForANewSecond(const CKVTask& before) {
  for (int i = 0; i < 30; ++i) {
    const std::string now = TimeToTimeStr(GetClock().Now());
    if (now != before.LastActTime && now != before.EndTime) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

int Run(const Args& a) {
  CTasdekDoc doc;
  if (int r = LockAndLoadTasks(&doc)) return r;
  const std::string name = a.Positional()[0];
  const TaskEntry* e = doc.FindTask(name);
  if (!e) return NoSuchTask(name);
  const CKVTask before = e->task;
  doc.Store().Unlock();
  if (before.Effect != 1 || before.ActState == kStateDisabled) {
    return Fail(TaskWhat(name), "the task is disabled (see 'pondrel task enable')");
  }
  if (before.ActState == kStateRunning) return Fail(TaskWhat(name), "the task is already running");
  std::string refused;
  if (RuntimeDirRefused(&refused)) return Fail("service", refused);
  ServiceControl service;
  // Without a service the request would be lost.
  if (!service.IsServiceRunning()) return Fail("service", kMsgServiceNotStarted);
  if (a.Has("wait")) WaitForANewSecond(before);
  if (!service.SendExecuteNow(name)) return Fail("service", kMsgServiceNotStarted);
  if (a.Has("wait")) return WaitForRunEnd(&doc, before, false, kResultSucceeded);
  if (G().json) PrintJson(JsonObject({{"name", JsonString(name)}, {"requested", "true"}}));
  return kExitOk;
}

int Abort(const Args& a) {
  CTasdekDoc doc;
  if (int r = LockAndLoadTasks(&doc)) return r;
  const std::string name = a.Positional()[0];
  const TaskEntry* e = doc.FindTask(name);
  if (!e) return NoSuchTask(name);
  const CKVTask before = e->task;
  doc.Store().Unlock();
  if (before.ActState != kStateRunning) return Fail(TaskWhat(name), "the task is not running");
  std::string refused;
  if (RuntimeDirRefused(&refused)) return Fail("service", refused);
  ServiceControl service;
  if (!service.SendAbort(name)) return Fail("service", kMsgServiceNotStarted);
  if (a.Has("wait")) return WaitForRunEnd(&doc, before, true, kResultAborted);
  if (G().json) PrintJson(JsonObject({{"name", JsonString(name)}, {"requested", "true"}}));
  return kExitOk;
}

}  // namespace

int LockAndLoadTasks(CTasdekDoc* doc) {
  int status;
  if (!RequireRoot(&status)) return status;
  Waiter waiter("the schedule file lock (another program is changing the tasks)");
  while (!doc->Store().Lock(100)) {
    if (!waiter.KeepWaiting(0)) return waiter.TimedOut();
  }
  const DocResult r = doc->LoadTasks();
  if (r != DocResult::kOk) return Fail("schedule file", ErrorText(ResultCode(r)));
  return kExitOk;
}

namespace {

// The commands that read the tasks.
std::vector<Command> TaskReadingCommands() {
  return {
      {{"task list",
        "",
        "list the tasks: name, server, next run time, last result, schedule, status",
        {{"server", "SERVER", "only the tasks of this server"},
         {"sort", "COLUMN", "sort by name, server, next, result or schedule"},
         {"reverse", nullptr, "with --sort: descending"}},
        0,
        0,
        "One line per task. On a terminal with a header line and aligned columns, otherwise\n"
        "the six fields separated by tabs without a header. Status is scheduled, running,\n"
        "finished, disabled or invalid. Tasks whose server no longer exists are not listed\n"
        "(they stay in the schedule file)."},
       List},
      {{"task show", "NAME", "show every field of a task", {}, 1, 1, nullptr}, Show},
  };
}

// The commands that change the schedule file.
std::vector<Command> TaskEditingCommands() {
  const std::vector<OptionSpec> edit_options = [] {
    std::vector<OptionSpec> o = kTaskOptions;
    o.insert(o.begin(), {"name", "NAME", "rename the task"});
    return o;
  }();
  return {
      {{"task add", "NAME", "add a task", kTaskOptions, 1, 1,
        "A new task runs daily from now unless told otherwise; --start now means the\n"
        "service's next scan (the task runs within about a minute). --server may be left out\n"
        "only when there is a single server. Values are checked as the task editor checks\n"
        "them (the same messages); a refused value is a usage error (exit status 2) and\n"
        "nothing is stored."},
       Add},
      {{"task edit", "NAME", "change a task (its run state starts afresh)", edit_options, 1, 1,
        "Options not given keep their values. A running task cannot be changed. To switch a\n"
        "task on or off without losing its last result, use 'task enable' and 'task disable'."},
       Edit},
      {{"task enable",
        "NAME",
        "put a task in effect (its last result is kept)",
        {},
        1,
        1,
        "The next run is computed from the schedule."},
       Enable},
      {{"task disable",
        "NAME",
        "keep a task but never start it (its last result is kept)",
        {},
        1,
        1,
        nullptr},
       Disable},
      {{"task duplicate",
        "NAME",
        "copy a task as \"Untitled\", \"Untitled0\", ... (disabled)",
        {},
        1,
        1,
        nullptr},
       Duplicate},
      {{"task delete",
        "NAME",
        "delete a task",
        {},
        1,
        1,
        "On a terminal asks first (--yes does not ask). A running task cannot be deleted."},
       Delete},
  };
}

// The requests to the service.
std::vector<Command> TaskRunCommands() {
  const std::vector<OptionSpec> wait_option = {
      {"wait", nullptr, "wait for the run to end and exit with its result"}};
  return {
      {{"task run", "NAME", "ask the service to run a task now", wait_option, 1, 1,
        "Fails (status 1) when the service is not running. With --wait, waits until the run\n"
        "has ended, prints its Last Result and what its end code means, and exits 0 when it\n"
        "succeeded, 1 otherwise; it waits as long as the run lasts unless --timeout is given\n"
        "(exit status 124 then)."},
       Run},
      {{"task abort", "NAME", "ask the service to abort a running task", wait_option, 1, 1,
        "With --wait, waits until the run has ended and exits 0 when it ended aborted, 1\n"
        "when it ended otherwise (its Last Result is printed); --timeout as for 'task run'."},
       Abort},
  };
}

}  // namespace

const std::vector<Command>& TaskCommands() {
  static const std::vector<Command> kCommands = [] {
    std::vector<Command> all = TaskReadingCommands();
    for (const auto& part : {TaskEditingCommands(), TaskRunCommands()}) {
      all.insert(all.end(), part.begin(), part.end());
    }
    return all;
  }();
  return kCommands;
}

}  // namespace pondrel::cli
