#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "common/mailslot.h"
#include "common/registry.h"
#include "taskmodel/timestr.h"
#include "taskview/options_model.h"
#include "taskview/service_control.h"
#include "tests/support/test_env.h"

namespace pondrel::tasdek {
namespace {

std::uint32_t Number(const char* name) {
  RegistryKey key;
  std::uint32_t n = 0xFFFFFFFF;
  if (key.OpenRead(kSettingsKey)) key.ReadNumber(name, &n);
  return n;
}

TEST(Options, OpeningWithoutTheKeyWritesTheDefaults) {
  test::ScopedTestEnv env(false);
  EXPECT_FALSE(RegistryKey::KeyExists(kSettingsKey));
  const OptionsValues v = LoadOptions();
  EXPECT_EQ(v.limit_space, 10u);
  EXPECT_EQ(Number("DLLimitSpaceMB"), 10u);
  EXPECT_EQ(Number("DLImageAutomatic"), 0u);
  EXPECT_EQ(Number("DLLimitDWImgFiles"), 0u);
  EXPECT_EQ(Number("DLDWImgFilesMax"), 10000u);
}

TEST(Options, OnlyMissingValuesAreFilledIn) {
  test::ScopedTestEnv env;
  {
    RegistryKey key;
    ASSERT_TRUE(key.OpenAll(kSettingsKey));
    key.WriteNumber("DLLimitSpaceMB", 25);
  }
  EXPECT_EQ(PeekOptions().limit_space, 25u);
  EXPECT_EQ(Number("DLDWImgFilesMax"), 0xFFFFFFFFu);  // peeking writes nothing
  EXPECT_EQ(LoadOptions().limit_space, 25u);
  EXPECT_EQ(Number("DLLimitSpaceMB"), 25u);
  EXPECT_EQ(Number("DLDWImgFilesMax"), 10000u);
}

TEST(Options, ValidationOrderAndMessages) {
  OptionsForm f = FormFromValues(OptionsValues());
  std::string msg;
  f.free_space_text = "";
  f.max_text = "";
  EXPECT_EQ(ValidateOptionsForm(&f, &msg), 1);
  EXPECT_EQ(msg, "The minimum amount free space required on image is not specified.");
  f.free_space_text = "0";
  EXPECT_EQ(ValidateOptionsForm(&f, &msg), 2);
  EXPECT_EQ(msg, "The maximum number of pictures downloaded at a download is not specified.");
  f.max_text = "5";
  EXPECT_EQ(ValidateOptionsForm(&f, &msg), 3);
  EXPECT_EQ(msg,
            "Specify the minimum amount free space required on image in the range of 1 to 50.");
  f.free_space_text = "51";
  EXPECT_EQ(ValidateOptionsForm(&f, &msg), 3);
  f.free_space_text = "abc";
  EXPECT_EQ(ValidateOptionsForm(&f, &msg), 3);
  f.free_space_text = "50";
  f.limit_checked = true;
  f.max_text = "10001";
  EXPECT_EQ(ValidateOptionsForm(&f, &msg), 4);
  EXPECT_EQ(msg,
            "Specify the maximum number of pictures downloaded at a download in the range of 1 "
            "to 10000.");
  f.limit_checked = false;
  f.max_text = "0";
  EXPECT_EQ(ValidateOptionsForm(&f, &msg), 0);
  EXPECT_EQ(f.max_text, "10000");
}

TEST(Options, SaveWritesAllFourAndTheHtmlToggle) {
  test::ScopedTestEnv env;
  OptionsForm f;
  f.free_space_text = "20";
  f.action_index = 1;
  f.limit_checked = true;
  f.max_text = "500";
  ASSERT_TRUE(SaveOptionsForm(f));
  EXPECT_EQ(Number("DLLimitSpaceMB"), 20u);
  EXPECT_EQ(Number("DLImageAutomatic"), 1u);
  EXPECT_EQ(Number("DLLimitDWImgFiles"), 1u);
  EXPECT_EQ(Number("DLDWImgFilesMax"), 500u);
  EXPECT_TRUE(ReadGenHtmlFlag());  // missing counts as on
  WriteGenHtmlFlag(false);
  EXPECT_FALSE(ReadGenHtmlFlag());
  WriteGenHtmlFlag(true);
  EXPECT_TRUE(ReadGenHtmlFlag());
}

TEST(ServiceControl, ProbeAndRequestsGoToTheServiceMailslot) {
  test::ScopedTestEnv env;
  ServiceControl s;
  EXPECT_FALSE(s.IsServiceRunning());
  EXPECT_FALSE(s.SendExecuteNow("t"));
  CKVMailSlot owner;
  ASSERT_EQ(owner.Create(kServiceMailslot), 1);
  EXPECT_TRUE(s.IsServiceRunning());
  EXPECT_TRUE(s.SendExecuteNow("daily"));
  EXPECT_TRUE(s.SendAbort("daily"));
  char buf[1024];
  std::vector<std::string> got;
  for (int i = 0; i < 50 && got.size() < 3; ++i) {
    owner.Pump();
    int n = owner.Read(buf, sizeof buf);
    if (n > 0) got.emplace_back(buf, std::strlen(buf));
  }
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0], "");  // the probe: a single zero byte
  EXPECT_EQ(got[1], "ZORIC:02:daily");
  EXPECT_EQ(got[2], "ZORIC:03:daily");
}

TEST(ServiceControl, StartAndStopJudgeOnlyByTheProbe) {
  test::ScopedTestEnv env;
  ServiceControl s;
  CKVMailSlot owner;
  int sleeps = 0;
  s.SetSleep([&](int ms) {
    EXPECT_EQ(ms, 1000);
    ++sleeps;
    // A running service drains its mailslot between the probes.
    char buf[1024];
    owner.Pump();
    while (owner.Read(buf, sizeof buf) > 0) {
    }
  });
  s.SetHostPath(env.Dir() + "/missing-host");
  EXPECT_EQ(s.StartService(), kServiceStartFailed);
  EXPECT_EQ(s.StopService(), kServiceStopFailed);
  EXPECT_EQ(sleeps, 0);

  // A host that starts nothing: start fails after ten probes; stop succeeds at once.
  s.SetHostPath("/bin/true");
  EXPECT_EQ(s.StartService(), kServiceStartFailed);
  EXPECT_EQ(sleeps, 10);
  EXPECT_EQ(s.StopService(), kServiceOk);

  // A service that answers: start succeeds at once; stop fails while it keeps answering.
  ASSERT_EQ(owner.Create(kServiceMailslot), 1);
  sleeps = 0;
  EXPECT_EQ(s.StartService(), kServiceOk);
  EXPECT_EQ(sleeps, 0);
  EXPECT_EQ(s.StopService(), kServiceStopFailed);
  EXPECT_EQ(sleeps, 10);
}

TEST(ServiceControl, InstalledFromTheRunServicesValue) {
  if (HasServiceManager()) GTEST_SKIP() << "this machine has a service manager";
  test::ScopedTestEnv env;
  ServiceControl s;
  EXPECT_FALSE(s.IsServiceInstalled());
  // The service manager's key does not count without a service manager.
  ASSERT_TRUE(RegistryKey::CreatePath("SYSTEM\\CurrentControlSet\\Services\\Kestova"));
  EXPECT_FALSE(s.IsServiceInstalled());
  const char* run = "Software\\Microsoft\\Windows\\CurrentVersion\\RunServices";
  ASSERT_TRUE(RegistryKey::CreatePath(run));
  RegistryKey key;
  ASSERT_TRUE(key.OpenAll(run));
  key.WriteText("KESTOVA", "/opt/zoricsm -start");
  EXPECT_TRUE(s.IsServiceInstalled());
}

TEST(ServiceControl, ClearLogDeletesTheActivityLog) {
  test::ScopedTestEnv env;
  EXPECT_EQ(ServiceControl::LogPath(), env.Root() + "/SYSTEM/kvrpd.log");
  std::filesystem::create_directories(env.Root() + "/SYSTEM");
  test::WriteFile(ServiceControl::LogPath(), "x\r\n");
  EXPECT_TRUE(ServiceControl::ClearLog());
  EXPECT_EQ(test::ReadFile(ServiceControl::LogPath()), "");
}

}  // namespace
}  // namespace pondrel::tasdek
