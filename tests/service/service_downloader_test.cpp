// The service with the real launcher and downloader against the camera simulator: a run that
// succeeds, and a run aborted through the mailslot. Skipped when the downloader library or the
// simulator is not built.
#include <filesystem>

#include "tests/service/service_fixture.h"
#include "tests/support/test_process.h"

namespace pondrel::test {
namespace {

class WithDownloader : public ServiceFixture {
 protected:
  void SetUp() override {
    if (!FileExists(StageDir() + "/libfetchko.so") || !FileExists(StageDir() + "/camsim") ||
        !FileExists(StageDir() + "/KVdl"))
      GTEST_SKIP() << "downloader or camera simulator not built";
    // The real launcher: it loads libfetchko.so from its own (the stage) directory.
    ::unlink((launcher_dir_ + "/KVdl").c_str());
    ASSERT_EQ(::symlink((StageDir() + "/KVdl").c_str(), (launcher_dir_ + "/KVdl").c_str()), 0);
    clock_.Set(std::time(nullptr));  // the downloader keeps its own, real time
  }
  void TearDown() override { camsim_.Stop(); }
  // Starts the simulator; its port.
  int StartCamsim(const std::vector<std::string>& extra) {
    std::string port_file = env_.Path("camsim.port");
    std::vector<std::string> args{"--port-file", port_file};
    args.insert(args.end(), extra.begin(), extra.end());
    EXPECT_TRUE(camsim_.Start(StageDir() + "/camsim", args)) << camsim_.Error();
    std::string port;
    WaitUntil([&] { return !(port = ReadFile(port_file)).empty(); });
    return std::atoi(port.c_str());
  }
  Guid AddCamera(int port) {
    CKVSrvMgr mgr;
    EXPECT_TRUE(mgr.InitWithDirectory(env_.Root()));
    CKVSrvInfo info;
    (void)info.SetServerName("sim");
    (void)info.SetImageDirectory(ImageDir("sim"));
    (void)info.SetHostName("127.0.0.1");
    (void)info.SetHttpPort(std::to_string(port));
    EXPECT_EQ(mgr.Add(&info), SrvResult::SRV_OK);
    return info.GetId();
  }
  TestProcess camsim_;
};

TEST_F(WithDownloader, RunSucceedsAndItsLogIsMerged) {
  Guid srv = AddCamera(StartCamsim({"--pictures", "5"}));
  WriteTask(MakeTask("fetch", srv, 600));
  StartService();
  Send("ZORIC:02:fetch");
  Tick();
  ASSERT_TRUE(WaitUntil(
      [&] {
        return ReadTask("fetch").ActState == kStateWaiting &&
               ReadTask("fetch").ActResult != kResultNone;
      },
      60000));
  CKVTask r = ReadTask("fetch");
  EXPECT_EQ(r.EndCode, 0) << ServiceLog();
  EXPECT_EQ(r.ActResult, kResultSucceeded);
  EXPECT_FALSE(FileExists(ImageDir("sim") + "/dl.log"));
  EXPECT_NE(ServiceLog().find("<fetch><sim>"), std::string::npos);
}

TEST_F(WithDownloader, AbortThroughTheMailslotEndsTheRealDownloaderWith100) {
  Guid srv = AddCamera(StartCamsim({"--pictures", "200", "--fault", "data=trickle:2000"}));
  WriteTask(MakeTask("slow", srv, 600));
  StartService();
  Send("ZORIC:02:slow");
  Tick();
  // The downloader registers its process id; then the abort reaches it.
  ASSERT_TRUE(WaitUntil(
      [&] {
        Tick();
        ProcEntry* e = service_->ProcTable().At(0);
        return e && e->window.load() != 0;
      },
      30000));
  Send("ZORIC:03:slow");
  Tick();
  ASSERT_TRUE(WaitUntil([&] { return ReadTask("slow").ActState == kStateWaiting; }, 60000));
  CKVTask r = ReadTask("slow");
  EXPECT_EQ(r.EndCode, 100) << ServiceLog();
  EXPECT_EQ(r.ActResult, kResultAborted);
}

}  // namespace
}  // namespace pondrel::test
