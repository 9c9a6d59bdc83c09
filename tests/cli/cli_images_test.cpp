#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include <gtest/gtest.h>

#include "common/fs_util.h"
#include "common/mailslot.h"
#include "common/named_object.h"
#include "tests/cli/run_pondrel.h"
#include "tests/support/test_env.h"
#include "tests/taskview/album_fixture.h"

namespace pondrel::test {
namespace {

using album::testing::AddPictures;

class CliImages : public ::testing::Test {
 protected:
  void SetUp() override {
    CliResult r =
        RunPondrel({"server", "add", "cam 50%", "--image-dir", Dir(), "--host", "127.0.0.1"});
    ASSERT_EQ(r.status, 0) << r.err;
    AddPictures(Dir(), 2003, 1, 5, 120);
    AddPictures(Dir(), 2004, 2, 29, 2);
  }
  std::string Dir() const { return env_.Path("img"); }
  ScopedTestEnv env_;
};

TEST_F(CliImages, DaysAndAlbum) {
  CliResult r = RunPondrel({"images", "days", "cam 50%"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "2003/01/05\t120\n2004/02/29\t2\n");
  r = RunPondrel({"--json", "images", "days", "cam 50%"});
  EXPECT_EQ(r.out,
            "[{\"date\":\"2003/01/05\",\"count\":120},{\"date\":\"2004/02/29\",\"count\":2}]\n");
  EXPECT_EQ(RunPondrel({"images", "days", "nobody"}).status, 1);
  EXPECT_EQ(RunPondrel({"images", "days"}).status, 2);

  r = RunPondrel({"images", "album", "cam 50%", "2003-01-05"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, Dir() + "/html/20030105/top-e.html\n");
  EXPECT_NE(ReadFile(Dir() + "/html/20030105/top-e.html").find("<TITLE>cam 50% 2003/01/05</TITLE>"),
            std::string::npos);
  EXPECT_EQ(ReadFile(Dir() + "/html/20030105/workinfo.html"), "0 120");
  r = RunPondrel({"--json", "images", "album", "cam 50%", "20040229"});
  EXPECT_EQ(r.out, "{\"top_page\":\"" + Dir() + "/html/20040229/top-e.html\",\"pictures\":2}\n");
  r = RunPondrel({"images", "album", "cam 50%", "2003/01/06"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("no pictures were recorded on 2003/01/06"), std::string::npos);
  EXPECT_EQ(RunPondrel({"images", "album", "cam 50%", "5.1.2003"}).status, 2);
  r = RunPondrel({"--json", "images", "days", "nobody"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("\"exit_status\":1"), std::string::npos) << r.err;
  // A file where the album root belongs: the system's own message.
  std::filesystem::remove_all(Dir() + "/html");
  WriteFile(Dir() + "/html", "in the way");
  r = RunPondrel({"images", "album", "cam 50%", "2003/01/05"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(
      r.err,
      "pondrel: server 'cam 50%' 2003/01/05: Failed to generate HTML file to view image files.\n");
}

TEST_F(CliImages, AlbumOpenHandsTheTopPageToXdgOpen) {
  const std::string bin = env_.Path("bin");
  CreateDirectoryChain(bin);
  WriteFile(bin + "/xdg-open", "#!/bin/sh\nprintf '%s' \"$1\" > \"" + env_.Path("opened.tmp") +
                                   "\"\nmv \"" + env_.Path("opened.tmp") + "\" \"" +
                                   env_.Path("opened") + "\"\n");
  ::chmod((bin + "/xdg-open").c_str(), 0755);
  const std::string saved = std::getenv("PATH") ? std::getenv("PATH") : "";
  setenv("PATH", (bin + ":" + saved).c_str(), 1);
  CliResult r = RunPondrel({"images", "album", "--open", "cam 50%", "2003/01/05"});
  setenv("PATH", saved.c_str(), 1);
  ASSERT_EQ(r.status, 0) << r.err;
  // The opener runs detached; wait for its note.
  for (int i = 0; i < 100 && !FileExists(env_.Path("opened")); ++i) ::usleep(20000);
  EXPECT_EQ(ReadFile(env_.Path("opened")), Dir() + "/html/20030105/top-e.html");
}

TEST_F(CliImages, DeleteIsRefusedWhileTheServiceRunsAndTakesTheLock) {
  {
    CKVMailSlot service;
    ASSERT_EQ(service.Create(kServiceMailslot), 1);
    CliResult r = RunPondrel({"images", "delete", "cam 50%", "2003/01/05"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "pondrel: images delete: Stop the Pondrel Task Scheduler Service to continue.\n");
  }
  {
    NamedLock env("VeltaZoricSetEnvMutexName");
    ASSERT_TRUE(env.TryLock());
    CliResult r = RunPondrel({"images", "delete", "cam 50%", "2003/01/05"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "pondrel: images delete: Mutex error\n");
  }
  EXPECT_TRUE(FileExists(Dir() + "/info/2003/0105.idx"));
  ASSERT_EQ(RunPondrel({"images", "album", "cam 50%", "2003/01/05"}).status, 0);
  CliResult r = RunPondrel({"--json", "images", "delete", "cam 50%", "2003/01/05"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "{\"date\":\"2003/01/05\",\"deleted\":120}\n");
  EXPECT_FALSE(FileExists(Dir() + "/info/2003/0105.idx"));
  EXPECT_FALSE(FileExists(Dir() + "/html/20030105"));
  EXPECT_EQ(RunPondrel({"images", "days", "cam 50%"}).out, "2004/02/29\t2\n");
  EXPECT_EQ(RunPondrel({"images", "delete", "cam 50%", "2003/01/05"}).status, 1);
}

}  // namespace
}  // namespace pondrel::test
