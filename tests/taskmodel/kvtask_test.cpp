#include "taskmodel/kvtask.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <random>
#include <string>
#include <thread>

#include "common/fs_util.h"
#include "common/store_damage.h"
#include "tests/support/test_env.h"
#include "tests/support/test_process.h"

namespace pondrel {
namespace {

using test::ReadFile;
using test::WriteFile;

constexpr char kGuidHex[] = "00112233445566778899aabbccddeeff";

CKVTask MakeTask(const char* name) {
  CKVTask t;
  t.SetName(name);
  SetTaskField(t.StartTime, "2003/04/05/06/07/08");
  GuidFromHex(kGuidHex, &t.ServerId);
  return t;
}

std::string SectionText(const char* name) {
  return std::string("[") + name + "]\r\n" + "ServerId=" + kGuidHex +
         "\r\n"
         "StartTime=2003/04/05/06/07/08\r\nTaskCycle=0\r\nTaskInterval=1\r\nDayofWeek=\r\n"
         "MonthUnit=1\r\nActDayofMonth=1\r\nImageDelete=0\r\nRasDisconnect=0\r\nRetryCnt=0\r\n"
         "RestRetryCnt=0\r\nRetryInterval=1\r\nEffect=1\r\nLastActTime=\r\nActState=5\r\n"
         "ActResult=0\r\nEndCode=0\r\nEndTime=\r\nNextTime=\r\nLoopInterval=1\r\nLoopCnt=0\r\n";
}

class TaskStoreTest : public ::testing::Test {
 protected:
  std::string FilePath() const { return env_.Root() + "/schedule.ini"; }
  std::vector<std::string> Names() {
    std::vector<std::string> names;
    CKVTask t;
    for (int rc = mgr_.GetFirstTask(&t); rc == 0; rc = mgr_.GetNextTask(&t))
      names.push_back(t.Name);
    return names;
  }

  test::ScopedTestEnv env_;
  CKVTaskMgr mgr_{env_.Root()};
};

TEST_F(TaskStoreTest, FirstWriteCreatesOneSectionInTheExactLayout) {
  EXPECT_EQ(mgr_.FilePath(), FilePath());
  CKVTask t = MakeTask("Camera 1");
  EXPECT_EQ(mgr_.WriteTask(t), 0);
  EXPECT_EQ(ReadFile(FilePath()), SectionText("Camera 1"));
  EXPECT_FALSE(FileExists(FilePath() + "bk"));
}

TEST_F(TaskStoreTest, RecordSurvivesTheRoundTrip) {
  CKVTask t = MakeTask("a");
  t.TaskCycle = 1;
  t.TaskInterval = 3;
  SetTaskField(t.DayofWeek, "0101010");
  t.MonthUnit = 0;
  t.ActDayofMonth = 17;
  t.ImageDelete = 1;
  t.RasDisconnect = 1;
  t.RetryCnt = 4;
  t.RestRetryCnt = 2;
  t.RetryInterval = 9;
  t.Effect = 0;
  SetTaskField(t.LastActTime, "2003/04/05/06/07/09");
  t.ActState = kStateRerun;
  t.ActResult = kResultAborted;
  t.EndCode = -8002;
  SetTaskField(t.EndTime, "2003/04/05/06/07/10");
  SetTaskField(t.NextTime, "2003/04/05/06/07/11");
  t.LoopCnt = 23;
  t.LoopInterval = -5;
  ASSERT_EQ(mgr_.WriteTask(t), 0);
  CKVTask back;
  ASSERT_EQ(mgr_.ReadTask("a", &back), 0);
  CKVTask fresh_mgr_read;
  CKVTaskMgr other(env_.Root());
  ASSERT_EQ(other.ReadTask("a", &fresh_mgr_read), 0);
  for (const CKVTask* r : {&back, &fresh_mgr_read}) {
    EXPECT_STREQ(r->Name, "a");
    EXPECT_EQ(r->TaskCycle, 1);
    EXPECT_EQ(r->TaskInterval, 3);
    EXPECT_STREQ(r->DayofWeek, "0101010");
    EXPECT_EQ(r->MonthUnit, 0);
    EXPECT_EQ(r->ActDayofMonth, 17);
    EXPECT_EQ(r->ImageDelete, 1);
    EXPECT_EQ(r->RasDisconnect, 1);
    EXPECT_EQ(r->RetryCnt, 4);
    EXPECT_EQ(r->RestRetryCnt, 2);
    EXPECT_EQ(r->RetryInterval, 9);
    EXPECT_EQ(r->Effect, 0);
    EXPECT_STREQ(r->LastActTime, "2003/04/05/06/07/09");
    EXPECT_EQ(r->ActState, kStateRerun);
    EXPECT_EQ(r->ActResult, kResultAborted);
    EXPECT_EQ(r->EndCode, -8002);
    EXPECT_STREQ(r->EndTime, "2003/04/05/06/07/10");
    EXPECT_STREQ(r->NextTime, "2003/04/05/06/07/11");
    EXPECT_EQ(r->LoopCnt, 23);
    EXPECT_EQ(r->LoopInterval, -5);
    EXPECT_EQ(r->ServerIdText(), kGuidHex);
  }
}

TEST_F(TaskStoreTest, RewriteDropsBlankLinesKeepsCommentsAndForeignLines) {
  WriteFile(FilePath(),
            "orphan=1\r\n; top comment\r\n\r\n[x]\r\nStartTime=2003/01/01/00/00/00\r\n"
            "Custom=keep me\r\n; inside x\r\n\n\n[y]\nStartTime=2003/01/02/00/00/00\r\n\r\n"
            "Other=7\r\n");
  ASSERT_EQ(::chmod(FilePath().c_str(), 0660), 0);
  CKVTask y;
  ASSERT_EQ(mgr_.ReadTask("y", &y), 0);
  y.EndCode = 42;
  ASSERT_EQ(mgr_.WriteTask(y), 0);
  struct stat st;
  ASSERT_EQ(::stat(FilePath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0660u);  // the replacement keeps the file's permissions
  std::string expected =
      "orphan=1\r\n; top comment\r\n[x]\r\nStartTime=2003/01/01/00/00/00\r\n"
      "Custom=keep me\r\n; inside x\r\n";
  std::string ysec = SectionText("y");
  ysec.replace(ysec.find("ServerId=") + 9, 32, std::string(32, '0'));
  ysec.replace(ysec.find("StartTime=2003/04/05/06/07/08"), 29, "StartTime=2003/01/02/00/00/00");
  ysec.replace(ysec.find("EndCode=0"), 9, "EndCode=42");
  EXPECT_EQ(ReadFile(FilePath()), expected + ysec);
}

TEST_F(TaskStoreTest, ReadingRules) {
  WriteFile(
      FilePath(),
      "[abc] \r\nEffect=0\r\n"
      "[n]\r\nNextTime=\r\nServerId=00112233445566778899AABBCCDDEEFF\r\nRetryCnt= -12x\r\n"
      "TaskInterval=junk\r\nLoopInterval=300\r\nEndCode=99999999999\r\nA=B=RetryInterval=5\r\n"
      "StartTime=2003/04/05/06/07/08/09/10/11/12/13\r\nDayofWeek=01010101111\r\n"
      "[empty]\r\n; no keys\r\n");
  CKVTask t;
  ASSERT_EQ(mgr_.ReadTask("abc]", &t), 0);  // the last character, a blank, is dropped
  EXPECT_STREQ(t.Name, "abc]");
  EXPECT_EQ(t.Effect, 0);

  t = MakeTask("keep");
  SetTaskField(t.NextTime, "2003/01/01/00/00/00");
  ASSERT_EQ(mgr_.ReadTask("n", &t), 0);
  EXPECT_STREQ(t.Name, "n");
  EXPECT_STREQ(t.NextTime, "");
  EXPECT_TRUE(t.ServerId.IsZero());  // upper-case digits do not decode
  EXPECT_EQ(t.RetryCnt, -12);
  EXPECT_EQ(t.TaskInterval, 0);
  EXPECT_EQ(t.LoopInterval, 44);  // 300 in 8 bits
  EXPECT_EQ(t.EndCode, INT32_MAX);
  EXPECT_EQ(t.RetryInterval, 1);  // the key before the last "=" is "A=B=RetryInterval"
  EXPECT_STREQ(t.StartTime, "2003/04/05/06/07/08/");  // cut to the field
  EXPECT_STREQ(t.DayofWeek, "0101010");

  // Absent task, and a header without key lines: 0, name untouched.
  t = MakeTask("previous");
  t.ActResult = kResultFailed;
  EXPECT_EQ(mgr_.ReadTask("absent", &t), 0);
  EXPECT_STREQ(t.Name, "previous");
  EXPECT_EQ(t.ActResult, kResultNone);
  EXPECT_EQ(mgr_.ReadTask("empty", &t), 0);
  EXPECT_STREQ(t.Name, "previous");
  EXPECT_EQ(mgr_.ReadTask("", &t), -1);
  EXPECT_EQ(mgr_.ReadTask(std::string(257, 'n'), &t), -1);
}

TEST_F(TaskStoreTest, Validate) {
  CKVTask t = MakeTask("v");
  EXPECT_EQ(t.Validate(), 0);
  t.ActState = 4;
  EXPECT_EQ(t.Validate(), -1);
  EXPECT_EQ(t.ActState, kStateDisabled);
  EXPECT_EQ(t.Validate(), 0);
  t.ActResult = 3;
  EXPECT_EQ(t.Validate(), -1);
  EXPECT_EQ(t.ActResult, kResultRunning);
  t.TaskCycle = kCycleWeeks;
  SetTaskField(t.DayofWeek, "0000000");
  EXPECT_EQ(t.Validate(), -1);
  SetTaskField(t.DayofWeek, "0000001");
  EXPECT_EQ(t.Validate(), 0);
  t.RetryInterval = 100;
  EXPECT_EQ(t.Validate(), -1);
  t = MakeTask("v");
  SetTaskField(t.StartTime, "2003/04/05/06/07/8");
  EXPECT_EQ(t.Validate(), -1);
  t = MakeTask("");
  EXPECT_EQ(t.Validate(), -1);
}

TEST_F(TaskStoreTest, FieldsRefuseOverlongOrMultiLineText) {
  CKVTask t = MakeTask("ok");
  EXPECT_FALSE(t.SetName(std::string(257, 'x')));
  EXPECT_TRUE(t.SetName(std::string(256, 'x')));
  EXPECT_FALSE(t.SetName("two\nlines"));
  EXPECT_FALSE(SetTaskField(t.StartTime, "2003/04/05/06/07/08/xx"));
  EXPECT_FALSE(SetTaskField(t.DayofWeek, "11111111"));
  // A record filled in by hand with a line break is refused as a whole.
  t = MakeTask("inj");
  std::strcpy(t.EndTime, "x\r\n[evil]");
  EXPECT_EQ(mgr_.WriteTask(t), -1);
  EXPECT_FALSE(FileExists(FilePath()));
  // A name of the full 256 characters round-trips.
  t = MakeTask("");
  t.SetName(std::string(256, 'L'));
  ASSERT_EQ(mgr_.WriteTask(t), 0);
  CKVTask back;
  EXPECT_EQ(mgr_.ReadTask(std::string(256, 'L'), &back), 0);
  EXPECT_EQ(std::string(back.Name), std::string(256, 'L'));
  EXPECT_EQ(mgr_.WriteTask(MakeTask("")), 0);  // nothing written for an empty name
}

TEST_F(TaskStoreTest, EnumerationPassesOverUnreadableSections) {
  WriteFile(FilePath(), SectionText("one") + "[]\r\nEffect=1\r\n[" + std::string(300, 'L') +
                            "]\r\nEffect=1\r\n[two]\r\n[one]\r\nEffect=0\r\n" +
                            SectionText("three"));
  EXPECT_EQ(Names(), (std::vector<std::string>{"one", "three"}));
  std::vector<CKVTask> all;
  EXPECT_EQ(mgr_.ReadAllTasks(&all), 0);
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].Effect, 0);  // the later section of the same name overrides
  // Enumeration resets the record: nothing leaks from one task into the next.
  WriteFile(FilePath(), SectionText("a") + "[b]\r\nEffect=1\r\n");
  CKVTask t;
  ASSERT_EQ(mgr_.GetFirstTask(&t), 0);
  ASSERT_EQ(mgr_.GetNextTask(&t), 0);
  EXPECT_STREQ(t.Name, "b");
  EXPECT_STREQ(t.StartTime, "");
  EXPECT_EQ(mgr_.GetNextTask(&t), -1);
  WriteFile(FilePath(), "; nothing\r\n");
  EXPECT_EQ(mgr_.GetFirstTask(&t), -1);
}

TEST_F(TaskStoreTest, WritingDuringEnumerationKeepsThePass) {
  for (const char* n : {"a", "b", "c", "d"}) ASSERT_EQ(mgr_.WriteTask(MakeTask(n)), 0);
  std::vector<std::string> seen;
  CKVTask t;
  for (int rc = mgr_.GetFirstTask(&t); rc == 0; rc = mgr_.GetNextTask(&t)) {
    seen.push_back(t.Name);
    t.EndCode = 7;
    ASSERT_EQ(mgr_.WriteTask(t), 0);
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"a", "b", "c", "d"}));
  // Changes by another store (another process) are seen at once.
  CKVTaskMgr other(env_.Root());
  CKVTask c = MakeTask("c");
  c.EndCode = 99;
  ASSERT_EQ(other.WriteTask(c), 0);
  ASSERT_EQ(mgr_.ReadTask("c", &t), 0);
  EXPECT_EQ(t.EndCode, 99);
}

TEST_F(TaskStoreTest, DeleteAndReplace) {
  for (const char* n : {"a", "b", "c"}) ASSERT_EQ(mgr_.WriteTask(MakeTask(n)), 0);
  EXPECT_EQ(mgr_.DeleteTask("b"), 0);
  EXPECT_EQ(Names(), (std::vector<std::string>{"a", "c"}));
  EXPECT_EQ(mgr_.DeleteTask("absent"), 0);
  EXPECT_EQ(mgr_.DeleteTask(""), 0);

  CKVTask renamed = MakeTask("A2");
  renamed.RetryCnt = 3;
  EXPECT_EQ(mgr_.ReplaceTask("a", renamed), 0);
  EXPECT_EQ(Names(), (std::vector<std::string>{"A2", "c"}));
  CKVTask t;
  mgr_.ReadTask("a", &t);
  EXPECT_STREQ(t.Name, "");

  CKVTask running = MakeTask("c");
  running.ActState = kStateRunning;
  ASSERT_EQ(mgr_.WriteTask(running), 0);
  EXPECT_EQ(mgr_.ReplaceTask("c", MakeTask("c")), -2);
  // An edit of a task that vanished meanwhile is kept, at the end.
  EXPECT_EQ(mgr_.ReplaceTask("gone", MakeTask("new")), 0);
  EXPECT_EQ(Names(), (std::vector<std::string>{"A2", "c", "new"}));

  std::remove(FilePath().c_str());
  EXPECT_EQ(mgr_.DeleteTask("a"), 0);
  EXPECT_FALSE(FileExists(FilePath()));
}

TEST_F(TaskStoreTest, RecoversACompleteTemporaryFileOnly) {
  const std::string bk = FilePath() + "bk";
  WriteFile(bk, SectionText("saved") + "; trailing comment\r\n");
  CKVTask t;
  EXPECT_EQ(mgr_.ReadTask("saved", &t), 0);
  EXPECT_STREQ(t.Name, "saved");
  EXPECT_TRUE(FileExists(FilePath()));
  EXPECT_FALSE(FileExists(bk));

  // A temporary file cut short by a crash is not taken for the schedule.
  std::remove(FilePath().c_str());
  std::string partial = SectionText("x") + SectionText("y");
  WriteFile(bk, partial.substr(0, partial.size() - 12));
  EXPECT_EQ(mgr_.ReadTask("x", &t), -1);
  EXPECT_FALSE(FileExists(FilePath()));
  // The next write starts a new file and the leftover goes.
  EXPECT_EQ(mgr_.WriteTask(MakeTask("z")), 0);
  EXPECT_EQ(ReadFile(FilePath()), SectionText("z"));
}

TEST_F(TaskStoreTest, BadFilesNeverCrashAndRewritesKeepOtherSections) {
  std::mt19937 rng(7);
  const std::string good =
      SectionText("keep1") + "; c\r\n" + SectionText("t") + SectionText("keep2");
  for (int i = 0; i < 200; ++i) {
    std::string text = good;
    switch (i % 4) {
      case 0:  // truncated
        text.resize(rng() % text.size());
        break;
      case 1:  // random bytes inside one section, its line breaks left in place
        for (int k = 0; k < 20; ++k) {
          size_t pos = SectionText("keep1").size() + 5 + rng() % SectionText("t").size();
          char c = static_cast<char>(rng() % 256);
          if (c != '\r' && c != '\n' && c != '[' && text[pos] != '\r' && text[pos] != '\n') {
            text[pos] = c;
          }
        }
        break;
      case 2: {  // pure binary
        text.clear();
        for (int k = 0; k < 2000; ++k) text.push_back(static_cast<char>(rng() % 256));
        break;
      }
      case 3:  // hand-mangled: brackets, equals signs, huge values
        text = "[\r\n[[\r\n]\r\n=\r\n==\r\n[t]\r\nStartTime=" + std::string(5000, '9') +
               "\r\nTaskCycle=" + std::string(400, '9') + "\r\n" + good;
        break;
    }
    WriteFile(FilePath(), text);
    CKVTask t;
    (void)mgr_.ReadTask("t", &t);
    std::vector<CKVTask> all;
    (void)mgr_.ReadAllTasks(&all);
    for (int rc = mgr_.GetFirstTask(&t); rc == 0; rc = mgr_.GetNextTask(&t)) t.Validate();
    if (i % 4 == 1 || i % 4 == 3) {
      ASSERT_EQ(mgr_.WriteTask(MakeTask("t")), 0);
      std::string after = ReadFile(FilePath());
      EXPECT_NE(after.find(SectionText("keep1")), std::string::npos) << i;
      EXPECT_NE(after.find(SectionText("keep2")), std::string::npos) << i;
      EXPECT_NE(after.find("; c\r\n"), std::string::npos) << i;
    }
  }
}

// Collects what the stores report as damaged while it lives.
class DamageLog {
 public:
  DamageLog() {
    SetStoreDamageObserver([this](const StoreDamage& d) { seen.push_back(d); });
  }
  ~DamageLog() { SetStoreDamageObserver(nullptr); }
  std::vector<StoreDamage> seen;
};

// A byte-order mark is harmless; UTF-16, NUL bytes and a cut last line are read as well as
// they can be and reported, with a copy of the file kept aside before any rewrite drops them.
TEST_F(TaskStoreTest, DamagedFilesAreReadToldAndKeptAside) {
  DamageLog log;
  const std::string two = SectionText("one") + SectionText("two");
  WriteFile(FilePath(), "\xEF\xBB\xBF" + two);
  EXPECT_EQ(Names(), (std::vector<std::string>{"one", "two"}));
  EXPECT_TRUE(log.seen.empty());
  ASSERT_EQ(mgr_.WriteTask(MakeTask("two")), 0);
  EXPECT_EQ(ReadFile(FilePath()), two);  // the mark is gone, nothing else changed

  std::string utf16 = "\xFF\xFE";
  for (char c : two) utf16 += std::string{c, '\0'};
  std::string utf16be = "\xFE\xFF";
  for (char c : two) utf16be += std::string{'\0', c};
  struct Case {
    const char* what;
    std::string content;
    std::string told;
  };
  const std::vector<Case> cases = {
      {"UTF-16", utf16, "UTF-16"},
      {"UTF-16 big-endian", utf16be, "UTF-16"},
      {"NUL bytes", SectionText("one") + std::string(3, '\0') + SectionText("two"), "3 NUL bytes"},
      {"zeroed block", SectionText("one") + std::string(512, '\0') + SectionText("two"),
       "512 NUL bytes (the first at byte " + std::to_string(SectionText("one").size()) + ")"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    log.seen.clear();
    WriteFile(FilePath(), c.content);
    EXPECT_EQ(Names(), (std::vector<std::string>{"one", "two"}));
    ASSERT_EQ(log.seen.size(), 1u);  // told once, though the pass read the file per task
    EXPECT_EQ(log.seen[0].file, FilePath());
    EXPECT_NE(log.seen[0].skipped.find(c.told), std::string::npos) << log.seen[0].skipped;
    ASSERT_NE(log.seen[0].copy, "");
    EXPECT_EQ(ReadFile(log.seen[0].copy), c.content);
    // The next change writes 8-bit text without the damage; the copy stays.
    ASSERT_EQ(mgr_.WriteTask(MakeTask("one")), 0);
    EXPECT_EQ(ReadFile(FilePath()), two);
    EXPECT_EQ(ReadFile(log.seen[0].copy), c.content);
    std::vector<CKVTask> all;
    ASSERT_EQ(mgr_.ReadAllTasks(&all), 0);
    EXPECT_EQ(log.seen.size(), 1u);  // the rewritten file is whole
  }
  // The same damage read again reuses its copy; another damage gets a copy of its own.
  log.seen.clear();
  WriteFile(FilePath(), utf16);
  EXPECT_EQ(Names().size(), 2u);
  WriteFile(FilePath(), SectionText("one") + "[tw");
  EXPECT_EQ(Names(), (std::vector<std::string>{"one"}));
  ASSERT_EQ(log.seen.size(), 2u);
  EXPECT_EQ(log.seen[0].copy, FilePath() + ".damaged");
  EXPECT_NE(log.seen[1].skipped.find("\"[tw\" is cut short"), std::string::npos)
      << log.seen[1].skipped;
  EXPECT_EQ(log.seen[1].copy, FilePath() + ".damaged.4");
  // A file whose last line merely lacks its line end is whole.
  log.seen.clear();
  std::string unterminated = two;
  unterminated.resize(unterminated.size() - 2);
  WriteFile(FilePath(), unterminated);
  EXPECT_EQ(Names().size(), 2u);
  EXPECT_TRUE(log.seen.empty());
}

// Without a place for the copy, a damaged file is read but not rewritten: what could not be
// read is never dropped without a copy.
TEST_F(TaskStoreTest, DamagedFileIsNotRewrittenWithoutItsCopy) {
  if (::geteuid() == 0) GTEST_SKIP() << "root writes into any directory";
  const std::string damaged = SectionText("one") + std::string(4, '\0') + SectionText("two");
  WriteFile(FilePath(), damaged);
  ASSERT_EQ(::chmod(env_.Root().c_str(), 0555), 0);
  EXPECT_EQ(Names().size(), 2u);
  EXPECT_EQ(mgr_.WriteTask(MakeTask("one")), -1);
  ::chmod(env_.Root().c_str(), 0755);
  EXPECT_EQ(ReadFile(FilePath()), damaged);
}

TEST_F(TaskStoreTest, OversizedFileIsRefusedAndLeftAlone) {
  {
    int fd = ::open(FilePath().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, 65 * 1024 * 1024), 0);  // sparse: costs no disk space
    ::close(fd);
  }
  CKVTask t;
  EXPECT_EQ(mgr_.ReadTask("t", &t), -1);
  EXPECT_EQ(mgr_.GetFirstTask(&t), -2);
  EXPECT_EQ(mgr_.WriteTask(MakeTask("t")), -1);
  EXPECT_EQ(mgr_.DeleteTask("t"), -1);
  struct stat st;
  ASSERT_EQ(::stat(FilePath().c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 65 * 1024 * 1024);
}

TEST(TaskStoreNoRoot, EveryOperationFails) {
  test::ScopedTestEnv env(/*write_root=*/false);
  CKVTaskMgr mgr;
  EXPECT_EQ(mgr.FilePath(), "");
  CKVTask t = MakeTask("t");
  EXPECT_EQ(mgr.ReadTask("t", &t), -1);
  EXPECT_EQ(mgr.GetFirstTask(&t), -1);
  EXPECT_EQ(mgr.GetNextTask(&t), -1);
  EXPECT_EQ(mgr.WriteTask(t), -1);
  EXPECT_EQ(mgr.DeleteTask("t"), -1);
  EXPECT_EQ(mgr.ReplaceTask("t", t), -1);
  std::vector<CKVTask> all;
  EXPECT_EQ(mgr.ReadAllTasks(&all), -1);
  // A path beyond 259 characters counts as none.
  CKVTaskMgr long_root(std::string(250, 'r'));
  EXPECT_EQ(long_root.FilePath(), "");
  // The registry's ROOT is used when present.
  test::ScopedTestEnv with_root;
  CKVTaskMgr from_registry;
  EXPECT_EQ(from_registry.FilePath(), with_root.Root() + "/schedule.ini");
}

TEST(TaskStoreLock, HeldAcrossProcesses) {
  test::ScopedTestEnv env;
  CKVTaskMgr mgr(env.Root());
  int to_child[2], to_parent[2];
  ASSERT_EQ(pipe(to_child), 0);
  ASSERT_EQ(pipe(to_parent), 0);
  test::TestProcess holder;
  ASSERT_TRUE(holder.StartCopy([&] {
    CKVTaskMgr child(env.Root());
    char c = child.Lock(0) ? 'L' : 'F';
    (void)!write(to_parent[1], &c, 1);
    (void)!read(to_child[0], &c, 1);  // hold until told
    child.Unlock();
    return 0;
  })) << holder.Error();
  char c = 0;
  ASSERT_EQ(read(to_parent[0], &c, 1), 1);
  ASSERT_EQ(c, 'L');
  EXPECT_FALSE(mgr.Lock(0));
  EXPECT_FALSE(mgr.Lock(250));
  std::thread release([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    char go = 'u';
    (void)!write(to_child[1], &go, 1);
  });
  EXPECT_TRUE(mgr.Lock(-1));  // waits for the other process
  release.join();
  EXPECT_TRUE(mgr.IsLocked());
  EXPECT_FALSE(mgr.Lock(0));  // not re-entrant
  {
    CKVTaskMgr second(env.Root());
    TaskFileLock guard(second, 0);
    EXPECT_FALSE(guard.held());
  }
  mgr.Unlock();
  {
    CKVTaskMgr second(env.Root());
    TaskFileLock guard(second, 0);
    EXPECT_TRUE(guard.held());
  }
  EXPECT_TRUE(mgr.Lock(0));
  mgr.Unlock();
  EXPECT_EQ(holder.Wait(), 0);
  for (int fd : {to_child[0], to_child[1], to_parent[0], to_parent[1]}) close(fd);
}

TEST(TaskStoreLock, ConcurrentRewritersLoseNothing) {
  // Two processes writing different tasks without the named lock: every rewrite is still
  // serialised, so no task is lost and the file is never torn.
  test::ScopedTestEnv env;
  constexpr int kEach = 40;
  // Each writes its own tasks; the copy stops at its first failed write.
  auto write_tasks = [&](const char* prefix) {
    CKVTaskMgr mgr(env.Root());
    for (int i = 0; i < kEach; ++i) {
      std::string name = std::string(prefix) + std::to_string(i);
      if (mgr.WriteTask(MakeTask(name.c_str())) != 0) return false;
    }
    return true;
  };
  test::TestProcess other;
  ASSERT_TRUE(other.StartCopy([&] { return write_tasks("child") ? 0 : 1; })) << other.Error();
  write_tasks("parent");  // a task it lost shows in the count below
  ASSERT_EQ(other.Wait(), 0);
  CKVTaskMgr mgr(env.Root());
  std::vector<CKVTask> all;
  ASSERT_EQ(mgr.ReadAllTasks(&all), 0);
  EXPECT_EQ(all.size(), 2u * kEach);
}

TEST_F(TaskStoreTest, BatchWriteReplacesInPlaceAppendsNewOnesAndKeepsTheRest) {
  WriteFile(FilePath(), "; kept\r\n" + SectionText("a") + SectionText("b") + SectionText("c"));
  std::vector<CKVTask> batch{MakeTask("c"), MakeTask("new"), MakeTask("a"), MakeTask("c"),
                             CKVTask()};
  batch[0].EndCode = 3;
  batch[2].EndCode = 1;
  batch[3].EndCode = 99;  // the same name again: the first one counts
  ASSERT_EQ(mgr_.WriteTasks(batch), 0);
  auto with_code = [](const char* name, int code) {
    std::string text = SectionText(name);
    const std::string from = "EndCode=0\r\n";
    text.replace(text.find(from), from.size(), "EndCode=" + std::to_string(code) + "\r\n");
    return text;
  };
  EXPECT_EQ(ReadFile(FilePath()), "; kept\r\n" + with_code("a", 1) + SectionText("b") +
                                      with_code("c", 3) + SectionText("new"));
  EXPECT_FALSE(FileExists(FilePath() + "bk"));
  EXPECT_EQ(mgr_.WriteTasks({}), 0);

  // A task that cannot be written fails the whole batch, and the file stays as it was.
  const std::string before = ReadFile(FilePath());
  CKVTask bad = MakeTask("b");
  std::memcpy(bad.NextTime, "2003/04\r\n", 10);
  EXPECT_EQ(mgr_.WriteTasks({MakeTask("z"), bad}), -1);
  EXPECT_EQ(ReadFile(FilePath()), before);

  // On a missing file the batch creates it.
  ASSERT_EQ(::unlink(FilePath().c_str()), 0);
  ASSERT_EQ(mgr_.WriteTasks({MakeTask("x"), MakeTask("y")}), 0);
  EXPECT_EQ(ReadFile(FilePath()), SectionText("x") + SectionText("y"));
}

TEST(TaskStoreCrash, AKilledBatchWriteLosesNoTaskAndTearsNothing) {
  // A writer killed at any point of a batch write leaves either the old file or the new one,
  // whole: every task is there, and all of them carry the same generation.
  test::ScopedTestEnv env;
  constexpr int kTasks = 3000;
  {
    std::vector<CKVTask> all;
    for (int i = 0; i < kTasks; ++i) all.push_back(MakeTask(("task" + std::to_string(i)).c_str()));
    CKVTaskMgr mgr(env.Root());
    ASSERT_EQ(mgr.WriteTasks(all), 0);
  }
  std::mt19937 rng(20261208);
  int generation = 0;
  for (int round = 1; round <= 12; ++round) {
    test::TestProcess writer;
    ASSERT_TRUE(writer.StartCopy([&] {
      SetSyncDelayForTest(20);  // widens the moment between the flush and the rename
      CKVTaskMgr mgr(env.Root());
      std::vector<CKVTask> all;
      if (mgr.ReadAllTasks(&all) != 0) return 2;
      for (CKVTask& t : all) t.EndCode = round;
      return mgr.WriteTasks(all) == 0 ? 0 : 1;
    })) << writer.Error();
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % 40000));
    writer.Signal(SIGKILL);
    const int status = writer.Wait();
    ASSERT_GE(status, 0);
    if (writer.Exited()) {
      ASSERT_EQ(status, 0);
    }
    CKVTaskMgr mgr(env.Root());
    std::vector<CKVTask> all;
    ASSERT_EQ(mgr.ReadAllTasks(&all), 0) << "round " << round;
    ASSERT_EQ(all.size(), static_cast<std::size_t>(kTasks)) << "round " << round;
    const int seen = all.front().EndCode;
    EXPECT_TRUE(seen == generation || seen == round) << "round " << round << ": " << seen;
    for (const CKVTask& t : all) ASSERT_EQ(t.EndCode, seen) << t.Name;
    generation = seen;
  }
}

}  // namespace
}  // namespace pondrel
