// pondrel with the real service (zoricsm + libkestova.so), downloader (KVdl + libfetchko.so)
// and camera simulator.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include <sys/stat.h>

#include "taskmodel/kvtask.h"
#include "taskview/service_control.h"
#include "tests/camsim/camsim_process.h"
#include "tests/cli/run_pondrel.h"
#include "tests/support/test_env.h"

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
    // Whatever still runs with this test's private IPC namespace was started by this test
    // (the detached service, a downloader); it is ended by pid.
    const std::string mark = "PONDREL_IPC_NAMESPACE=" + env_.Namespace();
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

  void StartService() {
    CliResult r = RunPondrel({"service", "start"});
    ASSERT_EQ(r.status, 0) << r.err;
    started_ = true;
  }

  CKVTask ReadTask(const std::string& name) {
    CKVTaskMgr mgr;
    CKVTask t;
    CKVTaskFileLock lock(mgr, -1);
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
  CliResult r = RunPondrel({"server", "add", "cam", "--image-dir", pictures, "--host",
                            "127.0.0.1", "--port", std::to_string(cam.port()), "--admin-account",
                            "demo", "--password-stdin"},
                           "pw\n");
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_EQ(RunPondrel({"task", "add", "collect", "--cycle", "once", "--start",
                        "2002/01/01 00:00"})
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
  ASSERT_EQ(RunPondrel({"task", "add", "s", "--server", "slow", "--start", "2002/01/01 00:00"})
                .status,
            0);
  ASSERT_EQ(RunPondrel({"task", "run", "s"}).status, 0);
  bool running = false;
  for (int i = 0; i < 300 && !running; ++i) {
    running = ReadTask("s").ActState == kStateRunning;
    if (!running) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_TRUE(running);
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
  tasdek::CServiceControl control;
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
  EXPECT_EQ(control.StartServiceWaiting([] { return true; }, &reason),
            tasdek::kServiceStartFailed);
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
  ASSERT_EQ(RunPondrel({"server", "add", "cam", "--image-dir", env_.Dir() + "/pictures",
                        "--host", "127.0.0.1", "--port", std::to_string(cam.port())})
                .status,
            0);
  ASSERT_EQ(RunPondrel({"task", "add", "busy", "--start", "2002/01/01 00:00"}).status, 0);
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
    ASSERT_TRUE(wait_for(true)) << "the run did not start:\n" << RunPondrel({"log", "show"}).out
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
    r = RunPondrel({"task", "edit", "busy", "--retry-times", std::to_string(last_edit),
                    "--retry-every", "2"});
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

}  // namespace
}  // namespace pondrel::test
