// pondrel with the real service (zoricsm + libkestova.so), downloader (KVdl + libfetchko.so)
// and camera simulator.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include <sys/stat.h>

#include "common/mailslot.h"
#include "common/named_object.h"
#include "common/runtime_dir.h"
#include "common/unique_fd.h"
#include "taskmodel/kvtask.h"
#include "taskview/service_control.h"
#include "tests/camsim/camsim_process.h"
#include "tests/cli/run_pondrel.h"
#include "tests/support/test_env.h"
#include "tests/support/test_process.h"

namespace pondrel::test {
namespace {

class CliServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* f : {"zoricsm", "libkestova.so", "KVdl", "libfetchko.so", "camsim"}) {
      if (!std::filesystem::exists(StageDir() + "/" + f)) GTEST_SKIP() << f << " is not built";
    }
  }
  void TearDown() override {
    if (started_) RunPondrel({"service", "stop"});
    // Whatever still runs with this test's private runtime directory was started by this test
    // (the detached service, a downloader); it is ended by pid.
    const std::string mark = "PONDREL_RUNTIME_DIR=" + env_.RuntimeDir();
    for (const auto& e : std::filesystem::directory_iterator("/proc")) {
      const std::string name = e.path().filename();
      if (name.find_first_not_of("0123456789") != std::string::npos) continue;
      const std::string environ_text = ReadFile(e.path().string() + "/environ");
      std::size_t pos = 0;
      while (pos < environ_text.size()) {
        const std::size_t end = environ_text.find('\0', pos);
        const std::string var = environ_text.substr(pos, end - pos);
        if (var == mark) {
          ADD_FAILURE() << "process " << name << " outlived the test";
          ::kill(std::stoi(name), SIGKILL);
          break;
        }
        if (end == std::string::npos) break;
        pos = end + 1;
      }
    }
  }

  // The server "cam" on `cam` and the task "busy" on it, due long ago.
  void AddServerAndBusyTask(const CamsimProcess& cam) {
    ASSERT_EQ(RunPondrel({"server", "add", "cam", "--image-dir", env_.Dir() + "/pictures", "--host",
                          "127.0.0.1", "--port", std::to_string(cam.port())})
                  .status,
              0);
    ASSERT_EQ(RunPondrel({"task", "add", "busy", "--start", "2002/01/01 00:00"}).status, 0);
  }

  void StartService() {
    CliResult r = RunPondrel({"service", "start"});
    ASSERT_EQ(r.status, 0) << r.err;
    started_ = true;
  }

  CKVTask ReadTask(const std::string& name) {
    CKVTaskMgr mgr;
    CKVTask t;
    TaskFileLock lock(mgr, -1);
    mgr.ReadTask(name, &t);
    return t;
  }

  // Waits until the task's run has finished (a result other than none or running).
  CKVTask WaitForResult(const std::string& name) {
    CKVTask t;
    for (int i = 0; i < 600; ++i) {
      t = ReadTask(name);
      if (t.ActState != kStateRunning && t.ActResult != kResultNone &&
          t.ActResult != kResultRunning) {
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return t;
  }

  ScopedTestEnv env_;
  bool started_ = false;
};

TEST_F(CliServiceTest, RoundTripCollectsThePictures) {
  CamsimProcess cam({"--pictures", "24", "--user", "demo", "--password", "pw"});
  ASSERT_TRUE(cam.ok()) << cam.Output();
  const std::string pictures = env_.Dir() + "/pictures";
  CliResult r =
      RunPondrel({"server", "add", "cam", "--image-dir", pictures, "--host", "127.0.0.1", "--port",
                  std::to_string(cam.port()), "--admin-account", "demo", "--password-stdin"},
                 "pw\n");
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_EQ(RunPondrel({"task", "add", "collect", "--cycle", "once", "--start", "2002/01/01 00:00"})
                .status,
            0);
  StartService();
  r = RunPondrel({"service", "status"});
  EXPECT_EQ(r.out, "running (not installed as a system service)\n");
  EXPECT_EQ(r.status, 0);
  // --wait ends with the run and its result.
  r = RunPondrel({"task", "run", "collect", "--wait"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.substr(0, 10), "Succeeded(") << r.out;
  EXPECT_NE(r.out.find(": end code 0 (completed)\n"), std::string::npos) << r.out;
  const CKVTask t = ReadTask("collect");
  EXPECT_EQ(t.ActResult, kResultSucceeded) << "EndCode " << t.EndCode;
  EXPECT_EQ(t.EndCode, 0);

  int files = 0;
  for (const auto& e : std::filesystem::recursive_directory_iterator(pictures + "/image")) {
    files += e.path().extension() == ".jpg";
  }
  EXPECT_EQ(files, 24);
  r = RunPondrel({"task", "list"});
  EXPECT_NE(r.out.find("collect\tcam\t\tSucceeded("), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\tfinished\n"), std::string::npos) << r.out;
  r = RunPondrel({"log", "show", "--task", "collect", "--code", "D002"});
  EXPECT_NE(r.out.find("D002\t"), std::string::npos) << RunPondrel({"log", "show"}).out;

  r = RunPondrel({"--json", "service", "stop"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "{\"state\":\"stopped\",\"changed\":true}\n");
  started_ = false;
  EXPECT_EQ(RunPondrel({"service", "status"}).status, 3);
}

TEST_F(CliServiceTest, WaitingForARunEndsWithItsResult) {
  // A camera that wants a password the profile does not have: the run fails.
  CamsimProcess cam({"--pictures", "4", "--user", "demo", "--password", "pw"});
  ASSERT_TRUE(cam.ok()) << cam.Output();
  ASSERT_EQ(RunPondrel({"server", "add", "cam", "--image-dir", env_.Dir() + "/pictures", "--host",
                        "127.0.0.1", "--port", std::to_string(cam.port())})
                .status,
            0);
  ASSERT_EQ(RunPondrel({"task", "add", "t", "--start", "2002/01/01 00:00"}).status, 0);
  StartService();
  CliResult r = RunPondrel({"task", "run", "t", "--wait"});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_EQ(r.out.substr(0, 7), "Failed(") << r.out;
  EXPECT_NE(r.out.find(": end code "), std::string::npos) << r.out;
  r = RunPondrel({"--json", "task", "run", "t", "--wait"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("\"result\":\"failed\""), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"end_time\":\""), std::string::npos) << r.out;

  // A slow camera: the run is aborted, and abort --wait ends with it.
  CamsimProcess slow({"--pictures", "4", "--picture-size", "2000", "--fault", "data=trickle:500"});
  ASSERT_TRUE(slow.ok()) << slow.Output();
  ASSERT_EQ(RunPondrel({"server", "add", "slow", "--image-dir", env_.Dir() + "/slow", "--host",
                        "127.0.0.1", "--port", std::to_string(slow.port())})
                .status,
            0);
  ASSERT_EQ(
      RunPondrel({"task", "add", "s", "--server", "slow", "--start", "2002/01/01 00:00"}).status,
      0);
  ASSERT_EQ(RunPondrel({"task", "run", "s"}).status, 0);
  bool running = false;
  for (int i = 0; i < 300 && !running; ++i) {
    running = ReadTask("s").ActState == kStateRunning;
    if (!running) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_TRUE(running);
  // The service can abort a run only once its downloader has reported in; by the time the
  // first picture's day directory exists it has.
  for (int i = 0; i < 500 && !std::filesystem::exists(env_.Dir() + "/slow/image"); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_NE(RunPondrel({"task", "list"}).out.find("\trunning\n"), std::string::npos);
  EXPECT_EQ(RunPondrel({"task", "run", "s"}).status, 1);  // already running
  r = RunPondrel({"task", "abort", "s", "--wait"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out.substr(0, 8), "Aborted(") << r.out;
}

TEST_F(CliServiceTest, StartSaysWhyTheServiceCouldNotStart) {
  // Without ROOT the service cannot run: said at once, naming the registry file.
  {
    ScopedTestEnv no_root(false);
    CliResult r = RunPondrel({"service", "start"});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("\"ROOT\" is not set"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("waiting for"), std::string::npos) << r.err;
  }
  // A host that refuses with its own words: they are passed on as soon as it ends.
  const std::string host = env_.Path("zoricsm");
  WriteFile(host, "#!/bin/sh\necho 'zoricsm: The unit kestova.service is masked.' >&2\nexit 1\n");
  ASSERT_EQ(::chmod(host.c_str(), 0755), 0);
  tasdek::ServiceControl control;
  control.SetHostPath(host);
  std::string reason;
  int polls = 0;
  EXPECT_EQ(control.StartServiceWaiting(
                [&] {
                  std::this_thread::sleep_for(std::chrono::milliseconds(50));
                  return ++polls < 200;
                },
                &reason),
            tasdek::kServiceStartFailed);
  EXPECT_EQ(reason, "The unit kestova.service is masked.");
  EXPECT_LT(polls, 200);
  // A host that ends with nothing to say: its status is the reason.
  WriteFile(host, "#!/bin/sh\nexit 4\n");
  EXPECT_EQ(control.StartServiceWaiting([] { return true; }, &reason), tasdek::kServiceStartFailed);
  EXPECT_NE(reason.find("ended with status 4"), std::string::npos) << reason;
}

TEST_F(CliServiceTest, InstallAndRemoveRegisterTheServiceHost) {
  EXPECT_EQ(RunPondrel({"service", "status"}).out, "stopped (not installed as a system service)\n");
  CliResult r = RunPondrel({"service", "install"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(RunPondrel({"service", "status"}).out, "stopped (installed as a system service)\n");
  r = RunPondrel({"service", "remove"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(RunPondrel({"service", "status"}).out, "stopped (not installed as a system service)\n");
}

TEST_F(CliServiceTest, EditsWhileTheServiceRunsTheTaskAreNeverLost) {
  // A slow camera keeps each run going for about two seconds, so that edits meet both the
  // running and the waiting task.
  CamsimProcess cam({"--pictures", "4", "--picture-size", "2000", "--fault", "data=trickle:4000"});
  ASSERT_TRUE(cam.ok()) << cam.Output();
  AddServerAndBusyTask(cam);
  if (HasFatalFailure()) return;
  StartService();

  auto wait_for = [this](bool running) {
    for (int i = 0; i < 300; ++i) {
      if ((ReadTask("busy").ActState == kStateRunning) == running) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  };
  int last_edit = 0;
  for (int round = 1; round <= 3; ++round) {
    if (round > 1) {
      ASSERT_TRUE(cam.Control("add=4"));  // something new to fetch
    }
    ASSERT_EQ(RunPondrel({"task", "run", "busy"}).status, 0);
    ASSERT_TRUE(wait_for(true)) << "the run did not start:\n"
                                << RunPondrel({"log", "show"}).out
                                << RunPondrel({"task", "show", "busy"}).out;
    // While it runs, an edit is refused and leaves the stored task alone.
    CliResult r = RunPondrel({"task", "edit", "busy", "--retry-times", "9"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "pondrel: task 'busy': You can not modify a running task's settings.\n");
    EXPECT_EQ(ReadTask("busy").RetryCnt, last_edit);
    ASSERT_TRUE(wait_for(false)) << "the run did not end";
    const CKVTask ended = ReadTask("busy");
    EXPECT_EQ(ended.ActResult, kResultSucceeded) << "EndCode " << ended.EndCode;
    // The service's write of the result kept the settings of the edit before the run.
    EXPECT_EQ(ended.RetryCnt, last_edit);
    // Once it has ended, the edit goes through, complete.
    last_edit = round + 1;
    r = RunPondrel(
        {"task", "edit", "busy", "--retry-times", std::to_string(last_edit), "--retry-every", "2"});
    ASSERT_EQ(r.status, 0) << r.err;
    const CKVTask edited = ReadTask("busy");
    EXPECT_EQ(edited.RetryCnt, last_edit);
    EXPECT_EQ(edited.RetryInterval, 2);
    EXPECT_EQ(edited.ActResult, kResultNone);
  }
  // Requests and edits in quick succession: whichever wins, the file holds one complete
  // section and the last accepted edit.
  for (int i = 0; i < 5; ++i) {
    RunPondrel({"task", "run", "busy"});
    CliResult r = RunPondrel({"task", "edit", "busy", "--retry-times", std::to_string(i + 1)});
    if (r.status == 0) last_edit = i + 1;
  }
  ASSERT_TRUE(wait_for(false));
  EXPECT_EQ(ReadTask("busy").RetryCnt, last_edit);
  const std::string file = ReadFile(env_.Root() + "/schedule.ini");
  EXPECT_EQ(file.find("[busy]"), file.rfind("[busy]")) << "the task's section is doubled";
}

// Two real accounts beside root: a member of the installation's group and an outsider. The
// test's installation is shared the way the system one is: its runtime directory belongs to
// root and the group, mode 2770, and so do ROOT and the registry file.
class CliAccountsTest : public CliServiceTest {
 protected:
  void SetUp() override {
    CliServiceTest::SetUp();
    if (IsSkipped()) return;
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to create the test accounts (useradd)";
    const std::string tag = std::to_string(::getpid() % 100000);
    group_ = "pdtg" + tag;
    member_ = "pdtm" + tag;
    outsider_ = "pdto" + tag;
    ASSERT_EQ(Sh("groupadd " + group_), 0);
    made_group_ = true;
    ASSERT_EQ(Sh("useradd -M -N -g nogroup -s /usr/sbin/nologin -G " + group_ + " " + member_), 0);
    made_member_ = true;
    ASSERT_EQ(Sh("useradd -M -N -g nogroup -s /usr/sbin/nologin " + outsider_), 0);
    made_outsider_ = true;
    const group* g = ::getgrnam(group_.c_str());
    ASSERT_NE(g, nullptr);
    const gid_t gid = g->gr_gid;
    // The test's directory is traversable; what lies in it is the group's.
    ASSERT_EQ(::chmod(env_.Dir().c_str(), 0755), 0);
    for (const std::string& p : {env_.RuntimeDir(), env_.Root(), env_.Path("system.reg")}) {
      ASSERT_EQ(::chown(p.c_str(), 0, gid), 0) << p;
    }
    ASSERT_EQ(::chmod(env_.RuntimeDir().c_str(), 02770), 0);
    ASSERT_EQ(::chmod(env_.Root().c_str(), 02770), 0);
    ASSERT_EQ(::chmod(env_.Path("system.reg").c_str(), 0660), 0);
  }
  void TearDown() override {
    CliServiceTest::TearDown();
    if (made_outsider_) Sh("userdel " + outsider_);
    if (made_member_) Sh("userdel " + member_);
    if (made_group_) Sh("groupdel " + group_);
  }
  // Everything the service's first run made in ROOT becomes the group's as well.
  void ShareRoot() {
    ASSERT_EQ(Sh("chgrp -R " + group_ + " " + env_.Root() + " && chmod -R g+rwX " + env_.Root()),
              0);
  }

  static int Sh(const std::string& command) {
    return RunProgram("/bin/sh", {"-c", command}).status;
  }
  // Runs `body` in a child process under `user` (its groups included); its exit status.
  static int As(const std::string& user, const std::function<int()>& body) {
    const passwd* pw = ::getpwnam(user.c_str());
    if (!pw) return -1;
    const uid_t uid = pw->pw_uid;
    const gid_t gid = pw->pw_gid;
    return RunInChild([&] {
      if (::initgroups(user.c_str(), gid) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0)
        return 125;
      return body();
    });
  }
  // `program` with `args` run to its end under `user`, started by a copy of the test that has
  // become that user; its exit status (127: it could not be started).
  static int RunAs(const std::string& user, const std::string& program,
                   const std::vector<std::string>& args, const ProcessOptions& options = {}) {
    return As(user, [&] {
      TestProcess p;
      if (!p.Start(program, args, options)) return 127;
      return p.Wait();
    });
  }
  // The pondrel program under `user`.
  CliResult PondrelAs(const std::string& user, const std::vector<std::string>& args) {
    const std::string out = env_.Path("as.out"), err = env_.Path("as.err");
    CliResult r;
    // Opened here, as root, and handed down.
    const UniqueFd o(::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    const UniqueFd e(::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (!o || !e) {
      r.status = 124;
    } else {
      ProcessOptions streams;
      streams.fds = {{o.get(), 1}, {e.get(), 2}};
      r.status = RunAs(user, StageDir() + "/pondrel", args, streams);
    }
    r.out = ReadFile(out);
    r.err = ReadFile(err);
    ::unlink(out.c_str());
    ::unlink(err.c_str());
    return r;
  }
  bool Running() { return RunPondrel({"service", "status"}).status == 0; }  // 3: stopped
  bool WaitState(const std::string& task, int state) {
    for (int i = 0; i < 300; ++i) {
      if (ReadTask(task).ActState == state) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  std::string group_, member_, outsider_;
  bool made_group_ = false, made_member_ = false, made_outsider_ = false;
};

TEST_F(CliAccountsTest, AnOutsiderIsRefusedEverythingAGroupMemberMayDo) {
  // A slow camera keeps the run going long enough to abort it.
  CamsimProcess cam({"--pictures", "4", "--picture-size", "2000", "--fault", "data=trickle:4000"});
  ASSERT_TRUE(cam.ok()) << cam.Output();
  AddServerAndBusyTask(cam);
  if (HasFatalFailure()) return;
  ShareRoot();

  // A squatter's own service host cannot take the installation's names, so root's start
  // afterwards starts the real service, and says so truthfully.
  CliResult r = PondrelAs(outsider_, {"service", "start"});
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.err.find(env_.RuntimeDir()), std::string::npos) << r.err;
  const std::string zoricsm = StageDir() + "/zoricsm";
  EXPECT_EQ(RunAs(outsider_, zoricsm, {"-start"}),
            3);  // the host's exit code for a refused runtime directory
  EXPECT_FALSE(Running());
  StartService();
  EXPECT_TRUE(Running());
  ShareRoot();

  // The outsider can neither stop it, nor ask it to run or abort a task, nor reach its
  // mailslot, nor take, probe or fake its objects.
  r = PondrelAs(outsider_, {"service", "stop"});
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.err.find(env_.RuntimeDir()), std::string::npos) << r.err;
  r = PondrelAs(outsider_, {"service", "status"});
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.err.find(env_.RuntimeDir()), std::string::npos) << r.err;
  EXPECT_NE(PondrelAs(outsider_, {"task", "run", "busy"}).status, 0);
  EXPECT_EQ(As(outsider_,
               [] {
                 CKVMailSlot slot(kServiceMailslot);
                 return slot.Send(std::string("ZORIC:02:busy")) + 10 * slot.Send(std::string());
               }),
            0);
  EXPECT_EQ(As(outsider_,
               [] {
                 return NamedObject::Create("VeltaZoricFileAccMutexName").held() +
                        2 * NamedObject::Exists("ORVANE_REQUEST_STOP_KESTOVA") +
                        4 * NamedObject::Signal("ORVANE_REQUEST_STOP_KESTOVA");
               }),
            0);
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_TRUE(Running());
  EXPECT_NE(ReadTask("busy").ActState, kStateRunning);

  // A member runs the task; the outsider cannot abort it; the member can.
  r = PondrelAs(member_, {"task", "run", "busy"});
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_TRUE(WaitState("busy", kStateRunning));
  EXPECT_NE(PondrelAs(outsider_, {"task", "abort", "busy"}).status, 0);
  EXPECT_EQ(As(outsider_,
               [] { return CKVMailSlot(kServiceMailslot).Send(std::string("ZORIC:03:busy")); }),
            0);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(ReadTask("busy").ActState, kStateRunning);
  r = PondrelAs(member_, {"task", "abort", "busy"});
  EXPECT_EQ(r.status, 0) << r.err;
  const CKVTask t = WaitForResult("busy");
  EXPECT_EQ(t.ActResult, kResultAborted) << "EndCode " << t.EndCode;

  // The member takes a lock (and sees it taken), stops the service and starts it again.
  EXPECT_EQ(As(member_,
               [] {
                 NamedObject lock = NamedObject::Create("VeltaZoricFileAccMutexName");
                 return lock.held() + 2 * NamedObject::Exists("VeltaZoricFileAccMutexName");
               }),
            3);
  r = PondrelAs(member_, {"service", "stop"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(Running());
  r = PondrelAs(member_, {"service", "start"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Running());
}
}  // namespace
}  // namespace pondrel::test
