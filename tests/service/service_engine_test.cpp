// The service body driven for real: start-up, scheduled runs, the start checks, retries,
// aborts, the clock-change rule and the stop sequence, observed through schedule.ini,
// kvrpd.log, the test launcher's records and the Task View's mailslot.
#include <sys/stat.h>

#include "tests/service/service_fixture.h"

namespace pondrel::test {
namespace {

using Svc = ServiceFixture;

TEST_F(Svc, StartUpMarksMissedRunsAndResetsLeftOverStates) {
  Guid srv = AddServer("cam");
  CKVTask missed = MakeTask("missed", srv, -7200);  // its time passed while stopped
  SetTaskField(missed.NextTime, TimeToTimeStr(kTestStart - 3600));
  WriteTask(missed);
  CKVTask running = MakeTask("crashed-running", srv, 600);
  running.ActState = kStateRunning;
  WriteTask(running);
  CKVTask rerun = MakeTask("crashed-rerun", srv, 600);
  rerun.ActState = kStateRerun;
  WriteTask(rerun);
  CKVTask disabled = MakeTask("disabled", srv, -7200);
  disabled.ActState = kStateDisabled;
  SetTaskField(disabled.NextTime, TimeToTimeStr(kTestStart - 3600));
  WriteTask(disabled);

  StartService();
  CKVTask m = ReadTask("missed");
  EXPECT_EQ(m.ActState, kStateWaiting);
  EXPECT_EQ(m.ActResult, kResultStartFailed);
  EXPECT_EQ(m.EndCode, kEndCodeMissedRun);
  std::time_t next = 0;
  ASSERT_TRUE(TimeStrToTime(m.NextTime, &next));
  EXPECT_GT(next, kTestStart);
  EXPECT_EQ(ReadTask("crashed-running").ActState, kStateWaiting);
  // The run that the crash cut short failed, and the log says so.
  EXPECT_EQ(ReadTask("crashed-running").ActResult, kResultFailed);
  EXPECT_EQ(ReadTask("crashed-running").EndCode, kEndCodeNoExitCode);
  EXPECT_STREQ(ReadTask("crashed-running").EndTime, TimeToTimeStr(kTestStart).c_str());
  EXPECT_EQ(CountInLog("<error><crashed-running><cam> Execution failure: The run was interrupted "
                       "because the service ended while it ran. (S010)\r\n"),
            1);
  EXPECT_EQ(CountInLog("(S010)"), 1);
  EXPECT_EQ(ReadTask("crashed-rerun").ActState, kStateWaiting);
  EXPECT_EQ(ReadTask("crashed-rerun").EndCode, 0);
  CKVTask d = ReadTask("disabled");
  EXPECT_EQ(d.ActState, kStateDisabled);
  EXPECT_EQ(d.EndCode, 0);
  EXPECT_STREQ(d.NextTime, TimeToTimeStr(kTestStart - 3600).c_str());

  // The missed task is not started for its missed time.
  Advance(60);
  Advance(60);
  EXPECT_EQ(Args("missed"), "");
  StopService();
  EXPECT_EQ(body_result_, 0);
  std::string log = ServiceLog();
  EXPECT_NE(log.find("<info>< >< > Pondrel Task Scheduler Service has started. (S100)\r\n"),
            std::string::npos);
  EXPECT_LT(log.find("(S100)"), log.find("(S101)"));
}

TEST_F(Svc, ScheduledRunRecordsItsResultMergesItsLogAndAnnouncesIt) {
  TaskViewListener tv;
  Guid srv = AddServer("cam");
  CKVTask t = MakeTask("daily", srv, 30);
  t.ImageDelete = 1;
  t.RasDisconnect = 1;
  WriteTask(t);
  Control("daily", "log picture 1 stored (D100)\nresult 0\n");
  // A dial-up log of an earlier run is removed before the next run starts.
  CreateDirectoryChain(ImageDir("cam") + "/info");
  WriteFile(ImageDir("cam") + "/info/rascon.log", "old\r\n");

  StartService();
  Advance(30);
  EXPECT_EQ(Args("daily"), "");  // not due yet: the scan runs once a minute
  Advance(30);
  ASSERT_TRUE(WaitUntil([&] { return ReadTask("daily").ActResult == kResultSucceeded; }));
  CKVTask r = ReadTask("daily");
  EXPECT_EQ(r.ActState, kStateWaiting);
  EXPECT_EQ(r.EndCode, 0);
  EXPECT_STREQ(r.EndTime, TimeToTimeStr(clock_.Now()).c_str());
  EXPECT_STREQ(r.LastActTime, TimeToTimeStr(clock_.Now()).c_str());
  EXPECT_STREQ(r.NextTime, TimeToTimeStr(kTestStart + 30 + 86400).c_str());

  std::string args = Args("daily");
  std::string expected =
      "/g " + GuidToHex(srv) + ",/l " + ImageDir("cam") + "/dl.log,/t daily,/d,/h";
  EXPECT_NE(args.find(" " + expected + " fd=1\n"), std::string::npos) << args;
  EXPECT_FALSE(FileExists(ImageDir("cam") + "/info/rascon.log"));
  EXPECT_FALSE(FileExists(ImageDir("cam") + "/dl.log"));
  EXPECT_NE(ServiceLog().find("<info><daily><fake> picture 1 stored (D100)\r\n"),
            std::string::npos);

  ASSERT_TRUE(WaitUntil([&] { return tv.Messages().size() >= 2; }));
  EXPECT_TRUE(tv.Has("ZORIC:01::03:09::daily"));
  EXPECT_TRUE(tv.Has("ZORIC:01::05:01:" + std::string(r.EndTime) + ":daily"));
  EXPECT_FALSE(service_->HoldsEnvLock());
}

TEST_F(Svc, ScanRequestThroughTheMailslotStartsDueTasksAtOnce) {
  Guid srv = AddServer("cam");
  WriteTask(MakeTask("early", srv, 20));
  StartService();
  Advance(30);  // due, but the minute's scan has not come yet
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(Args("early"), "");
  Send("ZORIC:01:");
  Tick();
  ASSERT_TRUE(WaitUntil([&] { return ReadTask("early").ActResult == kResultSucceeded; }));
  // The minute's scan still comes at its time and finds nothing new.
  Advance(30);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(Lines(Args("early")), 1);
}

TEST_F(Svc, SeventeenthTaskIsRefusedWithARetry) {
  std::vector<std::string> names;
  for (int i = 0; i < 17; ++i) {
    std::string name = "t" + std::to_string(i);
    CKVTask t =
        MakeTask(name, AddServer("cam" + std::to_string(i), "10.0.0." + std::to_string(i + 1)), 30);
    t.RetryCnt = t.RestRetryCnt = 3;
    t.RetryInterval = 7;
    WriteTask(t);
    Control(name, "register\nwait\n");
    names.push_back(name);
  }
  StartService();
  Advance(60);
  ASSERT_TRUE(WaitUntil([&] { return ReadTask("t16").ActResult == kResultStartFailed; }));
  EXPECT_EQ(Running(), 16);
  CKVTask last = ReadTask("t16");
  EXPECT_EQ(last.EndCode, kEndCodeTooManyTasks);
  EXPECT_EQ(last.ActState, kStateRerun);
  EXPECT_EQ(last.RestRetryCnt, 2);
  EXPECT_STREQ(last.NextTime, TimeToTimeStr(clock_.Now() + 7 * 60).c_str());
  EXPECT_EQ(CountInLog("<error><t16><cam16> Execution failure: The number of tasks concurrently "
                       "executable is beyond the limit. (S003)"),
            1);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(ReadTask(names[i]).ActState, kStateRunning);
  EXPECT_TRUE(service_->HoldsEnvLock());

  for (const auto& n : names) Release(n);
  ASSERT_TRUE(WaitUntil([&] { return Running() == 0; }));
  ASSERT_TRUE(WaitUntil([&] { return ReadTask("t0").ActResult == kResultSucceeded; }));
  // The retry runs at its time once a slot is free.
  Advance(7 * 60);
  ASSERT_TRUE(WaitUntil([&] { return ReadTask("t16").ActResult == kResultSucceeded; }));
  EXPECT_EQ(ReadTask("t16").RestRetryCnt, 3);
}

TEST_F(Svc, SixteenStartsOnASlowDiskLoseNoWindowRegistration) {
  // Every start rewrites schedule.ini twice; with 50 ms per fsync the scan keeps the service's
  // thread busy for well over a second while the downloaders register. None may be lost: a
  // stop must close every one through its window at once instead of waiting out the grace.
  stop_term_ms_ = 20000;
  std::vector<std::string> names;
  for (int i = 0; i < 16; ++i) {
    std::string name = "s" + std::to_string(i);
    WriteTask(MakeTask(
        name, AddServer("cam" + std::to_string(i), "10.1.0." + std::to_string(i + 1)), 30));
    Control(name, "register\nwait\n");
    names.push_back(name);
  }
  SetSyncDelayForTest(50);
  StartService();
  Advance(60);
  ASSERT_TRUE(WaitUntil([&] { return Running() == 16; }, 30000));
  auto registered = [&] {
    int n = 0;
    for (int i = 0; i < Running(); ++i)
      if (ProcEntry* e = service_->ProcTable().At(i); e && e->window.load() != 0) ++n;
    return n;
  };
  EXPECT_TRUE(WaitUntil(
      [&] {
        Tick();
        return registered() == 16;
      },
      20000))
      << registered() << " of 16 registered";
  StopService();
  SetSyncDelayForTest(0);
  for (const auto& n : names) {
    EXPECT_EQ(ReadTask(n).ActResult, kResultAborted) << n;
    EXPECT_EQ(ReadTask(n).EndCode, 100) << n;
  }
}

TEST_F(Svc, TwoTasksOnOneServerOrOneAddressDoNotRunTogether) {
  Guid srv = AddServer("cam", "127.0.0.1");
  // The short numeric form names the same address without any name service (a minimal root
  // has no /etc/hosts, so "localhost" may not resolve).
  Guid alias = AddServer("cam-alias", "127.1");
  Guid other = AddServer("elsewhere", "10.1.2.3");
  for (auto [name, id] : {std::pair{"a", srv}, {"b", srv}, {"c", alias}, {"d", other}}) {
    CKVTask t = MakeTask(name, id, 30);
    t.RetryCnt = t.RestRetryCnt = 1;
    t.RetryInterval = 5;
    WriteTask(t);
    Control(name, "wait\n");
  }
  StartService();
  Advance(60);
  // The scan takes the tasks in order, so "d" is started (and written) only after "c" was
  // refused: wait for both rather than read "d" in between.
  ASSERT_TRUE(WaitUntil([&] {
    return ReadTask("c").ActResult == kResultStartFailed && ReadTask("d").ActState == kStateRunning;
  }));
  EXPECT_EQ(ReadTask("a").ActState, kStateRunning);
  for (const char* n : {"b", "c"}) {
    CKVTask r = ReadTask(n);
    EXPECT_EQ(r.EndCode, kEndCodeServerBusy) << n;
    EXPECT_EQ(r.ActState, kStateRerun) << n;
    EXPECT_STREQ(r.NextTime, TimeToTimeStr(clock_.Now() + 300).c_str());
  }
  EXPECT_EQ(CountInLog("<error><b><cam> Execution failure: Another task has already accessed the "
                       "same server. (S002)"),
            1);
  EXPECT_EQ(CountInLog("<c><cam-alias>"), 1);
  // "d" is written as running just before its launcher joins the process table.
  EXPECT_TRUE(WaitUntil([&] { return Running() == 2; }));
  Release("a");
  Release("d");
  ASSERT_TRUE(WaitUntil([&] { return Running() == 0; }));
}

TEST_F(Svc, RetriesCountDownThenFallBackToTheRegularTime) {
  Guid srv = AddServer("cam");
  CKVTask t = MakeTask("flaky", srv, 30);
  t.RetryCnt = t.RestRetryCnt = 2;
  t.RetryInterval = 5;
  WriteTask(t);
  Control("flaky", "result 8002\n");
  StartService();

  Advance(60);
  ASSERT_TRUE(WaitUntil([&] { return ReadTask("flaky").ActResult == kResultFailed; }));
  CKVTask r = ReadTask("flaky");
  EXPECT_EQ(r.EndCode, 8002);
  EXPECT_EQ(r.ActState, kStateRerun);
  EXPECT_EQ(r.RestRetryCnt, 1);
  EXPECT_STREQ(r.NextTime, TimeToTimeStr(clock_.Now() + 300).c_str());

  Advance(300);
  ASSERT_TRUE(WaitUntil([&] { return ReadTask("flaky").RestRetryCnt == 0; }));
  r = ReadTask("flaky");
  EXPECT_EQ(r.ActState, kStateRerun);
  EXPECT_STREQ(r.NextTime, TimeToTimeStr(clock_.Now() + 300).c_str());

  Advance(300);
  ASSERT_TRUE(WaitUntil([&] { return ReadTask("flaky").RestRetryCnt == 2; }));
  r = ReadTask("flaky");
  EXPECT_EQ(r.ActState, kStateWaiting);
  EXPECT_EQ(r.ActResult, kResultFailed);
  EXPECT_STREQ(r.NextTime, TimeToTimeStr(kTestStart + 30 + 86400).c_str());
  EXPECT_EQ(Lines(Args("flaky")), 3);
}

TEST_F(Svc, RetryThatWouldComeAfterTheRegularRunIsDropped) {
  Guid srv = AddServer("cam");
  CKVTask t = MakeTask("hourly", srv, 30);
  t.LoopCnt = 23;
  t.LoopInterval = 1;  // the next regular run is at most an hour away
  t.RetryCnt = t.RestRetryCnt = 3;
  t.RetryInterval = 99;
  WriteTask(t);
  Control("hourly", "result 3001\n");
  StartService();
  Advance(60);
  ASSERT_TRUE(WaitUntil([&] { return ReadTask("hourly").EndCode == 3001; }));
  CKVTask r = ReadTask("hourly");
  EXPECT_EQ(r.ActState, kStateWaiting);
  EXPECT_EQ(r.RestRetryCnt, 3);
  EXPECT_STREQ(r.NextTime, TimeToTimeStr(kTestStart + 30 + 3600).c_str());
}

TEST_F(Svc, AbortThroughTheMailslotAndExecuteNowOfARunningTask) {
  TaskViewListener tv;
  Guid srv = AddServer("cam");
  CKVTask t = MakeTask("long", srv, 600);
  t.RetryCnt = 4;
  t.RestRetryCnt = 1;
  WriteTask(t);
  Control("long", "wait\nregister\n");
  StartService();

  Send("ZORIC:02:long");  // execute now
  Tick();
  ASSERT_TRUE(WaitState("long", kStateRunning));
  CKVTask running = ReadTask("long");
  Send("ZORIC:02:long");  // again, while it runs
  Tick();
  ASSERT_TRUE(WaitUntil([&] { return CountInLog("(S004)") == 1; }));
  EXPECT_EQ(CountInLog("<error><long><cam> Execution failure: The task is already running. (S004)"),
            1);
  CKVTask same = ReadTask("long");
  EXPECT_STREQ(same.LastActTime, running.LastActTime);
  EXPECT_EQ(same.ActResult, kResultRunning);

  // The downloader registers itself; the abort reaches it as SIGTERM and it ends with 100.
  ASSERT_TRUE(WaitUntil([&] {
    Tick();
    ProcEntry* e = service_->ProcTable().At(0);
    return e && e->window.load() != 0;
  }));
  Send("ZORIC:03:long");
  Tick();
  ASSERT_TRUE(WaitUntil([&] { return ReadTask("long").ActResult == kResultAborted; }));
  CKVTask r = ReadTask("long");
  EXPECT_EQ(r.EndCode, 100);
  EXPECT_EQ(r.ActState, kStateWaiting);
  EXPECT_EQ(r.RestRetryCnt, 4);
  ASSERT_TRUE(
      WaitUntil([&] { return tv.Has("ZORIC:01::05:07:" + std::string(r.EndTime) + ":long"); }));
}

TEST_F(Svc, ClockSetBackAnHourRecomputesEveryTaskAndKeepsScanning) {
  TaskViewListener tv;
  Guid srv = AddServer("cam");
  CKVTask t = MakeTask("daily", srv, 7200);  // at 12:00:30
  WriteTask(t);
  StartService();

  // A hand edit leaves a NextTime that no schedule gives.
  CKVTask edited = ReadTask("daily");
  SetTaskField(edited.NextTime, "2030/01/01/00/00/00");
  WriteTask(edited);

  // A change of 30 seconds is ignored.
  clock_.AdvanceSeconds(30);
  service_->postMessage(BodyMessage::kTimeChange);
  Tick();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_STREQ(ReadTask("daily").NextTime, "2030/01/01/00/00/00");

  // An hour back: every NextTime is recomputed and announced.
  clock_.Set(kTestStart - 3600);
  service_->postMessage(BodyMessage::kTimeChange);
  ASSERT_TRUE(
      WaitUntil([&] { return std::string(ReadTask("daily").NextTime) != "2030/01/01/00/00/00"; }));
  EXPECT_STREQ(ReadTask("daily").NextTime, TimeToTimeStr(kTestStart + 7200).c_str());
  ASSERT_TRUE(WaitUntil([&] { return tv.Has("ZORIC:01::05:00::daily"); }));

  // The scan goes on from the new time: a task due 90 seconds later starts.
  CKVTask soon = MakeTask("soon", AddServer("cam2"), -3600 + 90);
  CKVSchedule().ComputeNextTime(&soon, clock_.Now());
  WriteTask(soon);
  Advance(60);
  Advance(60);
  ASSERT_TRUE(WaitUntil([&] { return ReadTask("soon").ActResult == kResultSucceeded; }));
}

TEST_F(Svc, DeletedTaskOnlyHasItsRunLogMerged) {
  TaskViewListener tv;
  Guid srv = AddServer("cam");
  WriteTask(MakeTask("gone", srv, 30));
  Control("gone", "log last words (D001)\nwait\nresult 0\n");
  StartService();
  Advance(60);
  ASSERT_TRUE(WaitUntil([&] { return tv.Has("ZORIC:01::03:09::gone"); }));
  {
    CKVTaskMgr mgr(env_.Root());
    TaskFileLock lock(mgr, -1);
    ASSERT_EQ(mgr.DeleteTask("gone"), 0);
  }
  std::size_t before = tv.Messages().size();
  Release("gone");
  ASSERT_TRUE(WaitUntil([&] { return Running() == 0; }));
  EXPECT_NE(ServiceLog().find("<gone><fake> last words (D001)"), std::string::npos);
  EXPECT_EQ(ReadFile(env_.Root() + "/schedule.ini").find("[gone]"), std::string::npos);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(tv.Messages().size(), before);
}

TEST_F(Svc, StopClosesEveryDownloaderAndLogsS101AfterBothEnded) {
  Guid s1 = AddServer("cam1"), s2 = AddServer("cam2", "10.9.9.9");
  WriteTask(MakeTask("one", s1, 30));
  WriteTask(MakeTask("two", s2, 30));
  Control("one", "register\nwait\nlog one ends (D002)\n");
  Control("two", "register\nwait\n");
  StartService();
  Advance(60);
  ASSERT_TRUE(WaitUntil([&] {
    Tick();  // take the two registrations
    ProcEntry* a = service_->ProcTable().At(0);
    ProcEntry* b = service_->ProcTable().At(1);
    return a && b && a->window.load() != 0 && b->window.load() != 0;
  }));
  StopService();
  EXPECT_EQ(ReadTask("one").ActResult, kResultAborted);
  EXPECT_EQ(ReadTask("two").ActResult, kResultAborted);
  EXPECT_EQ(ReadTask("two").EndCode, 100);
  std::string log = ServiceLog();
  EXPECT_LT(log.find("<one><fake> one ends (D002)"), log.find("(S101)"));
  EXPECT_FALSE(NamedObject::Exists(kEnvLockName));
}

TEST_F(Svc, StopRightAfterAStartClosesTheDownloaderWhoseReportIsStillQueued) {
  Guid srv = AddServer("cam");
  WriteTask(MakeTask("fresh", srv, 30));
  Control("fresh", "register\nwait\n");
  // Far beyond the test's time limit: only the close request can end this run in time.
  stop_term_ms_ = stop_kill_ms_ = 600000;
  StartService();
  Advance(60);
  ASSERT_TRUE(WaitUntil([&] { return Running() == 1; }));
  // The report reaches the mailslot; no tick takes it before the stop does.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  StopService();
  CKVTask r = ReadTask("fresh");
  EXPECT_EQ(r.EndCode, 100);
  EXPECT_EQ(r.ActResult, kResultAborted);
}

TEST_F(Svc, StopEndsADownloaderThatNeverRegisteredAfterTheGracePeriod) {
  Guid srv = AddServer("cam");
  CKVTask t = MakeTask("mute", srv, 30);
  t.RetryCnt = t.RestRetryCnt = 2;
  WriteTask(t);
  Control("mute", "ignoreterm\nwait\nlog still here (D003)\n");
  stop_term_ms_ = stop_kill_ms_ = 300;
  StartService();
  Advance(60);
  ASSERT_TRUE(WaitUntil([&] { return Running() == 1; }));
  StopService();
  CKVTask r = ReadTask("mute");
  EXPECT_EQ(r.EndCode, kExitCodeUnavailable);
  EXPECT_EQ(r.ActResult, kResultFailed);
  EXPECT_NE(ServiceLog().find("still here (D003)"), std::string::npos);
}

TEST_F(Svc, DueTaskWaitsWhileAnotherProgramHoldsTheEnvironmentLock) {
  Guid srv = AddServer("cam");
  WriteTask(MakeTask("patient", srv, 30));
  StartService();
  std::string log_before;
  {
    NamedObject held = NamedObject::Create(kEnvLockName);
    ASSERT_TRUE(held.held());
    log_before = ServiceLog();
    Advance(60);
    ASSERT_TRUE(WaitUntil([&] { return service_->WaitingForEnvLock() == 1; }));
    Advance(60);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    CKVTask r = ReadTask("patient");
    EXPECT_EQ(r.ActState, kStateWaiting);
    EXPECT_STREQ(r.NextTime, TimeToTimeStr(kTestStart + 30).c_str());
    EXPECT_EQ(ServiceLog(), log_before);
    EXPECT_EQ(Args("patient"), "");
  }
  Tick();
  ASSERT_TRUE(WaitUntil([&] { return ReadTask("patient").ActResult == kResultSucceeded; }));
  EXPECT_EQ(Lines(Args("patient")), 1);
}

TEST_F(Svc, RefusedStartsAndFailedLaunchersEndAsDesigned) {
  Guid srv = AddServer("cam");
  Guid vanished = AddServer("vanished");
  {
    CKVSrvMgr mgr;
    ASSERT_TRUE(mgr.InitWithDirectory(env_.Root()));
    ASSERT_EQ(mgr.Delete(vanished), SrvResult::SRV_OK);
  }
  CKVTask no_profile = MakeTask("orphan", vanished, 600);
  no_profile.RetryCnt = no_profile.RestRetryCnt = 1;
  WriteTask(no_profile);
  CKVTask off = MakeTask("off", srv, 600);
  off.Effect = 0;
  WriteTask(off);
  WriteTask(MakeTask("killed", srv, 600));
  Control("killed", "die\n");
  WriteTask(MakeTask("nowindow", srv, 600));
  Control("nowindow", "result 200\n");
  WriteTask(MakeTask("negative", srv, 600));
  Control("negative", "result -1\n");
  StartService();

  Send("ZORIC:02:orphan");
  Send("ZORIC:02:off");
  Send("ZORIC:02:ghost");
  Tick();
  ASSERT_TRUE(WaitUntil([&] { return ReadTask("orphan").EndCode == kEndCodeUnreadable; }));
  CKVTask o = ReadTask("orphan");
  EXPECT_EQ(o.ActResult, kResultFailed);
  EXPECT_EQ(o.ActState, kStateRerun);
  ASSERT_TRUE(WaitUntil([&] { return CountInLog("(S006)") == 1; }));
  EXPECT_EQ(
      CountInLog(
          "<error><ghost><(unknown)> Execution failure: Failed to get task information. (S001)"),
      1);
  EXPECT_EQ(
      CountInLog(
          "<error><orphan><(unknown)> Execution failure: Failed to get task information. (S001)"),
      1);
  EXPECT_EQ(ReadTask("off").ActResult, kResultNone);
  EXPECT_EQ(ReadFile(env_.Root() + "/schedule.ini").find("[ghost]"), std::string::npos);

  Send("ZORIC:02:killed");
  Tick();
  ASSERT_TRUE(WaitUntil([&] { return ReadTask("killed").EndCode == kExitCodeUnavailable; }));
  EXPECT_EQ(ReadTask("killed").ActResult, kResultFailed);

  Send("ZORIC:02:nowindow");
  Tick();
  ASSERT_TRUE(WaitUntil([&] { return ReadTask("nowindow").EndCode == 200; }));
  EXPECT_EQ(ReadTask("nowindow").ActResult, kResultFailed);
  EXPECT_EQ(
      CountInLog(
          "<error><nowindow><cam> Execution failure: Failed to execute the downloader (S005)"),
      1);

  // A negative result comes through the result pipe whole.
  Send("ZORIC:02:negative");
  Tick();
  ASSERT_TRUE(WaitUntil([&] { return ReadTask("negative").EndCode == -1; }));
  EXPECT_EQ(ReadTask("negative").ActResult, kResultFailed);

  // The launcher is missing.
  ASSERT_EQ(::unlink((launcher_dir_ + "/KVdl").c_str()), 0);
  setenv("PATH", "/nonexistent", 1);
  WriteTask(MakeTask("nolauncher", srv, 600));
  Send("ZORIC:02:nolauncher");
  Tick();
  ASSERT_TRUE(WaitUntil([&] { return ReadTask("nolauncher").ActResult == kResultStartFailed; }));
  EXPECT_EQ(ReadTask("nolauncher").ActState, kStateWaiting);
  EXPECT_EQ(
      CountInLog("<nolauncher><cam> Execution failure: Failed to execute the downloader (S005)"),
      1);
  EXPECT_FALSE(service_->HoldsEnvLock());
}

TEST_F(Svc, ImageDirectoryThatCannotBeCreatedIsRefused) {
  Guid srv = AddServer("cam");
  // A file where the image directory's parent should be.
  WriteFile(env_.Path("images"), "not a directory");
  WriteTask(MakeTask("nodir", srv, 600));
  StartService();
  Send("ZORIC:02:nodir");
  Tick();
  ASSERT_TRUE(WaitUntil([&] { return ReadTask("nodir").ActResult == kResultStartFailed; }));
  EXPECT_EQ(CountInLog("<nodir><cam> Execution failure: Invalid image directory (S009)"), 1);
}

TEST_F(Svc, BadMailslotInputNeitherCrashesNorConfusesTheService) {
  Guid srv = AddServer("cam");
  WriteTask(MakeTask("real", srv, 600));
  Control("real", "wait\n");
  StartService();
  Send("ZORIC:02:real");
  Tick();
  ASSERT_TRUE(WaitUntil([&] { return Running() == 1; }));

  std::string huge(3000, 'x');
  {
    CKVMailSlot raw(kServiceMailslot);
    raw.Send("");  // the probe
  }
  Send("ZORIC:02:ghost");
  for (const std::string& m :
       {huge, std::string("ZORIC:04:") + std::string(1100, 'n'), std::string("ZORIC:04:real"),
        std::string("ZORIC:04:real:"), std::string("ZORIC:04:real:0"),
        std::string("ZORIC:04:real:abc"), std::string("ZORIC:04:ghost:1234"),
        std::string("ZORIC:04::77"), std::string("ZORIC:03:ghost"), std::string("ZORIC:99:x"),
        std::string("ZORIC:0"), std::string("\x01\xff\xfe ZORIC:02:real", 17)}) {
    Send(m);
    Tick();
  }
  // Datagrams the mailslot class would never send: too long, without a zero byte, empty,
  // binary bytes after the zero.
  EXPECT_TRUE(SendRaw(std::string(5000, 'Z')));
  EXPECT_TRUE(SendRaw("ZORIC:04:real:4242"));
  EXPECT_TRUE(SendRaw(""));
  EXPECT_TRUE(SendRaw(std::string("ZORIC:02:ghost\0\x01\x02garbage", 24)));
  EXPECT_TRUE(SendRaw(std::string(1024, '\xff')));
  for (int i = 0; i < 6; ++i) {
    Tick();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  // The registration without a zero byte is read as its text and counts; the abort then works.
  // (An abort of "real" among them would be kept until that report and then end the run.)
  ASSERT_TRUE(WaitUntil([&] {
    ProcEntry* e = service_->ProcTable().At(0);
    return e && e->window.load() == 4242u;
  }));
  EXPECT_EQ(CountInLog("<ghost><(unknown)>"), 2);  // from the two well-formed tails above
  EXPECT_EQ(ReadTask("real").ActState, kStateRunning);
  EXPECT_EQ(Running(), 1);
  Release("real");
  ASSERT_TRUE(WaitUntil([&] { return ReadTask("real").ActResult == kResultSucceeded; }));
}

TEST_F(Svc, HandEditedScheduleWhileRunningStaysConsistent) {
  Guid srv = AddServer("cam");
  WriteTask(MakeTask("edited", srv, 30));
  Control("edited", "wait\n");
  StartService();
  Advance(60);
  ASSERT_TRUE(WaitState("edited", kStateRunning));
  // Someone rewrites the file by hand: blank lines, a comment, a new task, CR LF kept.
  std::string text = ReadFile(env_.Root() + "/schedule.ini");
  text = "; edited by hand\r\n\r\n" + text + "\r\n[added]\r\nServerId=" + GuidToHex(srv) +
         "\r\nStartTime=" + TimeToTimeStr(kTestStart + 600) + "\r\nEffect=1\r\nActState=5\r\n";
  WriteFile(env_.Root() + "/schedule.ini", text);
  Release("edited");
  ASSERT_TRUE(WaitUntil([&] { return ReadTask("edited").ActResult == kResultSucceeded; }));
  std::string after = ReadFile(env_.Root() + "/schedule.ini");
  EXPECT_NE(after.find("; edited by hand\r\n"), std::string::npos);
  EXPECT_NE(after.find("[added]\r\n"), std::string::npos);
  EXPECT_EQ(after.find("\r\n\r\n"), std::string::npos);
}

}  // namespace
}  // namespace pondrel::test

namespace pondrel::test {
namespace {

TEST_F(ServiceFixture, ATaskViewThatNeverReadsDoesNotHoldUpTheService) {
  CKVMailSlot stuck;  // owns the Task View's mailslot and never reads it
  ASSERT_EQ(stuck.Create(kTaskViewMailslot), 1);
  Guid srv = AddServer("cam");
  for (int i = 0; i < 80; ++i) WriteTask(MakeTask("t" + std::to_string(i), srv, 600 + i));
  StartService();
  clock_.Set(kTestStart - 7200);
  service_->postMessage(BodyMessage::kTimeChange);  // 80 announcements
  Send("ZORIC:02:t0");
  Tick();
  // Without a pause the 80 sends would wait 200 ms each (16 s) before this run starts.
  EXPECT_TRUE(WaitUntil([&] { return ReadTask("t0").ActResult == kResultSucceeded; }, 8000));
}

}  // namespace
}  // namespace pondrel::test

namespace pondrel::test {
namespace {

// Requests are taken as they arrive: the tests below stop the tick (a period far beyond their
// length) and never move the clock, so nothing but the arrival can have set them off.
class Requests : public ServiceFixture {
 protected:
  Requests() { tick_ms_ = 3600 * 1000; }
  bool Registered(const std::string& task) {
    const int i = service_->ProcTable().FindByName(task);
    return i >= 0 && service_->ProcTable().At(i)->window.load() != 0;
  }
};

TEST_F(Requests, ExecuteNowAndAbortAreHandledWithoutATickAndThePrecedingProbeDelaysNothing) {
  Guid srv = AddServer("cam");
  WriteTask(MakeTask("now", srv, 600));
  Control("now", "register\nwait\n");
  StartService();
  // As "pondrel task run" does it: the probe, then the request.
  ASSERT_EQ(CKVMailSlot(kServiceMailslot).Send("", 0), 1);
  Send("ZORIC:02:now");
  ASSERT_TRUE(WaitState("now", kStateRunning));
  ASSERT_TRUE(WaitUntil([&] { return Registered("now"); }));
  ASSERT_EQ(CKVMailSlot(kServiceMailslot).Send("", 0), 1);
  Send("ZORIC:03:now");
  ASSERT_TRUE(WaitUntil([&] { return ReadTask("now").ActResult == kResultAborted; }));
  EXPECT_EQ(ReadTask("now").EndCode, 100);
  EXPECT_EQ(clock_.Now(), kTestStart);
}

TEST_F(Requests, AnAbortBeforeTheDownloaderReportsItsWindowIsKeptUntilItDoes) {
  Guid srv = AddServer("cam");
  WriteTask(MakeTask("slowstart", srv, 600));
  Control("slowstart", "delayregister 300\nregister\nwait\n");
  abort_grace_ms_ = 600000;  // only the report can deliver this abort
  StartService();
  Send("ZORIC:02:slowstart");
  Send("ZORIC:03:slowstart");
  ASSERT_TRUE(WaitUntil([&] { return ReadTask("slowstart").ActResult == kResultAborted; }));
  CKVTask r = ReadTask("slowstart");
  EXPECT_EQ(r.EndCode, 100);
  EXPECT_EQ(r.ActState, kStateWaiting);
}

TEST_F(Requests, AnAbortForADownloaderThatNeverReportsEndsItAfterTheGrace) {
  Guid srv = AddServer("cam");
  CKVTask t = MakeTask("silent", srv, 600);
  t.RetryCnt = t.RestRetryCnt = 2;
  WriteTask(t);
  Control("silent", "wait\n");
  tick_ms_ = 100;  // the grace is looked at by the tick
  abort_grace_ms_ = 200;
  StartService();
  Send("ZORIC:02:silent");
  ASSERT_TRUE(WaitUntil([&] { return Running() == 1; }));
  Send("ZORIC:03:silent");
  ASSERT_TRUE(WaitUntil([&] { return ReadTask("silent").ActResult == kResultAborted; }));
  CKVTask r = ReadTask("silent");
  EXPECT_EQ(r.EndCode, 100);
  EXPECT_EQ(r.RestRetryCnt, 2);  // an abort uses no retry
}

TEST_F(Requests, AFloodOfJunkNeitherHoldsUpRequestsNorCostsARegistration) {
  Guid srv = AddServer("cam");
  WriteTask(MakeTask("flooded", srv, 600));
  Control("flooded", "register\nwait\n");
  abort_grace_ms_ = 600000;  // the abort must come through the downloader's report
  StartService();
  const std::string junk[] = {
      std::string(1, '\0'),  "x", "ZORIC:0", "ZORIC:99:x", std::string("\xff\xfe\x01", 3),
      std::string(1000, 'j')};
  std::atomic<int> sent{0};
  std::atomic<bool> stop_flood{false};
  std::thread flood([&] {
    for (int i = 0; i < 100000 && !stop_flood; ++i) {
      SendRaw(junk[i % 6]);
      ++sent;
    }
  });
  // The requests go in behind the first half of the junk, and the flood goes on meanwhile.
  ASSERT_TRUE(WaitUntil([&] { return sent.load() >= 50000; }, 60000));
  Send("ZORIC:02:flooded");
  Send("ZORIC:03:flooded");
  const bool aborted =
      WaitUntil([&] { return ReadTask("flooded").ActResult == kResultAborted; }, 30000);
  stop_flood = true;
  flood.join();
  ASSERT_TRUE(aborted) << "state " << ReadTask("flooded").ActState << " after " << sent.load()
                       << " junk datagrams";
  EXPECT_EQ(ReadTask("flooded").EndCode, 100);
  EXPECT_EQ(Lines(Args("flooded")), 1);
}

}  // namespace
}  // namespace pondrel::test
