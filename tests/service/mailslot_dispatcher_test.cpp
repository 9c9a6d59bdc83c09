// The mailslot dispatcher against a recording engine, and the stop's escalation timing: no
// mailslot, no processes, steady times given by the test.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>
#include <vector>

#include "service/body_loop.h"
#include "service/mailslot_dispatcher.h"

namespace pondrel {
namespace {

class RecordingEngine final : public EngineRequests {
 public:
  pid_t run = 0;  // the current run of "cam"
  bool has_window = false;
  std::vector<std::string> calls;

  void ScanSchedule() override { calls.push_back("scan"); }
  void ExecuteNow(const std::string& task) override { calls.push_back("execute " + task); }
  RunState RunOf(std::string_view task) const override {
    return task == "cam" ? RunState{run, has_window} : RunState{};
  }
  void RecordWindow(std::string_view task, std::uint32_t window) override {
    calls.push_back("window " + std::string(task) + " " + std::to_string(window));
    if (task == "cam" && run != 0) has_window = true;
  }
  void RequestClose(std::string_view task) override {
    calls.push_back("close " + std::string(task));
  }
  void ForceEnd(std::string_view task) override { calls.push_back("end " + std::string(task)); }
};

using Calls = std::vector<std::string>;

TEST(MailslotDispatcher, RoutesTheFourRequestsAndPassesOverJunk) {
  RecordingEngine engine;
  MailslotDispatcher d(engine);
  EXPECT_EQ(d.Dispatch("ZORIC:0", 0), DispatchResult::kTooShort);  // the probe, for one
  EXPECT_EQ(d.Dispatch("", 0), DispatchResult::kTooShort);
  EXPECT_EQ(d.Dispatch("ZORIC:01:", 0), DispatchResult::kHandled);
  EXPECT_EQ(d.Dispatch(std::string_view("ZORIC:02:day\0night", 18), 0), DispatchResult::kHandled);
  EXPECT_EQ(d.Dispatch("ZORIC:99:day", 0), DispatchResult::kHandled);
  EXPECT_EQ(d.Dispatch("ZORIC:04:cam", 0), DispatchResult::kHandled);     // no window: ignored
  EXPECT_EQ(d.Dispatch("ZORIC:03:nobody", 0), DispatchResult::kHandled);  // not running
  EXPECT_EQ(engine.calls, (Calls{"scan", "execute day"}));
}

TEST(MailslotDispatcher, AbortBeforeTheWindowReportIsSentWhenTheReportComes) {
  RecordingEngine engine;
  engine.run = 4242;
  MailslotDispatcher d(engine);
  d.SetAbortGrace(5000);
  (void)d.Dispatch("ZORIC:03:cam", 1000);
  (void)d.Dispatch("ZORIC:03:cam", 1500);  // asked twice: still one abort
  EXPECT_EQ(engine.calls, Calls{});
  EXPECT_EQ(d.PendingAborts(), 1u);
  d.ForceOverdueAborts(5999);  // within the grace: the report may still come
  EXPECT_EQ(engine.calls, Calls{});
  (void)d.Dispatch("ZORIC:04:cam:77", 2000);
  EXPECT_EQ(engine.calls, (Calls{"window cam 77", "close cam"}));
  EXPECT_EQ(d.PendingAborts(), 0u);
  // With the window known, an abort is the close request at once.
  (void)d.Dispatch("ZORIC:03:cam", 3000);
  EXPECT_EQ(engine.calls.back(), "close cam");
}

TEST(MailslotDispatcher, AbortWithoutAReportEndsTheRunAfterTheGraceButNeverALaterRun) {
  RecordingEngine engine;
  engine.run = 10;
  MailslotDispatcher d(engine);
  d.SetAbortGrace(200);
  (void)d.Dispatch("ZORIC:03:cam", 1000);
  d.ForceOverdueAborts(1199);
  EXPECT_EQ(engine.calls, Calls{});
  d.ForceOverdueAborts(1200);
  EXPECT_EQ(engine.calls, Calls{"end cam"});
  EXPECT_EQ(d.PendingAborts(), 0u);

  // An abort for a run that ended before its report: the task's next run is not aborted,
  // neither by its report nor by the grace running out.
  engine.calls.clear();
  engine.run = 11;
  (void)d.Dispatch("ZORIC:03:cam", 2000);
  engine.run = 12;
  (void)d.Dispatch("ZORIC:04:cam:5", 2100);
  d.ForceOverdueAborts(9000);
  EXPECT_EQ(engine.calls, Calls{"window cam 5"});
  engine.run = 13;
  engine.has_window = false;
  (void)d.Dispatch("ZORIC:03:cam", 9000);
  engine.run = 14;
  d.ForceOverdueAborts(20000);
  EXPECT_EQ(engine.calls, Calls{"window cam 5"});
  EXPECT_EQ(d.PendingAborts(), 0u);
}

TEST(StopEscalation, SendsSigtermThenSigkillOnceEach) {
  StopEscalation s;
  s.SetGrace(100, 50);
  s.Begin(1000);
  EXPECT_EQ(s.Due(1099), 0);
  EXPECT_EQ(s.Due(1100), SIGTERM);
  EXPECT_EQ(s.Due(1120), 0);
  EXPECT_EQ(s.Due(1150), SIGKILL);
  EXPECT_EQ(s.Due(5000), 0);
  s.Begin(6000);  // a new stop starts over
  EXPECT_EQ(s.Due(6100), SIGTERM);
}

}  // namespace
}  // namespace pondrel
