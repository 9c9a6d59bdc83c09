// Next-run computation. The service (after every run, at start-up and after a clock change)
// and the Task View (when a task is created or edited) both use it, so both write the same
// NextTime for the same task.
//
// Terms (all from the task record):
//   start   StartTime as an absolute time (timestr.h: local wall-clock time).
//   step    LoopInterval hours; 1 second when LoopInterval is 0.
//   window  LoopCnt * step when LoopCnt > 0 (a negative product is raised by 86400), else 0.
//           For kinds 0 and 1 the window is capped at the period, so repetitions never run
//           past the next occurrence; for kinds 2 and 3 it is not capped.
//   an occurrence with base b has the candidates b, b + step, b + 2*step, ... up to and
//   including b + window: the first run and LoopCnt repetitions LoopInterval hours apart.
//   A negative step leaves only b.
//
// Occurrence bases by TaskCycle (day steps follow the calendar rule of timestr.h: the
// wall-clock time of day of StartTime is kept on every day, across daylight-saving changes):
//   0  every TaskInterval days from start; a candidate qualifies when later than now.
//   1  every TaskInterval weeks counted from the Sunday of start's week, on the days whose
//      character in DayofWeek is "1" (Sunday first); a candidate qualifies when not earlier
//      than start and later than now.
//   2  MonthUnit 1: day ActDayofMonth of every month from start's date on (months without that
//      day are passed over); qualifies when later than now.
//      MonthUnit 0: TaskInterval = ordinal*10 + weekday (weekday 0 = Sunday .. 6 = Saturday;
//      ordinal 0..3 = first..fourth, 4 = last); qualifies when not earlier than start and
//      later than now.
//   3  once: only the occurrence at start; qualifies when later than now.
// The result is the first qualifying candidate in the order occurrence by occurrence (for
// kind 1: week by week, Sunday to Saturday), candidate by candidate. It is always strictly
// later than now: runs that fell due while a task was running or the service was stopped
// are skipped, not made up.
//
// Inputs for which no run would ever qualify give "no result" instead of searching forever:
// TaskInterval 0 for kinds 0/1 (only the first occurrence counts), a negative TaskInterval,
// ActDayofMonth outside 1..31, a weekday above 6 or an ordinal above 4, unknown kinds and
// MonthUnit values, and results after the year 9999.
#pragma once

#include <ctime>

#include "taskmodel/kvtask.h"

namespace pondrel {

// The search itself: 1 and *next set when a run qualifies, 0 when there is no further run,
// -1 when StartTime cannot be parsed or a weekly task selects no day.
int FindNextRunTime(const CKVTask& task, std::time_t now, std::time_t* next);

// A stateless calculator, created on the stack for each computation.
class CKVSchedule {
 public:
  virtual ~CKVSchedule() = default;

  // Sets task->NextTime to the next run after the current time (common/clock.h), or to the
  // empty string when there is none, and returns 0. Returns -1 and leaves NextTime unchanged
  // when StartTime cannot be parsed or a weekly task selects no day.
  int ComputeNextTime(CKVTask* task) const;
  // The same with an explicit current time.
  int ComputeNextTime(CKVTask* task, std::time_t now) const;

  // If the task has a name: ComputeNextTime, then mgr->WriteTask(*task) whatever the
  // computation gave. Returns WriteTask's result (0 or -1); 0 for a task without a name
  // (nothing done). The caller holds the file-access lock.
  int UpdateTask(CKVTaskMgr* mgr, CKVTask* task) const;
};

}  // namespace pondrel
