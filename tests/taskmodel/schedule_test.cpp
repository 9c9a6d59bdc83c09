#include "taskmodel/schedule.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "common/clock.h"
#include "tests/support/test_env.h"
#include "tests/taskmodel/tz_guard.h"

namespace pondrel {
namespace {

using test::ScopedTimeZone;

std::time_t T(const char* s) {
  std::time_t t = 0;
  EXPECT_TRUE(TimeStrToTime(s, &t)) << s;
  return t;
}

CKVTask Task(int cycle, const char* start, int interval = 1, int loop_cnt = 0, int loop_hours = 1) {
  CKVTask t;
  t.SetName("t");
  SetTaskField(t.StartTime, start);
  t.TaskCycle = cycle;
  t.TaskInterval = interval;
  t.LoopCnt = loop_cnt;
  t.LoopInterval = static_cast<std::int8_t>(loop_hours);
  return t;
}

// NextTime computed at `now`; "-1" when the computation failed.
std::string Next(CKVTask t, const char* now) {
  if (CKVSchedule().ComputeNextTime(&t, T(now)) != 0) return "-1";
  return t.NextTime;
}

class ScheduleTest : public ::testing::Test {
 protected:
  ScopedTimeZone tz_{"UTC"};
};

TEST_F(ScheduleTest, WorkedExampleEveryTwoDaysWithRepetitions) {
  CKVTask t = Task(kCycleDays, "2003/01/01/08/00/00", 2, 3, 2);
  EXPECT_EQ(Next(t, "2003/01/05/11/30/00"), "2003/01/05/12/00/00");
  EXPECT_EQ(Next(t, "2003/01/05/14/00/00"), "2003/01/07/08/00/00");  // 14:00 is the last one
  EXPECT_EQ(Next(t, "2002/12/01/00/00/00"), "2003/01/01/08/00/00");  // not started yet
}

TEST_F(ScheduleTest, DailyBoundaryAndCandidateEqualToNow) {
  CKVTask t = Task(kCycleDays, "2003/06/09/23/00/00");
  EXPECT_EQ(Next(t, "2003/06/10/22/59/59"), "2003/06/10/23/00/00");
  EXPECT_EQ(Next(t, "2003/06/10/23/00/00"), "2003/06/11/23/00/00");  // equal does not qualify
}

TEST_F(ScheduleTest, DailyRepetitionWindowIsCappedAtOneDay) {
  CKVTask t = Task(kCycleDays, "2003/06/01/00/00/00", 1, 30, 1);
  // 25 candidates a day, the 25th coinciding with the next day's first.
  EXPECT_EQ(Next(t, "2003/06/05/22/30/00"), "2003/06/05/23/00/00");
  EXPECT_EQ(Next(t, "2003/06/05/23/00/00"), "2003/06/06/00/00/00");
}

TEST_F(ScheduleTest, WeeklyCountsWeeksFromStartNeverBeforeIt) {
  // 2003/06/11 is a Wednesday; Mondays only.
  CKVTask t = Task(kCycleWeeks, "2003/06/11/09/00/00");
  SetTaskField(t.DayofWeek, "0100000");
  EXPECT_EQ(Next(t, "2003/06/01/00/00/00"), "2003/06/16/09/00/00");  // not Monday 06/09
  t.TaskInterval = 2;
  // Week of start, then every second week from it: 06/23, 07/07, 07/21 ...
  EXPECT_EQ(Next(t, "2003/06/01/00/00/00"), "2003/06/23/09/00/00");
  EXPECT_EQ(Next(t, "2003/06/23/09/00/00"), "2003/07/07/09/00/00");
  EXPECT_EQ(Next(t, "2003/07/08/00/00/00"), "2003/07/21/09/00/00");
  SetTaskField(t.DayofWeek, "0000000");
  EXPECT_EQ(Next(t, "2003/06/01/00/00/00"), "-1");
}

TEST_F(ScheduleTest, MonthlyOnDay31SkipsShortMonths) {
  CKVTask t = Task(kCycleMonths, "2003/01/01/10/00/00");
  t.MonthUnit = kMonthByDay;
  t.ActDayofMonth = 31;
  EXPECT_EQ(Next(t, "2003/01/31/10/00/00"), "2003/03/31/10/00/00");
  EXPECT_EQ(Next(t, "2003/03/31/10/00/00"), "2003/05/31/10/00/00");
  EXPECT_EQ(Next(t, "2003/05/31/10/00/00"), "2003/07/31/10/00/00");
  EXPECT_EQ(Next(t, "2003/07/31/10/00/00"), "2003/08/31/10/00/00");
  EXPECT_EQ(Next(t, "2003/08/31/10/00/00"), "2003/10/31/10/00/00");
}

TEST_F(ScheduleTest, MonthlyOnWeekdayOrdinal) {
  // March 2003 has five Mondays (3, 10, 17, 24, 31).
  CKVTask t = Task(kCycleMonths, "2003/03/01/07/00/00", 41);  // last Monday
  t.MonthUnit = kMonthByWeekday;
  EXPECT_EQ(Next(t, "2003/03/01/00/00/00"), "2003/03/31/07/00/00");
  t.TaskInterval = 31;  // fourth Monday
  EXPECT_EQ(Next(t, "2003/03/01/00/00/00"), "2003/03/24/07/00/00");
  t.TaskInterval = 1;  // first Monday
  EXPECT_EQ(Next(t, "2003/03/01/00/00/00"), "2003/03/03/07/00/00");
  EXPECT_EQ(Next(t, "2003/03/03/07/00/00"), "2003/04/07/07/00/00");
  // A start after that month's day passes over to the next month.
  SetTaskField(t.StartTime, "2003/03/05/07/00/00");
  EXPECT_EQ(Next(t, "2003/03/01/00/00/00"), "2003/04/07/07/00/00");
}

TEST_F(ScheduleTest, OnceEndsAfterTheLastRepetition) {
  CKVTask t = Task(kCycleOnce, "2003/06/01/10/00/00", 1, 2, 3);
  EXPECT_EQ(Next(t, "2003/06/01/09/00/00"), "2003/06/01/10/00/00");
  EXPECT_EQ(Next(t, "2003/06/01/13/00/00"), "2003/06/01/16/00/00");
  t.NextTime[0] = 'x';
  EXPECT_EQ(CKVSchedule().ComputeNextTime(&t, T("2003/06/01/16/00/00")), 0);
  EXPECT_STREQ(t.NextTime, "");
}

TEST_F(ScheduleTest, UnparsableStartLeavesNextTimeButUpdateStillWrites) {
  test::ScopedTestEnv env;
  CKVTaskMgr mgr(env.Root());
  CKVTask t = Task(kCycleDays, "garbage");
  SetTaskField(t.NextTime, "2003/01/01/00/00/00");
  EXPECT_EQ(CKVSchedule().ComputeNextTime(&t, T("2003/06/01/00/00/00")), -1);
  EXPECT_STREQ(t.NextTime, "2003/01/01/00/00/00");
  EXPECT_EQ(CKVSchedule().UpdateTask(&mgr, &t), 0);
  CKVTask back;
  ASSERT_EQ(mgr.ReadTask("t", &back), 0);
  EXPECT_STREQ(back.StartTime, "garbage");
  EXPECT_STREQ(back.NextTime, "2003/01/01/00/00/00");
}

TEST_F(ScheduleTest, UpdateTaskUsesTheInjectedClock) {
  test::ScopedTestEnv env;
  CKVTaskMgr mgr(env.Root());
  TestClock clock(T("2003/01/05/11/30/00"));
  SetClock(&clock);
  CKVTask t = Task(kCycleDays, "2003/01/01/08/00/00", 2, 3, 2);
  EXPECT_EQ(CKVSchedule().UpdateTask(&mgr, &t), 0);
  SetClock(nullptr);
  EXPECT_STREQ(t.NextTime, "2003/01/05/12/00/00");
  CKVTask back;
  mgr.ReadTask("t", &back);
  EXPECT_STREQ(back.NextTime, "2003/01/05/12/00/00");
}

TEST_F(ScheduleTest, EndlessSearchesEndWithoutResult) {
  const char* now = "2010/01/01/00/00/00";
  CKVTask t = Task(kCycleDays, "2003/01/01/08/00/00", 0);
  EXPECT_EQ(Next(t, now), "");
  EXPECT_EQ(Next(t, "2002/01/01/00/00/00"), "2003/01/01/08/00/00");
  t.TaskInterval = -3;
  EXPECT_EQ(Next(t, now), "");
  t = Task(kCycleWeeks, "2003/01/01/08/00/00", 0);
  SetTaskField(t.DayofWeek, "1111111");
  EXPECT_EQ(Next(t, now), "");
  t = Task(kCycleMonths, "2003/01/01/08/00/00");
  t.ActDayofMonth = 32;
  EXPECT_EQ(Next(t, now), "");
  t.ActDayofMonth = 0;
  EXPECT_EQ(Next(t, now), "");
  t.MonthUnit = kMonthByWeekday;
  t.TaskInterval = 7;  // weekday 7
  EXPECT_EQ(Next(t, now), "");
  t.TaskInterval = 51;  // ordinal 5
  EXPECT_EQ(Next(t, now), "");
  t.MonthUnit = 2;
  EXPECT_EQ(Next(t, now), "");
  t.TaskCycle = 9;
  EXPECT_EQ(Next(t, now), "");
  // A start near the end of the representable years.
  t = Task(kCycleDays, "9999/12/31/23/00/00", 1);
  EXPECT_EQ(Next(t, "9999/12/31/23/30/00"), "");
}

TEST_F(ScheduleTest, OddRepetitionValues) {
  // LoopInterval 0: one-second steps.
  CKVTask t = Task(kCycleOnce, "2003/06/01/10/00/00", 1, 5, 0);
  EXPECT_EQ(Next(t, "2003/06/01/10/00/02"), "2003/06/01/10/00/03");
  EXPECT_EQ(Next(t, "2003/06/01/10/00/05"), "");
  // A negative LoopInterval leaves only the first run of each occurrence.
  t = Task(kCycleDays, "2003/06/01/10/00/00", 1, 3, -2);
  EXPECT_EQ(Next(t, "2003/06/01/10/00/00"), "2003/06/02/10/00/00");
  // ... whatever the count: a window far below zero still leaves the base time of every
  // kind, never "no further run".
  t = Task(kCycleDays, "2003/06/01/10/00/00", 1, 1000, -2);
  EXPECT_EQ(Next(t, "2003/06/01/10/00/00"), "2003/06/02/10/00/00");
  t = Task(kCycleOnce, "2003/06/01/10/00/00", 1, 1000, -100);
  EXPECT_EQ(Next(t, "2003/06/01/09/00/00"), "2003/06/01/10/00/00");
  t = Task(kCycleMonths, "2003/06/01/10/00/00", 1, 1000, -1);
  t.MonthUnit = kMonthByDay;
  t.ActDayofMonth = 15;
  EXPECT_EQ(Next(t, "2003/06/01/10/00/00"), "2003/06/15/10/00/00");
  t = Task(kCycleMonths, "2003/06/01/10/00/00", 41, 1000, -1);
  t.MonthUnit = kMonthByWeekday;
  EXPECT_EQ(Next(t, "2003/06/01/10/00/00"), "2003/06/30/10/00/00");
  t = Task(kCycleWeeks, "2003/06/01/10/00/00", 1, 1000, -3);
  SetTaskField(t.DayofWeek, "0100000");
  EXPECT_EQ(Next(t, "2003/06/01/10/00/00"), "2003/06/02/10/00/00");
  // Huge LoopCnt on a monthly task: the window runs for ages; the answer comes at once.
  t = Task(kCycleMonths, "2003/06/01/10/00/00", 1, 2000000000, 100);
  t.ActDayofMonth = 1;
  EXPECT_EQ(Next(t, "2003/06/01/10/00/00"), "2003/06/05/14/00/00");
}

TEST_F(ScheduleTest, StartLongAgoGivesTheNextRunAfterNow) {
  CKVTask t = Task(kCycleDays, "1995/03/07/06/15/00", 3, 2, 4);
  // Day numbers from 1995/03/07 to 2025/06/10 = 11053 = 3 * 3684 + 1.
  EXPECT_EQ(Next(t, "2025/06/10/00/00/00"), "2025/06/12/06/15/00");
  EXPECT_EQ(Next(t, "2025/06/09/07/00/00"), "2025/06/09/10/15/00");
}

// The search exactly as the scheduler always described it, stepping absolute seconds; in UTC
// that coincides with calendar stepping, so the fast search must give the same answers.
int ReferenceNext(const CKVTask& task, std::time_t now, std::time_t* out) {
  std::time_t start;
  if (!TimeStrToTime(task.StartTime, &start)) return -1;
  std::int64_t step = task.LoopInterval * 3600;
  if (step == 0) step = 1;
  std::int64_t window = task.LoopCnt > 0 ? task.LoopCnt * step : 0;
  if (window < 0) window += 86400;
  const std::time_t horizon = now + 800 * 86400;
  auto search = [&](std::time_t b, std::int64_t win, std::time_t lower) {
    for (std::time_t c = b; c <= b + win; c += step) {
      if (c > now && c >= lower) {
        *out = c;
        return true;
      }
    }
    return false;
  };
  auto mday = [](std::time_t t) {
    std::tm tm;
    gmtime_r(&t, &tm);
    return tm.tm_mday;
  };
  auto wday = [](std::time_t t) {
    std::tm tm;
    gmtime_r(&t, &tm);
    return tm.tm_wday;
  };
  switch (task.TaskCycle) {
    case 0: {
      std::int64_t period = task.TaskInterval * 86400;
      std::int64_t win = std::min(window, period);
      for (std::time_t b = start; b < horizon; b += period)
        if (search(b, win, b)) return 1;
      return 0;
    }
    case 1: {
      std::int64_t period = task.TaskInterval * 604800;
      std::int64_t win = std::min(window, period);
      std::time_t w = start;
      while (wday(w) != 0) w -= 86400;
      for (; w < horizon; w += period)
        for (int d = 0; d < 7; ++d)
          if (task.DayofWeek[d] == '1' && search(w + d * 86400, win, start)) return 1;
      return 0;
    }
    case 2:
      if (task.MonthUnit == 1) {
        for (std::time_t b = start; b < horizon; b += 86400)
          if (mday(b) == task.ActDayofMonth && search(b, window, b)) return 1;
        return 0;
      } else {
        std::time_t m = start;
        while (mday(m) != 1) m -= 86400;
        while (m < horizon) {
          std::time_t days[5];
          int n = 0;
          std::time_t b = m;
          do {
            if (wday(b) == task.TaskInterval % 10 && n < 5) days[n++] = b;
            b += 86400;
          } while (mday(b) != 1);
          std::time_t pick =
              task.TaskInterval / 10 == 4 ? days[n - 1] : days[task.TaskInterval / 10];
          m = b;
          if (pick < start) continue;
          if (search(pick, window, start)) return 1;
        }
        return 0;
      }
    case 3: return search(start, window, start) ? 1 : 0;
  }
  return 0;
}

TEST_F(ScheduleTest, AgreesWithTheStepBySecondsSearchInUtc) {
  std::mt19937 rng(20031);
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  const std::time_t base_now = T("2006/05/17/13/45/10");
  for (int i = 0; i < 1500; ++i) {
    CKVTask t;
    t.SetName("r");
    std::time_t start = base_now - pick(-60, 3 * 365) * 86400 + pick(-43200, 43200);
    SetTaskField(t.StartTime, TimeToTimeStr(start));
    t.TaskCycle = pick(0, 3);
    t.TaskInterval = pick(1, 4);
    t.MonthUnit = pick(0, 1);
    t.ActDayofMonth = pick(1, 31);
    if (t.TaskCycle == 2 && t.MonthUnit == 0) t.TaskInterval = pick(0, 4) * 10 + pick(0, 6);
    char days[8] = "0000000";
    days[pick(0, 6)] = '1';
    days[pick(0, 6)] = '1';
    SetTaskField(t.DayofWeek, days);
    t.LoopCnt = pick(0, 6);
    t.LoopInterval = static_cast<std::int8_t>(pick(1, 30));
    std::time_t now = base_now + pick(-86400, 86400);
    std::time_t want = 0, got = 0;
    int rw = ReferenceNext(t, now, &want);
    int rg = FindNextRunTime(t, now, &got);
    ASSERT_EQ(rg, rw) << "case " << i << " cycle " << t.TaskCycle << " start " << t.StartTime;
    if (rw == 1) {
      ASSERT_EQ(TimeToTimeStr(got), TimeToTimeStr(want))
          << "case " << i << " cycle " << t.TaskCycle << " unit " << t.MonthUnit << " interval "
          << t.TaskInterval << " start " << t.StartTime << " now " << TimeToTimeStr(now);
    }
  }
}

TEST(ScheduleDst, DailyTaskKeepsItsTimeOfDayAcrossTheChange) {
  ScopedTimeZone tz("Europe/Berlin");
  CKVTask t = Task(kCycleDays, "2024/03/29/08/00/00");
  EXPECT_EQ(Next(t, "2024/03/30/09/00/00"), "2024/03/31/08/00/00");
  EXPECT_EQ(Next(t, "2024/03/31/08/00/00"), "2024/04/01/08/00/00");
  EXPECT_EQ(Next(t, "2024/10/26/09/00/00"), "2024/10/27/08/00/00");
  // A time that the spring change skips runs an hour later that day only.
  t = Task(kCycleDays, "2024/03/29/02/30/00");
  EXPECT_EQ(Next(t, "2024/03/30/03/00/00"), "2024/03/31/03/30/00");
  EXPECT_EQ(Next(t, "2024/03/31/03/30/00"), "2024/04/01/02/30/00");
  // A weekly task started in winter keeps its hour in summer.
  t = Task(kCycleWeeks, "2024/01/07/06/00/00");
  SetTaskField(t.DayofWeek, "1000000");
  EXPECT_EQ(Next(t, "2024/07/01/00/00/00"), "2024/07/07/06/00/00");
}

}  // namespace
}  // namespace pondrel
