#include "common/registry.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/support/test_env.h"
#include "tests/support/test_process.h"

namespace pondrel {
namespace {

using test::ReadFile;
using test::ScopedTestEnv;
using test::TestProcess;
using test::WriteFile;

TEST(Registry, ValuesOfEveryTypeSurviveARoundTripThroughTheFile) {
  ScopedTestEnv env(false);
  ASSERT_TRUE(RegistryKey::CreatePath("SOFTWARE\\VELTA\\Test\\"));
  RegistryKey key;
  ASSERT_TRUE(key.OpenAll("SOFTWARE\\VELTA\\Test"));
  EXPECT_TRUE(key.WriteText("Name", "a \"quoted\" C:\\path"));
  EXPECT_TRUE(key.WriteNumber("Count", 10));
  EXPECT_TRUE(key.WriteExpandText("Path", "%ROOT%/x"));
  EXPECT_TRUE(key.WriteMultiText("List", {"one", "two words"}));
  EXPECT_TRUE(key.WriteText("Lines", "first\nsecond"));

  std::string file = ReadFile(RegistryFilePath(RegHive::kLocalMachine));
  EXPECT_EQ(file.rfind("REGEDIT4\n", 0), 0u);
  EXPECT_NE(file.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\VELTA\\Test]"), std::string::npos);
  EXPECT_NE(file.find("\"Name\"=\"a \\\"quoted\\\" C:\\\\path\""), std::string::npos);
  EXPECT_NE(file.find("\"Count\"=dword:0000000a"), std::string::npos);
  EXPECT_NE(file.find("\"List\"=hex(7):6f,6e,65,00,74,77,6f,20,77,6f,72,64,73,00,00"),
            std::string::npos);

  RegistryKey again;
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
  RegistryKey key;
  EXPECT_FALSE(key.OpenRead("SOFTWARE\\Nothing"));
  EXPECT_FALSE(key.IsOpen());
  EXPECT_FALSE(key.WriteText("x", "y"));

  ASSERT_TRUE(RegistryKey::CreatePath("A\\B"));
  ASSERT_TRUE(key.OpenAll("A\\B"));
  char buf[6];
  EXPECT_FALSE(key.ReadText("missing", buf, sizeof buf));
  key.WriteText("five", "12345");
  key.WriteText("six", "123456");
  EXPECT_TRUE(key.ReadText("five", buf, sizeof buf));
  EXPECT_STREQ(buf, "12345");
  EXPECT_FALSE(key.ReadText("six", buf, sizeof buf));  // the text and its zero must fit
  EXPECT_TRUE(RegistryKey::KeyExists("A"));            // levels are created one by one
  EXPECT_EQ(RegistryKey::SubKeyNames("A"), std::vector<std::string>{"B"});

  EXPECT_FALSE(RegistryKey::CreatePath(std::string(260, 'k')));
  EXPECT_TRUE(RegistryKey::CreatePath(std::string(259, 'k')));

  EXPECT_TRUE(RegistryKey::DeleteKey("A"));
  EXPECT_FALSE(RegistryKey::KeyExists("A\\B"));
}

TEST(Registry, RootDropsOneTrailingSeparatorAndTooLongCountsAsMissing) {
  ScopedTestEnv env(false);
  EXPECT_EQ(ReadRootDir(), "");
  ASSERT_TRUE(RegistryKey::CreatePath(kSettingsKey));
  RegistryKey key;
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
  std::string path = RegistryFilePath(RegHive::kLocalMachine);
  WriteFile(path,
            "REGEDIT4\r\n\r\n; a comment\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\X]\r\n"
            "\"Bin\"=hex:01,02,\\\r\n  03\r\n\"Exp\"=hex(2):61,62,\\\r\n  63,00\r\n"
            "\"N\"=dword:zz\r\n[HKEY_CURRENT_USER\\Other]\r\n\"Y\"=\"1\"\r\n[broken\r\n");
  RegistryKey key;
  ASSERT_TRUE(key.OpenAll("SOFTWARE\\X"));
  std::string text;
  EXPECT_TRUE(key.ReadText("Exp", &text));
  EXPECT_EQ(text, "abc");
  std::uint32_t n;
  EXPECT_FALSE(key.ReadNumber("N", &n));
  EXPECT_FALSE(RegistryKey::KeyExists("Other"));  // another hive's section is not ours
  key.WriteNumber("New", 1);
  EXPECT_NE(ReadFile(path).find("\"Bin\"=hex:01,02,03"), std::string::npos);
}

// Found by the registry-file fuzzer: a quoted text holding a zero byte was rewritten as hex
// text that ends at the zero, so writing any other value changed it. A text ends at its
// first zero byte, as a reader of the value always saw it.
TEST(Registry, TextWithAZeroByteKeepsItsValueAcrossOtherWrites) {
  ScopedTestEnv env(false);
  std::string path = RegistryFilePath(RegHive::kLocalMachine);
  static const char kFile[] = "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\X]\n\"T\"=\"ab\0cd\"\n";
  WriteFile(path, std::string(kFile, sizeof kFile - 1));
  RegistryKey key;
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
  std::string path = RegistryFilePath(RegHive::kLocalMachine);
  WriteFile(path,
            "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\X]\n\"Bad\"=hex(2):61,zz\n"
            "\"Odd\"=hex(4):RIDAVOR\\1.0\\\n\"Cut\"=hex:01,\\\n");
  RegistryKey key;
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

// A file that cannot be read whole is never replaced: every writer refuses, the file stays
// byte for byte and the reason names what is wrong with it.
TEST(Registry, FilesThatCannotBeReadWholeAreNeverRewritten) {
  ScopedTestEnv env;  // ROOT set: each damage below replaces a good file
  const std::string path = RegistryFilePath(RegHive::kLocalMachine);
  const std::string good = ReadFile(path);
  ASSERT_NE(good.find("\"ROOT\""), std::string::npos);
  std::string utf16 = "\xFF\xFE";
  for (char c : good) utf16 += std::string{c, '\0'};
  struct Case {
    const char* what;
    std::string content;
    const char* reason;
  };
  const std::vector<Case> cases = {
      {"UTF-16", utf16, "UTF-16"},
      {"UTF-16 without its mark", utf16.substr(2), "UTF-16"},
      {"empty", "", "empty"},
      {"blank", "\r\n  \n", "empty"},
      {"garbage", "\x89PNG\r\n\x1a\n\x01\x02[HKEY_LOCAL_MACHINE\\X]\n", "REGEDIT4"},
      {"cut in a header", good.substr(0, good.find("VELTA") + 3), "cut short"},
      {"cut in a value", good.substr(0, good.find("ROOT\"=") + 9), "cut short"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    WriteFile(path, c.content);
    EXPECT_NE(RegistryFileDamage(RegHive::kLocalMachine).find(c.reason), std::string::npos)
        << RegistryFileDamage(RegHive::kLocalMachine);
    RegistryKey key;
    key.OpenAll(kSettingsKey);
    EXPECT_FALSE(key.WriteNumber("DLLimitSpaceMB", 7));
    EXPECT_FALSE(RegistryKey::CreatePath(kSettingsKey));
    EXPECT_FALSE(RegistryKey::DeleteKey("SOFTWARE"));
    EXPECT_EQ(ReadFile(path), c.content);
  }
  // A file that exists but cannot be opened is not taken for a missing one.
  if (::geteuid() != 0) {
    WriteFile(path, good);
    ASSERT_EQ(::chmod(path.c_str(), 0), 0);
    EXPECT_NE(RegistryFileDamage(RegHive::kLocalMachine), "");
    RegistryKey key;
    EXPECT_FALSE(RegistryKey::CreatePath("X"));
    ::chmod(path.c_str(), 0644);
  }
  // A good file, and one with a UTF-8 byte-order mark, are written as always; a file cut
  // at a line end cannot be told from a whole one.
  for (const std::string& ok : {good, "\xEF\xBB\xBF" + good, good.substr(0, good.find("\"ROOT"))}) {
    WriteFile(path, ok);
    EXPECT_EQ(RegistryFileDamage(RegHive::kLocalMachine), "");
    ASSERT_TRUE(RegistryKey::CreatePath(kSettingsKey));
    RegistryKey key;
    ASSERT_TRUE(key.OpenAll(kSettingsKey));
    EXPECT_TRUE(key.WriteNumber("DLLimitSpaceMB", 7));
  }
  WriteFile(path, "\xEF\xBB\xBF" + good);
  EXPECT_EQ(ReadRootDir(), env.Root());
}

// Whatever a rewrite does not change stays where it was: comments (before the first key and
// inside keys), lines it cannot read (a missing closing quote, a value without its name),
// headers it cannot read and the sections of other hives with their lines.
TEST(Registry, RewritesKeepCommentsAndLinesTheyCannotRead) {
  ScopedTestEnv env(false);
  const std::string path = RegistryFilePath(RegHive::kLocalMachine);
  WriteFile(path,
            "REGEDIT4\r\n; installed by hand\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\X]\r\n"
            "; the root\r\n\"ROOT\"=\"/srv\r\n\"Name=\"x\"\r\nbare=1\r\n\"Kept\"=\"yes\"\r\n"
            "[HKEY_CURRENT_USER\\Other]\r\n\"Y\"=\"1\"\r\n[broken\r\n\"Z\"=\"2\"\r\n");
  ASSERT_EQ(RegistryFileDamage(RegHive::kLocalMachine), "");
  RegistryKey key;
  ASSERT_TRUE(key.OpenAll("SOFTWARE\\X"));
  EXPECT_EQ(key.ValueNames(), (std::vector<std::string>{"ROOT", "Kept"}));
  ASSERT_TRUE(key.WriteNumber("New", 1));
  ASSERT_TRUE(key.DeleteValue("Kept"));
  const std::string file = ReadFile(path);
  for (const char* line :
       {"; installed by hand\n", "; the root\n", "\"ROOT\"=\"/srv\n", "\"Name=\"x\"\n", "bare=1\n",
        "[HKEY_CURRENT_USER\\Other]\n\"Y\"=\"1\"\n", "[broken\n\"Z\"=\"2\"\n",
        "\"New\"=dword:00000001\n"}) {
    EXPECT_NE(file.find(line), std::string::npos) << line << " in\n" << file;
  }
  EXPECT_EQ(file.find("Kept"), std::string::npos) << file;
  // The comment stays before the value it was written above.
  EXPECT_LT(file.find("; the root"), file.find("\"ROOT\"")) << file;
  // A line of another hive never counts as ours, and none of the kept lines is a value.
  std::string text;
  EXPECT_FALSE(key.ReadText("Y", &text));
  EXPECT_FALSE(key.ReadText("ROOT", &text));
}

// ROOT as the programs take it: an absolute path, or refused with the reason.
TEST(Registry, UsableRootIsAbsoluteAndEveryRefusalSaysWhy) {
  ScopedTestEnv env(false);
  std::string problem;
  EXPECT_EQ(ReadUsableRootDir(&problem), "");
  EXPECT_NE(problem.find("\"ROOT\" is not set"), std::string::npos) << problem;
  EXPECT_NE(problem.find("(no such registry file)"), std::string::npos) << problem;
  ASSERT_TRUE(RegistryKey::CreatePath(kSettingsKey));
  EXPECT_EQ(ReadUsableRootDir(&problem), "");
  EXPECT_EQ(problem,
            "no installation directory: \"ROOT\" is not set under "
            "HKEY_LOCAL_MACHINE\\SOFTWARE\\VELTA\\Orvane\\KV\\RIDAVOR\\1.0");
  RegistryKey key;
  ASSERT_TRUE(key.OpenAll(kSettingsKey));
  for (const char* relative : {"pondrel", "./pondrel/", "C:\\KV"}) {
    ASSERT_TRUE(key.WriteText("ROOT", relative));
    EXPECT_EQ(ReadUsableRootDir(&problem), "") << relative;
    EXPECT_NE(problem.find("not an absolute path"), std::string::npos) << problem;
    EXPECT_EQ(ReadRootDir().empty(), false);  // the design's reader still gives the text
  }
  ASSERT_TRUE(key.WriteText("ROOT", "/" + std::string(300, 'r')));
  EXPECT_EQ(ReadUsableRootDir(&problem), "");
  EXPECT_NE(problem.find("longer than 259 characters"), std::string::npos) << problem;
  ASSERT_TRUE(key.WriteText("ROOT", "/srv/pondrel/"));
  EXPECT_EQ(ReadUsableRootDir(&problem), "/srv/pondrel");
  EXPECT_EQ(problem, "");
  WriteFile(RegistryFilePath(RegHive::kLocalMachine), "");
  EXPECT_EQ(ReadUsableRootDir(&problem), "");
  EXPECT_NE(problem.find("the file is empty"), std::string::npos) << problem;
}

TEST(Registry, ConcurrentWritersFromSeveralProcessesLoseNothing) {
  ScopedTestEnv env(false);
  ASSERT_TRUE(RegistryKey::CreatePath("K"));
  constexpr int kProcs = 4, kWrites = 25;
  std::vector<TestProcess> kids(kProcs);
  for (int p = 0; p < kProcs; ++p) {
    ASSERT_TRUE(kids[p].StartCopy([p] {
      RegistryKey key;
      if (!key.OpenAll("K")) return 1;
      for (int i = 0; i < kWrites; ++i)
        if (!key.WriteNumber("p" + std::to_string(p) + "_" + std::to_string(i), i)) return 2;
      return 0;
    })) << kids[p].Error();
  }
  for (TestProcess& kid : kids) EXPECT_EQ(kid.Wait(), 0);
  RegistryKey key;
  ASSERT_TRUE(key.OpenRead("K"));
  EXPECT_EQ(key.ValueNames().size(), static_cast<std::size_t>(kProcs * kWrites));
}

}  // namespace
}  // namespace pondrel
