// Servers and tasks for the Task View's tests, screenshots and benchmarks, stored in the ROOT
// of a ScopedTestEnv.
#pragma once

#include <string>
#include <vector>

#include "servers/srvmgr.h"
#include "taskmodel/kvtask.h"

namespace pondrel::tasdek::sample {

inline Guid AddServer(const std::string& name, const std::string& image_dir,
                      const std::string& proxy = "", const std::string& ppp = "") {
  CKVSrvInfo rec;
  (void)rec.SetServerName(name);
  (void)rec.SetImageDirectory(image_dir);
  (void)rec.SetHostName("127.0.0.1");
  if (!proxy.empty()) {
    rec.SetUseProxy(1);
    (void)rec.SetProxyHost(proxy);
  }
  if (!ppp.empty()) {
    rec.SetUsePpp(1);
    (void)rec.SetPppConnectionName(ppp);
  }
  CKVSrvMgr store;
  store.Init();
  (void)store.Add(&rec);
  return rec.GetId();
}

inline CKVTask MakeTask(const std::string& name, const Guid& server) {
  CKVTask t;
  t.SetName(name);
  SetTaskField(t.StartTime, "2003/01/01/08/00/00");
  SetTaskField(t.NextTime, "2003/04/06/08/00/00");
  t.ServerId = server;
  return t;
}

// Writes all the tasks in one rewrite of the schedule file.
inline void StoreTasks(const std::vector<CKVTask>& tasks) {
  CKVTaskMgr mgr;
  TaskFileLock lock(mgr, -1);
  for (const CKVTask& t : tasks) mgr.WriteTask(t);
}

// A small world that shows every kind of row: three servers, and tasks that are waiting,
// running, disabled, failed, finished once and weekly or monthly.
inline void BuildShowcase(const std::string& root) {
  const Guid lobby = AddServer("Lobby camera", root + "/img/lobby");
  const Guid gate = AddServer("Gate camera", root + "/img/gate", "proxy.example", "");
  const Guid roof = AddServer("Roof camera", root + "/img/roof");
  std::vector<CKVTask> tasks;
  CKVTask a = MakeTask("Lobby daily", lobby);
  a.ActResult = kResultSucceeded;
  SetTaskField(a.EndTime, "2003/04/05/08/02/11");
  tasks.push_back(a);
  CKVTask b = MakeTask("Gate every 2 hours", gate);
  b.LoopCnt = 6;
  b.LoopInterval = 2;
  b.ActState = kStateRunning;
  b.ActResult = kResultRunning;
  tasks.push_back(b);
  CKVTask c = MakeTask("Roof weekdays", roof);
  c.TaskCycle = kCycleWeeks;
  SetTaskField(c.DayofWeek, "0111110");
  c.ActResult = kResultFailed;
  SetTaskField(c.EndTime, "2003/04/04/08/00/40");
  tasks.push_back(c);
  CKVTask d = MakeTask("Roof last Friday", roof);
  d.TaskCycle = kCycleMonths;
  d.MonthUnit = kMonthByWeekday;
  d.TaskInterval = 45;
  tasks.push_back(d);
  CKVTask e = MakeTask("Lobby once", lobby);
  e.TaskCycle = kCycleOnce;
  SetTaskField(e.NextTime, "");
  e.ActResult = kResultAborted;
  SetTaskField(e.EndTime, "2003/03/01/09/15/00");
  tasks.push_back(e);
  CKVTask f = MakeTask("Gate holidays", gate);
  f.Effect = 0;
  f.ActState = kStateDisabled;
  tasks.push_back(f);
  CKVTask g = MakeTask("Lobby retry", lobby);
  g.RetryCnt = 3;
  g.RetryInterval = 5;
  g.ActResult = kResultStartFailed;
  SetTaskField(g.LastActTime, "2003/04/05/07/59/00");
  tasks.push_back(g);
  CKVTask h = MakeTask("Gate broken", gate);
  h.RetryInterval = 0;  // fails the validity check: shown with the warning image
  tasks.push_back(h);
  StoreTasks(tasks);
}

}  // namespace pondrel::tasdek::sample
