// Figures of the scheduler service:
//  1. one schedule scan over N tasks of which 16 are due: the due-window search alone
//     (FindDueTasks) and the whole scan with the 16 downloader starts (ExecDoTask), for N from
//     100 to 1,000;
//  2. the latency from a downloader's end to its task written and "ZORIC:01:" sent;
//  3. the idle service's CPU use and resident memory (the real zoricsm process);
//  4. start-up with 10,000 overdue tasks (the real zoricsm: start to its S100 line), and the
//     start-up pass's writes alone at 1,000 tasks, one rewrite per task against one batch;
//  5. "pondrel task run" to the downloader's start (the real pondrel, zoricsm and a test
//     launcher), median of 10.
// Usage: service_bench [idle seconds, default 10] [scan|latency|idle|startup|runnow ...]
// SERVICE_BENCH_HOST_FROM=<dir>: take zoricsm and libkestova.so from there for 4 and 5.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/clock.h"
#include "common/fs_util.h"
#include "common/mailslot.h"
#include "servers/srvmgr.h"
#include "service/kestova.h"
#include "taskmodel/kvtask.h"
#include "taskmodel/schedule.h"
#include "taskmodel/timestr.h"
#include "tests/support/test_env.h"

using namespace pondrel;
using Clk = std::chrono::steady_clock;

namespace {

constexpr std::time_t kStart = 1773136800;  // 2026/03/10 10:00:00 UTC

double Ms(Clk::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

std::vector<Guid> AddServers(const std::string& root, int n) {
  CKVSrvMgr mgr;
  mgr.InitWithDirectory(root);
  std::vector<Guid> ids;
  for (int i = 0; i < n; ++i) {
    CKVSrvInfo info;
    (void)info.SetServerName("cam" + std::to_string(i));
    (void)info.SetImageDirectory(root + "/images/cam" + std::to_string(i));
    (void)info.SetHostName("10.0." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1));
    (void)mgr.Add(&info);
    ids.push_back(info.GetId());
  }
  return ids;
}

// N tasks; the first 16 are due 30 seconds after kStart, the rest tomorrow.
void WriteTasks(const std::string& root, const std::vector<Guid>& servers, int n) {
  std::string text;
  CKVSchedule sched;
  for (int i = 0; i < n; ++i) {
    CKVTask t;
    t.SetName("task" + std::to_string(i));
    SetTaskField(t.StartTime, TimeToTimeStr(kStart + (i < 16 ? 30 : 86400 + i)));
    t.ServerId = servers[static_cast<std::size_t>(i) % servers.size()];
    sched.ComputeNextTime(&t, kStart);
    CKVTaskMgr mgr(root);
    if (i == 0) std::filesystem::remove(root + "/schedule.ini");
    mgr.WriteTask(t);
  }
}

void ScanFigures() {
  std::printf("Schedule scan (16 due):\n");
  std::printf("  %6s  %18s  %26s\n", "tasks", "FindDueTasks (ms)", "ExecDoTask + 16 starts (ms)");
  for (int n : {100, 200, 500, 1000}) {
    test::ScopedTestEnv env;
    TestClock clock(kStart);
    SetClock(&clock);
    auto servers = AddServers(env.Root(), 16);
    WriteTasks(env.Root(), servers, n);
    std::string bin = env.Path("bin");
    std::filesystem::create_directories(bin);
    std::filesystem::create_symlink(test::StageDir() + "/fake_kvdl", bin + "/KVdl");
    setenv("FAKE_KVDL_DIR", env.Dir().c_str(), 1);
    double find_best = 1e9, exec_best = 1e9;
    for (int rep = 0; rep < 5; ++rep) {
      CKestova k;
      k.SetRoot(env.Root());
      k.SetLauncherDir(bin);
      k.initKVSched();
      clock.Set(kStart + 60);
      std::vector<std::string> due;
      std::string saved = k.LastCheckTime();
      auto t0 = Clk::now();
      k.FindDueTasks(clock.Now(), &due);
      find_best = std::min(find_best, Ms(Clk::now() - t0));
      if (due.size() != 16) std::printf("  (unexpected: %zu due)\n", due.size());
      k.SetLastCheckTime(saved);
      t0 = Clk::now();
      k.ExecDoTask();
      exec_best = std::min(exec_best, Ms(Clk::now() - t0));
      if (k.ProcTable().Count() != 16)
        std::printf("  (unexpected: %d started)\n", k.ProcTable().Count());
      for (int i = k.ProcTable().Count() - 1; i >= 0; --i) k.ProcTable().Remove(i);
      clock.Set(kStart);
      WriteTasks(env.Root(), servers, n);
    }
    std::printf("  %6d  %18.2f  %26.2f\n", n, find_best, exec_best);
    SetClock(nullptr);
    unsetenv("FAKE_KVDL_DIR");
  }
}

// One task that is only ever started on request.
void WriteOnRequestTask(const std::string& root, const std::string& name, const Guid& server) {
  CKVTask t;
  t.SetName(name);
  SetTaskField(t.StartTime, "2099/01/01/00/00/00");
  t.ServerId = server;
  CKVTaskMgr(root).WriteTask(t);
}

void LatencyFigures() {
  test::ScopedTestEnv env;
  auto servers = AddServers(env.Root(), 1);
  WriteOnRequestTask(env.Root(), "lat", servers[0]);
  std::string bin = env.Path("bin");
  std::filesystem::create_directories(bin);
  std::filesystem::create_symlink(test::StageDir() + "/fake_kvdl", bin + "/KVdl");
  setenv("FAKE_KVDL_DIR", env.Dir().c_str(), 1);
  test::WriteFile(env.Dir() + "/lat.ctl", "wait\n");
  CKVMailSlot tv;
  tv.Create(kTaskViewMailslot);
  CKestova k;
  k.SetLauncherDir(bin);
  std::thread body([&] { k.serviceBodyMain(); });
  while (test::ReadFile(env.Root() + "/SYSTEM/kvrpd.log").find("(S100)") == std::string::npos)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  std::vector<double> samples;
  for (int i = 0; i < 30; ++i) {
    CKVMailSlot(kServiceMailslot).Send("ZORIC:02:lat");
    k.postMessage(BodyMessage::kTick);
    // Wait for the "running" announcement, then end the child and time the final one.
    char buf[1024];
    auto deadline = Clk::now() + std::chrono::seconds(5);
    bool running = false;
    while (!running && Clk::now() < deadline) {
      int n = tv.Read(buf, sizeof buf);
      if (n > 0 && std::string(buf).rfind("ZORIC:01::03:", 0) == 0)
        running = true;
      else
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    // The child has recorded itself (and is waiting) once its line is there.
    std::string args;
    while (Clk::now() < deadline) {
      args = test::ReadFile(env.Dir() + "/lat.args");
      if (std::count(args.begin(), args.end(), '\n') == i + 1) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::istringstream lines(args);
    std::string line, last;
    while (std::getline(lines, line)) last = line;
    pid_t pid = static_cast<pid_t>(std::atol(last.c_str()));
    if (pid <= 0) break;
    auto t0 = Clk::now();
    ::kill(pid, SIGTERM);
    bool done = false;
    while (!done && Clk::now() < deadline + std::chrono::seconds(5)) {
      int n = tv.Read(buf, sizeof buf);
      if (n > 0 && std::string(buf).rfind("ZORIC:01::05:07:", 0) == 0) done = true;
    }
    if (done) samples.push_back(Ms(Clk::now() - t0));
  }
  k.serviceBodyStop();
  body.join();
  unsetenv("FAKE_KVDL_DIR");
  std::sort(samples.begin(), samples.end());
  if (samples.empty()) {
    std::printf("Reap latency: no samples\n");
    return;
  }
  std::printf(
      "Reap latency (SIGTERM to the downloader -> task written, \"ZORIC:01:\" received), %zu "
      "runs:\n",
      samples.size());
  std::printf("  median %.2f ms, min %.2f ms, max %.2f ms\n", samples[samples.size() / 2],
              samples.front(), samples.back());
}

long ClockTicksOf(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string s((std::istreambuf_iterator<char>(in)), {});
  auto close = s.rfind(')');
  std::istringstream rest(s.substr(close + 2));
  std::string field;
  long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14) utime = std::atol(field.c_str());
    if (i == 15) stime = std::atol(field.c_str());
  }
  return utime + stime;
}

long RssKb(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return -1;
}

void IdleFigures(int seconds) {
  test::ScopedTestEnv env;
  auto servers = AddServers(env.Root(), 16);
  WriteTasks(env.Root(), servers, 1000);  // none due within the window
  std::string bin = env.Path("host");
  std::filesystem::create_directories(bin);
  for (const char* f : {"zoricsm", "libkestova.so"})
    std::filesystem::copy_file(test::StageDir() + "/" + f, bin + "/" + f);
  pid_t pid = ::fork();
  if (pid == 0) {
    std::string exe = bin + "/zoricsm";
    ::execl(exe.c_str(), "zoricsm", "-debug", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  auto started = Clk::now();
  std::string log = env.Root() + "/SYSTEM/kvrpd.log";
  while (test::ReadFile(log).find("(S100)") == std::string::npos)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  double startup = Ms(Clk::now() - started);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  long before = ClockTicksOf(pid);
  auto t0 = Clk::now();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  long after = ClockTicksOf(pid);
  double wall = Ms(Clk::now() - t0) / 1000.0;
  long hz = ::sysconf(_SC_CLK_TCK);
  double cpu = static_cast<double>(after - before) / static_cast<double>(hz);
  std::printf("Idle service (zoricsm -debug, 1,000 tasks, %d s window):\n", seconds);
  std::printf("  start-up (1,000 tasks marked and rescheduled) %.0f ms\n", startup);
  std::printf("  CPU %.3f s in %.1f s = %.3f %%, resident memory %ld kB\n", cpu, wall,
              100.0 * cpu / wall, RssKb(pid));
  ::kill(pid, SIGTERM);
  ::waitpid(pid, nullptr, 0);
}

// A host directory with zoricsm, libkestova.so and the test launcher as KVdl. The service's
// two files come from $SERVICE_BENCH_HOST_FROM when set (to compare another build of them).
std::string MakeHostDir(const test::ScopedTestEnv& env) {
  std::string bin = env.Path("host");
  std::filesystem::create_directories(bin);
  const char* from = std::getenv("SERVICE_BENCH_HOST_FROM");
  for (const char* f : {"zoricsm", "libkestova.so"})
    std::filesystem::copy_file((from ? std::string(from) : test::StageDir()) + "/" + f,
                               bin + "/" + f);
  std::filesystem::copy_file(test::StageDir() + "/fake_kvdl", bin + "/KVdl");
  return bin;
}

pid_t Spawn(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = ::fork();
  if (pid == 0) {
    int devnull = ::open("/dev/null", O_WRONLY);
    ::dup2(devnull, 1);
    ::dup2(devnull, 2);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  return pid;
}

void WaitForLogLine(const std::string& root, const char* code) {
  while (test::ReadFile(root + "/SYSTEM/kvrpd.log").find(code) == std::string::npos)
    std::this_thread::sleep_for(std::chrono::microseconds(500));
}

// `n` tasks whose next time passed long ago, written in one go.
void WriteOverdueTasks(const std::string& root, const std::vector<Guid>& servers, int n) {
  std::vector<CKVTask> all;
  for (int i = 0; i < n; ++i) {
    CKVTask t;
    t.SetName("overdue" + std::to_string(i));
    SetTaskField(t.StartTime, "2020/01/01/00/00/00");
    SetTaskField(t.NextTime, "2020/01/01/00/00/00");
    t.ServerId = servers[static_cast<std::size_t>(i) % servers.size()];
    all.push_back(t);
  }
  std::filesystem::remove(root + "/schedule.ini");
  CKVTaskMgr(root).WriteTasks(all);
}

void StartupFigures() {
  std::printf("Start-up with overdue tasks:\n");
  {
    // The start-up pass's writes alone: what a rewrite per rescheduled task costs against one
    // batch rewrite of the same changes.
    test::ScopedTestEnv env;
    auto servers = AddServers(env.Root(), 16);
    constexpr int kTasks = 1000;
    for (int batch = 0; batch < 2; ++batch) {
      WriteOverdueTasks(env.Root(), servers, kTasks);
      CKVTaskMgr mgr(env.Root());
      std::vector<CKVTask> all;
      mgr.ReadAllTasks(&all);
      for (CKVTask& t : all) {
        t.ActResult = kResultStartFailed;
        t.EndCode = kEndCodeMissedRun;
        SetTaskField(t.NextTime, "2099/01/01/00/00/00");
      }
      auto t0 = Clk::now();
      if (batch) {
        mgr.WriteTasks(all);
      } else {
        for (const CKVTask& t : all) mgr.WriteTask(t);
      }
      std::printf("  %s, %d tasks: %.0f ms\n",
                  batch ? "one batch rewrite        " : "one rewrite per task (old)", kTasks,
                  Ms(Clk::now() - t0));
    }
  }
  for (int n : {1000, 10000}) {
    test::ScopedTestEnv env;
    auto servers = AddServers(env.Root(), 16);
    WriteOverdueTasks(env.Root(), servers, n);
    std::string bin = MakeHostDir(env);
    auto t0 = Clk::now();
    pid_t pid = Spawn({bin + "/zoricsm", "-debug"});
    WaitForLogLine(env.Root(), "(S100)");
    double ms = Ms(Clk::now() - t0);
    std::printf("  zoricsm -debug, %5d overdue tasks: start to S100 %.0f ms\n", n, ms);
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
  }
}

void RunNowFigures() {
  test::ScopedTestEnv env;
  auto servers = AddServers(env.Root(), 1);
  WriteOnRequestTask(env.Root(), "now", servers[0]);
  std::string bin = MakeHostDir(env);
  const std::string fake = env.Path("fake");
  std::filesystem::create_directories(fake);
  setenv("FAKE_KVDL_DIR", fake.c_str(), 1);
  test::WriteFile(fake + "/now.ctl", "register\nwait\n");
  pid_t host = Spawn({bin + "/zoricsm", "-debug"});
  WaitForLogLine(env.Root(), "(S100)");
  const std::string pondrel = test::StageDir() + "/pondrel";
  auto args_lines = [&] {
    std::string a = test::ReadFile(fake + "/now.args");
    return static_cast<int>(std::count(a.begin(), a.end(), '\n'));
  };
  auto state = [&] {
    CKVTask t;
    CKVTaskMgr(env.Root()).ReadTask("now", &t);
    return t.ActState;
  };
  std::vector<double> samples;
  for (int i = 0; i < 10; ++i) {
    auto t0 = Clk::now();
    pid_t cli = Spawn({pondrel, "task", "run", "now"});
    auto deadline = t0 + std::chrono::seconds(10);
    while (args_lines() < i + 1 && Clk::now() < deadline)
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    if (args_lines() >= i + 1) samples.push_back(Ms(Clk::now() - t0));
    ::waitpid(cli, nullptr, 0);
    // End the run and wait until the task is back to waiting.
    test::WriteFile(fake + "/now.go", "");
    while (state() != kStateWaiting && Clk::now() < deadline + std::chrono::seconds(10))
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    std::filesystem::remove(fake + "/now.go");
    // Start the next round on a tick-independent moment.
    std::this_thread::sleep_for(std::chrono::milliseconds(137));
  }
  ::kill(host, SIGTERM);
  ::waitpid(host, nullptr, 0);
  unsetenv("FAKE_KVDL_DIR");
  std::sort(samples.begin(), samples.end());
  if (samples.empty()) {
    std::printf("pondrel task run to the downloader's start: no samples\n");
    return;
  }
  std::printf("pondrel task run to the downloader's start, %zu runs:\n", samples.size());
  std::printf("  median %.1f ms, min %.1f ms, max %.1f ms\n",
              (samples[(samples.size() - 1) / 2] + samples[samples.size() / 2]) / 2,
              samples.front(), samples.back());
}

}  // namespace

int main(int argc, char** argv) {
  setenv("TZ", "UTC", 1);
  tzset();
  int idle_seconds = 10;
  std::vector<std::string> only;
  for (int i = 1; i < argc; ++i) {
    if (std::isdigit(static_cast<unsigned char>(argv[i][0])))
      idle_seconds = std::max(1, std::atoi(argv[i]));
    else
      only.emplace_back(argv[i]);
  }
  auto wanted = [&](const char* part) {
    return only.empty() || std::find(only.begin(), only.end(), part) != only.end();
  };
  if (wanted("scan")) ScanFigures();
  if (wanted("latency")) LatencyFigures();
  if (wanted("idle")) IdleFigures(idle_seconds);
  if (wanted("startup")) StartupFigures();
  if (wanted("runnow")) RunNowFigures();
  return 0;
}
