// The free-space policy on a real small file system: a tmpfs of 4 MB, mounted in a private
// mount namespace (unshare --mount) by a child that then runs the TmpfsScenario cases of this
// same binary. Needs root (as in CI); skipped with a message otherwise.
#include <gtest/gtest.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "downloader/result_codes.h"
#include "tests/camsim/camsim_in_process.h"
#include "tests/downloader/run_fixture.h"

namespace pondrel::dl {
namespace {

constexpr char kTmpfsVar[] = "PONDREL_DL_TMPFS_DIR";
constexpr std::size_t kPictureSize = 300000;

std::vector<std::uintmax_t> JpgSizes(const std::string& image_dir) {
  std::vector<std::uintmax_t> sizes;
  std::error_code ec;
  for (auto& e : std::filesystem::recursive_directory_iterator(image_dir + "/image", ec)) {
    if (e.path().extension() == ".jpg") sizes.push_back(e.file_size());
  }
  return sizes;
}

TEST(TmpfsScenario, StopThenDeleteOldPictures) {
  const char* mount = std::getenv(kTmpfsVar);
  if (!mount) GTEST_SKIP() << "runs only inside TmpfsFreeSpace.BothWays";
  struct statvfs vfs {};
  ASSERT_EQ(0, ::statvfs(mount, &vfs));
  ASSERT_LT(vfs.f_blocks * vfs.f_frsize, 8u << 20) << "not the small tmpfs";

  test::DownloaderWorld world;
  pondrel::test::CamsimInProcess camera;
  camera.AddPictures(20, "20240102", 0, kPictureSize);
  test::TestProfile profile;
  profile.port = camera.port();
  profile.image_directory = std::string(mount) + "/img";
  const std::string id = world.AddProfile(profile);
  ASSERT_FALSE(id.empty());

  // Aborting: the run stops before the volume falls under 10 % free, every stored picture
  // is whole.
  EXPECT_EQ(RunResult::kInsufficientSpace, world.Run(world.CommandLine(id), world.Settings()));
  auto sizes = JpgSizes(world.ImageDir());
  EXPECT_GE(sizes.size(), 10u);
  EXPECT_LT(sizes.size(), 20u);
  for (auto s : sizes) EXPECT_EQ(kPictureSize - 8, s);
  EXPECT_EQ(1u, world.LogLines("(D029)").size());
  const std::size_t stored_first = sizes.size();

  // Deleting old pictures: the rest of the list and five pictures of a later day all fit, each
  // in the place of one of the oldest; pictures the list still names are not deleted for
  // them and fetched again.
  camera.AddPictures(5, "20240109", 0, kPictureSize);
  world.SetOption("DLImageAutomatic", 1);
  EXPECT_EQ(RunResult::kOk, world.Run(world.CommandLine(id), world.Settings())) << world.Log();
  sizes = JpgSizes(world.ImageDir());
  for (auto s : sizes) EXPECT_EQ(kPictureSize - 8, s);
  EXPECT_TRUE(std::filesystem::exists(world.ImageDir() + "/image/2024/0109/10000400.jpg"));
  EXPECT_FALSE(std::filesystem::exists(world.ImageDir() + "/image/2024/0102/10000000.jpg"));
  EXPECT_EQ(stored_first, sizes.size());
  EXPECT_EQ(1u,
            world.LogLines("free space: " + std::to_string(25 - stored_first) + " image(s) (D030)")
                .size());
  EXPECT_EQ(
      1u,
      world.LogLines("Download is completed: " + std::to_string(25 - stored_first) + " picture(s)")
          .size());
  EXPECT_GE(::statvfs(mount, &vfs), 0);
}

TEST(TmpfsFreeSpace, BothWays) {
  test::ScopedTestEnv env(false);
  const pondrel::test::TmpfsChildRun run =
      pondrel::test::RunInPrivateTmpfs(env, "4m", kTmpfsVar, "TmpfsScenario.*");
  if (!run.skip.empty()) GTEST_SKIP() << run.skip;
  EXPECT_EQ(0, run.exit_code) << run.output;
  EXPECT_NE(std::string::npos, run.output.find("[  PASSED  ] 1 test")) << run.output;
}

}  // namespace
}  // namespace pondrel::dl
