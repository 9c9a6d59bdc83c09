// The downloader as the service runs it: the launcher KVdl in a process of its own, the whole
// option text as one argument, the result on the PONDREL_RESULT_FD pipe, the "ZORIC:04:"
// report on the service's mailslot, and SIGTERM as the close request.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "common/mailslot.h"
#include "common/unique_fd.h"
#include "tests/camsim/camsim_process.h"
#include "tests/downloader/run_fixture.h"
#include "tests/support/test_process.h"

namespace pondrel::dl {
namespace {

using test::CountJpgs;

using pondrel::test::CamsimProcess;
using pondrel::test::ProcessOptions;
using pondrel::test::TestProcess;

// The launcher as the service starts it: the option text as its one argument, the result pipe
// as a descriptor named by PONDREL_RESULT_FD.
struct Launched {
  TestProcess process;
  UniqueFd result;
};

void StartKvdl(const std::string& options, Launched* l) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return;
  l->result.reset(fds[0]);
  const UniqueFd write_end(fds[1]);
  ProcessOptions how;
  how.argv0 = "KVdl";
  how.fds = {{write_end.get(), 3}};
  how.env = {"PONDREL_RESULT_FD=3"};
  (void)l->process.Start(test::StageDir() + "/KVdl", {options}, how);
}

// Waits for the launcher; returns the text it wrote on the result pipe and its exit status
// (-1 when a signal ended it).
std::string Finish(Launched& l, int* exit_code) {
  std::string text;
  char buf[64];
  ssize_t n;
  while ((n = ::read(l.result.get(), buf, sizeof buf)) > 0)
    text.append(buf, static_cast<std::size_t>(n));
  l.result.reset();
  const int status = l.process.Wait();
  *exit_code = l.process.Exited() ? status : -1;
  return text;
}

bool KvdlBuilt() { return ::access((test::StageDir() + "/KVdl").c_str(), X_OK) == 0; }

TEST(KvdlProcess, RunReportsItsPidAndResult) {
  if (!KvdlBuilt()) GTEST_SKIP() << "KVdl is not built";
  CamsimProcess cam({"--pictures", "6"});
  ASSERT_TRUE(cam.ok()) << cam.Output();
  test::DownloaderWorld world;
  test::TestProfile profile;
  profile.port = cam.port();
  const std::string id = world.AddProfile(profile);
  CKVMailSlot service;
  ASSERT_EQ(1, service.Create(kServiceMailslot));

  Launched l;
  StartKvdl(world.CommandLine(id), &l);
  ASSERT_TRUE(l.process.started()) << l.process.Error();
  int exit_code = -1;
  EXPECT_EQ("0\n", Finish(l, &exit_code));
  EXPECT_EQ(0, exit_code);
  EXPECT_EQ(6, CountJpgs(world.ImageDir()));
  EXPECT_EQ(1u, world.LogLines("Download is completed: 6 picture(s)").size());

  service.Pump();
  char message[kMailslotMessageMax];
  const int len = service.Read(message, sizeof message);
  ASSERT_GT(len, 0);
  EXPECT_EQ("ZORIC:04:task1:" + std::to_string(l.process.pid()), std::string(message));
}

TEST(KvdlProcess, SigtermEndsTheRunWith100) {
  if (!KvdlBuilt()) GTEST_SKIP() << "KVdl is not built";
  // The first picture trickles in slowly: the abort is noticed after the next chunk.
  CamsimProcess cam(
      {"--pictures", "3", "--picture-size", "60000", "--fault", "data=trickle:3000*1"});
  ASSERT_TRUE(cam.ok()) << cam.Output();
  test::DownloaderWorld world;
  test::TestProfile profile;
  profile.port = cam.port();
  const std::string id = world.AddProfile(profile);
  CKVMailSlot service;
  ASSERT_EQ(1, service.Create(kServiceMailslot));

  Launched l;
  StartKvdl(world.CommandLine(id), &l);
  ASSERT_TRUE(l.process.started()) << l.process.Error();
  // As the service does: wait for the report, then send the close request to the pid in it.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (cam.Stat("faults_applied") < 1 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  service.Pump();
  char message[kMailslotMessageMax];
  ASSERT_GT(service.Read(message, sizeof message), 0);
  const std::string report(message);
  const pid_t reported = static_cast<pid_t>(std::stoul(report.substr(report.rfind(':') + 1)));
  ASSERT_EQ(l.process.pid(), reported);
  ::kill(reported, SIGTERM);
  int exit_code = -1;
  EXPECT_EQ("100\n", Finish(l, &exit_code));
  EXPECT_EQ(100, exit_code);
  EXPECT_EQ(1u, world.LogLines("<warning><task1><cam1> Download has aborted. (D003)").size());
  EXPECT_EQ(0, CountJpgs(world.ImageDir()));
}

// A launcher killed in the middle of a picture leaves no picture file behind, empty or
// partial: the body is renamed into place only when whole.
TEST(KvdlProcess, KilledMidPictureLeavesNoPictureFile) {
  if (!KvdlBuilt()) GTEST_SKIP() << "KVdl is not built";
  CamsimProcess cam({"--pictures", "3", "--picture-size", "60000", "--fault", "data=stall:30*1"});
  ASSERT_TRUE(cam.ok()) << cam.Output();
  test::DownloaderWorld world;
  test::TestProfile profile;
  profile.port = cam.port();
  const std::string id = world.AddProfile(profile);

  Launched l;
  StartKvdl(world.CommandLine(id), &l);
  ASSERT_TRUE(l.process.started()) << l.process.Error();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (cam.Stat("faults_applied") < 1 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  // Half the body is out; give the launcher a moment to take it in.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  l.process.Signal(SIGKILL);
  int exit_code = 0;
  Finish(l, &exit_code);
  EXPECT_EQ(-1, exit_code);
  EXPECT_EQ(0, CountJpgs(world.ImageDir()));
}

}  // namespace
}  // namespace pondrel::dl
