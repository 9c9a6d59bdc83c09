// The task engine on its own: real schedule files and real child processes, but no wait loop,
// no mailslot and no KVdl. The profiles come from a small table so that two profiles can share
// one camera address.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <time.h>

#include <map>
#include <string>
#include <vector>

#include "common/clock.h"
#include "common/fs_util.h"
#include "common/guid.h"
#include "common/named_object.h"
#include "service/task_engine.h"
#include "taskmodel/activity_log.h"
#include "taskmodel/schedule.h"
#include "taskmodel/timestr.h"
#include "tests/support/test_env.h"

namespace pondrel {
namespace {

constexpr std::time_t kStart = 1773136800;  // 2026/03/10 10:00:00 UTC

struct Profile {
  std::string name, image_dir, address;
};

class TableDirectory final : public ServerDirectory {
 public:
  std::map<std::string, Profile> profiles;  // by hex identifier
  LookupResult Name(const Guid& id, std::string* name) override {
    std::string dir;
    return NameAndImageDir(id, name, &dir);
  }
  LookupResult NameAndImageDir(const Guid& id, std::string* name, std::string* dir) override {
    auto it = profiles.find(GuidToHex(id));
    if (it == profiles.end()) return LookupResult::kNoSuchProfile;
    *name = it->second.name;
    *dir = it->second.image_dir;
    return LookupResult::kFound;
  }
  AddrResult Address(const Guid& id, sockaddr_in* addr) override {
    auto it = profiles.find(GuidToHex(id));
    if (it == profiles.end()) return AddrResult::kUnreadable;
    return inet_pton(AF_INET, it->second.address.c_str(), &addr->sin_addr) == 1
               ? AddrResult::kResolved
               : AddrResult::kUnresolvable;
  }
};

// Starts a real program in place of the downloader: `sleep 30` runs until it is ended,
// `true` and `false` end at once with 0 and 1; "none" cannot be started.
class ProgramLauncher final : public DownloaderLauncher {
 public:
  std::string program = "/bin/sleep";
  std::vector<std::string> started;  // task names
  bool Launch(const DownloaderOptions& options, LaunchedProcess* child) override {
    if (program == "none") return false;
    std::string error;
    if (!StartLauncher(program, "run", "30", child, &error)) return false;
    started.push_back(options.task_name);
    return true;
  }
};

class TaskEngineTest : public ::testing::Test {
 protected:
  TaskEngineTest() : clock_(kStart), tasks_(env_.Root()) {
    setenv("TZ", "UTC", 1);
    tzset();
    EngineHooks hooks;
    hooks.clock = &clock_;
    hooks.log = [this](std::string_view task, std::string_view, int, const char* text) {
      log_.push_back(std::string(task) + ": " + text);
    };
    hooks.announce = [this](const CKVTask& t) { announced_.emplace_back(t.Name); };
    hooks.watch_child = [this](int fd) { watched_.push_back(fd); };
    engine_ = std::make_unique<TaskEngine>(servers_, launcher_, hooks);
    engine_->Attach(&tasks_);
  }
  ~TaskEngineTest() override { engine_->RemoveAll(); }

  Guid AddServer(const std::string& name, const std::string& address) {
    Guid id;
    EXPECT_TRUE(CreateGuid(&id));
    servers_.profiles[GuidToHex(id)] = {name, env_.Path("images/" + name), address};
    return id;
  }
  // A daily task due `offset` seconds after the start, with `retries` retries 5 minutes apart.
  void AddTask(const std::string& name, const Guid& server, int offset = 30, int retries = 0) {
    CKVTask t;
    t.SetName(name);
    SetTaskField(t.StartTime, TimeToTimeStr(kStart + offset));
    t.TaskCycle = kCycleDays;
    t.TaskInterval = 1;
    t.ServerId = server;
    t.RetryCnt = t.RestRetryCnt = retries;
    t.RetryInterval = 5;
    CKVSchedule().ComputeNextTime(&t, clock_.Now());
    TaskFileLock lock(tasks_, -1);
    ASSERT_EQ(tasks_.WriteTask(t), 0);
  }
  CKVTask Task(const std::string& name) {
    CKVTask t;
    TaskFileLock lock(tasks_, -1);
    tasks_.ReadTask(name, &t);
    return t;
  }
  bool Logged(const std::string& line) const {
    for (const auto& l : log_)
      if (l == line) return true;
    return false;
  }
  // Waits for the child behind the last watched pidfd to end, and hands it to the engine.
  void ReapLast() {
    ASSERT_FALSE(watched_.empty());
    pollfd p{watched_.back(), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 10000), 1);
    engine_->ChildEnded(watched_.back());
  }

  test::ScopedTestEnv env_;
  TestClock clock_;
  CKVTaskMgr tasks_;
  TableDirectory servers_;
  ProgramLauncher launcher_;
  std::vector<std::string> log_, announced_;
  std::vector<int> watched_;
  std::unique_ptr<TaskEngine> engine_;
};

TEST_F(TaskEngineTest, SecondRunOnOneServerOrOneAddressIsRefusedWithS002) {
  const Guid cam = AddServer("cam", "127.0.0.1");
  const Guid alias = AddServer("alias", "127.0.0.1");  // another profile, the same camera
  const Guid other = AddServer("other", "127.0.0.2");
  AddTask("a", cam);
  AddTask("b", cam);
  AddTask("c", alias);
  AddTask("d", other);
  EXPECT_EQ(engine_->StartTask("a"), StartOutcome::kStarted);
  EXPECT_EQ(engine_->StartTask("b"), StartOutcome::kRefused);
  EXPECT_EQ(engine_->StartTask("c"), StartOutcome::kRefused);
  EXPECT_EQ(engine_->StartTask("d"), StartOutcome::kStarted);
  EXPECT_EQ(launcher_.started, (std::vector<std::string>{"a", "d"}));
  EXPECT_EQ(engine_->Procs().Count(), 2);
  for (const char* refused : {"b", "c"}) {
    const CKVTask t = Task(refused);
    EXPECT_EQ(t.EndCode, kEndCodeServerBusy) << refused;
    EXPECT_EQ(t.ActResult, kResultStartFailed) << refused;
    EXPECT_EQ(t.ActState, kStateWaiting) << refused;
    EXPECT_TRUE(Logged(std::string(refused) + ": " + kMsgS002)) << refused;
  }
  EXPECT_EQ(Task("a").ActState, kStateRunning);
  // A task that is already running is refused before anything is written.
  EXPECT_EQ(engine_->StartTask("a"), StartOutcome::kRefused);
  EXPECT_TRUE(Logged(std::string("a: ") + kMsgS004));
  EXPECT_EQ(engine_->Procs().Count(), 2);
}

TEST_F(TaskEngineTest, EndedRunIsRecordedAndAFailedOneRetried) {
  const Guid cam = AddServer("cam", "127.0.0.1");
  AddTask("ok", cam);
  AddTask("bad", cam, 3600, 2);  // its regular time an hour away
  launcher_.program = "/bin/true";
  ASSERT_EQ(engine_->StartTask("ok"), StartOutcome::kStarted);
  EXPECT_TRUE(engine_->HoldsEnvLock());
  ReapLast();
  EXPECT_EQ(engine_->Procs().Count(), 0);
  EXPECT_FALSE(engine_->HoldsEnvLock());  // let go once nothing runs
  CKVTask ok = Task("ok");
  EXPECT_EQ(ok.ActResult, kResultSucceeded);
  EXPECT_EQ(ok.ActState, kStateWaiting);
  EXPECT_EQ(ok.EndCode, 0);

  // The server is free again; a run ending with 1 fails and is retried in 5 minutes, before
  // its regular time.
  launcher_.program = "/bin/false";
  ASSERT_EQ(engine_->StartTask("bad"), StartOutcome::kStarted);
  ReapLast();
  const CKVTask bad = Task("bad");
  EXPECT_EQ(bad.ActResult, kResultFailed);
  EXPECT_EQ(bad.EndCode, 1);
  EXPECT_EQ(bad.ActState, kStateRerun);
  EXPECT_EQ(bad.RestRetryCnt, 1);
  EXPECT_EQ(std::string(bad.NextTime), TimeToTimeStr(kStart + 300));
  EXPECT_EQ(announced_.back(), "bad");
}

TEST_F(TaskEngineTest, LauncherThatCannotStartIsAStartFailureThatHoldsNothing) {
  AddTask("t", AddServer("cam", "127.0.0.1"));
  launcher_.program = "none";
  EXPECT_EQ(engine_->StartTask("t"), StartOutcome::kRefused);
  EXPECT_TRUE(Logged(std::string("t: ") + kMsgS005));
  EXPECT_EQ(Task("t").ActResult, kResultStartFailed);
  EXPECT_EQ(engine_->Procs().Count(), 0);
  EXPECT_FALSE(engine_->HoldsEnvLock());
  // A task whose profile is gone is logged as unreadable under the name asked for.
  Guid gone;
  ASSERT_TRUE(CreateGuid(&gone));
  AddTask("orphan", gone);
  EXPECT_EQ(engine_->StartTask("orphan"), StartOutcome::kRefused);
  EXPECT_TRUE(Logged(std::string("orphan: ") + kMsgS001));
  EXPECT_EQ(Task("orphan").EndCode, kEndCodeUnreadable);
}

TEST_F(TaskEngineTest, DueTaskKeptBackByTheEnvironmentLockStartsOnceItIsFree) {
  AddTask("due", AddServer("cam", "127.0.0.1"), 30);
  engine_->SetLastCheckTime(TimeToTimeStr(kStart));
  {
    NamedObject other = NamedObject::Create(kEnvLockName);  // another program's settings
    ASSERT_TRUE(other.held());
    clock_.AdvanceMinute();
    engine_->StartDueTasks();
    EXPECT_EQ(engine_->WaitingForEnvLock(), 1);
    EXPECT_TRUE(launcher_.started.empty());
    engine_->RetryEnvLockWaiters();
    EXPECT_TRUE(launcher_.started.empty());
  }
  engine_->RetryEnvLockWaiters();
  EXPECT_EQ(launcher_.started, std::vector<std::string>{"due"});
  EXPECT_EQ(engine_->WaitingForEnvLock(), 0);
  // Once the stop has begun nothing starts, however it is asked.
  engine_->BeginStop();
  AddTask("late", AddServer("cam2", "127.0.0.3"));
  EXPECT_EQ(engine_->StartTask("late"), StartOutcome::kRefused);
  EXPECT_EQ(launcher_.started.size(), 1u);
}

}  // namespace
}  // namespace pondrel
