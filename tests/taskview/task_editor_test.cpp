#include "taskview/task_editor.h"

#include <gtest/gtest.h>

#include "common/clock.h"
#include "common/named_object.h"
#include "taskmodel/timestr.h"
#include "tests/support/test_env.h"
#include "tests/taskview/test_helpers.h"

namespace pondrel::tasdek {
namespace {

using testing::AddServer;
using testing::MakeTask;
using testing::StoreTask;

class TaskEditorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    cam_ = AddServer("cam", env_.Dir() + "/img");
    other_ = AddServer("other", env_.Dir() + "/img2");
    StoreTask(MakeTask("existing", cam_));
    StoreTask(MakeTask("mine", cam_));
    ASSERT_EQ(doc_.LoadTasks(), DocResult::kOk);
    ASSERT_EQ(LoadEditorServers(&form_, nullptr), EditorResult::kOk);
    FormFromTask(CKVTask(), "", &form_);
    form_.name = "new";
  }
  EditorResult Ok(std::string_view original = "") {
    return ApplyTaskEditor(form_, original, doc_, &out_);
  }

  test::ScopedTestEnv env_;
  Guid cam_, other_;
  CTasdekDoc doc_;
  TaskEditorForm form_;
  CKVTask out_;
};

TEST_F(TaskEditorTest, NameRules) {
  form_.name = "   \t ";
  EXPECT_EQ(Ok(), EditorResult::kNameMissing);
  form_.name = "  .hidden";
  EXPECT_EQ(Ok(), EditorResult::kNameFormat);
  EXPECT_EQ(TaskEditorMessage(EditorResult::kNameFormat, form_.name),
            "Task Name is invalid.  .hidden is invalid format.");
  form_.name = "a:b";
  EXPECT_EQ(Ok(), EditorResult::kNameChars);
  EXPECT_EQ(TaskEditorMessage(EditorResult::kNameChars, ""),
            "The following characters are invalid for a Task Name. \n \" \\ / | : ; , * ? < >");
  form_.name = "line\nbreak";
  EXPECT_EQ(Ok(), EditorResult::kNameFormat);
  form_.name = std::string(256, 'x');
  EXPECT_EQ(Ok(), EditorResult::kNameFormat);
  form_.name = "existing";
  EXPECT_EQ(Ok("mine"), EditorResult::kNameExists);
  form_.name = "  mine  ";  // its own name, trimmed
  EXPECT_EQ(Ok("mine"), EditorResult::kOk);
  EXPECT_STREQ(out_.Name, "mine");
}

TEST_F(TaskEditorTest, WeeklyChecksCountBeforeWeekdays) {
  form_.repetition = kRepWeekly;
  form_.weekly_weeks = "0";
  EXPECT_EQ(Ok(), EditorResult::kWeekRange);
  form_.weekly_weeks = "";
  EXPECT_EQ(Ok(), EditorResult::kWeekRange);
  form_.weekly_weeks = "2";
  EXPECT_EQ(Ok(), EditorResult::kNoWeekday);
  form_.weekdays[1] = form_.weekdays[5] = true;
  ASSERT_EQ(Ok(), EditorResult::kOk);
  EXPECT_EQ(out_.TaskCycle, kCycleWeeks);
  EXPECT_EQ(out_.TaskInterval, 2);
  EXPECT_STREQ(out_.DayofWeek, "0100010");
}

TEST_F(TaskEditorTest, NumericFieldsAreDigitsOnlyAndInRange) {
  form_.daily_days = "+5";
  EXPECT_EQ(Ok(), EditorResult::kDayRange);
  form_.daily_days = "32";
  EXPECT_EQ(Ok(), EditorResult::kDayRange);
  form_.daily_days = "31";
  EXPECT_EQ(Ok(), EditorResult::kOk);

  form_.repeat = true;
  form_.repeat_hours = "0";
  form_.repeat_times = "24";
  EXPECT_EQ(Ok(), EditorResult::kRepeatTimes);  // the times field is checked first
  form_.repeat_times = "3";
  EXPECT_EQ(Ok(), EditorResult::kRepeatInterval);
  form_.repeat_hours = "2";

  form_.retry = true;
  form_.retry_times = "11";
  form_.retry_minutes = "0";
  EXPECT_EQ(Ok(), EditorResult::kRetryTimes);
  form_.retry_times = "4";
  EXPECT_EQ(Ok(), EditorResult::kRetryInterval);
  form_.retry_minutes = "10";
  ASSERT_EQ(Ok(), EditorResult::kOk);
  EXPECT_EQ(out_.LoopCnt, 3);
  EXPECT_EQ(out_.LoopInterval, 2);
  EXPECT_EQ(out_.RetryCnt, 4);
  EXPECT_EQ(out_.RestRetryCnt, 4);
  EXPECT_EQ(out_.RetryInterval, 10);

  form_.repetition = kRepMonthly;
  form_.monthly_rule = kRuleDay;
  form_.month_day = "0";
  EXPECT_EQ(Ok(), EditorResult::kMonthDayRange);
  form_.monthly_rule = kRuleWeekday;  // the day field is not read for "The"
  form_.ordinal = 4;
  form_.weekday = 5;
  ASSERT_EQ(Ok(), EditorResult::kOk);
  EXPECT_EQ(out_.TaskInterval, 45);
  EXPECT_EQ(out_.MonthUnit, kMonthByWeekday);
}

TEST_F(TaskEditorTest, OkBuildsAFreshWaitingRecord) {
  form_.year = 2002, form_.month = 1, form_.day = 15, form_.hour = 10, form_.minute = 30;
  form_.server_index = 1;
  form_.enabled = false;
  ASSERT_EQ(Ok(), EditorResult::kOk);
  EXPECT_STREQ(out_.StartTime, "2002/01/15/10/30/00");
  EXPECT_EQ(out_.ServerId, other_);
  EXPECT_EQ(out_.Effect, 0);
  EXPECT_EQ(out_.ActState, kStateWaiting);
  EXPECT_EQ(out_.ActResult, kResultNone);
  EXPECT_EQ(out_.RetryCnt, 0);
  EXPECT_EQ(out_.LoopCnt, 0);

  form_.servers.clear();
  form_.server_index = -1;
  EXPECT_EQ(Ok(), EditorResult::kNoServer);
}

TEST_F(TaskEditorTest, FilteredServerListOffersOnlyThatServer) {
  TaskEditorForm f;
  ASSERT_EQ(LoadEditorServers(&f, &other_), EditorResult::kOk);
  ASSERT_EQ(f.servers.size(), 1u);
  EXPECT_EQ(f.servers[0].name, "other");
}

TEST_F(TaskEditorTest, ProfilesThatStayLockedAreAReadFailure) {
  // Another program keeps the profile lock beyond the store's own wait (about five seconds):
  // the editor reports that it cannot read the servers instead of waiting for ever.
  NamedLock held(kSrvLockName);
  ASSERT_TRUE(held.TryLock());
  TaskEditorForm f;
  EXPECT_EQ(LoadEditorServers(&f, nullptr), EditorResult::kReadFailed);
  EXPECT_EQ(TaskEditorMessage(EditorResult::kReadFailed, ""), "Failed to read a file.");
  EXPECT_TRUE(f.servers.empty());
}

TEST_F(TaskEditorTest, FormShowsTheTaskAndTheCurrentTimeWhenUnset) {
  TestClock clock(0);
  std::tm wall{};
  wall.tm_year = 110, wall.tm_mon = 5, wall.tm_mday = 7, wall.tm_hour = 9, wall.tm_min = 41;
  std::time_t t;
  ASSERT_TRUE(LocalWallTimeToTime(wall, &t));
  clock.Set(t);
  SetClock(&clock);
  TaskEditorForm f;
  f.servers = form_.servers;
  FormFromTask(CKVTask(), "other", &f);
  SetClock(nullptr);
  EXPECT_EQ(f.year, 2010);
  EXPECT_EQ(f.month, 6);
  EXPECT_EQ(f.hour, 9);
  EXPECT_EQ(f.minute, 41);
  EXPECT_EQ(f.server_index, 1);

  CKVTask m = MakeTask("m", cam_);
  m.TaskCycle = kCycleMonths;
  m.MonthUnit = kMonthByWeekday;
  m.TaskInterval = 41;
  m.RetryCnt = 3;
  m.RetryInterval = 7;
  FormFromTask(m, "nobody", &f);
  EXPECT_EQ(f.server_index, 0);
  EXPECT_EQ(f.repetition, kRepMonthly);
  EXPECT_EQ(f.monthly_rule, kRuleWeekday);
  EXPECT_EQ(f.ordinal, 4);
  EXPECT_EQ(f.weekday, 1);
  EXPECT_EQ(f.daily_days, "1");
  EXPECT_TRUE(f.retry);
  EXPECT_EQ(f.retry_minutes, "7");
  EXPECT_FALSE(f.repeat);
  EXPECT_EQ(f.repeat_times, "1");
}

TEST_F(TaskEditorTest, DuplicateTwiceGivesUntitledThenUntitled0BothDisabled) {
  CKVTask source = MakeTask("mine", cam_);
  source.ActResult = kResultSucceeded;
  source.EndCode = 8002;
  source.RestRetryCnt = 2;
  SetTaskField(source.EndTime, "2003/04/05/06/07/08");
  SetTaskField(source.NextTime, "2003/05/05/06/07/08");
  const std::string first = DuplicateName(doc_);
  EXPECT_EQ(first, "Untitled");
  ASSERT_EQ(doc_.AddTask(MakeDuplicate(source, first)), DocResult::kOk);
  const std::string second = DuplicateName(doc_);
  EXPECT_EQ(second, "Untitled0");
  const CKVTask copy = MakeDuplicate(source, second);
  ASSERT_EQ(doc_.AddTask(copy), DocResult::kOk);
  EXPECT_EQ(copy.Effect, 0);
  EXPECT_EQ(copy.ActState, kStateDisabled);
  EXPECT_EQ(copy.ActResult, kResultNone);
  EXPECT_EQ(copy.EndCode, 0);
  EXPECT_EQ(copy.RestRetryCnt, 0);
  EXPECT_STREQ(copy.EndTime, "");
  EXPECT_STREQ(copy.NextTime, "2003/05/05/06/07/08");

  CTasdekDoc reread;
  ASSERT_EQ(reread.LoadTasks(), DocResult::kOk);
  ASSERT_NE(reread.FindTask("Untitled0"), nullptr);
  EXPECT_EQ(reread.FindTask("Untitled0")->task.Effect, 0);
}

TEST_F(TaskEditorTest, AddedTaskGetsItsNextRunTime) {
  TestClock clock;
  std::time_t now;
  ASSERT_TRUE(TimeStrToTime("2003/01/05/11/30/00", &now));
  clock.Set(now);
  SetClock(&clock);
  form_.year = 2003, form_.month = 1, form_.day = 1, form_.hour = 8, form_.minute = 0;
  form_.daily_days = "2";
  form_.repeat = true;
  form_.repeat_times = "3";
  form_.repeat_hours = "2";
  ASSERT_EQ(Ok(), EditorResult::kOk);
  const DocResult r = AddEditedTask(&doc_, out_);
  SetClock(nullptr);
  ASSERT_EQ(r, DocResult::kOk);
  CKVTaskMgr mgr;
  CKVTask stored;
  ASSERT_EQ(mgr.ReadTask("new", &stored), 0);
  EXPECT_STREQ(stored.NextTime, "2003/01/05/12/00/00");
}

}  // namespace
}  // namespace pondrel::tasdek
