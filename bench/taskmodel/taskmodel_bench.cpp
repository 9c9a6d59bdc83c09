// Figures for the task model:
//  - a full GetFirstTask/GetNextTask pass over schedule.ini, as the service's scan makes it
//    (file-access lock, enumeration, unlock), for 1,000 and 10,000 tasks;
//  - ReadAllTasks over the same file;
//  - one rewrite (WriteTask of an existing task) in a file of that size;
//  - ComputeNextTime for each schedule kind with a start 30 years before now.
// Usage: taskmodel_bench [time zone]   (default: the process's own)
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "common/clock.h"
#include "taskmodel/kvtask.h"
#include "taskmodel/schedule.h"
#include "taskmodel/timestr.h"
#include "tests/support/test_env.h"

namespace {

using namespace pondrel;

double NowSec() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

CKVTask MakeTask(int i) {
  CKVTask t;
  t.SetName("Camera task " + std::to_string(i));
  SetTaskField(t.StartTime, "2003/04/05/06/07/08");
  SetTaskField(t.NextTime, "2026/04/05/06/07/08");
  SetTaskField(t.DayofWeek, "0101010");
  t.TaskCycle = i % 4;
  t.RetryCnt = 3;
  Guid g;
  CreateGuid(&g);
  t.ServerId = g;
  return t;
}

// Writes a schedule.ini of n tasks in one go (WriteTask per task would rewrite it n times):
// the store writes one section per schedule kind, which is then repeated under n names.
void MakeScheduleFile(const std::string& root, int n) {
  std::string templates[4];
  {
    test::ScopedTestEnv scratch(false);
    CKVTaskMgr mgr(scratch.Root());
    for (int k = 0; k < 4; ++k) {
      std::filesystem::remove(scratch.Root() + "/schedule.ini");
      CKVTask t = MakeTask(k);
      t.SetName("@");
      mgr.WriteTask(t);
      templates[k] = test::ReadFile(scratch.Root() + "/schedule.ini");
    }
  }
  std::string text;
  for (int i = 0; i < n; ++i) {
    std::string section = templates[i % 4];
    section.replace(1, 1, "Camera task " + std::to_string(i));
    text += section;
  }
  test::WriteFile(root + "/schedule.ini", text);
}

void BenchScan(int n) {
  test::ScopedTestEnv env;
  MakeScheduleFile(env.Root(), n);
  const int passes = n >= 10000 ? 5 : 20;
  double cold = 0, warm = 0;
  int seen = 0;
  for (int p = 0; p < passes; ++p) {
    CKVTaskMgr mgr(env.Root());  // a new store: the pass reads and parses the file
    for (int round = 0; round < 2; ++round) {
      double t0 = NowSec();
      mgr.Lock(-1);
      CKVTask t;
      seen = 0;
      for (int rc = mgr.GetFirstTask(&t); rc == 0; rc = mgr.GetNextTask(&t)) ++seen;
      mgr.Unlock();
      (round == 0 ? cold : warm) += NowSec() - t0;
    }
  }
  std::printf(
      "scan pass, %5d tasks (%d seen): %8.2f ms with reading the file, %8.2f ms unchanged file\n",
      n, seen, cold / passes * 1e3, warm / passes * 1e3);

  {
    double cold_all = 0, warm_all = 0;
    std::vector<CKVTask> all;
    for (int p = 0; p < passes; ++p) {
      CKVTaskMgr fresh(env.Root());
      double t0 = NowSec();
      fresh.ReadAllTasks(&all);
      double t1 = NowSec();
      fresh.ReadAllTasks(&all);
      cold_all += t1 - t0;
      warm_all += NowSec() - t1;
    }
    std::printf(
        "ReadAllTasks, %5d tasks (%zu read): %8.2f ms with reading the file, %8.2f ms unchanged "
        "file\n",
        n, all.size(), cold_all / passes * 1e3, warm_all / passes * 1e3);
  }

  CKVTaskMgr mgr(env.Root());
  CKVTask t;
  mgr.ReadTask("Camera task " + std::to_string(n / 2), &t);
  const int writes = 20;
  double t0 = NowSec();
  for (int i = 0; i < writes; ++i) {
    t.EndCode = i;
    mgr.WriteTask(t);
  }
  std::printf("rewrite of one task, %5d tasks: %8.2f ms per WriteTask (file %.1f MB)\n", n,
              (NowSec() - t0) / writes * 1e3,
              std::filesystem::file_size(env.Root() + "/schedule.ini") / 1048576.0);
}

void BenchSchedule() {
  const std::time_t now = GetClock().Now();
  char start[kTimeStrSize];
  TimeToTimeStr(now - static_cast<std::time_t>(30 * 365.25 * 86400), start, sizeof start);
  struct Kind {
    const char* label;
    int cycle, interval, month_unit, day, loop_cnt, loop_hours;
  } kinds[] = {
      {"kind 0, daily", 0, 1, 1, 1, 0, 1},
      {"kind 0, every 3 days, 5 repeats", 0, 3, 1, 1, 5, 2},
      {"kind 1, Mon/Wed/Fri weekly", 1, 1, 1, 1, 0, 1},
      {"kind 1, every 2 weeks, 3 repeats", 1, 2, 1, 1, 3, 1},
      {"kind 2, day 31 monthly", 2, 1, 1, 31, 0, 1},
      {"kind 2, last Monday monthly", 2, 41, 0, 1, 0, 1},
      {"kind 2, day 1, 23 repeats", 2, 1, 1, 1, 23, 1},
      {"kind 3, once (passed)", 3, 1, 1, 1, 0, 1},
  };
  std::printf("ComputeNextTime, start %s (30 years back), now %s:\n", start,
              TimeToTimeStr(now).c_str());
  for (const Kind& k : kinds) {
    CKVTask t;
    t.SetName("k");
    SetTaskField(t.StartTime, start);
    SetTaskField(t.DayofWeek, "0101010");
    t.TaskCycle = k.cycle;
    t.TaskInterval = k.interval;
    t.MonthUnit = k.month_unit;
    t.ActDayofMonth = k.day;
    t.LoopCnt = k.loop_cnt;
    t.LoopInterval = static_cast<std::int8_t>(k.loop_hours);
    CKVSchedule sched;
    const int calls = 20000;
    double t0 = NowSec();
    for (int i = 0; i < calls; ++i) sched.ComputeNextTime(&t, now);
    double per = (NowSec() - t0) / calls;
    std::printf("  %-34s %7.2f us per call -> %s\n", k.label, per * 1e6,
                t.NextTime[0] ? t.NextTime : "(none)");
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) {
    setenv("TZ", argv[1], 1);
  }
  tzset();
  std::printf("time zone: %s\n", std::getenv("TZ") ? std::getenv("TZ") : "(system)");
  BenchScan(1000);
  BenchScan(10000);
  BenchSchedule();
  return 0;
}
