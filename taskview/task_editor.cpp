#include "taskview/task_editor.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "common/clock.h"
#include "servers/srvmgr.h"
#include "taskmodel/schedule.h"
#include "taskmodel/timestr.h"
#include "taskview/messages.h"

namespace pondrel::tasdek {
namespace {

constexpr const char kForbidden[] = "\\/\"<>*?:;|,";

// A numeric edit's value: digits only and not empty, else -1.
long FieldNumber(const std::string& text) {
  if (text.empty() || text.size() > 9) return -1;
  for (char c : text) {
    if (c < '0' || c > '9') return -1;
  }
  return std::stol(text);
}

bool InRange(const std::string& text, long lo, long hi) {
  const long n = FieldNumber(text);
  return n >= lo && n <= hi;
}

std::string Trim(std::string_view s) {
  std::size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return std::string(s.substr(b, e - b));
}

// UTF-8 characters in `s`.
std::size_t CharCount(std::string_view s) {
  std::size_t n = 0;
  for (unsigned char c : s) n += (c & 0xC0) != 0x80;
  return n;
}

}  // namespace

EditorResult LoadEditorServers(TaskEditorForm* form, const Guid* filter) {
  form->servers.clear();
  form->server_index = -1;
  CKVSrvMgr srv;
  bool more = false;
  if (!srv.Init()) return EditorResult::kReadFailed;
  // A lock that stays taken beyond the store's own wait is a read failure like any other.
  const SrvResult r = srv.LoadAll(&more, kSrvMaskName);
  if (r == SrvResult::SRV_ERR_MEMORY) return EditorResult::kNoMemory;
  if (r != SrvResult::SRV_OK) return EditorResult::kReadFailed;
  for (const CKVSrvInfo& p : srv.Loaded()) {
    if (filter && !(p.GetId() == *filter)) continue;
    form->servers.push_back({p.GetId(), p.GetServerName()});
  }
  if (!form->servers.empty()) form->server_index = 0;
  return EditorResult::kOk;
}

void FormFromTask(const CKVTask& t, const std::string& server_name, TaskEditorForm* f) {
  f->name = t.Name;
  f->server_index = f->servers.empty() ? -1 : 0;
  for (std::size_t i = 0; i < f->servers.size(); ++i) {
    if (f->servers[i].name == server_name) {
      f->server_index = static_cast<int>(i);
      break;
    }
  }
  f->enabled = t.Effect == 1;
  std::tm tm{};
  if (t.StartTime[0] == '\0' || !ParseTimeStr(t.StartTime, &tm)) {
    const std::time_t now = GetClock().Now();
    localtime_r(&now, &tm);
  }
  f->year = tm.tm_year + 1900;
  f->month = tm.tm_mon + 1;
  f->day = tm.tm_mday;
  f->hour = tm.tm_hour;
  f->minute = tm.tm_min;
  switch (t.TaskCycle) {
    case kCycleOnce: f->repetition = kRepOnce; break;
    case kCycleWeeks: f->repetition = kRepWeekly; break;
    case kCycleMonths: f->repetition = kRepMonthly; break;
    default: f->repetition = kRepDaily; break;
  }
  f->daily_days = f->repetition == kRepDaily ? std::to_string(t.TaskInterval) : "1";
  f->weekly_weeks = f->repetition == kRepWeekly ? std::to_string(t.TaskInterval) : "1";
  for (int d = 0; d < 7; ++d) f->weekdays[d] = t.DayofWeek[d] == '1';
  f->month_day = "1";
  f->ordinal = 0;
  f->weekday = 0;
  f->monthly_rule = kRuleDay;
  if (f->repetition == kRepMonthly && t.MonthUnit == kMonthByDay) {
    f->month_day = std::to_string(t.ActDayofMonth);
  } else if (f->repetition == kRepMonthly && t.MonthUnit == kMonthByWeekday) {
    f->monthly_rule = kRuleWeekday;
    const int o = t.TaskInterval / 10, w = t.TaskInterval % 10;
    f->ordinal = o >= 0 && o < 5 ? o : 0;
    f->weekday = w >= 0 && w < 7 ? w : 0;
  }
  f->repeat = t.LoopCnt != 0;
  f->repeat_hours = f->repeat ? std::to_string(t.LoopInterval) : "1";
  f->repeat_times = f->repeat ? std::to_string(t.LoopCnt) : "1";
  f->retry = t.RetryCnt != 0;
  f->retry_minutes = f->retry ? std::to_string(t.RetryInterval) : "1";
  f->retry_times = f->retry ? std::to_string(t.RetryCnt) : "1";
  f->disconnect = t.RasDisconnect != 0;
}

bool SelectedServerUsesPpp(const TaskEditorForm& form) {
  if (form.server_index < 0 || form.server_index >= static_cast<int>(form.servers.size())) {
    return false;
  }
  CKVSrvMgr srv;
  CKVSrvInfo p;
  if (!srv.Init()) return false;
  SrvResult r;
  while ((r = srv.FindById(form.servers[form.server_index].id, &p, kSrvMaskConnection)) ==
         SrvResult::SRV_ERR_LOCK) {
  }
  return r == SrvResult::SRV_OK && p.GetUsePpp() != 0;
}

namespace {

// The task's name: trimmed, not empty, storable, without forbidden characters, not another
// task's.
EditorResult ApplyName(const TaskEditorForm& f, std::string_view original_name,
                       const CTasdekDoc& doc, CKVTask* t) {
  const std::string name = Trim(f.name);
  if (name.empty()) return EditorResult::kNameMissing;
  // Longer names than the edit holds, and control characters, would not survive the file.
  bool has_control = false;
  for (unsigned char c : name) has_control = has_control || c < 0x20 || c == 0x7F;
  if (name[0] == '.' || CharCount(name) > 255 || has_control) return EditorResult::kNameFormat;
  if (name.find_first_of(kForbidden) != std::string::npos) return EditorResult::kNameChars;
  if (name != original_name && doc.NameInUse(name)) return EditorResult::kNameExists;
  if (!t->SetName(name)) return EditorResult::kNameFormat;

  return EditorResult::kOk;
}

// The cycle: once, every N days, every N weeks on chosen days, or monthly by day or weekday.
EditorResult ApplyCycle(const TaskEditorForm& f, CKVTask* t) {
  switch (f.repetition) {
    case kRepOnce: t->TaskCycle = kCycleOnce; break;
    case kRepDaily:
      if (!InRange(f.daily_days, 1, 31)) return EditorResult::kDayRange;
      t->TaskCycle = kCycleDays;
      t->TaskInterval = static_cast<std::int32_t>(FieldNumber(f.daily_days));
      break;
    case kRepWeekly: {
      if (!InRange(f.weekly_weeks, 1, 53)) return EditorResult::kWeekRange;
      t->TaskCycle = kCycleWeeks;
      t->TaskInterval = static_cast<std::int32_t>(FieldNumber(f.weekly_weeks));
      bool any = false;
      char days[8] = {};
      for (int d = 0; d < 7; ++d) {
        days[d] = f.weekdays[d] ? '1' : '0';
        any = any || f.weekdays[d];
      }
      if (!any) return EditorResult::kNoWeekday;
      SetTaskField(t->DayofWeek, days);
      break;
    }
    default:
      if (f.monthly_rule == kRuleWeekday) {
        t->TaskInterval = f.ordinal * 10 + f.weekday;
        t->MonthUnit = kMonthByWeekday;
      } else {
        if (!InRange(f.month_day, 1, 31)) return EditorResult::kMonthDayRange;
        t->ActDayofMonth = static_cast<std::int32_t>(FieldNumber(f.month_day));
        t->MonthUnit = kMonthByDay;
      }
      t->TaskCycle = kCycleMonths;
      break;
  }
  return EditorResult::kOk;
}

// Repetition within the day and the retries after a failed run.
EditorResult ApplyRepeatAndRetry(const TaskEditorForm& f, CKVTask* t) {
  if (f.repeat) {
    if (!InRange(f.repeat_times, 1, 23)) return EditorResult::kRepeatTimes;
    t->LoopCnt = static_cast<std::int32_t>(FieldNumber(f.repeat_times));
    if (!InRange(f.repeat_hours, 1, 23)) return EditorResult::kRepeatInterval;
    t->LoopInterval = static_cast<std::int8_t>(FieldNumber(f.repeat_hours));
  } else {
    t->LoopCnt = 0;
  }
  if (f.retry) {
    if (!InRange(f.retry_times, 1, 10)) return EditorResult::kRetryTimes;
    t->RetryCnt = t->RestRetryCnt = static_cast<std::int32_t>(FieldNumber(f.retry_times));
    if (!InRange(f.retry_minutes, 1, 10)) return EditorResult::kRetryInterval;
    t->RetryInterval = static_cast<std::int32_t>(FieldNumber(f.retry_minutes));
  } else {
    t->RetryCnt = t->RestRetryCnt = 0;
  }
  return EditorResult::kOk;
}

}  // namespace

EditorResult ApplyTaskEditor(const TaskEditorForm& f, std::string_view original_name,
                             const CTasdekDoc& doc, CKVTask* out) {
  CKVTask t;
  if (EditorResult code = ApplyName(f, original_name, doc, &t); code != EditorResult::kOk)
    return code;
  if (f.servers.empty() || f.server_index < 0 ||
      f.server_index >= static_cast<int>(f.servers.size())) {
    return EditorResult::kNoServer;
  }
  t.ServerId = f.servers[f.server_index].id;
  t.Effect = f.enabled ? 1 : 0;

  char start[64];
  std::snprintf(start, sizeof start, "%04d/%02d/%02d/%02d/%02d/00", f.year, f.month, f.day, f.hour,
                f.minute);
  SetTaskField(t.StartTime, start);
  if (EditorResult code = ApplyCycle(f, &t); code != EditorResult::kOk) return code;
  if (EditorResult code = ApplyRepeatAndRetry(f, &t); code != EditorResult::kOk) return code;
  t.RasDisconnect = f.disconnect ? 1 : 0;
  t.ActState = kStateWaiting;
  t.ActResult = kResultNone;
  *out = t;
  return EditorResult::kOk;
}

std::string TaskEditorMessage(EditorResult code, std::string_view entered_name) {
  switch (code) {
    case EditorResult::kNameMissing: return kMsgTaskNameMissing;
    case EditorResult::kNameFormat: {
      std::string s = kFmtTaskNameFormat;
      return s.replace(s.find("%s"), 2, entered_name);
    }
    case EditorResult::kNameChars: return kMsgTaskNameChars;
    case EditorResult::kNameExists: return kMsgTaskNameExists;
    case EditorResult::kNoServer: return kMsgServerNotSpecified;
    case EditorResult::kDayRange: return kMsgDayRange;
    case EditorResult::kWeekRange: return kMsgWeekRange;
    case EditorResult::kNoWeekday: return kMsgNoWeekday;
    case EditorResult::kMonthDayRange: return kMsgMonthDayRange;
    case EditorResult::kRepeatInterval: return kMsgRepeatIntervalRange;
    case EditorResult::kRepeatTimes: return kMsgRepeatTimesRange;
    case EditorResult::kRetryTimes: return kMsgRetryTimesRange;
    case EditorResult::kRetryInterval: return kMsgRetryIntervalRange;
    case EditorResult::kReadFailed: return kMsgReadFailed;
    case EditorResult::kNoMemory: return kMsgNoMemory;
    default: return "";
  }
}

std::string DuplicateName(const CTasdekDoc& doc) {
  const std::string base = "Untitled";
  if (!doc.NameInUse(base)) return base;
  for (long i = 0; i < 999999999L; ++i) {
    std::string candidate = base + std::to_string(i);
    if (!doc.NameInUse(candidate)) return candidate;
  }
  return "";
}

CKVTask MakeDuplicate(const CKVTask& source, std::string_view new_name) {
  CKVTask t(source);
  t.SetName(new_name);
  t.Effect = 0;
  t.RestRetryCnt = 0;
  t.ActState = kStateDisabled;
  t.EndCode = 0;
  t.ActResult = kResultNone;
  t.EndTime[0] = '\0';
  t.LastActTime[0] = '\0';
  return t;
}

DocResult AddEditedTask(CTasdekDoc* doc, CKVTask task) {
  CKVSchedule().ComputeNextTime(&task);
  return doc->AddTask(task);
}

DocResult ModifyEditedTask(CTasdekDoc* doc, std::string_view old_name, CKVTask task) {
  CKVSchedule().ComputeNextTime(&task);
  return doc->ModifyTask(old_name, task);
}

}  // namespace pondrel::tasdek
