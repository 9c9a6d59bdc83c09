#include "taskmodel/activity_log.h"

#include <gtest/gtest.h>

#include <clocale>
#include <string>

#include "common/clock.h"
#include "common/fs_util.h"
#include "taskmodel/timestr.h"
#include "tests/support/test_env.h"
#include "tests/taskmodel/tz_guard.h"

namespace pondrel {
namespace {

using test::ReadFile;
using test::WriteFile;

constexpr char kStarted[] = "Pondrel Task Scheduler Service has started. (S100)";

class ActivityLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::time_t t;
    ASSERT_TRUE(TimeStrToTime("2003/04/05/06/07/08", &t));
    clock_.Set(t);
    SetClock(&clock_);
  }
  void TearDown() override { SetClock(nullptr); }

  test::ScopedTimeZone tz_{"UTC"};
  test::ScopedTestEnv env_;
  TestClock clock_;
};

TEST_F(ActivityLogTest, ServiceLineLayout) {
  // Month names stay English under any locale the system offers.
  const char* old = std::setlocale(LC_TIME, nullptr);
  std::string saved = old ? old : "C";
  for (const char* loc : {"de_DE.UTF-8", "ja_JP.UTF-8", "fr_FR.UTF-8"})
    std::setlocale(LC_TIME, loc);
  EXPECT_EQ(FormatLogLine(clock_.Now(), " ", " ", kLogInfo, kStarted),
            std::string("Apr 05 06:07:08 2003 <info>< >< > ") + kStarted + "\r\n");
  std::setlocale(LC_TIME, saved.c_str());
  EXPECT_EQ(FormatLogLine(clock_.Now(), "task", "(unknown)", kLogError, "x (S001)"),
            "Apr 05 06:07:08 2003 <error><task><(unknown)> x (S001)\r\n");
  EXPECT_STREQ(LogLevelWord(kLogWarning), "warning");
  EXPECT_STREQ(LogLevelWord(17), "error");
}

TEST_F(ActivityLogTest, LongValuesAreCutToOneLineOf1023Characters) {
  const std::string name(256, 'N');
  const std::string server(500, 'S');
  std::string message(2000, 'm');
  message[10] = '\n';
  std::string line = FormatLogLine(clock_.Now(), name, server, kLogWarning, message);
  EXPECT_EQ(line.size(), kMaxLogLineLen);
  EXPECT_EQ(line.substr(line.size() - 2), "\r\n");
  EXPECT_EQ(line.find('\n'), line.size() - 1);
  EXPECT_NE(line.find("<" + name + "><"), std::string::npos);
  EXPECT_NE(line.find("> mmmmmmmmmm m"), std::string::npos);
  // A cut never splits a UTF-8 character.
  std::string utf8;
  for (int i = 0; i < 600; ++i) utf8 += "\xc3\xa9";
  line = FormatLogLine(clock_.Now(), " ", " ", kLogInfo, utf8);
  EXPECT_LE(line.size(), kMaxLogLineLen);
  std::string body = line.substr(line.find("> ") + 2);
  body.resize(body.size() - 2);
  EXPECT_EQ(body.size() % 2, 0u);
  // Short lines are left as they are.
  EXPECT_EQ(FormatLogLine(clock_.Now(), "a\rb", " ", kLogInfo, "m").find("<a b>"), 27u);
}

// Text from outside (a task name from a mailslot message, a server's answer) reaches the log:
// its control characters are written as escapes, so a line never retitles or clears the
// terminal that shows it.
TEST_F(ActivityLogTest, ControlCharactersAreEscaped) {
  const std::string line = FormatLogLine(clock_.Now(), "nope\x1b[31m", "cam\x07", kLogError,
                                         "Execution failure: \x1b]0;owned\x07 (S001)");
  EXPECT_EQ(line,
            "Apr 05 06:07:08 2003 <error><nope\\x1b[31m><cam\\x07> Execution failure: "
            "\\x1b]0;owned\\x07 (S001)\r\n");
  // Escapes count against the line's room like any other text.
  const std::string many(2000, '\x1b');
  EXPECT_LE(FormatLogLine(clock_.Now(), many, many, kLogInfo, many).size(), kMaxLogLineLen);
}

TEST_F(ActivityLogTest, WriterCreatesTheDirectoryChainAndAppends) {
  const std::string path = ServiceLogPath(env_.Root());
  EXPECT_EQ(path, env_.Root() + "/SYSTEM/kvrpd.log");
  WriteLogLine(path, " ", " ", kLogInfo, kStarted);
  clock_.AdvanceSeconds(1);
  WriteLogLine(path, "t", "s", kLogError, "second");
  EXPECT_EQ(ReadFile(path), std::string("Apr 05 06:07:08 2003 <info>< >< > ") + kStarted +
                                "\r\nApr 05 06:07:09 2003 <error><t><s> second\r\n");
  const std::string deep = env_.Root() + "/a/b/c/dl.log";
  WriteLogLine(deep, "t", "s", kLogInfo, "x");
  EXPECT_TRUE(FileExists(deep));
  WriteLogLine("", "t", "s", kLogInfo, "nothing");  // no effect, no crash
  // A path that cannot be opened drops the line silently.
  WriteLogLine(env_.Root() + "/SYSTEM", "t", "s", kLogInfo, "lost");
  EXPECT_EQ(ServiceLogPath(""), "");
}

TEST_F(ActivityLogTest, RunLogIsMergedAndRemoved) {
  const std::string log = ServiceLogPath(env_.Root());
  const std::string run = env_.Root() + "/img/dl.log";
  WriteLogLine(log, " ", " ", kLogInfo, kStarted);
  const std::string before = ReadFile(log);
  EXPECT_EQ(AppendRunLog(log, run), -1);  // no run log yet
  EXPECT_EQ(ReadFile(log), before);

  WriteLogLine(run, "t", "s", kLogInfo, "one (D001)");
  WriteLogLine(run, "t", "s", kLogInfo, "two (D002)");
  const std::string run_text = ReadFile(run);
  EXPECT_EQ(AppendRunLog(log, run), 0);
  EXPECT_EQ(ReadFile(log), before + run_text);
  EXPECT_FALSE(FileExists(run));

  // A run log cut off mid-line gets its line end, so the next line starts cleanly.
  WriteFile(run, "Apr 05 06:07:08 2003 <info><t><s> cut of");
  EXPECT_EQ(AppendRunLog(log, run), 0);
  WriteLogLine(log, " ", " ", kLogInfo, "next");
  const std::string all = ReadFile(log);
  EXPECT_NE(all.find("cut of\r\nApr 05 06:07:08 2003 <info>< >< > next\r\n"), std::string::npos);

  // A log that cannot be opened leaves the run log in place.
  WriteFile(run, "keep\r\n");
  EXPECT_EQ(AppendRunLog(env_.Root() + "/SYSTEM", run), -1);
  EXPECT_TRUE(FileExists(run));
}

}  // namespace
}  // namespace pondrel
