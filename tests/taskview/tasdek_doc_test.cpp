#include "taskview/tasdek_doc.h"

#include <gtest/gtest.h>

#include "servers/srv_result.h"
#include "taskview/messages.h"
#include "tests/support/test_env.h"
#include "tests/taskview/test_helpers.h"

namespace pondrel::tasdek {
namespace {

using testing::AddServer;
using testing::MakeTask;
using testing::StoreTask;

TEST(DescribeSchedule, EveryKindEndsInCommaAndBlank) {
  CKVTask t;
  SetTaskField(t.StartTime, "2002/01/15/10/30/00");
  t.TaskCycle = kCycleWeeks;
  t.TaskInterval = 1;
  SetTaskField(t.DayofWeek, "1111111");
  EXPECT_EQ(DescribeSchedule(t), "Start Time:2002/01/15 10:30:00 Interval:every 7 days of week, ");

  SetTaskField(t.DayofWeek, "0101010");
  t.TaskInterval = 2;
  EXPECT_EQ(DescribeSchedule(t),
            "Start Time:2002/01/15 10:30:00 Interval:every 2 weeks on Mon, Wed, Fri, ");

  t.TaskCycle = kCycleMonths;
  t.MonthUnit = kMonthByWeekday;
  t.TaskInterval = 45;
  EXPECT_EQ(DescribeSchedule(t),
            "Start Time:2002/01/15 10:30:00 Interval:the final Fri of every month, ");
  t.TaskInterval = 57;  // ordinal and weekday out of range leave their words empty
  EXPECT_EQ(DescribeSchedule(t), "Start Time:2002/01/15 10:30:00 Interval:the   of every month, ");

  t.MonthUnit = kMonthByDay;
  t.ActDayofMonth = 31;
  EXPECT_EQ(DescribeSchedule(t),
            "Start Time:2002/01/15 10:30:00 Execution Date:day 31 of every month, ");

  t.TaskCycle = kCycleDays;
  t.TaskInterval = 1;
  EXPECT_EQ(DescribeSchedule(t), "Start Time:2002/01/15 10:30:00 Interval:every day, ");
  t.TaskInterval = 3;
  EXPECT_EQ(DescribeSchedule(t), "Start Time:2002/01/15 10:30:00 Interval:every 3 days, ");

  t.TaskCycle = kCycleOnce;
  EXPECT_EQ(DescribeSchedule(t), "Start Time:2002/01/15 10:30:00 ");
}

TEST(RowTexts, LastResultAndNextRunTime) {
  CKVTask t;
  EXPECT_EQ(LastResultText(t), "");  // never ran
  EXPECT_EQ(NextRunText(t), "");
  t.ActResult = kResultStartFailed;
  SetTaskField(t.LastActTime, "2003/04/05/06/07/08");
  SetTaskField(t.EndTime, "2004/01/01/00/00/00");
  EXPECT_EQ(LastResultText(t), "Failed to start(2003/04/05 06:07)");
  t.ActResult = kResultSucceeded;
  EXPECT_EQ(LastResultText(t), "Succeeded(2004/01/01 00:00)");
  t.EndTime[0] = '\0';
  EXPECT_EQ(LastResultText(t), "Succeeded");
  t.ActResult = kResultAborted;
  EXPECT_EQ(LastResultText(t), "Aborted");
  t.ActResult = kResultRunning;
  EXPECT_EQ(LastResultText(t), "");
  SetTaskField(t.NextTime, "2003/04/05/06/07/08");
  EXPECT_EQ(NextRunText(t), "2003/04/05 06:07");
}

TEST(RowTexts, StatusImageRules) {
  TaskEntry e;
  e.task.TaskCycle = kCycleOnce;
  EXPECT_EQ(StatusImage(e), 0);  // once, no next run
  SetTaskField(e.task.NextTime, "2003/04/05/06/07/08");
  EXPECT_EQ(StatusImage(e), 4);
  e.task.ActState = kStateRunning;
  EXPECT_EQ(StatusImage(e), 3);
  e.invalid = true;
  EXPECT_EQ(StatusImage(e), 2);
  e.task.Effect = 0;
  EXPECT_EQ(StatusImage(e), 1);
}

TEST(TaskChangedMessage, OnlyZoric01NamesATask) {
  std::string name;
  ASSERT_TRUE(ParseTaskChangedMessage("ZORIC:01::05:01:2003/04/05/06/07/08:Daily", &name));
  EXPECT_EQ(name, "Daily");
  EXPECT_FALSE(ParseTaskChangedMessage("ZORIC:02:Daily", &name));
  EXPECT_FALSE(ParseTaskChangedMessage("ZORIC:01", &name));
  EXPECT_FALSE(ParseTaskChangedMessage("", &name));
}

// Where results leave as numbers they keep the numbers other programs and the shared error
// texts know: the profile store's codes, and the document's codes that the automation object
// answers and ShowError words.
TEST(ResultNumbers, StoreAndDocumentCodesAreTheFixedOnes) {
  EXPECT_EQ(ResultCode(SrvResult::SRV_OK), 0);
  EXPECT_EQ(ResultCode(SrvResult::SRV_ERR_MEMORY), 1);
  EXPECT_EQ(ResultCode(SrvResult::SRV_ERR_READ), 2);
  EXPECT_EQ(ResultCode(SrvResult::SRV_ERR_WRITE), 3);
  EXPECT_EQ(ResultCode(SrvResult::SRV_ERR_INVALID), 4);
  EXPECT_EQ(ResultCode(SrvResult::SRV_END_OF_FILE), 5);
  EXPECT_EQ(ResultCode(SrvResult::SRV_ERR_GUID), 6);
  EXPECT_EQ(ResultCode(SrvResult::SRV_ERR_NOT_FOUND), 7);
  EXPECT_EQ(ResultCode(SrvResult::SRV_ERR_NAME_EXISTS), 8);
  EXPECT_EQ(ResultCode(SrvResult::SRV_ERR_DIR_IN_USE), 9);
  EXPECT_EQ(ResultCode(SrvResult::SRV_ERR_LOCK), 10);
  EXPECT_EQ(ResultCode(SrvResult::SRV_ERR_NO_ID), 11);

  EXPECT_EQ(ResultCode(DocResult::kOk), 0);
  EXPECT_EQ(ResultCode(DocResult::kReadError), 1);
  EXPECT_EQ(ResultCode(DocResult::kWriteError), 2);
  EXPECT_EQ(ResultCode(DocResult::kNoMemory), 3);
  EXPECT_EQ(ResultCode(DocResult::kTaskRunning), 7);
  EXPECT_STREQ(ErrorText(ResultCode(DocResult::kOk)), "");
  EXPECT_STREQ(ErrorText(ResultCode(DocResult::kReadError)), kMsgReadFailed);
  EXPECT_STREQ(ErrorText(ResultCode(DocResult::kWriteError)), kMsgWriteSettingFailed);
  EXPECT_STREQ(ErrorText(ResultCode(DocResult::kNoMemory)), kMsgNoMemory);
  EXPECT_STREQ(ErrorText(ResultCode(DocResult::kTaskRunning)), kMsgTaskRunning);
}

TEST(TasdekDoc, MissingOrEmptyFileGivesEmptyList) {
  test::ScopedTestEnv env;
  CTasdekDoc doc;
  EXPECT_EQ(doc.LoadTasks(), DocResult::kOk);
  EXPECT_TRUE(doc.Tasks().empty());
  test::WriteFile(env.Root() + "/schedule.ini", "");
  EXPECT_EQ(doc.LoadTasks(), DocResult::kOk);
  EXPECT_TRUE(doc.Tasks().empty());
}

TEST(TasdekDoc, NoRootIsAReadError) {
  test::ScopedTestEnv env(false);
  CTasdekDoc doc;
  EXPECT_EQ(doc.LoadTasks(), DocResult::kReadError);
}

TEST(TasdekDoc, TaskOfAVanishedServerIsHiddenButKeptAndNeverOverwritten) {
  test::ScopedTestEnv env;
  const Guid cam = AddServer("cam", env.Dir() + "/img");
  Guid gone;
  gone.bytes[0] = 0x42;
  StoreTask(MakeTask("visible", cam));
  CKVTask hidden = MakeTask("hidden", gone);
  hidden.RetryCnt = 4;
  StoreTask(hidden);

  CTasdekDoc doc;
  ASSERT_EQ(doc.LoadTasks(), DocResult::kOk);
  ASSERT_EQ(doc.Tasks().size(), 1u);
  EXPECT_EQ(doc.Tasks()[0].server_name, "cam");
  EXPECT_TRUE(doc.NameInUse("hidden"));

  // Adding a task under the hidden task's name must not replace it.
  EXPECT_EQ(doc.AddTask(MakeTask("hidden", cam)), DocResult::kNameExists);
  CKVTaskMgr mgr;
  CKVTask stored;
  ASSERT_EQ(mgr.ReadTask("hidden", &stored), 0);
  EXPECT_EQ(stored.RetryCnt, 4);
  EXPECT_EQ(stored.ServerId, gone);
}

TEST(TasdekDoc, RunningTaskCanBeNeitherModifiedNorDeleted) {
  test::ScopedTestEnv env;
  const Guid cam = AddServer("cam", env.Dir() + "/img");
  CKVTask t = MakeTask("busy", cam);
  t.ActState = kStateRunning;
  StoreTask(t);
  CTasdekDoc doc;
  ASSERT_EQ(doc.LoadTasks(), DocResult::kOk);
  EXPECT_TRUE(doc.IsServerRunning(cam));

  CKVTask edited = MakeTask("busy", cam);
  edited.RetryCnt = 9;
  EXPECT_EQ(doc.ModifyTask("busy", edited), DocResult::kTaskRunning);
  EXPECT_EQ(doc.DeleteTask("busy"), DocResult::kTaskRunning);
  CKVTaskMgr mgr;
  CKVTask stored;
  ASSERT_EQ(mgr.ReadTask("busy", &stored), 0);
  EXPECT_STREQ(stored.Name, "busy");
  EXPECT_EQ(stored.RetryCnt, 0);

  // Once the run has ended the edit goes through, renaming included.
  t.ActState = kStateWaiting;
  StoreTask(t);
  CKVTask renamed = MakeTask("calm", cam);
  EXPECT_EQ(doc.ModifyTask("busy", renamed), DocResult::kOk);
  EXPECT_EQ(doc.FindTask("busy"), nullptr);
  ASSERT_NE(doc.FindTask("calm"), nullptr);
  EXPECT_EQ(doc.DeleteTask("calm"), DocResult::kOk);
  EXPECT_TRUE(doc.Tasks().empty());
}

TEST(TasdekDoc, RenameOntoAnotherTaskIsRefused) {
  test::ScopedTestEnv env;
  const Guid cam = AddServer("cam", env.Dir() + "/img");
  StoreTask(MakeTask("a", cam));
  StoreTask(MakeTask("b", cam));
  CTasdekDoc doc;
  ASSERT_EQ(doc.LoadTasks(), DocResult::kOk);
  EXPECT_EQ(doc.ModifyTask("a", MakeTask("b", cam)), DocResult::kNameExists);
  EXPECT_EQ(doc.Tasks().size(), 2u);
}

TEST(TasdekDoc, AddedAndEditedRowsShowTheirServerName) {
  test::ScopedTestEnv env;
  const Guid cam = AddServer("cam", env.Dir() + "/img");
  const Guid yard = AddServer("yard", env.Dir() + "/yard");
  StoreTask(MakeTask("t", cam));
  CTasdekDoc doc;
  ASSERT_EQ(doc.LoadTasks(), DocResult::kOk);
  // The row of a new task names its server at once, not only after the next refresh.
  ASSERT_EQ(doc.AddTask(MakeTask("n", yard)), DocResult::kOk);
  EXPECT_EQ(ColumnText(*doc.FindTask("n"), kColServerName), "yard");
  // An edit that moves a task to another server shows the new server's name.
  ASSERT_EQ(doc.ModifyTask("t", MakeTask("t", yard)), DocResult::kOk);
  EXPECT_EQ(ColumnText(*doc.FindTask("t"), kColServerName), "yard");
}

TEST(TasdekDoc, ReloadKeepsServerNameAndTakesFileState) {
  test::ScopedTestEnv env;
  const Guid cam = AddServer("cam", env.Dir() + "/img");
  CKVTask t = MakeTask("t", cam);
  StoreTask(t);
  CTasdekDoc doc;
  ASSERT_EQ(doc.LoadTasks(), DocResult::kOk);
  t.ActState = kStateRunning;
  t.ActResult = kResultRunning;
  StoreTask(t);
  EXPECT_EQ(doc.ReloadTask("t"), DocResult::kOk);
  EXPECT_EQ(doc.FindTask("t")->task.ActState, kStateRunning);
  EXPECT_EQ(doc.FindTask("t")->server_name, "cam");
}

TEST(TaskListModel, SortClicksAndFilterSurvivesRefresh) {
  test::ScopedTestEnv env;
  const Guid a = AddServer("a", env.Dir() + "/a");
  const Guid b = AddServer("b", env.Dir() + "/b");
  StoreTask(MakeTask("t2", a));
  StoreTask(MakeTask("t1", b));
  StoreTask(MakeTask("t3", a));
  CTasdekDoc doc;
  TaskListModel list(&doc);
  ASSERT_EQ(list.Refresh(), DocResult::kOk);
  auto names = [&list] {
    std::string s;
    for (std::size_t i = 0; i < list.RowCount(); ++i) s += list.Text(i, kColTaskName) + " ";
    return s;
  };
  EXPECT_EQ(names(), "t2 t1 t3 ");
  list.ClickColumn(kColTaskName);
  EXPECT_EQ(names(), "t1 t2 t3 ");
  list.ClickColumn(kColTaskName);
  EXPECT_EQ(names(), "t3 t2 t1 ");
  list.ClickColumn(kColTaskName);
  EXPECT_EQ(names(), "t1 t2 t3 ");

  list.SetServerFilter(&a);
  EXPECT_EQ(names(), "t2 t3 ");
  ASSERT_EQ(list.Refresh(), DocResult::kOk);
  EXPECT_EQ(names(), "t2 t3 ");
  list.SetServerFilter(nullptr);
  EXPECT_EQ(list.RowCount(), 3u);
}

TEST(TaskListModel, RefreshKeepsTheSortState) {
  test::ScopedTestEnv env;
  const Guid a = AddServer("a", env.Dir() + "/a");
  StoreTask(MakeTask("t2", a));
  StoreTask(MakeTask("t1", a));
  StoreTask(MakeTask("t3", a));
  CTasdekDoc doc;
  TaskListModel list(&doc);
  ASSERT_EQ(list.Refresh(), DocResult::kOk);
  list.ClickColumn(kColTaskName);  // ascending
  // The refresh shows the file order again but the view still remembers its last sort, so
  // the next click on the same header is the second one: descending.
  ASSERT_EQ(list.Refresh(), DocResult::kOk);
  EXPECT_EQ(list.Text(0, kColTaskName), "t2");
  list.ClickColumn(kColTaskName);
  EXPECT_EQ(list.Text(0, kColTaskName), "t3");
  EXPECT_EQ(list.Text(2, kColTaskName), "t1");
}

TEST(TaskListModel, NextRunTimeSortsUnsetFirst) {
  TaskEntry x, y;
  SetTaskField(y.task.NextTime, "2003/04/05/06/07/08");
  EXPECT_LT(CompareTaskRows(x, y, kColNextRunTime), 0);
  EXPECT_GT(CompareTaskRows(y, x, kColNextRunTime), 0);
}

}  // namespace
}  // namespace pondrel::tasdek
