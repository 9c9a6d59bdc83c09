// Figures for the Task View's document: loading the task list (schedule.ini and the profile
// store) for growing numbers of tasks, sorting it, and one "pondrel task list" as a process.
// Prints milliseconds; asserts nothing.
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "servers/srvmgr.h"
#include "taskmodel/kvtask.h"
#include "taskview/tasdek_doc.h"
#include "tests/support/test_env.h"

using namespace pondrel;
using Clock = std::chrono::steady_clock;

static double Ms(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double, std::milli>(b - a).count();
}

int main() {
  for (int n : {100, 1000, 5000}) {
    test::ScopedTestEnv env;
    Guid ids[10];
    for (int s = 0; s < 10; ++s) {
      CKVSrvInfo rec;
      (void)rec.SetServerName("cam" + std::to_string(s));
      (void)rec.SetImageDirectory(env.Dir() + "/img" + std::to_string(s));
      (void)rec.SetHostName("127.0.0.1");
      CKVSrvMgr store;
      store.Init();
      (void)store.Add(&rec);
      ids[s] = rec.GetId();
    }
    {
      // The file as the store writes it, made in one go (writing task by task would rewrite
      // the whole file each time).
      std::string text;
      for (int i = 0; i < n; ++i) {
        text += "[task" + std::to_string(i) + "]\r\nServerId=" + GuidToHex(ids[i % 10]) +
                "\r\nStartTime=2003/01/01/08/00/00\r\nTaskCycle=0\r\nTaskInterval=1\r\n"
                "ActState=5\r\nActResult=0\r\nNextTime=2003/01/0" +
                std::to_string(1 + i % 9) + "/08/00/00\r\n";
      }
      test::WriteFile(env.Root() + "/schedule.ini", text);
    }
    tasdek::CTasdekDoc doc;
    auto t0 = Clock::now();
    const tasdek::DocResult r = doc.LoadTasks();
    auto t1 = Clock::now();
    tasdek::TaskListModel list(&doc);
    list.SetServerFilter(nullptr);
    list.ClickColumn(tasdek::kColNextRunTime);
    auto t2 = Clock::now();
    std::size_t chars = 0;
    for (std::size_t i = 0; i < list.RowCount(); ++i) {
      for (int c = 0; c < 5; ++c) chars += list.Text(i, c).size();
    }
    auto t3 = Clock::now();
    std::fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
      freopen("/dev/null", "w", stdout);
      const std::string p = test::StageDir() + "/pondrel";
      execl(p.c_str(), p.c_str(), "task", "list", static_cast<char*>(nullptr));
      _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    auto t4 = Clock::now();
    std::printf(
        "tasks %5d: load %8.1f ms (result %d), sort by next run %6.1f ms, "
        "row texts %6.1f ms (%zu chars), pondrel task list %8.1f ms (status %d)\n",
        n, Ms(t0, t1), tasdek::ResultCode(r), Ms(t1, t2), Ms(t2, t3), chars, Ms(t3, t4),
        WIFEXITED(status) ? WEXITSTATUS(status) : -1);
  }
  return 0;
}
