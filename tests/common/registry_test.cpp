#include "common/registry.h"

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/support/test_env.h"

namespace pondrel {
namespace {

using test::ReadFile;
using test::ScopedTestEnv;
using test::WriteFile;

TEST(Registry, ValuesOfEveryTypeSurviveARoundTripThroughTheFile) {
  ScopedTestEnv env(false);
  ASSERT_TRUE(CKVRegKey::CreatePath("SOFTWARE\\VELTA\\Test\\"));
  CKVRegKey key;
  ASSERT_TRUE(key.OpenAll("SOFTWARE\\VELTA\\Test"));
  EXPECT_TRUE(key.WriteText("Name", "a \"quoted\" C:\\path"));
  EXPECT_TRUE(key.WriteNumber("Count", 10));
  EXPECT_TRUE(key.WriteExpandText("Path", "%ROOT%/x"));
  EXPECT_TRUE(key.WriteMultiText("List", {"one", "two words"}));
  EXPECT_TRUE(key.WriteText("Lines", "first\nsecond"));

  std::string file = ReadFile(RegistryFilePath(RegHive::LocalMachine));
  EXPECT_EQ(file.rfind("REGEDIT4\n", 0), 0u);
  EXPECT_NE(file.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\VELTA\\Test]"), std::string::npos);
  EXPECT_NE(file.find("\"Name\"=\"a \\\"quoted\\\" C:\\\\path\""), std::string::npos);
  EXPECT_NE(file.find("\"Count\"=dword:0000000a"), std::string::npos);
  EXPECT_NE(file.find("\"List\"=hex(7):6f,6e,65,00,74,77,6f,20,77,6f,72,64,73,00,00"),
            std::string::npos);

  CKVRegKey again;
  ASSERT_TRUE(again.OpenRead("software\\velta\\TEST\\"));  // names compare case-insensitively
  std::string text;
  std::uint32_t n = 0;
  std::vector<std::string> multi;
  EXPECT_TRUE(again.ReadText("name", &text));
  EXPECT_EQ(text, "a \"quoted\" C:\\path");
  EXPECT_TRUE(again.ReadNumber("COUNT", &n));
  EXPECT_EQ(n, 10u);
  EXPECT_TRUE(again.ReadText("Path", &text));
  EXPECT_EQ(text, "%ROOT%/x");
  EXPECT_TRUE(again.ReadMultiText("List", &multi));
  EXPECT_EQ(multi, (std::vector<std::string>{"one", "two words"}));
  EXPECT_TRUE(again.ReadText("Lines", &text));
  EXPECT_EQ(text, "first\nsecond");
  // A number does not read as text, nor text as a number.
  EXPECT_FALSE(again.ReadText("Count", &text));
  EXPECT_FALSE(again.ReadNumber("Name", &n));
}

TEST(Registry, MissingKeysAndValuesAndShortBuffersFail) {
  ScopedTestEnv env(false);
  CKVRegKey key;
  EXPECT_FALSE(key.OpenRead("SOFTWARE\\Nothing"));
  EXPECT_FALSE(key.IsOpen());
  EXPECT_FALSE(key.WriteText("x", "y"));

  ASSERT_TRUE(CKVRegKey::CreatePath("A\\B"));
  ASSERT_TRUE(key.OpenAll("A\\B"));
  char buf[6];
  EXPECT_FALSE(key.ReadText("missing", buf, sizeof buf));
  key.WriteText("five", "12345");
  key.WriteText("six", "123456");
  EXPECT_TRUE(key.ReadText("five", buf, sizeof buf));
  EXPECT_STREQ(buf, "12345");
  EXPECT_FALSE(key.ReadText("six", buf, sizeof buf));  // the text and its zero must fit
  EXPECT_TRUE(CKVRegKey::KeyExists("A"));              // levels are created one by one
  EXPECT_EQ(CKVRegKey::SubKeyNames("A"), std::vector<std::string>{"B"});

  EXPECT_FALSE(CKVRegKey::CreatePath(std::string(260, 'k')));
  EXPECT_TRUE(CKVRegKey::CreatePath(std::string(259, 'k')));

  EXPECT_TRUE(CKVRegKey::DeleteKey("A"));
  EXPECT_FALSE(CKVRegKey::KeyExists("A\\B"));
}

TEST(Registry, RootDropsOneTrailingSeparatorAndTooLongCountsAsMissing) {
  ScopedTestEnv env(false);
  EXPECT_EQ(ReadRootDir(), "");
  ASSERT_TRUE(CKVRegKey::CreatePath(kSettingsKey));
  CKVRegKey key;
  ASSERT_TRUE(key.OpenAll(kSettingsKey));
  key.WriteText("ROOT", "/srv/pondrel/");
  EXPECT_EQ(ReadRootDir(), "/srv/pondrel");
  key.WriteText("ROOT", "C:\\KV\\\\");
  EXPECT_EQ(ReadRootDir(), "C:\\KV\\");
  key.WriteText("ROOT", "/" + std::string(258, 'r'));  // 259 bytes: fits with its zero
  EXPECT_EQ(ReadRootDir().size(), 259u);
  key.WriteText("ROOT", "/" + std::string(259, 'r'));
  EXPECT_EQ(ReadRootDir(), "");
}

TEST(Registry, HandWrittenFilesAreReadAndUnknownValuesKept) {
  ScopedTestEnv env(false);
  std::string path = RegistryFilePath(RegHive::LocalMachine);
  WriteFile(path,
            "REGEDIT4\r\n\r\n; a comment\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\X]\r\n"
            "\"Bin\"=hex:01,02,\\\r\n  03\r\n\"Exp\"=hex(2):61,62,\\\r\n  63,00\r\n"
            "\"N\"=dword:zz\r\n[HKEY_CURRENT_USER\\Other]\r\n\"Y\"=\"1\"\r\n[broken\r\n");
  CKVRegKey key;
  ASSERT_TRUE(key.OpenAll("SOFTWARE\\X"));
  std::string text;
  EXPECT_TRUE(key.ReadText("Exp", &text));
  EXPECT_EQ(text, "abc");
  std::uint32_t n;
  EXPECT_FALSE(key.ReadNumber("N", &n));
  EXPECT_FALSE(CKVRegKey::KeyExists("Other"));  // another hive's section is not ours
  key.WriteNumber("New", 1);
  EXPECT_NE(ReadFile(path).find("\"Bin\"=hex:01,02,03"), std::string::npos);
}

// Found by the registry-file fuzzer: a quoted text holding a zero byte was rewritten as hex
// text that ends at the zero, so writing any other value changed it. A text ends at its
// first zero byte, as a reader of the value always saw it.
TEST(Registry, TextWithAZeroByteKeepsItsValueAcrossOtherWrites) {
  ScopedTestEnv env(false);
  std::string path = RegistryFilePath(RegHive::LocalMachine);
  static const char kFile[] = "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\X]\n\"T\"=\"ab\0cd\"\n";
  WriteFile(path, std::string(kFile, sizeof kFile - 1));
  CKVRegKey key;
  ASSERT_TRUE(key.OpenAll("SOFTWARE\\X"));
  std::string before, after;
  ASSERT_TRUE(key.ReadText("T", &before));
  EXPECT_EQ(before, "ab");
  ASSERT_TRUE(key.WriteNumber("Other", 1));
  ASSERT_TRUE(key.ReadText("T", &after));
  EXPECT_EQ(after, before);
}

// Also found by the fuzzer: a value that ended in a backslash took the next line into itself
// once a rewrite put a line behind it, and values of a known form that did not parse were
// dropped by any rewrite. Both stand as they were.
TEST(Registry, OddValuesSurviveARewriteAndSwallowNothing) {
  ScopedTestEnv env(false);
  std::string path = RegistryFilePath(RegHive::LocalMachine);
  WriteFile(path,
            "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\X]\n\"Bad\"=hex(2):61,zz\n"
            "\"Odd\"=hex(4):RIDAVOR\\1.0\\\n\"Cut\"=hex:01,\\\n");
  CKVRegKey key;
  ASSERT_TRUE(key.OpenAll("SOFTWARE\\X"));
  ASSERT_TRUE(key.WriteText("New", "v"));
  ASSERT_TRUE(key.WriteText("Last", "w"));
  std::string text;
  EXPECT_TRUE(key.ReadText("New", &text));
  EXPECT_EQ(text, "v");
  EXPECT_TRUE(key.ReadText("Last", &text));
  EXPECT_EQ(text, "w");
  const std::string file = ReadFile(path);
  EXPECT_NE(file.find("\"Bad\"=hex(2):61,zz\n"), std::string::npos) << file;
  EXPECT_NE(file.find("\"Odd\"=hex(4):RIDAVOR\\1.0\\\n"), std::string::npos) << file;
  EXPECT_NE(file.find("\"Cut\"=hex:01,\n"), std::string::npos) << file;
}

TEST(Registry, ConcurrentWritersFromSeveralProcessesLoseNothing) {
  ScopedTestEnv env(false);
  ASSERT_TRUE(CKVRegKey::CreatePath("K"));
  constexpr int kProcs = 4, kWrites = 25;
  std::vector<pid_t> kids;
  for (int p = 0; p < kProcs; ++p) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      CKVRegKey key;
      if (!key.OpenAll("K")) _exit(1);
      for (int i = 0; i < kWrites; ++i)
        if (!key.WriteNumber("p" + std::to_string(p) + "_" + std::to_string(i), i)) _exit(2);
      _exit(0);
    }
    kids.push_back(pid);
  }
  for (pid_t pid : kids) {
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  CKVRegKey key;
  ASSERT_TRUE(key.OpenRead("K"));
  EXPECT_EQ(key.ValueNames().size(), static_cast<std::size_t>(kProcs * kWrites));
}

}  // namespace
}  // namespace pondrel
