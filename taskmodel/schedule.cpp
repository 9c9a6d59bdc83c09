#include "taskmodel/schedule.h"

#include <cstring>
#include <string_view>

#include "common/clock.h"

namespace pondrel {
namespace {

constexpr std::int64_t kDay = 86400;
constexpr std::int64_t kWeek = 604800;
constexpr long kLastYear = 9999;
// How many occurrences (or months) the search looks at after jumping close to `now`. The
// jump leaves a margin of a few periods, so a result is always found well within this.
constexpr int kMaxSteps = 64;
constexpr int kMaxMonths = 1200;

// Civil dates as day numbers (days since 1970-01-01), proleptic Gregorian calendar.
std::int64_t DaysFromCivil(std::int64_t y, int m, int d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;
  const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(std::int64_t z, std::int64_t* y, int* m, int* d) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const std::int64_t doe = z - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  *d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  *m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  *y = yoe + era * 400 + (*m <= 2);
}

int DayOfWeek(std::int64_t day) {  // 0 = Sunday; 1970-01-01 was a Thursday
  std::int64_t w = (day + 4) % 7;
  return static_cast<int>(w < 0 ? w + 7 : w);
}

bool IsLeap(std::int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(std::int64_t y, int m) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
  std::int64_t q = a / b;
  return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

// StartTime's local date and wall-clock time of day; every occurrence base is a day number at
// this time of day.
struct StartWall {
  std::int64_t day;
  int hour, min, sec;
  std::int64_t year;
  int month, mday;
};

// The base of the occurrence on day number `day`; false beyond the year 9999.
bool BaseAt(const StartWall& w, std::int64_t day, std::time_t* out) {
  std::int64_t y;
  int m, d;
  CivilFromDays(day, &y, &m, &d);
  if (y > kLastYear || y < 1) return false;
  std::tm tm{};
  tm.tm_year = static_cast<int>(y - 1900);
  tm.tm_mon = m - 1;
  tm.tm_mday = d;
  tm.tm_hour = w.hour;
  tm.tm_min = w.min;
  tm.tm_sec = w.sec;
  return LocalWallTimeToTime(tm, out);
}

// The repetitions of one occurrence.
struct Repeat {
  std::int64_t step;
  std::int64_t window;  // < 0: no candidate at all
};

// The first candidate b, b + step, ... b + window that is later than now and not earlier
// than `lower`.
bool FirstQualifying(std::time_t b, const Repeat& r, std::time_t lower, std::time_t now,
                     std::time_t* out) {
  if (r.window < 0) return false;
  if (r.step < 0) {
    // Every further candidate lies before b, so b is the only one that can qualify.
    if (b > now && b >= lower) {
      *out = b;
      return true;
    }
    return false;
  }
  const std::int64_t last = r.window / r.step;
  std::int64_t i = 0;
  if (b <= now) i = (now - b) / r.step + 1;
  if (b < lower) {
    std::int64_t need = (lower - b + r.step - 1) / r.step;
    if (need > i) i = need;
  }
  if (i > last) return false;
  *out = b + i * r.step;
  return true;
}

// The first occurrence number worth looking at: occurrences before it ended (with their
// whole window) more than `margin` periods before now.
std::int64_t FirstUsefulIndex(std::time_t start, std::time_t now, std::int64_t window,
                              std::int64_t period_s) {
  const std::int64_t k = FloorDiv(static_cast<std::int64_t>(now) - window - start, period_s) - 3;
  return k < 0 ? 0 : k;
}

// The number of whole months from start's month to the month of `t` (UTC date), less a
// margin of two; never negative.
std::int64_t FirstUsefulMonth(const StartWall& w, std::int64_t t) {
  std::int64_t y;
  int m, d;
  CivilFromDays(FloorDiv(t, kDay), &y, &m, &d);
  const std::int64_t months = (y - w.year) * 12 + (m - w.month) - 2;
  return months < 0 ? 0 : months;
}

int SearchDays(const CKVTask& task, const StartWall& w, std::time_t start, std::time_t now,
               Repeat rep, std::time_t* next) {
  if (task.TaskInterval < 0) return 0;
  const std::int64_t period_s = static_cast<std::int64_t>(task.TaskInterval) * kDay;
  if (rep.window > period_s) rep.window = period_s;
  if (task.TaskInterval == 0) {
    // Every occurrence would begin at start: only the first counts.
    return FirstQualifying(start, rep, start, now, next) ? 1 : 0;
  }
  const std::int64_t k0 = FirstUsefulIndex(start, now, rep.window, period_s);
  for (std::int64_t k = k0; k < k0 + kMaxSteps; ++k) {
    std::time_t base;
    if (!BaseAt(w, w.day + k * task.TaskInterval, &base)) return 0;
    if (FirstQualifying(base, rep, base, now, next)) return 1;
  }
  return 0;
}

int SearchWeeks(const CKVTask& task, const StartWall& w, std::time_t start, std::time_t now,
                Repeat rep, std::time_t* next) {
  std::string_view days(task.DayofWeek, strnlen(task.DayofWeek, 7));
  if (days.find('1') == std::string_view::npos) return -1;
  if (task.TaskInterval < 0) return 0;
  const std::int64_t period_s = static_cast<std::int64_t>(task.TaskInterval) * kWeek;
  if (rep.window > period_s) rep.window = period_s;
  const std::int64_t week_base = w.day - DayOfWeek(w.day);  // the Sunday of start's week
  const std::int64_t j0 =
      task.TaskInterval == 0 ? 0 : FirstUsefulIndex(start, now, rep.window, period_s);
  // With TaskInterval 0 every week base is the first one: search it once.
  const std::int64_t j_end = task.TaskInterval == 0 ? 1 : j0 + kMaxSteps;
  for (std::int64_t j = j0; j < j_end; ++j) {
    for (std::size_t d = 0; d < days.size(); ++d) {
      if (days[d] != '1') continue;
      std::time_t base;
      if (!BaseAt(w, week_base + j * 7 * task.TaskInterval + static_cast<std::int64_t>(d), &base)) {
        return 0;
      }
      if (FirstQualifying(base, rep, start, now, next)) return 1;
    }
  }
  return 0;
}

int SearchMonthDay(const CKVTask& task, const StartWall& w, std::time_t now, const Repeat& rep,
                   std::time_t* next) {
  const int want = task.ActDayofMonth;
  if (want < 1 || want > 31 || rep.window < 0) return 0;
  const std::int64_t m0 = FirstUsefulMonth(w, static_cast<std::int64_t>(now) - rep.window);
  for (std::int64_t m = m0; m < m0 + kMaxMonths; ++m) {
    const std::int64_t month_index = (w.month - 1) + m;
    const std::int64_t y = w.year + month_index / 12;
    const int mo = static_cast<int>(month_index % 12) + 1;
    if (y > kLastYear) return 0;
    if (want > DaysInMonth(y, mo)) continue;  // no such day this month
    if (m == 0 && want < w.mday) continue;    // before start's date
    std::time_t base;
    if (!BaseAt(w, DaysFromCivil(y, mo, want), &base)) return 0;
    if (FirstQualifying(base, rep, base, now, next)) return 1;
  }
  return 0;
}

int SearchMonthWeekday(const CKVTask& task, const StartWall& w, std::time_t start, std::time_t now,
                       const Repeat& rep, std::time_t* next) {
  if (task.TaskInterval < 0 || rep.window < 0) return 0;
  const int weekday = task.TaskInterval % 10;
  const int ordinal = task.TaskInterval / 10;
  if (weekday > 6 || ordinal > 4) return 0;
  const std::int64_t m0 = FirstUsefulMonth(w, static_cast<std::int64_t>(now) - rep.window);
  for (std::int64_t m = m0; m < m0 + kMaxMonths; ++m) {
    const std::int64_t month_index = (w.month - 1) + m;
    const std::int64_t y = w.year + month_index / 12;
    const int mo = static_cast<int>(month_index % 12) + 1;
    if (y > kLastYear) return 0;
    const std::int64_t first = DaysFromCivil(y, mo, 1);
    const int first_match = 1 + (weekday - DayOfWeek(first) + 7) % 7;
    const int count = (DaysInMonth(y, mo) - first_match) / 7 + 1;  // 4 or 5
    const int index = ordinal == 4 ? count - 1 : ordinal;
    std::time_t base;
    if (!BaseAt(w, first + first_match - 1 + 7 * index, &base)) return 0;
    if (base < start) continue;
    if (FirstQualifying(base, rep, start, now, next)) return 1;
  }
  return 0;
}

}  // namespace

int FindNextRunTime(const CKVTask& task, std::time_t now, std::time_t* next) {
  std::tm tm;
  if (!ParseTimeStr(std::string_view(task.StartTime, strnlen(task.StartTime, kTimeStrSize - 1)),
                    &tm)) {
    return -1;
  }
  std::time_t start;
  if (!LocalWallTimeToTime(tm, &start)) return -1;
  StartWall w;
  w.year = tm.tm_year + 1900;
  w.month = tm.tm_mon + 1;
  w.mday = tm.tm_mday;
  w.day = DaysFromCivil(w.year, w.month, w.mday);
  w.hour = tm.tm_hour;
  w.min = tm.tm_min;
  w.sec = tm.tm_sec;

  Repeat rep;
  rep.step = static_cast<std::int64_t>(task.LoopInterval) * 3600;
  if (rep.step == 0) rep.step = 1;
  rep.window = task.LoopCnt > 0 ? static_cast<std::int64_t>(task.LoopCnt) * rep.step : 0;
  if (rep.window < 0) rep.window += kDay;
  // A negative step leaves only the base time, whatever the count (a hand-edited file may
  // hold a window far below zero, which would otherwise give no run at all).
  if (rep.step < 0) rep.window = 0;

  switch (task.TaskCycle) {
    case kCycleDays: return SearchDays(task, w, start, now, rep, next);
    case kCycleWeeks: return SearchWeeks(task, w, start, now, rep, next);
    case kCycleMonths:
      if (task.MonthUnit == kMonthByDay) return SearchMonthDay(task, w, now, rep, next);
      if (task.MonthUnit == kMonthByWeekday) {
        return SearchMonthWeekday(task, w, start, now, rep, next);
      }
      return 0;
    case kCycleOnce: return FirstQualifying(start, rep, start, now, next) ? 1 : 0;
    default: return 0;
  }
}

int CKVSchedule::ComputeNextTime(CKVTask* task) const {
  return ComputeNextTime(task, GetClock().Now());
}

int CKVSchedule::ComputeNextTime(CKVTask* task, std::time_t now) const {
  std::time_t next;
  int rc = FindNextRunTime(*task, now, &next);
  if (rc < 0) return -1;
  if (rc == 0) {
    task->NextTime[0] = '\0';
    return 0;
  }
  char buf[kTimeStrSize];
  if (!TimeToTimeStr(next, buf, sizeof buf)) return -1;
  std::memcpy(task->NextTime, buf, sizeof buf);
  return 0;
}

int CKVSchedule::UpdateTask(CKVTaskMgr* mgr, CKVTask* task) const {
  if (!task->HasName()) return 0;
  ComputeNextTime(task);
  return mgr->WriteTask(*task);
}

}  // namespace pondrel
