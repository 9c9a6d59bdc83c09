// pondrel task: collection tasks.
#include <cctype>
#include <cstdio>
#include <ctime>
#include <iostream>

#include "cli/commands.h"
#include "common/clock.h"
#include "common/guid.h"
#include "common/runtime_dir.h"
#include "taskmodel/timestr.h"
#include "taskview/messages.h"
#include "taskview/service_control.h"
#include "taskview/task_editor.h"
#include "taskview/tasdek_doc.h"

namespace pondrel::cli {

using namespace pondrel::tasdek;

namespace {

constexpr const char* kDayShort[7] = {"sun", "mon", "tue", "wed", "thu", "fri", "sat"};
constexpr const char* kDayLong[7] = {"sunday", "monday", "tuesday", "wednesday",
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

std::string TaskJson(const TaskEntry& e) {
  const CKVTask& t = e.task;
  return JsonObject({
      {"name", JsonString(t.Name)},
      {"server", JsonString(e.server_name)},
      {"server_id", JsonString(GuidToHex(t.ServerId))},
      {"next_run_time", JsonString(NextRunText(t))},
      {"last_result", JsonString(LastResultText(t))},
      {"schedule", JsonString(DescribeSchedule(t))},
      {"status", JsonString(StatusWord(StatusImage(e)))},
      {"invalid", JsonBool(e.invalid)},
      {"StartTime", JsonString(t.StartTime)},
      {"TaskCycle", std::to_string(t.TaskCycle)},
      {"TaskInterval", std::to_string(t.TaskInterval)},
      {"DayofWeek", JsonString(t.DayofWeek)},
      {"MonthUnit", std::to_string(t.MonthUnit)},
      {"ActDayofMonth", std::to_string(t.ActDayofMonth)},
      {"ImageDelete", std::to_string(t.ImageDelete)},
      {"RasDisconnect", std::to_string(t.RasDisconnect)},
      {"RetryCnt", std::to_string(t.RetryCnt)},
      {"RestRetryCnt", std::to_string(t.RestRetryCnt)},
      {"RetryInterval", std::to_string(t.RetryInterval)},
      {"Effect", std::to_string(t.Effect)},
      {"LastActTime", JsonString(t.LastActTime)},
      {"ActState", std::to_string(t.ActState)},
      {"ActResult", std::to_string(t.ActResult)},
      {"EndCode", std::to_string(t.EndCode)},
      {"EndTime", JsonString(t.EndTime)},
      {"NextTime", JsonString(t.NextTime)},
      {"LoopInterval", std::to_string(t.LoopInterval)},
      {"LoopCnt", std::to_string(t.LoopCnt)},
  });
}

// Loads the document; reports a read failure. kExitOk or a failure status.
int Load(CTasdekDoc* doc) {
  int status;
  if (!RequireRoot(&status)) return status;
  const int r = doc->LoadTasks();
  if (r != kDocOk) return Fail(ErrorText(r));
  return kExitOk;
}

int NoSuchTask(const std::string& name) { return Complain("no task named '" + name + "'"); }

const std::vector<OptionSpec> kTaskOptions = {
    {"server", "SERVER", "the camera server (name or identifier; default: the first server)"},
    {"enable", nullptr, "the task is in effect"},
    {"disable", nullptr, "keep the task but never start it"},
    {"start", "TIME", "first run, \"YYYY/MM/DD HH:MM\" (1971-2037) or \"now\""},
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
    const std::time_t now = GetClock().Now();
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

// Applies the options to the editor's controls. kExitOk or a failure status.
int ApplyTaskOptions(const Args& a, TaskEditorForm* f) {
  auto exclusive = [&a](const char* x, const char* y) {
    return a.Has(x) && a.Has(y);
  };
  if (exclusive("enable", "disable") || exclusive("repeat-every", "no-repeat") ||
      exclusive("repeat-times", "no-repeat") || exclusive("retry-every", "no-retry") ||
      exclusive("retry-times", "no-retry") || exclusive("disconnect", "no-disconnect")) {
    return Complain("contradicting options (see --help)", kExitUsage);
  }
  if (a.Has("server")) {
    CKVSrvInfo s;
    if (int r = FindServer(a.Get("server"), &s)) return r;
    f->server_index = -1;
    for (std::size_t i = 0; i < f->servers.size(); ++i) {
      if (f->servers[i].id == s.GetId()) f->server_index = static_cast<int>(i);
    }
  }
  if (a.Has("enable")) f->enabled = true;
  if (a.Has("disable")) f->enabled = false;
  if (a.Has("start") && !ParseStart(a.Get("start"), f)) {
    return Complain("invalid --start '" + a.Get("start") +
                        "': expected YYYY/MM/DD HH:MM between 1971/01/01 00:00 and "
                        "2037/12/31 23:59, or now",
                    kExitUsage);
  }
  if (a.Has("cycle")) {
    const std::string c = Lower(a.Get("cycle"));
    if (c == "once") f->repetition = kRepOnce;
    else if (c == "daily") f->repetition = kRepDaily;
    else if (c == "weekly") f->repetition = kRepWeekly;
    else if (c == "monthly") f->repetition = kRepMonthly;
    else return Complain("invalid --cycle '" + a.Get("cycle") + "' (once, daily, weekly, monthly)", kExitUsage);
  }
  if (a.Has("every")) {
    if (f->repetition == kRepWeekly) f->weekly_weeks = a.Get("every");
    else if (f->repetition == kRepDaily) f->daily_days = a.Get("every");
    else return Complain("--every applies to daily and weekly tasks", kExitUsage);
  }
  if (a.Has("weekdays")) {
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
          return Complain("invalid day '" + list.substr(pos, comma - pos) +
                              "' in --weekdays (Sun, Mon, Tue, Wed, Thu, Fri, Sat)",
                          kExitUsage);
        }
        days[d] = true;
        pos = comma + 1;
      }
    }
    for (int d = 0; d < 7; ++d) f->weekdays[d] = days[d];
  }
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
      return Complain("invalid --month-ordinal '" + a.Get("month-ordinal") +
                          "' (first, second, third, fourth, final)",
                      kExitUsage);
    }
    f->monthly_rule = kRuleWeekday;
    f->ordinal = o;
  }
  if (a.Has("month-weekday")) {
    const int d = DayIndex(a.Get("month-weekday"));
    if (d < 0) {
      return Complain("invalid --month-weekday '" + a.Get("month-weekday") + "' (Sunday-Saturday)",
                      kExitUsage);
    }
    f->monthly_rule = kRuleWeekday;
    f->weekday = d;
  }
  if (a.Has("day-of-month") && f->monthly_rule == kRuleWeekday) {
    return Complain("--day-of-month excludes --month-ordinal and --month-weekday", kExitUsage);
  }
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
      return Complain("--disconnect and --no-disconnect need a server that uses a PPP connection",
                      kExitUsage);
    }
    f->disconnect = a.Has("disconnect");
  }
  return kExitOk;
}

int List(const Args& a) {
  CTasdekDoc doc;
  if (int r = Load(&doc)) return r;
  CTaskListModel list(&doc);
  if (a.Has("server")) {
    CKVSrvInfo s;
    if (int r = FindServer(a.Get("server"), &s)) return r;
    list.SetServerFilter(&s.GetId());
  } else {
    list.SetServerFilter(nullptr);
  }
  if (a.Has("sort")) {
    const std::string c = Lower(a.Get("sort"));
    int col = c == "name" ? kColTaskName : c == "server" ? kColServerName
            : c == "next" ? kColNextRunTime : c == "result" ? kColLastResult
            : c == "schedule" ? kColSchedule : -1;
    if (col < 0) return Complain("invalid --sort '" + a.Get("sort") + "' (name, server, next, result, schedule)", kExitUsage);
    list.ClickColumn(col);
    if (a.Has("reverse")) list.ClickColumn(col);
  }
  if (G().json) {
    std::vector<std::string> items;
    for (std::size_t i = 0; i < list.RowCount(); ++i) items.push_back(TaskJson(list.Row(i)));
    std::cout << JsonArray(items) << "\n";
    return kExitOk;
  }
  for (std::size_t i = 0; i < list.RowCount(); ++i) {
    for (int c = 0; c < 5; ++c) std::cout << (c ? "\t" : "") << Field(list.Text(i, c));
    std::cout << "\n";
  }
  return kExitOk;
}

int Show(const Args& a) {
  CTasdekDoc doc;
  if (int r = Load(&doc)) return r;
  const std::string name = a.Positional()[0];
  const TaskEntry* e = doc.FindTask(name);
  if (!e) return NoSuchTask(name);
  if (G().json) {
    std::cout << TaskJson(*e) << "\n";
    return kExitOk;
  }
  const CKVTask& t = e->task;
  std::cout << "Name=" << t.Name << "\n"
            << "Server=" << e->server_name << "\n"
            << "ServerId=" << GuidToHex(t.ServerId) << "\n"
            << "Status=" << StatusWord(StatusImage(*e)) << "\n"
            << "NextRunTime=" << NextRunText(t) << "\n"
            << "LastResult=" << LastResultText(t) << "\n"
            << "Schedule=" << DescribeSchedule(t) << "\n"
            << "StartTime=" << t.StartTime << "\n"
            << "TaskCycle=" << t.TaskCycle << "\n"
            << "TaskInterval=" << t.TaskInterval << "\n"
            << "DayofWeek=" << t.DayofWeek << "\n"
            << "MonthUnit=" << t.MonthUnit << "\n"
            << "ActDayofMonth=" << t.ActDayofMonth << "\n"
            << "ImageDelete=" << t.ImageDelete << "\n"
            << "RasDisconnect=" << t.RasDisconnect << "\n"
            << "RetryCnt=" << t.RetryCnt << "\n"
            << "RestRetryCnt=" << t.RestRetryCnt << "\n"
            << "RetryInterval=" << t.RetryInterval << "\n"
            << "Effect=" << t.Effect << "\n"
            << "LastActTime=" << t.LastActTime << "\n"
            << "ActState=" << t.ActState << "\n"
            << "ActResult=" << t.ActResult << "\n"
            << "EndCode=" << t.EndCode << "\n"
            << "EndTime=" << t.EndTime << "\n"
            << "NextTime=" << t.NextTime << "\n"
            << "LoopInterval=" << static_cast<int>(t.LoopInterval) << "\n"
            << "LoopCnt=" << t.LoopCnt << "\n";
  return kExitOk;
}

// After an add or an edit: with --json, the task as it now stands in the file.
int PrintStoredTask(CTasdekDoc* doc, const std::string& name) {
  if (G().json) {
    doc->ResolveServers();
    if (const TaskEntry* e = doc->FindTask(name)) std::cout << TaskJson(*e) << "\n";
  }
  return kExitOk;
}

int Add(const Args& a) {
  CTasdekDoc doc;
  // The file lock spans reading the list and adding, so that the name test and the write
  // see the same file.
  CKVTaskFileLock hold(doc.Store(), -1);
  if (int r = Load(&doc)) return r;
  TaskEditorForm form;
  if (int r = LoadEditorServers(&form, nullptr)) return Fail(TaskEditorMessage(r, ""));
  if (form.servers.empty()) return Fail(kMsgNoServer);
  FormFromTask(CKVTask(), "", &form);
  form.name = a.Positional()[0];
  if (int r = ApplyTaskOptions(a, &form)) return r;
  CKVTask task;
  if (int code = ApplyTaskEditor(form, "", doc, &task)) {
    return Fail(TaskEditorMessage(code, form.name));
  }
  const int r = AddEditedTask(&doc, task);
  if (r == kDocNameExists) return Fail(kMsgTaskNameExists);
  if (r != kDocOk) return Fail(ErrorText(r));
  return PrintStoredTask(&doc, task.Name);
}

int Edit(const Args& a) {
  CTasdekDoc doc;
  CKVTaskFileLock hold(doc.Store(), -1);
  if (int r = Load(&doc)) return r;
  const std::string name = a.Positional()[0];
  const TaskEntry* e = doc.FindTask(name);
  if (!e) return NoSuchTask(name);
  TaskEditorForm form;
  if (int r = LoadEditorServers(&form, nullptr)) return Fail(TaskEditorMessage(r, ""));
  FormFromTask(e->task, e->server_name, &form);
  if (a.Has("name")) form.name = a.Get("name");
  if (int r = ApplyTaskOptions(a, &form)) return r;
  CKVTask task;
  if (int code = ApplyTaskEditor(form, name, doc, &task)) {
    return Fail(TaskEditorMessage(code, form.name));
  }
  const int r = ModifyEditedTask(&doc, name, task);
  if (r == kDocTaskRunning) return Fail(kMsgTaskRunning);
  if (r == kDocNameExists) return Fail(kMsgTaskNameExists);
  if (r != kDocOk) return Fail(kMsgWriteSettingFailed);
  return PrintStoredTask(&doc, task.Name);
}

int Duplicate(const Args& a) {
  CTasdekDoc doc;
  CKVTaskFileLock hold(doc.Store(), -1);
  if (int r = Load(&doc)) return r;
  const std::string name = a.Positional()[0];
  const TaskEntry* e = doc.FindTask(name);
  if (!e) return NoSuchTask(name);
  const std::string new_name = DuplicateName(doc);
  if (new_name.empty()) return Complain("no free name for a duplicate");
  const CKVTask copy = MakeDuplicate(e->task, new_name);
  const int r = doc.AddTask(copy);
  if (r == kDocNameExists) return Fail(kMsgTaskNameExists);
  if (r != kDocOk) return Fail(ErrorText(r));
  if (G().json) {
    std::cout << JsonObject({{"name", JsonString(new_name)}}) << "\n";
  } else {
    char buf[512];
    std::snprintf(buf, sizeof buf, kFmtDuplicateAs, new_name.c_str());
    std::cout << buf << "\n";
  }
  return kExitOk;
}

int Delete(const Args& a) {
  CTasdekDoc doc;
  CKVTaskFileLock hold(doc.Store(), -1);
  if (int r = Load(&doc)) return r;
  const std::string name = a.Positional()[0];
  if (!doc.FindTask(name)) return NoSuchTask(name);
  const int r = doc.DeleteTask(name);
  if (r == kDocTaskRunning) return Fail(kMsgTaskRunning);
  if (r != kDocOk) return Fail(kMsgWriteSettingFailed);
  return kExitOk;
}

int Run(const Args& a) {
  CTasdekDoc doc;
  if (int r = Load(&doc)) return r;
  const std::string name = a.Positional()[0];
  const TaskEntry* e = doc.FindTask(name);
  if (!e) return NoSuchTask(name);
  if (e->task.Effect != 1 || e->task.ActState == kStateDisabled) {
    return Complain("task '" + name + "' is disabled");
  }
  std::string refused;
  if (RuntimeDirRefused(&refused)) return Complain(refused);
  CServiceControl service;
  const bool running = service.IsServiceRunning();
  // As the Task View does: warn, and send the request all the same (it is lost when no
  // service reads it).
  service.SendExecuteNow(name);
  if (!running) return Fail(kMsgServiceNotStarted);
  return kExitOk;
}

int Abort(const Args& a) {
  CTasdekDoc doc;
  if (int r = Load(&doc)) return r;
  const std::string name = a.Positional()[0];
  const TaskEntry* e = doc.FindTask(name);
  if (!e) return NoSuchTask(name);
  if (e->task.ActState != kStateRunning) return Complain("task '" + name + "' is not running");
  std::string refused;
  if (RuntimeDirRefused(&refused)) return Complain(refused);
  CServiceControl service;
  if (!service.SendAbort(name)) return Fail(kMsgServiceNotStarted);
  return kExitOk;
}

}  // namespace

int RunTaskGroup(const std::vector<std::string>& argv) {
  std::vector<OptionSpec> edit_options = kTaskOptions;
  edit_options.insert(edit_options.begin(), {"name", "NAME", "rename the task"});
  static const std::vector<Command> commands = {
      {{"task list", "",
        "list the tasks: name, server, next run time, last result, schedule",
        {{"server", "SERVER", "only the tasks of this server"},
         {"sort", "COLUMN", "sort by name, server, next, result or schedule"},
         {"reverse", nullptr, "with --sort: descending"}},
        0, 0,
        "One line per task, the five columns of the task list separated by tabs. Tasks whose\n"
        "server no longer exists are not listed (they stay in the schedule file)."},
       List},
      {{"task show", "NAME", "show every field of a task", {}, 1, 1, nullptr}, Show},
      {{"task add", "NAME", "add a task", kTaskOptions, 1, 1,
        "A new task runs daily from now unless told otherwise. Values are checked as the\n"
        "task editor checks them (the same messages); nothing is stored when one is refused."},
       Add},
      {{"task edit", "NAME", "change a task (its run state starts afresh)", edit_options, 1, 1,
        "Options not given keep their values. A running task cannot be changed."},
       Edit},
      {{"task duplicate", "NAME", "copy a task as \"Untitled\", \"Untitled0\", ... (disabled)", {}, 1, 1,
        nullptr},
       Duplicate},
      {{"task delete", "NAME", "delete a task", {}, 1, 1, "A running task cannot be deleted."},
       Delete},
      {{"task run", "NAME", "ask the service to run a task now", {}, 1, 1,
        "Fails (status 1) when the service is not running; the request is then lost."},
       Run},
      {{"task abort", "NAME", "ask the service to abort a running task", {}, 1, 1, nullptr},
       Abort},
  };
  return RunGroup("task", "Collection tasks.", commands, argv);
}

}  // namespace pondrel::cli
