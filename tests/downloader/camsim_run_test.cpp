// Whole download runs against the camera server simulator (camsim) over loopback.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "downloader/download_run.h"
#include "downloader/picture_list.h"
#include "downloader/result_codes.h"
#include "imagestore/image_index.h"
#include "tests/camsim/camsim_process.h"
#include "tests/downloader/run_fixture.h"

namespace pondrel::dl {
namespace {

using test::CountJpgs;

using pondrel::test::CamsimProcess;
using test::DownloaderWorld;
using test::TestProfile;

std::vector<std::string> ListedKeys(const std::string& image_dir) {
  std::vector<std::string> keys;
  std::ifstream in(image_dir + "/info/pict.lst");
  std::string line;
  while (std::getline(in, line)) {
    PictureListEntry e;
    if (ParsePictureListLine(line, &e)) keys.emplace_back(e.key);
  }
  return keys;
}

TestProfile Profile(const CamsimProcess& cam, bool delete_on_server = false) {
  TestProfile profile;
  profile.port = cam.port();
  profile.delete_on_server = delete_on_server;
  return profile;
}

TEST(CamsimRun, PicturesLandAndAreIndexed) {
  CamsimProcess cam({"--pictures", "12", "--picture-size", "5000"});
  ASSERT_TRUE(cam.ok()) << cam.Output();
  DownloaderWorld world;
  const std::string id = world.AddProfile(Profile(cam));
  ASSERT_EQ(RunResult::kOk, world.Run(world.CommandLine(id), world.Settings())) << world.Log();
  const auto keys = ListedKeys(world.ImageDir());
  ASSERT_EQ(12u, keys.size());
  for (const auto& key : keys) {
    EXPECT_EQ(1, ContainsImage(world.ImageDir() + "/info", key)) << key;
    EXPECT_TRUE(std::filesystem::exists(ImagePath(world.ImageDir(), key))) << key;
  }
  EXPECT_EQ(12, CountJpgs(world.ImageDir()));
  EXPECT_EQ(1u, world.LogLines("Download has started. (D001)").size());
  EXPECT_EQ(1u, world.LogLines("Download is completed: 12 picture(s) (no picture deleted,").size());
  EXPECT_EQ("DuzozOriradoro", cam.Stats()["last_user_agent"]);
  EXPECT_EQ("admin:secret", cam.Stats()["last_credentials"]);
}

TEST(CamsimRun, SeventeenPicturesAreDeletedInBatchesOf8And8And1) {
  CamsimProcess cam({"--pictures", "17", "--admin-user", "admin", "--admin-password", "secret"});
  ASSERT_TRUE(cam.ok()) << cam.Output();
  DownloaderWorld world;
  const std::string id = world.AddProfile(Profile(cam, true));
  ASSERT_EQ(RunResult::kOk, world.Run(world.CommandLine(id), world.Settings())) << world.Log();
  EXPECT_EQ("8,8,1", cam.Stats()["rpdel_batches"]);
  EXPECT_EQ(0, cam.Stat("pictures"));
  EXPECT_EQ(1u, world.LogLines("17 picture(s) (17 picture(s)  deleted,").size());
}

TEST(CamsimRun, LoginFailureOnStatusEndsWith8003) {
  CamsimProcess cam({"--pictures", "3", "--user", "viewer", "--password", "other"});
  ASSERT_TRUE(cam.ok()) << cam.Output();
  DownloaderWorld world;
  const std::string id = world.AddProfile(Profile(cam));
  EXPECT_EQ(RunResult::kHttpUnauthorized, world.Run(world.CommandLine(id), world.Settings()));
  EXPECT_EQ(1u, world.LogLines("<error><task1><cam1> Failed to login. (D028)").size());
  EXPECT_EQ(1, cam.Stat("status_requests"));
}

TEST(CamsimRun, ForbiddenPictureIsSkipped) {
  CamsimProcess cam({"--pictures", "5", "--fault", "data=code:403*1"});
  ASSERT_TRUE(cam.ok()) << cam.Output();
  DownloaderWorld world;
  const std::string id = world.AddProfile(Profile(cam));
  ASSERT_EQ(RunResult::kOk, world.Run(world.CommandLine(id), world.Settings())) << world.Log();
  EXPECT_EQ(4, CountJpgs(world.ImageDir()));
  EXPECT_EQ(5, cam.Stat("data_requests"));
  EXPECT_EQ(0u, world.LogLines("(D011)").size());
}

TEST(CamsimRun, ErrorBodyAndOversizedPictureAreHandled) {
  // A body of "error" is not a picture; a picture longer than 2,000,000 bytes is stored whole.
  CamsimProcess cam({"--pictures", "3", "--fault", "data=error*1"});
  ASSERT_TRUE(cam.ok()) << cam.Output();
  std::string answer;
  ASSERT_TRUE(cam.Control("picture-size=2500000\nadd=1", &answer)) << answer;
  DownloaderWorld world;
  const std::string id = world.AddProfile(Profile(cam));
  ASSERT_EQ(RunResult::kOk, world.Run(world.CommandLine(id), world.Settings())) << world.Log();
  const auto keys = ListedKeys(world.ImageDir());
  ASSERT_EQ(4u, keys.size());
  EXPECT_FALSE(std::filesystem::exists(ImagePath(world.ImageDir(), keys[0])));
  EXPECT_EQ(2500000u, std::filesystem::file_size(ImagePath(world.ImageDir(), keys[3])));
  EXPECT_EQ(1, ContainsImage(world.ImageDir() + "/info", keys[3]));
}

TEST(CamsimRun, StalledBodyIsCutByTheWatchdog) {
  CamsimProcess cam({"--pictures", "3", "--picture-size", "60000", "--fault", "data=stall:120*1"});
  ASSERT_TRUE(cam.ok()) << cam.Output();
  DownloaderWorld world;
  const std::string id = world.AddProfile(Profile(cam));
  RunSettings settings = world.Settings();
  settings.stall_limit_seconds = 1;
  const RunResult result = world.Run(world.CommandLine(id), settings);
  EXPECT_TRUE(result == RunResult::kHttpError || result == RunResult::kHttpTimeout)
      << ResultCode(result);
  EXPECT_EQ(1u, world.LogLines("<error><task1><cam1> Communication error (D011)").size());
  EXPECT_EQ(0, CountJpgs(world.ImageDir()));
}

TEST(CamsimRun, SigtermAbortsWith100) {
  CamsimProcess cam({"--pictures", "3", "--picture-size", "60000", "--fault", "data=stall:120*1"});
  ASSERT_TRUE(cam.ok()) << cam.Output();
  DownloaderWorld world;
  const std::string id = world.AddProfile(Profile(cam));
  RunSettings settings = world.Settings();
  settings.close_on_sigterm = true;
  settings.abort_stall_seconds = 0;
  std::thread service([&] {
    while (cam.Stat("faults_applied") < 1)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ::kill(::getpid(), SIGTERM);
  });
  EXPECT_EQ(RunResult::kAborted, world.Run(world.CommandLine(id), settings));
  service.join();
  EXPECT_EQ(1u, world.LogLines("<warning><task1><cam1> Download has aborted. (D003)").size());
}

TEST(CamsimRun, ThroughTinyproxy) {
  if (!test::TinyProxy::Available()) GTEST_SKIP() << "/usr/bin/tinyproxy is missing";
  CamsimProcess cam({"--pictures", "10", "--admin-user", "admin", "--admin-password", "secret"});
  ASSERT_TRUE(cam.ok()) << cam.Output();
  DownloaderWorld world;
  test::TinyProxy proxy(world.env().Dir());
  ASSERT_TRUE(proxy.ok());
  TestProfile profile = Profile(cam, true);
  profile.use_proxy = true;
  profile.proxy_port = proxy.port();
  const std::string id = world.AddProfile(profile);
  ASSERT_EQ(RunResult::kOk, world.Run(world.CommandLine(id), world.Settings())) << world.Log();
  EXPECT_EQ(10, CountJpgs(world.ImageDir()));
  EXPECT_EQ("8,2", cam.Stats()["rpdel_batches"]);
}

// A picture whose request fails keeps what was stored under its name before: only the
// request's own part file goes.
TEST(CamsimRun, FailedRequestKeepsThePictureStoredUnderItsNameBefore) {
  CamsimProcess cam({"--pictures", "3"});
  ASSERT_TRUE(cam.ok()) << cam.Output();
  DownloaderWorld world;
  const std::string id = world.AddProfile(Profile(cam));
  ASSERT_EQ(RunResult::kOk, world.Run(world.CommandLine(id), world.Settings())) << world.Log();
  const auto keys = ListedKeys(world.ImageDir());
  ASSERT_EQ(3u, keys.size());
  const std::string first = ImagePath(world.ImageDir(), keys[0]);
  const auto size = std::filesystem::file_size(first);
  // The index forgets the day; its pictures stay.
  std::filesystem::remove_all(world.ImageDir() + "/info/" + keys[0].substr(0, 4));
  ASSERT_TRUE(cam.Control("fault.data=code:500"));
  EXPECT_EQ(RunResult::kHttpOtherStatus, world.Run(world.CommandLine(id), world.Settings()));
  ASSERT_TRUE(std::filesystem::exists(first));
  EXPECT_EQ(size, std::filesystem::file_size(first));
  EXPECT_EQ(3, CountJpgs(world.ImageDir()));
}

}  // namespace
}  // namespace pondrel::dl
