// The whole road of a scheduled run with real processes: zoricsm -debug (the service), KVdl
// with libfetchko.so (the downloader), camsim (the camera server) over loopback, and the
// files between them - schedule.ini, prp1, the image directory with its day index files,
// dl.log and kvrpd.log. The service's clock is moved through the preloaded clock library, so
// the 60-second scan comes at once.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "common/guid.h"
#include "common/mailslot.h"
#include "common/named_object.h"
#include "imagestore/image_index.h"
#include "logviewer/log_document.h"
#include "taskmodel/kvtask.h"
#include "taskmodel/timestr.h"
#include "taskview/service_control.h"
#include "taskview/tasdek_doc.h"
#include "tests/camsim/camsim_process.h"
#include "tests/e2e/e2e_world.h"
#include "tests/support/image_files.h"

namespace pondrel::test {
namespace {

ProfileSpec Profile(const CamsimProcess& cam) {
  ProfileSpec spec;
  spec.port = cam.port();
  return spec;
}

// The command line of a running process, its NUL separators kept.
std::string CmdLine(pid_t pid) { return ReadFile("/proc/" + std::to_string(pid) + "/cmdline"); }

// The service's one downloader, once it runs and camsim is serving it a picture.
pid_t WaitForPictureDownload(E2EWorld& w, const CamsimProcess& cam) {
  pid_t kvdl = -1;
  WaitFor([&] {
    auto children = w.ServiceChildren();
    if (children.size() == 1) kvdl = children[0];
    return kvdl > 0 && cam.Stat("data_requests") >= 1;
  });
  return kvdl;
}

TEST(EndToEnd, ScheduledRunFilesPicturesLogsAndMovesTheNextTime) {
  CamsimProcess cam({"--pictures", "3", "--user", "u", "--password", "p"});
  ASSERT_TRUE(cam.ok()) << cam.Output();
  E2EWorld w;
  // A blank in the server name and so in the image directory: the service hands the option
  // text to KVdl as one argument, which must reach the downloader whole.
  ProfileSpec spec = Profile(cam);
  spec.name = "front door";
  const Guid id = w.AddServer(spec);
  // ",/d" goes on the command line, but deletion on the server follows the profile, which
  // keeps the pictures here.
  const CKVTask before = w.AddTask("daily", id, /*image_delete=*/true);
  // The Task View's mailslot, owned by the test: the service announces each change of the task.
  CKVMailSlot task_view;
  ASSERT_EQ(task_view.Create(kTaskViewMailslot), 1);
  ASSERT_TRUE(w.StartService()) << w.ServiceOutput();

  w.RunScan();
  ASSERT_TRUE(w.WaitTaskEnded("daily")) << w.ServiceLog() << w.ServiceOutput();

  const CKVTask after = w.ReadTask("daily");
  EXPECT_EQ(after.ActState, kStateWaiting);
  EXPECT_EQ(after.ActResult, kResultSucceeded);
  EXPECT_EQ(after.EndCode, 0);
  std::time_t start = 0;
  ASSERT_TRUE(TimeStrToTime(before.StartTime, &start));
  EXPECT_STREQ(before.NextTime, before.StartTime);
  EXPECT_EQ(std::string(after.NextTime), TimeToTimeStr(start + 86400));

  // image/YYYY/MMDD/hhmmsscc.jpg with a record in info/YYYY/MMDD.idx for each picture.
  const std::string dir = w.ImageDir("front door");
  for (const char* time : {"00000000", "00000100", "00000200"}) {
    const std::string key = std::string("20240101/") + time;
    EXPECT_TRUE(std::filesystem::exists(dir + "/image/2024/0101/" + time + ".jpg")) << key;
    EXPECT_EQ(ContainsImage(dir + "/info", key), 1) << key;
  }
  EXPECT_TRUE(std::filesystem::exists(dir + "/info/2024/0101.idx"));
  EXPECT_EQ(CountJpgs(dir), 3);
  EXPECT_EQ(cam.Stat("status_requests"), 1);
  EXPECT_EQ(cam.Stat("data_requests"), 3);
  EXPECT_TRUE(cam.Requests("/-kvidb-/rpdel").empty());
  EXPECT_EQ(cam.Stat("pictures"), 3);

  // The run's log is merged after the service's own lines, and its dl.log is gone.
  const auto lines = w.ServiceLogLines();
  const int s100 =
      FindLine(lines, "<info>< >< > Pondrel Task Scheduler Service has started. (S100)");
  const int d001 = FindLine(lines, "<info><daily><front door> Download has started. (D001)");
  const int d002 = FindLine(lines,
                            "<info><daily><front door> Download is completed: 3 picture(s) (no "
                            "picture deleted,  Recorded date of the latest downloaded image: "
                            "2024/01/01 00:00:02:00) (D002)");
  ASSERT_GE(s100, 0) << w.ServiceLog();
  EXPECT_GT(d001, s100) << w.ServiceLog();
  EXPECT_GT(d002, d001) << w.ServiceLog();
  EXPECT_FALSE(std::filesystem::exists(dir + "/dl.log"));

  // "ZORIC:01:" with state, result, end time and name: running, then done.
  std::vector<std::string> announced;
  char buf[kMailslotMessageMax];
  WaitFor([&] {
    task_view.Pump();
    while (task_view.Read(buf, sizeof buf) > 0) announced.emplace_back(buf);
    return announced.size() >= 2;
  });
  ASSERT_EQ(announced.size(), 2u);
  EXPECT_EQ(announced[0], "ZORIC:01::03:09::daily");
  EXPECT_EQ(announced[1], std::string("ZORIC:01::05:01:") + after.EndTime + ":daily");
  for (const std::string& m : announced) {
    std::string refreshed;
    EXPECT_TRUE(tasdek::ParseTaskChangedMessage(m, &refreshed)) << m;
    EXPECT_EQ(refreshed, "daily");
  }

  EXPECT_EQ(w.StopService(), 0);
  EXPECT_GE(FindLine(w.ServiceLogLines(), "(S101)", d002), 0);

  // The Log Viewer reads every line of the merged log: the service's and the downloader's.
  std::vector<std::string> codes;
  logviewer::CLogDocument log;
  ASSERT_EQ(log.Load(w.Root() + "/SYSTEM/kvrpd.log"), 0);
  for (std::size_t i = 0; i < log.RecordCount(); ++i) {
    char code[4];
    EXPECT_TRUE(log.Accepted(i)) << log.Line(i);
    codes.emplace_back(log.Code(i, code));
    if (codes.back() == "D002") {
      EXPECT_EQ(log.Level(i), logviewer::kLevelInfo);
      EXPECT_EQ(log.Task(i), "daily");
      EXPECT_EQ(log.Server(i), "front door");
    }
  }
  EXPECT_EQ(codes, (std::vector<std::string>{"S100", "D001", "D002", "S101"}));
}

TEST(EndToEnd, DeletionOnTheServerGoesInBatchesOfEightEightAndOne) {
  CamsimProcess cam({"--pictures", "17", "--user", "u", "--password", "p", "--admin-user", "u",
                     "--admin-password", "p"});
  ASSERT_TRUE(cam.ok()) << cam.Output();
  E2EWorld w;
  ProfileSpec spec = Profile(cam);
  spec.delete_on_server = true;
  const Guid id = w.AddServer(spec);
  w.AddTask("purge", id, /*image_delete=*/true);
  ASSERT_TRUE(w.StartService()) << w.ServiceOutput();

  w.RunScan();
  ASSERT_TRUE(w.WaitTaskEnded("purge")) << w.ServiceLog();
  const CKVTask t = w.ReadTask("purge");
  EXPECT_EQ(t.ActResult, kResultSucceeded);
  EXPECT_EQ(t.EndCode, 0);
  EXPECT_EQ(cam.Stats()["rpdel_batches"], "8,8,1");
  EXPECT_EQ(cam.Stat("pictures"), 0);
  EXPECT_EQ(CountJpgs(w.ImageDir()), 17);
  EXPECT_EQ(LinesWith(w.ServiceLogLines(),
                      "<info><purge><cam1> Download is completed: 17 picture(s) (17 picture(s)  "
                      "deleted,")
                .size(),
            1u)
      << w.ServiceLog();
}

TEST(EndToEnd, RefusedLoginEndsWith8003AndD028) {
  CamsimProcess cam({"--pictures", "3", "--user", "u", "--password", "p"});
  ASSERT_TRUE(cam.ok()) << cam.Output();
  E2EWorld w;
  ProfileSpec spec = Profile(cam);
  spec.password = "wrong";
  const Guid id = w.AddServer(spec);
  w.AddTask("login", id);
  ASSERT_TRUE(w.StartService()) << w.ServiceOutput();

  w.RunScan();
  ASSERT_TRUE(w.WaitTaskEnded("login")) << w.ServiceLog();
  const CKVTask t = w.ReadTask("login");
  EXPECT_EQ(t.EndCode, 8003);
  EXPECT_EQ(t.ActResult, kResultFailed);
  EXPECT_EQ(t.ActState, kStateWaiting);  // no retries configured: the next regular run
  EXPECT_EQ(LinesWith(w.ServiceLogLines(), "<error><login><cam1> Failed to login. (D028)").size(),
            1u)
      << w.ServiceLog();
  EXPECT_EQ(cam.Stat("status_requests"), 1);
  EXPECT_EQ(cam.Stat("list_requests"), 0);
  EXPECT_EQ(CountJpgs(w.ImageDir()), 0);
}

TEST(EndToEnd, AbortThroughTheServiceEndsTheRunWith100) {
  // Each picture trickles for half a minute: the abort comes in the middle of the first.
  CamsimProcess cam({"--pictures", "3", "--picture-size", "60000", "--user", "u", "--password", "p",
                     "--fault", "data=trickle:2000"});
  ASSERT_TRUE(cam.ok()) << cam.Output();
  E2EWorld w;
  const Guid id = w.AddServer(Profile(cam));
  w.AddTask("slow", id, /*image_delete=*/true);
  ASSERT_TRUE(w.StartService()) << w.ServiceOutput();

  w.RunScan();
  const pid_t kvdl = WaitForPictureDownload(w, cam);
  ASSERT_GT(kvdl, 0) << w.ServiceLog() << w.ServiceOutput();
  // The service started it without a path, with the whole option text as one argument.
  const std::string expected_cmd = std::string("KVdl") + '\0' + "/g " + GuidToHex(id) + ",/l " +
                                   w.ImageDir() + "/dl.log,/t slow,/d" + '\0';
  EXPECT_EQ(CmdLine(kvdl), expected_cmd);
  EXPECT_EQ(w.ReadTask("slow").ActState, kStateRunning);

  // The Task View's abort command.
  tasdek::ServiceControl control;
  ASSERT_TRUE(control.IsServiceRunning());
  ASSERT_TRUE(control.SendAbort("slow"));
  ASSERT_TRUE(w.WaitTaskEnded("slow", 15000)) << w.ServiceLog();
  const CKVTask t = w.ReadTask("slow");
  EXPECT_EQ(t.EndCode, 100);
  EXPECT_EQ(t.ActResult, kResultAborted);
  EXPECT_EQ(t.ActState, kStateWaiting);
  EXPECT_EQ(
      LinesWith(w.ServiceLogLines(), "<warning><slow><cam1> Download has aborted. (D003)").size(),
      1u)
      << w.ServiceLog();
  // The half-received picture is not kept.
  EXPECT_EQ(CountJpgs(w.ImageDir()), 0);
  EXPECT_TRUE(w.ServiceChildren().empty());
}

TEST(EndToEnd, SecondDownloaderForTheSameServerWaitsForTheFirst) {
  // Two pictures of 8,000 bytes at 4,000 bytes a second: the first run takes about 4 seconds.
  CamsimProcess cam({"--pictures", "2", "--picture-size", "8000", "--user", "u", "--password", "p",
                     "--fault", "data=trickle:4000"});
  ASSERT_TRUE(cam.ok()) << cam.Output();
  E2EWorld w;
  const Guid id = w.AddServer(Profile(cam));
  const std::string hex = GuidToHex(id);
  const std::string first_log = w.env().Path("first.log");
  const std::string second_log = w.env().Path("second.log");

  // The first as the service starts it (one argument), the second as typed in a shell.
  StartedProcess first = w.StartKVdl({"/g " + hex + ",/l " + first_log + ",/t first"});
  ASSERT_TRUE(WaitFor([&] { return cam.Stat("data_requests") >= 1; })) << ReadFile(first_log);
  StartedProcess second = w.StartKVdl({"/g", hex + ",/l", second_log + ",/t", "second"});
  ASSERT_TRUE(WaitFor([&] {
    return ReadFile(second_log).find("<info><second><cam1> Download has started. (D001)") !=
           std::string::npos;
  })) << ReadFile(second_log);

  // While the first runs, the second sends nothing to the camera.
  std::optional<int> first_result;
  while (!(first_result = w.WaitKVdl(first, 0))) {
    ASSERT_EQ(cam.Stat("status_requests"), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(*first_result, 0) << ReadFile(first_log);
  EXPECT_EQ(w.WaitKVdl(second), std::optional<int>(0)) << ReadFile(second_log);
  EXPECT_EQ(cam.Stat("status_requests"), 2);
  EXPECT_EQ(cam.Stat("data_requests"), 2);
  EXPECT_NE(ReadFile(first_log).find("Download is completed: 2 picture(s)"), std::string::npos);
  EXPECT_NE(
      ReadFile(second_log).find("<info><second><cam1> Download is completed: No pictures (D002)"),
      std::string::npos)
      << ReadFile(second_log);
}

TEST(EndToEnd, ServiceStopEndsTheRunningDownloadWith100AndMergesItsLog) {
  CamsimProcess cam({"--pictures", "3", "--picture-size", "60000", "--user", "u", "--password", "p",
                     "--fault", "data=trickle:2000"});
  ASSERT_TRUE(cam.ok()) << cam.Output();
  E2EWorld w;
  const Guid id = w.AddServer(Profile(cam));
  w.AddTask("stopped", id);
  ASSERT_TRUE(w.StartService()) << w.ServiceOutput();

  w.RunScan();
  const pid_t kvdl = WaitForPictureDownload(w, cam);
  ASSERT_GT(kvdl, 0) << w.ServiceLog() << w.ServiceOutput();
  // The service handles its mailslot in arrival order on its tick: once it has refused to
  // start the running task again (S004), it has also taken the downloader's earlier report,
  // so the stop's close request can reach the downloader at once.
  ASSERT_TRUE(tasdek::ServiceControl().SendExecuteNow("stopped"));
  ASSERT_TRUE(WaitFor([&] {
    return w.ServiceLog().find(
               "<error><stopped><cam1> Execution failure: The task is already "
               "running. (S004)") != std::string::npos;
  })) << w.ServiceLog();

  EXPECT_EQ(w.StopService(), 0) << w.ServiceOutput();
  EXPECT_TRUE(WaitFor([&] { return E2EWorld::Gone(kvdl); }, 5000));
  const CKVTask t = w.ReadTask("stopped");
  EXPECT_EQ(t.EndCode, 100);
  EXPECT_EQ(t.ActResult, kResultAborted);
  EXPECT_EQ(t.ActState, kStateWaiting);
  const auto lines = w.ServiceLogLines();
  const int d003 = FindLine(lines, "<warning><stopped><cam1> Download has aborted. (D003)");
  ASSERT_GE(d003, 0) << w.ServiceLog();
  EXPECT_GT(d003, FindLine(lines, "<info><stopped><cam1> Download has started. (D001)"));
  EXPECT_GT(FindLine(lines, "(S101)", d003), d003) << w.ServiceLog();
  EXPECT_FALSE(std::filesystem::exists(w.ImageDir() + "/dl.log"));
}

TEST(EndToEnd, FailedRunIsRetriedOnALaterScanAndThenSucceeds) {
  // The first status request is answered 503 ("Disconnected"), the retry finds the camera up.
  CamsimProcess cam(
      {"--pictures", "2", "--user", "u", "--password", "p", "--fault", "status=code:503*1"});
  ASSERT_TRUE(cam.ok()) << cam.Output();
  E2EWorld w;
  const Guid id = w.AddServer(Profile(cam));
  CKVTask t = w.AddTask("retried", id);
  t.RetryCnt = 1;
  t.RestRetryCnt = 1;
  t.RetryInterval = 1;
  w.WriteTask(t);
  ASSERT_TRUE(w.StartService()) << w.ServiceOutput();

  w.RunScan();
  ASSERT_TRUE(w.WaitTaskEnded("retried")) << w.ServiceLog();
  CKVTask failed = w.ReadTask("retried");
  EXPECT_EQ(failed.EndCode, 8005);
  EXPECT_EQ(failed.ActResult, kResultFailed);
  EXPECT_EQ(failed.ActState, kStateRerun);
  EXPECT_EQ(failed.RestRetryCnt, 0);
  std::time_t acted = 0;
  ASSERT_TRUE(TimeStrToTime(failed.LastActTime, &acted));
  EXPECT_EQ(std::string(failed.NextTime), TimeToTimeStr(acted + 60));
  EXPECT_EQ(LinesWith(w.ServiceLogLines(), "<error><retried><cam1> Disconnected. (D026)").size(),
            1u)
      << w.ServiceLog();

  // The retry time falls into the next scan's window.
  w.RunScan();
  ASSERT_TRUE(WaitFor([&] { return w.ReadTask("retried").ActResult == kResultSucceeded; }))
      << w.ServiceLog();
  const CKVTask done = w.ReadTask("retried");
  EXPECT_EQ(done.EndCode, 0);
  EXPECT_EQ(done.ActState, kStateWaiting);
  EXPECT_EQ(done.RestRetryCnt, 1);
  std::time_t start = 0;
  ASSERT_TRUE(TimeStrToTime(done.StartTime, &start));
  EXPECT_EQ(std::string(done.NextTime), TimeToTimeStr(start + 86400));
  EXPECT_EQ(
      LinesWith(w.ServiceLogLines(), "<info><retried><cam1> Download has started. (D001)").size(),
      2u);
  EXPECT_EQ(CountJpgs(w.ImageDir()), 2);
}

TEST(EndToEnd, SecondTaskOnTheSameServerInTheSameScanIsRefusedWithS002) {
  CamsimProcess cam({"--pictures", "2", "--user", "u", "--password", "p"});
  ASSERT_TRUE(cam.ok()) << cam.Output();
  E2EWorld w;
  const Guid id = w.AddServer(Profile(cam));
  w.AddTask("first", id);
  w.AddTask("second", id);
  ASSERT_TRUE(w.StartService()) << w.ServiceOutput();

  w.RunScan();
  ASSERT_TRUE(w.WaitTaskEnded("first")) << w.ServiceLog();
  ASSERT_TRUE(w.WaitTaskEnded("second")) << w.ServiceLog();
  EXPECT_EQ(w.ReadTask("first").ActResult, kResultSucceeded);
  const CKVTask refused = w.ReadTask("second");
  EXPECT_EQ(refused.EndCode, 9990);
  EXPECT_EQ(refused.ActResult, kResultStartFailed);
  EXPECT_EQ(refused.ActState, kStateWaiting);
  EXPECT_EQ(LinesWith(w.ServiceLogLines(),
                      "<error><second><cam1> Execution failure: Another task "
                      "has already accessed the same server. (S002)")
                .size(),
            1u)
      << w.ServiceLog();
  EXPECT_EQ(cam.Stat("status_requests"), 1);
}

TEST(EndToEnd, TaskDeletedWhileItRunsStillHasItsRunLogMerged) {
  CamsimProcess cam({"--pictures", "3", "--picture-size", "60000", "--user", "u", "--password", "p",
                     "--fault", "data=trickle:2000"});
  ASSERT_TRUE(cam.ok()) << cam.Output();
  E2EWorld w;
  const Guid id = w.AddServer(Profile(cam));
  w.AddTask("gone", id);
  ASSERT_TRUE(w.StartService()) << w.ServiceOutput();

  w.RunScan();
  const pid_t kvdl = WaitForPictureDownload(w, cam);
  ASSERT_GT(kvdl, 0) << w.ServiceLog() << w.ServiceOutput();
  ASSERT_TRUE(w.DeleteTask("gone"));
  ASSERT_TRUE(tasdek::ServiceControl().SendAbort("gone"));
  ASSERT_TRUE(WaitFor([&] { return w.ServiceChildren().empty(); })) << w.ServiceLog();
  ASSERT_TRUE(WaitFor([&] {
    return w.ServiceLog().find("<warning><gone><cam1> Download has aborted. (D003)") !=
           std::string::npos;
  })) << w.ServiceLog();
  EXPECT_FALSE(std::filesystem::exists(w.ImageDir() + "/dl.log"));
  // Nothing brings the deleted task back.
  EXPECT_EQ(w.StopService(), 0);
  EXPECT_FALSE(w.ReadTask("gone").HasName());
  EXPECT_EQ(ReadFile(w.Root() + "/schedule.ini").find("[gone]"), std::string::npos);
}

TEST(EndToEnd, DueTaskWaitsWhileAnotherProgramHoldsTheEnvironmentLock) {
  CamsimProcess cam({"--pictures", "2", "--user", "u", "--password", "p"});
  ASSERT_TRUE(cam.ok()) << cam.Output();
  E2EWorld w;
  const Guid id = w.AddServer(Profile(cam));
  const CKVTask before = w.AddTask("held", id);
  ASSERT_TRUE(w.StartService()) << w.ServiceOutput();
  {
    // As the Task View holds it while its server list is open.
    NamedLock env_lock("VeltaZoricSetEnvMutexName");
    ASSERT_TRUE(env_lock.TryLock());
    w.RunScan();
    // A few ticks of the service: the due task is left alone, silently.
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    const CKVTask waiting = w.ReadTask("held");
    EXPECT_EQ(waiting.ActState, kStateWaiting);
    EXPECT_EQ(waiting.ActResult, kResultNone);
    EXPECT_STREQ(waiting.NextTime, before.NextTime);
    EXPECT_EQ(cam.Stat("status_requests"), 0);
    EXPECT_EQ(FindLine(w.ServiceLogLines(), "<held>"), -1) << w.ServiceLog();
  }
  // Once the lock is free the waiting task is started.
  ASSERT_TRUE(w.WaitTaskEnded("held")) << w.ServiceLog();
  EXPECT_EQ(w.ReadTask("held").ActResult, kResultSucceeded);
  EXPECT_EQ(CountJpgs(w.ImageDir()), 2);
}

TEST(EndToEnd, DownloaderKilledBySignalCountsAsFailedWith9999) {
  CamsimProcess cam({"--pictures", "3", "--picture-size", "60000", "--user", "u", "--password", "p",
                     "--fault", "data=trickle:2000"});
  ASSERT_TRUE(cam.ok()) << cam.Output();
  E2EWorld w;
  const Guid id = w.AddServer(Profile(cam));
  w.AddTask("killed", id);
  ASSERT_TRUE(w.StartService()) << w.ServiceOutput();

  w.RunScan();
  const pid_t kvdl = WaitForPictureDownload(w, cam);
  ASSERT_GT(kvdl, 0) << w.ServiceLog() << w.ServiceOutput();
  // Nothing reaches the result pipe: the exit code cannot be obtained.
  ASSERT_EQ(::kill(kvdl, SIGKILL), 0);
  ASSERT_TRUE(w.WaitTaskEnded("killed")) << w.ServiceLog();
  const CKVTask t = w.ReadTask("killed");
  EXPECT_EQ(t.EndCode, 9999);
  EXPECT_EQ(t.ActResult, kResultFailed);
  EXPECT_EQ(t.ActState, kStateWaiting);
  // What the run wrote before it died is still merged.
  EXPECT_EQ(
      LinesWith(w.ServiceLogLines(), "<info><killed><cam1> Download has started. (D001)").size(),
      1u);
  EXPECT_FALSE(std::filesystem::exists(w.ImageDir() + "/dl.log"));
}

TEST(EndToEnd, TaskViewStartsTheServiceRunsTasksNowAndStopsItDuringADownload) {
  CamsimProcess quick({"--pictures", "2", "--user", "u", "--password", "p"});
  CamsimProcess slow({"--pictures", "3", "--picture-size", "60000", "--user", "u", "--password",
                      "p", "--fault", "data=trickle:2000"});
  ASSERT_TRUE(quick.ok()) << quick.Output();
  ASSERT_TRUE(slow.ok()) << slow.Output();
  E2EWorld w;
  ProfileSpec quick_spec = Profile(quick);
  quick_spec.name = "quick";
  ProfileSpec slow_spec = Profile(slow);
  slow_spec.name = "slow";
  // Due in an hour: only "execute now" starts them.
  const CKVTask now_before = w.AddTask("now", w.AddServer(quick_spec), false, 3600);
  w.AddTask("later", w.AddServer(slow_spec), false, 3600);

  // The service in the background, as the Task View starts it ("zoricsm -start").
  tasdek::ServiceControl control;
  control.SetHostPath(w.HostDir() + "/zoricsm");
  ASSERT_EQ(control.StartService(), tasdek::kServiceOk);
  ASSERT_TRUE(w.AdoptBackgroundService());

  ASSERT_TRUE(control.SendExecuteNow("now"));
  ASSERT_TRUE(w.WaitTaskEnded("now")) << w.ServiceLog();
  const CKVTask now_after = w.ReadTask("now");
  EXPECT_EQ(now_after.ActResult, kResultSucceeded);
  EXPECT_EQ(now_after.EndCode, 0);
  EXPECT_STREQ(now_after.NextTime, now_before.NextTime);  // the regular run stays
  EXPECT_EQ(CountJpgs(w.ImageDir("quick")), 2);

  ASSERT_TRUE(control.SendExecuteNow("later"));
  ASSERT_GT(WaitForPictureDownload(w, slow), 0) << w.ServiceLog();
  ASSERT_TRUE(control.SendExecuteNow("later"));  // refused (S004): the report is taken too
  ASSERT_TRUE(WaitFor([&] {
    return w.ServiceLog().find(
               "<error><later><slow> Execution failure: The task is already "
               "running. (S004)") != std::string::npos;
  })) << w.ServiceLog();

  // "zoricsm -osstop": the running download is closed and the service ends.
  const pid_t service = w.ServicePid();
  ASSERT_EQ(control.StopService(), tasdek::kServiceOk);
  EXPECT_TRUE(WaitFor([&] { return E2EWorld::Gone(service); }));
  const CKVTask later = w.ReadTask("later");
  EXPECT_EQ(later.EndCode, 100);
  EXPECT_EQ(later.ActResult, kResultAborted);
  const auto lines = w.ServiceLogLines();
  const int d003 = FindLine(lines, "<warning><later><slow> Download has aborted. (D003)");
  ASSERT_GE(d003, 0) << w.ServiceLog();
  EXPECT_GT(FindLine(lines, "(S101)", d003), d003) << w.ServiceLog();
}

TEST(EndToEnd, LauncherFailuresAreRecordedAsFailedRuns) {
  CamsimProcess cam({"--pictures", "2", "--user", "u", "--password", "p"});
  ASSERT_TRUE(cam.ok()) << cam.Output();
  E2EWorld w;
  const Guid id = w.AddServer(Profile(cam));
  w.AddTask("nolib", id);
  ASSERT_TRUE(w.StartService()) << w.ServiceOutput();

  // KVdl without its library: the launcher's own result (beyond the low 8 bits of an exit
  // status) reaches the task through the result pipe.
  std::filesystem::remove(w.HostDir() + "/libfetchko.so");
  w.RunScan();
  ASSERT_TRUE(w.WaitTaskEnded("nolib")) << w.ServiceLog();
  const CKVTask nolib = w.ReadTask("nolib");
  EXPECT_EQ(nolib.EndCode, 4001);
  EXPECT_EQ(nolib.ActResult, kResultFailed);
  EXPECT_EQ(cam.Stat("status_requests"), 0);

  // No KVdl beside the service (nor on the search path): the start fails with S005.
  std::filesystem::remove(w.HostDir() + "/KVdl");
  w.AddTask("nolauncher", id);
  w.RunScan();
  ASSERT_TRUE(w.WaitTaskEnded("nolauncher")) << w.ServiceLog();
  const CKVTask nolauncher = w.ReadTask("nolauncher");
  EXPECT_EQ(nolauncher.ActResult, kResultStartFailed);
  EXPECT_EQ(nolauncher.ActState, kStateWaiting);
  EXPECT_EQ(LinesWith(w.ServiceLogLines(),
                      "<error><nolauncher><cam1> Execution failure: Failed "
                      "to execute the downloader (S005)")
                .size(),
            1u)
      << w.ServiceLog();
}

TEST(EndToEnd, RunLeftByACrashedServiceKeepsTheNextRunWaitingForTheServer) {
  // Three pictures of 8,000 bytes at 4,000 bytes a second: about six seconds.
  CamsimProcess cam({"--pictures", "3", "--picture-size", "8000", "--user", "u", "--password", "p",
                     "--fault", "data=trickle:4000"});
  ASSERT_TRUE(cam.ok()) << cam.Output();
  E2EWorld w;
  const Guid id = w.AddServer(Profile(cam));
  w.AddTask("crash", id);
  ASSERT_TRUE(w.StartService()) << w.ServiceOutput();
  w.RunScan();
  ASSERT_GT(WaitForPictureDownload(w, cam), 0) << w.ServiceLog();

  const std::vector<pid_t> orphans = w.CrashService();
  ASSERT_EQ(orphans.size(), 1u);
  // A new service resets the left-over state; the task is run at once by hand. Its downloader
  // must wait for the orphan, which the new service knows nothing of.
  ASSERT_TRUE(w.StartService()) << w.ServiceOutput();
  ASSERT_TRUE(WaitFor([&] { return w.ReadTask("crash").ActState == kStateWaiting; }));
  ASSERT_TRUE(tasdek::ServiceControl().SendExecuteNow("crash"));
  ASSERT_TRUE(WaitFor([&] { return w.ReadTask("crash").ActState == kStateRunning; }));
  while (!E2EWorld::Gone(orphans[0])) {
    ASSERT_EQ(cam.Stat("status_requests"), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_TRUE(w.WaitTaskEnded("crash")) << w.ServiceLog();
  const CKVTask t = w.ReadTask("crash");
  EXPECT_EQ(t.ActResult, kResultSucceeded);
  EXPECT_EQ(t.EndCode, 0);
  EXPECT_EQ(cam.Stat("status_requests"), 2);
  EXPECT_EQ(cam.Stat("data_requests"), 3);  // nothing fetched twice
  EXPECT_EQ(CountJpgs(w.ImageDir()), 3);
  // Both runs' lines reach kvrpd.log: the orphan wrote into the same dl.log.
  const auto lines = w.ServiceLogLines();
  EXPECT_EQ(LinesWith(lines, "<info><crash><cam1> Download has started. (D001)").size(), 2u)
      << w.ServiceLog();
  EXPECT_EQ(LinesWith(lines, "<info><crash><cam1> Download is completed: 3 picture(s)").size(), 1u)
      << w.ServiceLog();
  EXPECT_EQ(
      LinesWith(lines, "<info><crash><cam1> Download is completed: No pictures (D002)").size(), 1u)
      << w.ServiceLog();
}

}  // namespace
}  // namespace pondrel::test
