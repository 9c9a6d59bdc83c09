// A private world for driving the real service body in a thread of the test: a temporary
// ROOT and registry, a private runtime directory, a TestClock, the test launcher installed as
// "KVdl" in a directory the service searches first, a Task View mailslot owned by the test,
// and helpers to write profiles and tasks and to wait for the file to change.
#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/clock.h"
#include "common/fs_util.h"
#include "common/mailslot.h"
#include "common/named_object.h"
#include "common/runtime_dir.h"
#include "servers/srvmgr.h"
#include "service/kestova.h"
#include "taskmodel/activity_log.h"
#include "taskmodel/kvtask.h"
#include "taskmodel/schedule.h"
#include "taskmodel/timestr.h"
#include "tests/support/test_env.h"

namespace pondrel::test {

// Collects the "ZORIC:01:" messages sent to the Task View.
class TaskViewListener {
 public:
  TaskViewListener() {
    slot_.Create(kTaskViewMailslot);
    thread_ = std::thread([this] {
      while (!stop_) {
        char buf[kMailslotMessageMax];
        int n;
        while ((n = slot_.Read(buf, sizeof buf)) > 0) {
          std::lock_guard<std::mutex> g(lock_);
          messages_.emplace_back(buf, ::strnlen(buf, static_cast<std::size_t>(n)));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    });
  }
  ~TaskViewListener() {
    stop_ = true;
    thread_.join();
  }
  std::vector<std::string> Messages() {
    std::lock_guard<std::mutex> g(lock_);
    return messages_;
  }
  bool Has(const std::string& msg) {
    for (const auto& m : Messages())
      if (m == msg) return true;
    return false;
  }

 private:
  CKVMailSlot slot_;
  std::mutex lock_;
  std::vector<std::string> messages_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

inline bool WaitUntil(const std::function<bool()>& cond, int timeout_ms = 10000) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (std::chrono::steady_clock::now() < end) {
    if (cond()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return cond();
}

// 2026/03/10 10:00:00 in the test's time zone (UTC).
inline constexpr std::time_t kTestStart = 1773136800;

class ServiceFixture : public ::testing::Test {
 protected:
  ServiceFixture() : clock_(kTestStart) {
    setenv("TZ", "UTC", 1);
    tzset();
    SetClock(&clock_);
    launcher_dir_ = env_.Path("bin");
    fake_dir_ = env_.Path("fake");
    CreateDirectoryChain(launcher_dir_);
    CreateDirectoryChain(fake_dir_);
    if (::symlink((StageDir() + "/fake_kvdl").c_str(), (launcher_dir_ + "/KVdl").c_str()) != 0)
      ADD_FAILURE() << "cannot install the test launcher";
    setenv("FAKE_KVDL_DIR", fake_dir_.c_str(), 1);
    setenv(kLauncherDirVar, launcher_dir_.c_str(), 1);
  }
  ~ServiceFixture() override {
    StopService();
    SetClock(nullptr);
    unsetenv("FAKE_KVDL_DIR");
    unsetenv(kLauncherDirVar);
  }

  // A profile whose image directory lies below the temporary directory.
  Guid AddServer(const std::string& name, const std::string& host = "127.0.0.1") {
    CKVSrvMgr mgr;
    EXPECT_TRUE(mgr.InitWithDirectory(env_.Root()));
    CKVSrvInfo info;
    EXPECT_EQ(info.SetServerName(name), kCheckAccepted);
    EXPECT_EQ(info.SetImageDirectory(env_.Path("images/" + name)), kCheckAccepted);
    EXPECT_EQ(info.SetHostName(host), kCheckAccepted);
    EXPECT_EQ(mgr.Add(&info), SrvResult::SRV_OK);
    return info.GetId();
  }
  std::string ImageDir(const std::string& server) { return env_.Path("images/" + server); }

  // A daily task first due `offset` seconds after the test clock's start.
  CKVTask MakeTask(const std::string& name, const Guid& server, int offset = 30) {
    CKVTask t;
    t.SetName(name);
    SetTaskField(t.StartTime, TimeToTimeStr(kTestStart + offset));
    t.TaskCycle = kCycleDays;
    t.TaskInterval = 1;
    t.ServerId = server;
    CKVSchedule().ComputeNextTime(&t, clock_.Now());
    return t;
  }
  void WriteTask(const CKVTask& t) {
    CKVTaskMgr mgr(env_.Root());
    TaskFileLock lock(mgr, -1);
    ASSERT_EQ(mgr.WriteTask(t), 0);
  }
  CKVTask ReadTask(const std::string& name) {
    CKVTaskMgr mgr(env_.Root());
    TaskFileLock lock(mgr, -1);
    CKVTask t;
    mgr.ReadTask(name, &t);
    return t;
  }
  bool WaitState(const std::string& name, int state, int timeout_ms = 10000) {
    return WaitUntil([&] { return ReadTask(name).ActState == state; }, timeout_ms);
  }
  void Control(const std::string& task, const std::string& text) {
    WriteFile(fake_dir_ + "/" + task + ".ctl", text);
  }
  void Release(const std::string& task) { WriteFile(fake_dir_ + "/" + task + ".go", ""); }
  std::string Args(const std::string& task) { return ReadFile(fake_dir_ + "/" + task + ".args"); }
  std::string ServiceLog() { return ReadFile(env_.Root() + "/SYSTEM/kvrpd.log"); }
  int CountInLog(const std::string& text) {
    std::string log = ServiceLog();
    int n = 0;
    for (auto p = log.find(text); p != std::string::npos; p = log.find(text, p + 1)) ++n;
    return n;
  }

  void StartService() {
    service_ = std::make_unique<CKestova>();
    service_->SetStopGrace(stop_term_ms_, stop_kill_ms_);
    service_->SetTickPeriod(tick_ms_);
    service_->SetAbortGrace(abort_grace_ms_);
    body_ = std::thread([this] { body_result_ = service_->serviceBodyMain(); });
    ASSERT_TRUE(WaitUntil([&] { return CountInLog("(S100)") > 0; }));
  }
  void StopService() {
    if (!service_) return;
    service_->serviceBodyStop();
    body_.join();
    service_.reset();
  }
  // Moves the clock and lets the body's tick run at once.
  void Advance(int seconds) {
    clock_.AdvanceSeconds(seconds);
    service_->postMessage(BodyMessage::kTick);
  }
  void Tick() { service_->postMessage(BodyMessage::kTick); }
  void Send(const std::string& msg) {
    CKVMailSlot slot(kServiceMailslot);
    ASSERT_EQ(slot.Send(msg), 1);
  }
  int Running() { return service_->ProcTable().Count(); }

  ScopedTestEnv env_;
  TestClock clock_;
  std::string launcher_dir_, fake_dir_;
  std::unique_ptr<CKestova> service_;
  std::thread body_;
  int body_result_ = -1;
  int stop_term_ms_ = 2000, stop_kill_ms_ = 1000;
  int tick_ms_ = kTickMs;
  int abort_grace_ms_ = kAbortWithoutWindowMs;
};

inline int Lines(const std::string& text) {
  return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

// One raw datagram to the service's mailslot (any bytes, any length).
inline bool SendRaw(const std::string& bytes) {
  int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::string name = MailslotSocketPath(kServiceMailslot);
  std::memcpy(addr.sun_path, name.data(), name.size());
  socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
  ssize_t n = ::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&addr), len);
  ::close(fd);
  return n == static_cast<ssize_t>(bytes.size());
}

}  // namespace pondrel::test
