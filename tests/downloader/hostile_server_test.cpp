// A camera server that does not play fair, and a disk that runs short: bodies that never end,
// a free-space pass that empties the day being filled, and download options out of range.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "downloader/download_run.h"
#include "downloader/picture_list.h"
#include "downloader/result_codes.h"
#include "imagestore/image_index.h"
#include "tests/camsim/camsim_in_process.h"
#include "tests/downloader/run_fixture.h"

namespace pondrel::dl {
namespace {

using pondrel::test::CamsimInProcess;
using test::CountJpgs;
using test::DownloaderWorld;
using test::ImageBytes;
using test::JpgBytes;
using test::TestProfile;

// Files of the image directory whose name ends in `suffix`.
int CountFiles(const std::string& image_dir, const std::string& suffix) {
  int n = 0;
  std::error_code ec;
  for (auto& e : std::filesystem::recursive_directory_iterator(image_dir, ec)) {
    const std::string name = e.path().filename().string();
    if (name.size() >= suffix.size() &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
      ++n;
  }
  return n;
}

TestProfile Profile(const CamsimInProcess& camera) {
  TestProfile profile;
  profile.port = camera.port();
  return profile;
}

// A picture or a list that never ends stops at the byte limit as a communication error, and
// nothing of it stays on disk; a status body that never ends is read up to 2,000,000 bytes
// and the run goes on.
TEST(HostileServer, EndlessBodiesAreCut) {
  DownloaderWorld world;
  CamsimInProcess camera;
  camera.AddPictures(3);
  const std::string id = world.AddProfile(Profile(camera));
  RunSettings settings = world.Settings();
  settings.limits.file_body_max = 3u << 20;
  const std::string dir = world.ImageDir();

  ASSERT_TRUE(camera.Control("fault.data.id2024010210000100=endless"));
  EXPECT_EQ(RunResult::kHttpError, world.Run(world.CommandLine(id), settings)) << world.Log();
  EXPECT_EQ(1u, world.LogLines("<error><task1><cam1> Communication error (D011)").size());
  EXPECT_TRUE(test::PathExists(dir + "/image/2024/0102/10000000.jpg"));
  EXPECT_FALSE(test::PathExists(dir + "/image/2024/0102/10000100.jpg"));
  EXPECT_EQ(0, ContainsImage(dir + "/info", "20240102/10000100"));
  ASSERT_TRUE(camera.Control("fault.data.id2024010210000100=none"));

  ASSERT_TRUE(camera.Control("fault.list=endless"));
  ASSERT_TRUE(test::PathExists(dir + "/info/pict.lst"));  // the last run's list
  EXPECT_EQ(RunResult::kHttpError, world.Run(world.CommandLine(id), settings)) << world.Log();
  EXPECT_FALSE(test::PathExists(dir + "/info/pict.lst"));
  EXPECT_EQ(0, CountFiles(dir, ".part"));
  EXPECT_EQ(2u, world.LogLines("Communication error (D011)").size());
  ASSERT_TRUE(camera.Control("fault.list=none"));

  ASSERT_TRUE(camera.Control("fault.status=endless"));
  EXPECT_EQ(RunResult::kOk, world.Run(world.CommandLine(id), settings)) << world.Log();
  EXPECT_EQ(3, CountJpgs(dir));
  // Every read stopped at its limit: what the camera got out over the three runs is that much
  // plus what the sockets buffer, not an endless stream.
  EXPECT_LT(camera.EndlessBytesSent(), 64ull << 20);
}

// A body that streams towards a full disk is cut before it takes more than half of the free
// space the options keep, without waiting for the byte limit.
TEST(HostileServer, StreamingBodyStopsAtTheFreeSpaceFloor) {
  DownloaderWorld world;
  CamsimInProcess camera;
  camera.AddPictures(2);
  ASSERT_TRUE(camera.Control("fault.data.id2024010210000100=endless"));
  const std::string id = world.AddProfile(Profile(camera));
  RunSettings settings = world.Settings();
  const std::string dir = world.ImageDir();
  // A volume of 100 MB with 12 MB free before the run: the need is 10 MB, the floor 5 MB.
  settings.disk_space = [dir](const std::string&, std::uint64_t* free_bytes, std::uint64_t* total) {
    *total = 100ull << 20;
    const std::uint64_t used = ImageBytes(dir);
    *free_bytes = used >= (12ull << 20) ? 0 : (12ull << 20) - used;
    return true;
  };
  EXPECT_EQ(RunResult::kHttpError, world.Run(world.CommandLine(id), settings)) << world.Log();
  EXPECT_EQ(1u, world.LogLines("Communication error (D011)").size());
  EXPECT_EQ(1, CountJpgs(dir));
  EXPECT_EQ(0, CountFiles(dir, ".part"));
  EXPECT_LT(camera.EndlessBytesSent(), 64ull << 20);
}

// Freeing space for a picture can take the last old pictures of its own day, and their
// directory with them: the directory is made again and the picture is stored.
TEST(HostileServer, DayDirectoryEmptiedForSpaceIsMadeAgain) {
  DownloaderWorld world;
  CamsimInProcess camera;
  camera.AddPictures(2, "20240102", 0);
  const std::string id = world.AddProfile(Profile(camera));
  ASSERT_EQ(RunResult::kOk, world.Run(world.CommandLine(id), world.Settings()));
  const std::string dir = world.ImageDir();
  const std::uint64_t picture = JpgBytes(dir) / 2;

  camera.AddPictures(1, "20240102", 2);
  world.SetOption("DLImageAutomatic", 1);
  RunSettings settings = world.Settings();
  // Both old pictures must go before the new one fits (need 100,000 bytes).
  const std::uint64_t room = 100000 + picture / 2;
  settings.disk_space = [dir, room](const std::string&, std::uint64_t* free_bytes,
                                    std::uint64_t* total) {
    *total = 1000000;
    const std::uint64_t used = JpgBytes(dir);
    *free_bytes = used >= room ? 0 : room - used;
    return true;
  };
  EXPECT_EQ(RunResult::kOk, world.Run(world.CommandLine(id), settings)) << world.Log();
  EXPECT_TRUE(test::PathExists(dir + "/image/2024/0102/10000200.jpg"));
  EXPECT_FALSE(test::PathExists(dir + "/image/2024/0102/10000000.jpg"));
  EXPECT_EQ(1, ContainsImage(dir + "/info", "20240102/10000200"));
  EXPECT_EQ(1u, world.LogLines("insufficient free space: 2 image(s) (D030)").size());
}

// Options outside the ranges the Options dialog allows are read as their defaults, each with
// a warning: 200 % free space with automatic deletion no longer empties the store.
TEST(HostileServer, OutOfRangeOptionsAreReadAsDefaults) {
  DownloaderWorld world;
  CamsimInProcess camera;
  camera.AddPictures(3, "20240102", 0);
  const std::string id = world.AddProfile(Profile(camera));
  ASSERT_EQ(RunResult::kOk, world.Run(world.CommandLine(id), world.Settings()));
  camera.AddPictures(2, "20240103", 0);
  world.SetOption("DLLimitSpaceMB", 200);
  world.SetOption("DLImageAutomatic", 1);
  world.SetOption("DLLimitDWImgFiles", 1);
  world.SetOption("DLDWImgFilesMax", 0);
  RunSettings settings = world.Settings();
  settings.disk_space = [](const std::string&, std::uint64_t* free_bytes, std::uint64_t* total) {
    *total = 1000ull << 20;
    *free_bytes = 500ull << 20;
    return true;
  };
  EXPECT_EQ(RunResult::kOk, world.Run(world.CommandLine(id), settings)) << world.Log();
  EXPECT_EQ(5, CountJpgs(world.ImageDir()));
  EXPECT_EQ(0u, world.LogLines("(D030)").size());
  EXPECT_EQ(1u, world
                    .LogLines("<warning><task1><cam1> The download option DLLimitSpaceMB holds "
                              "200, outside 1 to 50; 10 is used instead. (D032)")
                    .size());
  EXPECT_EQ(1u,
            world.LogLines("DLDWImgFilesMax holds 0, outside 1 to 10000; 10000 is used").size());
  EXPECT_EQ(2u, world.LogLines("(D032)").size());
}

long FileSize(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

// A list line longer than any valid one is skipped as it streams by, never held whole; the
// lines around it, zero bytes and a last line without its line feed included, come through.
TEST(DamagedStore, OverLongListLinesAreSkipped) {
  test::ScopedTestEnv env(false);
  const std::string path = env.Path("pict.lst");
  const std::string huge(20u << 20, 'x');
  const std::string nul_line("20240102/10000200 a\0b", 21);
  test::WriteFile(path, "20240102/10000000 id0\r\n" + huge + "\n" + nul_line + "\n" +
                            std::string(kListLineMax, 'y') + "\n" + huge +
                            "\n20240102/10000100 id1");
  std::FILE* f = std::fopen(path.c_str(), "rb");
  ASSERT_NE(f, nullptr);
  PictureListReader reader(f);
  std::vector<std::string> got;
  std::string_view line;
  while (reader.Next(&line) == 1) got.emplace_back(line);
  std::fclose(f);
  EXPECT_EQ((std::vector<std::string>{"20240102/10000000 id0\r", nul_line,
                                      std::string(kListLineMax, 'y'), "20240102/10000100 id1"}),
            got);
  EXPECT_EQ(2u, reader.SkippedLines());
}

// A day index whose length is no multiple of 40 (a crash, a copy cut short) costs the torn
// record only: the next run fetches that one picture again, cuts the torn bytes before its
// append, and the run after it finds every picture.
TEST(DamagedStore, TornIndexTailCostsOneRecord) {
  DownloaderWorld world;
  CamsimInProcess camera;
  camera.AddPictures(20);
  const std::string id = world.AddProfile(Profile(camera));
  ASSERT_EQ(RunResult::kOk, world.Run(world.CommandLine(id), world.Settings()));
  const std::string index = world.ImageDir() + "/info/2024/0102.idx";
  ASSERT_EQ(800, FileSize(index));

  for (const long cut : {790L, 50L}) {
    ASSERT_EQ(0, ::truncate(index.c_str(), cut));
    const int before = camera.PictureRequests();
    ASSERT_EQ(RunResult::kOk, world.Run(world.CommandLine(id), world.Settings())) << world.Log();
    const int fetched = camera.PictureRequests() - before;
    EXPECT_EQ(20 - cut / 40, fetched) << "cut at " << cut;
    EXPECT_EQ(800, FileSize(index)) << "cut at " << cut;
    ASSERT_EQ(RunResult::kOk, world.Run(world.CommandLine(id), world.Settings()));
    EXPECT_EQ(fetched, camera.PictureRequests() - before) << "fetched again after " << cut;
    for (int i = 0; i < 20; ++i) {
      char key[32];
      std::snprintf(key, sizeof key, "20240102/1000%02d00", i);
      EXPECT_EQ(1, ContainsImage(world.ImageDir() + "/info", key)) << key;
    }
  }
}

}  // namespace
}  // namespace pondrel::dl
