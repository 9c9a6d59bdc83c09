// One connection carries a run's requests: nothing of one request leaks into the next, and a
// server that closes or drops the connection gets a new one without the run noticing.
#include <gtest/gtest.h>

#include "downloader/download_run.h"
#include "downloader/result_codes.h"
#include "tests/camsim/camsim_process.h"
#include "tests/downloader/run_fixture.h"

namespace pondrel::dl {
namespace {

using pondrel::test::CamsimProcess;
using test::CountJpgs;
using test::DownloaderWorld;
using test::TestProfile;

// Every camera request needs the account; deletion needs it too.
CamsimProcess GuardedCamera(int pictures, std::vector<std::string> faults = {}) {
  std::vector<std::string> args = {"--pictures",       std::to_string(pictures),
                                   "--user",           "admin",
                                   "--password",       "secret",
                                   "--admin-user",     "admin",
                                   "--admin-password", "secret"};
  for (const std::string& f : faults) {
    args.push_back("--fault");
    args.push_back(f);
  }
  return CamsimProcess(args);
}

RunResult RunAgainst(const CamsimProcess& cam, DownloaderWorld* world) {
  TestProfile profile;
  profile.port = cam.port();
  profile.delete_on_server = true;
  const std::string id = world->AddProfile(profile);
  return world->Run(world->CommandLine(id), world->Settings());
}

TEST(ConnectionReuse, OneConnectionCarriesTheRunWithTheAccountOnEveryRequest) {
  CamsimProcess cam = GuardedCamera(20);
  ASSERT_TRUE(cam.ok()) << cam.Output();
  DownloaderWorld world;
  ASSERT_EQ(RunResult::kOk, RunAgainst(cam, &world)) << world.Log();
  EXPECT_EQ(20, CountJpgs(world.ImageDir()));
  // Status, list, 20 pictures and three deletion batches, all with the account.
  auto stats = cam.Stats();
  EXPECT_EQ("1 1 20 3", stats["status_requests"] + " " + stats["list_requests"] + " " +
                            stats["data_requests"] + " " + stats["rpdel_requests"]);
  EXPECT_EQ("0", stats["no_authorization"]);
  EXPECT_EQ("0", stats["auth_failures"]);
  EXPECT_EQ("8,8,4", stats["rpdel_batches"]);
  EXPECT_EQ("1", stats["connections"]);
}

TEST(ConnectionReuse, ServerClosingAfterEveryAnswer) {
  CamsimProcess cam = GuardedCamera(12, {"data=close", "rpdel=close"});
  ASSERT_TRUE(cam.ok()) << cam.Output();
  DownloaderWorld world;
  ASSERT_EQ(RunResult::kOk, RunAgainst(cam, &world)) << world.Log();
  EXPECT_EQ(12, CountJpgs(world.ImageDir()));
  EXPECT_EQ("8,4", cam.Stats()["rpdel_batches"]);
  EXPECT_EQ(0, cam.Stat("auth_failures"));
  // Status and list share the first connection; every later answer closed its own.
  EXPECT_EQ(14, cam.Stat("connections"));
  EXPECT_EQ(0u, world.LogLines("(D011)").size());
}

TEST(ConnectionReuse, KeptConnectionDroppedMidRunIsReplaced) {
  // Three answers in the middle of the run leave the connection dead without a word.
  CamsimProcess cam = GuardedCamera(16, {"data=hangup*3"});
  ASSERT_TRUE(cam.ok()) << cam.Output();
  DownloaderWorld world;
  ASSERT_EQ(RunResult::kOk, RunAgainst(cam, &world)) << world.Log();
  EXPECT_EQ(16, CountJpgs(world.ImageDir()));
  EXPECT_EQ("8,8", cam.Stats()["rpdel_batches"]);
  EXPECT_EQ(0, cam.Stat("auth_failures"));
  EXPECT_EQ(0, cam.Stat("no_authorization"));
  EXPECT_EQ(4, cam.Stat("connections"));
  EXPECT_EQ(0u, world.LogLines("(D011)").size());
  EXPECT_EQ(1u,
            world.LogLines("Download is completed: 16 picture(s) (16 picture(s)  deleted,").size());
}

// Pictures of 1 MiB against a volume whose free space falls by what the run stores: the
// figure is refreshed in time to stop exactly at the need, however far above it the run began.
TEST(ConnectionReuse, FreeSpaceRuleHoldsExactlyAtItsLimit) {
  CamsimProcess cam({"--pictures", "60", "--picture-size", "1048576"});
  ASSERT_TRUE(cam.ok()) << cam.Output();
  DownloaderWorld world;
  TestProfile profile;
  profile.port = cam.port();
  const std::string id = world.AddProfile(profile);
  RunSettings settings = world.Settings();
  const std::string dir = world.ImageDir();
  constexpr std::uint64_t kTotal = 100ull << 30;  // the need is 10 %: 10,240 MB
  constexpr std::uint64_t kNeed = kTotal / 10;
  // Room for 40.5 pictures beyond the need: the 41st still fits, the 42nd does not.
  constexpr std::uint64_t kBase = kNeed + (81ull << 19);
  settings.disk_space = [dir](const std::string&, std::uint64_t* free_bytes, std::uint64_t* total) {
    *total = kTotal;
    *free_bytes = kBase - test::ImageBytes(dir);
    return true;
  };
  EXPECT_EQ(RunResult::kInsufficientSpace, world.Run(world.CommandLine(id), settings))
      << world.Log();
  EXPECT_EQ(41, CountJpgs(dir));
  EXPECT_EQ(1u, world
                    .LogLines("<error><task1><cam1> Download is aborted because of insufficient "
                              "free space.[10239MB remaining, 10240MB needs] (D029)")
                    .size());
}

}  // namespace
}  // namespace pondrel::dl
