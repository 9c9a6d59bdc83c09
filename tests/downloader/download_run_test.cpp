#include "downloader/download_run.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>

#include "common/clock.h"
#include "common/named_object.h"
#include "downloader/result_codes.h"
#include "imagestore/image_index.h"
#include "tests/camsim/camsim_in_process.h"
#include "tests/downloader/run_fixture.h"

namespace pondrel::dl {
namespace {

using pondrel::test::CamsimInProcess;
using test::CountJpgs;
using test::DownloaderWorld;
using test::JpgBytes;
using test::TestProfile;

TestProfile Profile(const CamsimInProcess& camera, bool delete_on_server = false) {
  TestProfile profile;
  profile.port = camera.port();
  profile.delete_on_server = delete_on_server;
  return profile;
}

TEST(DownloadRun, PicturesLandWithIndexRecordsLogAndImageList) {
  DownloaderWorld world;
  CamsimInProcess camera;
  camera.AddPictures(3, "20240102", 0);
  camera.AddPictures(2, "20240103", 100);
  const std::string id = world.AddProfile(Profile(camera));
  ASSERT_EQ(RunResult::kOk, world.Run(world.CommandLine(id), world.Settings()));

  const std::string dir = world.ImageDir();
  const std::string first = dir + "/image/2024/0102/10000000.jpg";
  EXPECT_EQ(CamsimInProcess::MakePicture(2000, 0), test::ReadFile(first));
  EXPECT_TRUE(test::PathExists(dir + "/image/2024/0103/10014000.jpg"));
  EXPECT_EQ(1, ContainsImage(dir + "/info", "20240102/10000200"));
  EXPECT_EQ(1, ContainsImage(dir + "/info", "20240103/10014000"));
  EXPECT_EQ(5, CountJpgs(dir));

  EXPECT_EQ(1u, world.LogLines("<info><task1><cam1> Download has started. (D001)").size());
  const auto done = world.LogLines("(D002)");
  ASSERT_EQ(1u, done.size());
  EXPECT_NE(std::string::npos,
            done[0].find("<info><task1><cam1> Download is completed: 5 picture(s) (no picture "
                         "deleted,  Recorded date of the latest downloaded image: 2024/01/03 "
                         "10:01:41:00) (D002)\r"));
  const std::string list = test::ReadFile(dir + "/imagepath.lst");
  EXPECT_EQ(0u, list.find("20240102 " + first + "\r\n"));
  EXPECT_EQ(5, std::count(list.begin(), list.end(), '\n'));

  const auto lines = world.progress().Lines();
  EXPECT_NE(lines.end(), std::find(lines.begin(), lines.end(), "Creating the list of images."));
  EXPECT_NE(lines.end(), std::find(lines.begin(), lines.end(),
                                   "20240102/10000000 downloaded. 4 picture(s) remaining."));

  // A second run finds every picture in the index: no picture requests, "No pictures".
  const int before = camera.PictureRequests();
  ASSERT_EQ(RunResult::kOk, world.Run(world.CommandLine(id), world.Settings()));
  EXPECT_EQ(before, camera.PictureRequests());
  EXPECT_EQ(1u, world.LogLines("Download is completed: No pictures (D002)").size());
  EXPECT_EQ("", test::ReadFile(dir + "/imagepath.lst"));
}

// A line of imagepath.lst that cannot be written is reported (D015) for each picture, and
// the pictures are still stored.
TEST(DownloadRun, ImageListWriteFailureIsReportedPerPicture) {
  DownloaderWorld world;
  CamsimInProcess camera;
  camera.AddPictures(2);
  const std::string id = world.AddProfile(Profile(camera));
  std::filesystem::create_directories(world.ImageDir());
  std::filesystem::create_symlink("/dev/full", world.ImageDir() + "/imagepath.lst");
  ASSERT_EQ(RunResult::kOk, world.Run(world.CommandLine(id), world.Settings()));
  EXPECT_EQ(2, CountJpgs(world.ImageDir()));
  EXPECT_EQ(2u, world.LogLines("<error><task1><cam1> Work file I/O error (D015)").size())
      << world.Log();
  EXPECT_EQ(1u, world.LogLines("Download is completed: 2 picture(s)").size());
}

TEST(DownloadRun, DeletionOnServerInBatchesOfEight) {
  DownloaderWorld world;
  CamsimInProcess camera;
  camera.AddPictures(17);
  const std::string id = world.AddProfile(Profile(camera, true));
  ASSERT_EQ(RunResult::kOk, world.Run(world.CommandLine(id), world.Settings()));
  EXPECT_EQ((std::vector<int>{8, 8, 1}), camera.DeleteBatches());
  EXPECT_EQ(0u, camera.PicturesHeld());
  EXPECT_EQ(1u, world
                    .LogLines("Download is completed: 17 picture(s) (17 picture(s)  deleted,  "
                              "Recorded date of the latest downloaded image: 2024/01/02 "
                              "10:00:16:00) (D002)")
                    .size());
  const auto lines = world.progress().Lines();
  EXPECT_EQ(3, std::count(lines.begin(), lines.end(), "Deleting image files on the server."));
}

TEST(DownloadRun, PerRunLimitStopsAndFlushesTheBatch) {
  DownloaderWorld world;
  CamsimInProcess camera;
  camera.AddPictures(10);
  const std::string id = world.AddProfile(Profile(camera, true));
  world.SetOption("DLLimitDWImgFiles", 1);
  world.SetOption("DLDWImgFilesMax", 3);
  ASSERT_EQ(RunResult::kOk, world.Run(world.CommandLine(id), world.Settings()));
  EXPECT_EQ(3, CountJpgs(world.ImageDir()));
  EXPECT_EQ((std::vector<int>{3}), camera.DeleteBatches());
}

TEST(DownloadRun, StatusAnswersEndPhaseOne) {
  struct Case {
    std::uint32_t state;
    int status;
    int result;
    const char* line;
  };
  const Case cases[] = {
      {2, 200, 101,
       "<error><task1><cam1> Cannot start because the server is recreating the list "
       "of the recorded pictures. (D020)"},
      {3, 200, 102, "Cannot start because the server is deleting the recorded pictures. (D021)"},
      {4, 200, 103, "<error><task1><cam1> No storage device is found on the server. (D022)"},
      {0, 401, 8003, "<error><task1><cam1> Failed to login. (D028)"},
      {0, 404, 8004, "The server does not support the required function. (D023)"},
  };
  for (const Case& c : cases) {
    DownloaderWorld world;
    CamsimInProcess camera;
    camera.AddPictures(2);
    ASSERT_TRUE(camera.Control("state=" + std::to_string(c.state)));
    if (c.status != 200) {
      ASSERT_TRUE(camera.Control("fault.status=code:" + std::to_string(c.status)));
    }
    const std::string id = world.AddProfile(Profile(camera));
    EXPECT_EQ(c.result, ResultCode(world.Run(world.CommandLine(id), world.Settings())));
    EXPECT_EQ(1u, world.LogLines(c.line).size()) << world.Log();
    EXPECT_EQ(1u, world.LogLines("Download is completed: No pictures (D002)").size());
    EXPECT_EQ(1u, camera.Requests().size());
  }
  // No pictures on the server: result 0 without a list request.
  DownloaderWorld world;
  CamsimInProcess camera;
  const std::string id = world.AddProfile(Profile(camera));
  EXPECT_EQ(RunResult::kOk, world.Run(world.CommandLine(id), world.Settings()));
  EXPECT_EQ(1u, camera.Requests().size());
  EXPECT_EQ(1u, world.LogLines("Download is completed: No pictures (D002)").size());
}

// Pictures answered 403, "error" bodies and files without a camera header are not stored;
// list lines whose key is not YYYYMMDD/hhmmsscc never become paths.
TEST(DownloadRun, BadPicturesAndHostileListLinesAreSkipped) {
  DownloaderWorld world;
  CamsimInProcess camera;
  camera.AddPictures(6);
  ASSERT_TRUE(camera.Control("fault.data.id2024010210000100=code:403"));
  ASSERT_TRUE(camera.Control("fault.data.id2024010210000200=error"));
  camera.AddPicture("20240102/10000900", "nohead", std::string(3000, 'x'));
  ASSERT_TRUE(camera.Control(
      "list-extra=../../../../tmp/x idx\nlist-extra=2024010a/10000000 idy\nlist-extra=noblank\n"
      "list-extra=20240102/1000000012 idz\nlist-extra=20240102/10001000\x1b[2J id"));
  const std::string id = world.AddProfile(Profile(camera));
  ASSERT_EQ(RunResult::kOk, world.Run(world.CommandLine(id), world.Settings()));
  EXPECT_EQ(4, CountJpgs(world.ImageDir()));
  EXPECT_FALSE(test::PathExists(world.ImageDir() + "/image/2024/0102/10000100.jpg"));
  EXPECT_FALSE(test::PathExists(world.ImageDir() + "/image/2024/0102/10000200.jpg"));
  EXPECT_FALSE(test::PathExists(world.ImageDir() + "/image/2024/0102/10000900.jpg"));
  EXPECT_EQ(0, ContainsImage(world.ImageDir() + "/info", "20240102/10000900"));
  EXPECT_EQ(7, camera.PictureRequests());
  EXPECT_EQ(1u, world.LogLines("Download is completed: 4 picture(s)").size());
}

TEST(DownloadRun, DeletionLoginFailureIsLoggedOnceAndDownloadingGoesOn) {
  DownloaderWorld world;
  CamsimInProcess camera;
  camera.AddPictures(10);
  ASSERT_TRUE(camera.Control("fault.rpdel=code:401"));
  const std::string id = world.AddProfile(Profile(camera, true));
  EXPECT_EQ(RunResult::kHttpUnauthorized, world.Run(world.CommandLine(id), world.Settings()));
  EXPECT_EQ(10, CountJpgs(world.ImageDir()));
  EXPECT_EQ((std::vector<int>{8, 2}), camera.DeleteBatches());
  EXPECT_EQ(1u, world
                    .LogLines("<error><task1><cam1> Could not delete images because login as "
                              "an Administrator failed. (D025)")
                    .size());
  const std::string log = world.Log();
  const auto d027 = log.find("Failed to delete image files. (D027)");
  ASSERT_NE(std::string::npos, d027);
  EXPECT_LT(d027, log.find("Download is completed: 10 picture(s) (no picture deleted,"));
}

// The watchdog closes a request that receives nothing for the stall limit: here the real
// limit of 180 seconds, passed on an injected clock.
TEST(DownloadRun, StalledBodyIsCutByTheWatchdog) {
  DownloaderWorld world;
  CamsimInProcess camera;
  camera.AddPictures(3, "20240102", 0, 40000);
  ASSERT_TRUE(camera.Control("fault.data.id2024010210000100=stall:86400"));
  const std::string id = world.AddProfile(Profile(camera));
  TestClock clock(1'700'000'000, 1'000'000);
  SetClock(&clock);
  std::thread mover([&] {
    camera.WaitUntilStalling();
    clock.AdvanceSeconds(179);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    clock.AdvanceSeconds(2);
  });
  const RunResult result = world.Run(world.CommandLine(id), world.Settings());
  mover.join();
  SetClock(nullptr);
  EXPECT_TRUE(result == RunResult::kHttpError || result == RunResult::kHttpTimeout)
      << ResultCode(result);
  EXPECT_EQ(1u, world.LogLines("Communication error (D011)").size());
  EXPECT_EQ(1, CountJpgs(world.ImageDir()));
  EXPECT_FALSE(test::PathExists(world.ImageDir() + "/image/2024/0102/10000100.jpg"));
}

TEST(DownloadRun, AbortFlagDuringAStalledReadEndsWith100) {
  DownloaderWorld world;
  CamsimInProcess camera;
  camera.AddPictures(3, "20240102", 0, 40000);
  ASSERT_TRUE(camera.Control("fault.data.id2024010210000100=stall:86400"));
  const std::string id = world.AddProfile(Profile(camera));
  std::atomic<bool> abort{false};
  RunSettings settings = world.Settings();
  settings.abort_request = &abort;
  settings.abort_stall_seconds = 0;
  std::thread presser([&] {
    camera.WaitUntilStalling();
    abort = true;
  });
  EXPECT_EQ(RunResult::kAborted, world.Run(world.CommandLine(id), settings));
  presser.join();
  EXPECT_EQ(1u, world.LogLines("<warning><task1><cam1> Download has aborted. (D003)").size());
  const auto lines = world.progress().Lines();
  EXPECT_NE(lines.end(), std::find(lines.begin(), lines.end(), "The task will abort."));
  EXPECT_EQ(1, CountJpgs(world.ImageDir()));
}

TEST(DownloadRun, SigtermIsTheCloseRequest) {
  DownloaderWorld world;
  CamsimInProcess camera;
  camera.AddPictures(2, "20240102", 0, 40000);
  ASSERT_TRUE(camera.Control("fault.data.id2024010210000000=stall:86400"));
  const std::string id = world.AddProfile(Profile(camera));
  RunSettings settings = world.Settings();
  settings.close_on_sigterm = true;
  settings.abort_stall_seconds = 0;
  std::thread service([&] {
    camera.WaitUntilStalling();
    ::kill(::getpid(), SIGTERM);
  });
  EXPECT_EQ(RunResult::kAborted, world.Run(world.CommandLine(id), settings));
  service.join();
  EXPECT_EQ(1u, world.LogLines("Download has aborted. (D003)").size());
  EXPECT_EQ(0, CountJpgs(world.ImageDir()));
}

// A second run against the same server waits for the semaphore; aborting it there ends with
// 100 and leaves the holder's semaphore alone.
TEST(DownloadRun, SemaphoreWaitIsAbortable) {
  DownloaderWorld world;
  CamsimInProcess camera;
  camera.AddPictures(1);
  const std::string id = world.AddProfile(Profile(camera));
  NamedObject holder = NamedObject::Create(id + "SEM");
  ASSERT_TRUE(holder.held());
  std::atomic<bool> abort{false};
  RunSettings settings = world.Settings();
  settings.abort_request = &abort;
  std::thread presser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    abort = true;
  });
  EXPECT_EQ(RunResult::kAborted, world.Run(world.CommandLine(id), settings));
  presser.join();
  EXPECT_TRUE(holder.held());
  EXPECT_EQ(0u, camera.Requests().size());
  EXPECT_EQ(1u, world.LogLines("Download has aborted. (D003)").size());

  // Released while the run waits: the run goes on.
  std::thread releaser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    holder.Release();
  });
  EXPECT_EQ(RunResult::kOk, world.Run(world.CommandLine(id), world.Settings()));
  releaser.join();
  EXPECT_EQ(1, CountJpgs(world.ImageDir()));
  EXPECT_FALSE(NamedObject::Exists(id + "SEM"));
}

// Free space below the limit and no automatic deletion: D029, 104, nothing stored.
TEST(DownloadRun, InsufficientSpaceAborts) {
  DownloaderWorld world;
  CamsimInProcess camera;
  camera.AddPictures(4);
  const std::string id = world.AddProfile(Profile(camera));
  RunSettings settings = world.Settings();
  settings.disk_space = [](const std::string&, std::uint64_t* free_bytes, std::uint64_t* total) {
    *total = 1000ull << 20;
    *free_bytes = 50ull << 20;
    return true;
  };
  EXPECT_EQ(RunResult::kInsufficientSpace, world.Run(world.CommandLine(id), settings));
  EXPECT_EQ(0, camera.PictureRequests());
  EXPECT_EQ(1u, world
                    .LogLines("<error><task1><cam1> Download is aborted because of insufficient "
                              "free space.[50MB remaining, 100MB needs] (D029)")
                    .size());
  EXPECT_EQ(1u, world.LogLines("No pictures (D002)").size());
}

// A measurement that fails keeps the last figure: one unreadable moment of the volume does not
// stop a run that had room.
TEST(DownloadRun, FailedSpaceMeasurementKeepsTheLastFigure) {
  DownloaderWorld world;
  CamsimInProcess camera;
  camera.AddPictures(4);
  const std::string id = world.AddProfile(Profile(camera));
  RunSettings settings = world.Settings();
  auto calls = std::make_shared<int>(0);
  settings.disk_space = [calls](const std::string&, std::uint64_t* free_bytes,
                                std::uint64_t* total) {
    if ((*calls)++ > 1) return false;  // readable at first, then never again
    *total = 1000ull << 20;
    *free_bytes = 500ull << 20;
    return true;
  };
  EXPECT_EQ(RunResult::kOk, world.Run(world.CommandLine(id), settings)) << world.Log();
  EXPECT_EQ(4, CountJpgs(world.ImageDir()));
  EXPECT_EQ(0u, world.LogLines("(D029)").size());
}

// A run stopped for space still sends its pending deletion batch, and still ends with 104.
TEST(DownloadRun, SpaceStopKeeps104AfterTheBatchFlush) {
  DownloaderWorld world;
  CamsimInProcess camera;
  camera.AddPictures(6);
  const std::string id = world.AddProfile(Profile(camera, true));
  RunSettings settings = world.Settings();
  const std::string dir = world.ImageDir();
  settings.disk_space = [dir](const std::string&, std::uint64_t* free_bytes, std::uint64_t* total) {
    *total = 1000ull << 20;
    // Near the need of 100 MB, where every picture is decided on a fresh figure.
    *free_bytes = CountJpgs(dir) < 3 ? 110ull << 20 : 90ull << 20;
    return true;
  };
  EXPECT_EQ(RunResult::kInsufficientSpace, world.Run(world.CommandLine(id), settings));
  EXPECT_EQ(3, CountJpgs(dir));
  EXPECT_EQ((std::vector<int>{3}), camera.DeleteBatches());
  EXPECT_EQ(1u, world.LogLines("(D029)").size());
  EXPECT_EQ(1u, world.LogLines("3 picture(s) (3 picture(s)  deleted,").size());
}

// With automatic deletion the oldest stored pictures make room: index records zeroed, files
// and emptied day and year directories removed, D030 with the count; D031 when the run ends
// with less than 110 % of the need.
TEST(DownloadRun, AutomaticDeletionMakesRoomFromTheOldest) {
  DownloaderWorld world;
  CamsimInProcess camera;
  camera.AddPictures(3, "20230505", 0);
  camera.AddPictures(2, "20230506", 0);
  const std::string id = world.AddProfile(Profile(camera, true));
  ASSERT_EQ(RunResult::kOk, world.Run(world.CommandLine(id), world.Settings()));
  const std::string dir = world.ImageDir();
  ASSERT_EQ(5, CountJpgs(dir));
  const std::uint64_t picture = JpgBytes(dir) / 5;

  camera.AddPictures(3, "20240707", 0);
  world.SetOption("DLImageAutomatic", 1);
  RunSettings settings = world.Settings();
  // Room for three pictures beyond the five stored, with the need at 100,000 bytes.
  const std::uint64_t room = 100000 + 3 * picture;
  settings.disk_space = [dir, room](const std::string&, std::uint64_t* free_bytes,
                                    std::uint64_t* total) {
    *total = 1000000;
    *free_bytes = room - JpgBytes(dir);
    return true;
  };
  ASSERT_EQ(RunResult::kOk, world.Run(world.CommandLine(id), settings)) << world.Log();
  EXPECT_EQ(4, CountJpgs(dir));
  EXPECT_FALSE(test::PathExists(dir + "/image/2023/0505"));
  EXPECT_TRUE(test::PathExists(dir + "/image/2023/0506/10000100.jpg"));
  EXPECT_EQ(0, ContainsImage(dir + "/info", "20230505/10000200"));
  EXPECT_EQ(1, ContainsImage(dir + "/info", "20230506/10000100"));
  EXPECT_EQ(1u, world
                    .LogLines("<info><task1><cam1> Old image was deleted because of insufficient "
                              "free space: 4 image(s) (D030)")
                    .size());
  EXPECT_EQ(0u, world.LogLines("(D031)").size());

  // A run that ends with free space between 100 % and 110 % of the need warns.
  RunSettings tight = world.Settings();
  tight.disk_space = [](const std::string&, std::uint64_t* free_bytes, std::uint64_t* total) {
    *total = 1000ull << 20;
    *free_bytes = 105ull << 20;
    return true;
  };
  ASSERT_EQ(RunResult::kOk, world.Run(world.CommandLine(id), tight));
  EXPECT_EQ(1u, world
                    .LogLines("<warning><task1><cam1> Additional free space is going to be "
                              "required on the disk to save images.[105MB remaining, 100MB "
                              "needs] (D031)")
                    .size());

  // Nothing old left to delete: D029 and 104.
  camera.AddPictures(5, "20250101", 0);
  EXPECT_EQ(RunResult::kInsufficientSpace, world.Run(world.CommandLine(id), settings));
  EXPECT_EQ(1u, world.LogLines("(D029)").size());
}

TEST(DownloadRun, DialUpEntryFailsWithoutADialer) {
  DownloaderWorld world;
  CamsimInProcess camera;
  TestProfile profile = Profile(camera);
  profile.use_ppp = true;
  profile.ppp_entry = "office";
  const std::string id = world.AddProfile(profile);
  RunSettings settings = world.Settings();
  settings.load_dialer = [] { return nullptr; };
  EXPECT_EQ(RunResult::kDialUpFailed, world.Run(world.CommandLine(id), settings));
  EXPECT_EQ(1u, world
                    .LogLines("<error><task1><cam1> Dial-up connection error: \"Failed to get "
                              "connection information\" (P003)")
                    .size());
  EXPECT_EQ(0u, camera.Requests().size());
}

TEST(DownloadRun, ThroughTinyproxy) {
  if (!test::TinyProxy::Available()) GTEST_SKIP() << "/usr/bin/tinyproxy is missing";
  DownloaderWorld world;
  test::TinyProxy proxy(world.env().Dir());
  ASSERT_TRUE(proxy.ok());
  CamsimInProcess camera;
  camera.AddPictures(9);
  TestProfile profile = Profile(camera, true);
  profile.use_proxy = true;
  profile.proxy_port = proxy.port();
  const std::string id = world.AddProfile(profile);
  ASSERT_EQ(RunResult::kOk, world.Run(world.CommandLine(id), world.Settings()));
  EXPECT_EQ(9, CountJpgs(world.ImageDir()));
  EXPECT_EQ((std::vector<int>{8, 1}), camera.DeleteBatches());
  for (const auto& r : camera.Requests()) {
    EXPECT_NE(std::string::npos, r.headers.at("via").find("tinyproxy")) << r.target;
  }
  // An unsupported status through a proxy names the port as a possible cause.
  ASSERT_TRUE(camera.Control("fault.status=code:404"));
  EXPECT_EQ(RunResult::kHttpNotFound, world.Run(world.CommandLine(id), world.Settings()));
  EXPECT_EQ(1u, world.LogLines("or the port number is invalid. (D024)").size());
}

// kvdl_start as the launcher calls it: from libfetchko.so, with the exported C name.
TEST(DownloadRun, KvdlStartFromTheSharedLibrary) {
  const std::string lib = test::StageDir() + "/libfetchko.so";
  void* handle = ::dlopen(lib.c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(nullptr, handle) << ::dlerror();
  using Entry = int (*)(const char*);
  auto kvdl_start = reinterpret_cast<Entry>(::dlsym(handle, "kvdl_start"));
  ASSERT_NE(nullptr, kvdl_start);
  EXPECT_EQ(nullptr, ::dlsym(handle,
                             "_ZN7pondrel2dl11RunDownloadESt17basic_string_viewIcSt11char_"
                             "traitsIcEERKNS0_11RunSettingsE"));
  DownloaderWorld world;
  CamsimInProcess camera;
  camera.AddPictures(2);
  const std::string id = world.AddProfile(Profile(camera));
  EXPECT_EQ(ResultCode(RunResult::kUnknownOption), kvdl_start("/t x,/w 1"));
  EXPECT_EQ(0, kvdl_start(world.CommandLine(id).c_str()));
  EXPECT_EQ(2, CountJpgs(world.ImageDir()));
  ::dlclose(handle);
}

TEST(DownloadRun, ManualModeAsksForTheServerAndReturnsZero) {
  DownloaderWorld world;
  CamsimInProcess camera;
  camera.AddPictures(2);
  world.AddProfile(Profile(camera));
  RunSettings settings = world.Settings();
  settings.ask_server_name = [](std::string* name) {
    *name = "cam1";
    return true;
  };
  EXPECT_EQ(RunResult::kOk, RunDownload("", settings));
  EXPECT_EQ(2, CountJpgs(world.ImageDir()));
  EXPECT_NE(std::string::npos, test::ReadFile(world.ImageDir() + "/info/dl.log")
                                   .find("<info><M><cam1> Download has started. (D001)"));
  settings.ask_server_name = [](std::string* name) {
    *name = "nobody";
    return true;
  };
  EXPECT_EQ(RunResult::kOk, RunDownload("", settings));
}

}  // namespace
}  // namespace pondrel::dl
