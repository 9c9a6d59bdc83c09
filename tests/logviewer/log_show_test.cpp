// pondrel log show as a program: the last N entries, newest first, times in both forms,
// JSON from untrusted bytes, and --follow while the file grows, shrinks and is replaced.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "tests/cli/run_pondrel.h"
#include "tests/support/test_env.h"
#include "tests/support/test_process.h"

namespace pondrel::test {
namespace {

std::string Entry(int day, const char* code, const char* task = "daily") {
  char line[160];
  std::snprintf(line, sizeof line,
                "Apr %02d 06:07:08 2003 <info><%s><cam> Entry of day %d. (%s)\r\n", day, task, day,
                code);
  return line;
}

class LogShowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(env_.Root() + "/SYSTEM");
    path_ = env_.Root() + "/SYSTEM/kvrpd.log";
  }
  ScopedTestEnv env_;
  std::string path_;
};

TEST_F(LogShowTest, LastEntriesNewestFirstAndTimeWindows) {
  std::string text;
  for (int d = 1; d <= 9; ++d) text += Entry(d, d % 2 ? "D001" : "D002");
  text += "garbage without an end";
  WriteFile(path_, text);
  CliResult r = RunPondrel({"log", "show", "-n", "2"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "D001\t2003/04/09 06:07:08\tdaily\tcam\tEntry of day 9.\n"
            "....\t..........\t..........\t..........\tgarbage without an end\n");
  r = RunPondrel({"log", "show", "-n", "2", "--code", "D002", "--newest-first"});
  EXPECT_EQ(r.out,
            "D002\t2003/04/08 06:07:08\tdaily\tcam\tEntry of day 8.\n"
            "D002\t2003/04/06 06:07:08\tdaily\tcam\tEntry of day 6.\n");
  EXPECT_EQ(RunPondrel({"log", "show", "--lines=0"}).out, "");
  r = RunPondrel(
      {"log", "show", "--since", "2003-04-03T06:07:08", "--until", "2003/04/04 06:07:08"});
  EXPECT_EQ(r.out.substr(0, 4), "D001");
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 2);
  // With a zone, the instant is taken as given: UTC+02:00 is two hours earlier in UTC.
  setenv("TZ", "UTC", 1);
  r = RunPondrel({"log", "show", "--since", "2003-04-09T08:07:08+02:00"});
  EXPECT_EQ(r.out, "D001\t2003/04/09 06:07:08\tdaily\tcam\tEntry of day 9.\n");
  unsetenv("TZ");
  for (const char* bad :
       {"2003-04-31T00:00:00", "1970/01/01 00:00:00", "2003/04/05", "yesterday"}) {
    r = RunPondrel({"log", "show", "--since", bad});
    EXPECT_EQ(r.status, 2) << bad;
    EXPECT_EQ(r.err.find("pondrel: --since: '"), 0u) << r.err;
  }
  EXPECT_EQ(RunPondrel({"log", "show", "-n", "x"}).status, 2);
  EXPECT_EQ(RunPondrel({"log", "show", "--file", env_.Dir()}).err,
            "pondrel: " + env_.Dir() + ": Is a directory\n");
}

TEST_F(LogShowTest, JsonCarriesBadBytesAsValidText) {
  WriteFile(path_,
            std::string("Apr 05 06:07:08 2003 <info><t\xff\x01><cam> caf\xc3\xa9 \xc3 (D001)\n") +
                std::string("bin\0ary\n", 8));
  setenv("TZ", "UTC", 1);
  const CliResult r = RunPondrel({"--json", "log", "show"});
  unsetenv("TZ");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(
      r.out,
      "[{\"code\":\"D001\",\"date\":\"2003-04-05T06:07:08+00:00\",\"level\":\"info\",\"task\":"
      "\"t\xef\xbf\xbd\\u0001\",\"server\":\"cam\",\"message\":\"caf\xc3\xa9 \xef\xbf\xbd\","
      "\"parsed\":true},{\"code\":\"....\",\"date\":null,\"level\":\"\",\"task\":"
      "\"..........\",\"server\":\"..........\",\"message\":\"bin\\u0000ary\",\"parsed\":false}]"
      "\n");
}

TEST_F(LogShowTest, FollowPrintsAppendedEntriesAndStartsOverOnAReplacedFile) {
  WriteFile(path_, Entry(1, "D001"));
  const std::string out = env_.Path("follow.out");
  ProcessOptions options;
  options.output_path = out;
  options.stderr_path = env_.Path("follow.err");
  TestProcess follow;
  ASSERT_TRUE(follow.Start(StageDir() + "/pondrel", {"log", "show", "--follow", "--task", "daily"},
                           options))
      << follow.Error();
  auto wait_for = [&](const std::string& expected) {
    for (int i = 0; i < 100 && ReadFile(out) != expected; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return ReadFile(out);
  };
  const std::string first = "D001\t2003/04/01 06:07:08\tdaily\tcam\tEntry of day 1.\n";
  EXPECT_EQ(wait_for(first), first);
  // Half a line is held back until its end arrives; other tasks are filtered out.
  const std::string two = Entry(2, "D002");
  {
    FILE* f = std::fopen(path_.c_str(), "ab");
    std::fputs(Entry(3, "D003", "other").c_str(), f);
    std::fputs(two.substr(0, 20).c_str(), f);
    std::fclose(f);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(ReadFile(out), first);
  {
    FILE* f = std::fopen(path_.c_str(), "ab");
    std::fputs(two.substr(20).c_str(), f);
    std::fclose(f);
  }
  const std::string second = first + "D002\t2003/04/02 06:07:08\tdaily\tcam\tEntry of day 2.\n";
  EXPECT_EQ(wait_for(second), second);
  // Replaced by a shorter file: read from its start.
  WriteFile(path_ + ".new", Entry(4, "D004"));
  std::filesystem::rename(path_ + ".new", path_);
  const std::string third = second + "D004\t2003/04/04 06:07:08\tdaily\tcam\tEntry of day 4.\n";
  EXPECT_EQ(wait_for(third), third);
  EXPECT_TRUE(follow.Signal(SIGTERM));
  EXPECT_GE(follow.Wait(), 0);
}

}  // namespace
}  // namespace pondrel::test
