// The hosting side: the real zoricsm in -start/-debug/-osstop/-osinstall/-osremove, a second
// instance, a service killed with SIGKILL and started again, and OVEventLog's file.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <sstream>

#include "common/registry.h"
#include "common/unique_fd.h"
#include "service/event_log.h"
#include "service/service_manager.h"
#include "tests/service/service_fixture.h"
#include "tests/support/test_process.h"

namespace pondrel::test {
namespace {

// A host directory of its own: zoricsm, libkestova.so and the test launcher as KVdl, so that
// OVEvent.log and the launcher search stay inside the test's directory.
class HostFixture : public ::testing::Test {
 protected:
  HostFixture() {
    bin_ = env_.Path("host");
    std::filesystem::create_directories(bin_);
    for (const char* f : {"zoricsm", "libkestova.so"})
      std::filesystem::copy_file(StageDir() + "/" + f, bin_ + "/" + f);
    std::filesystem::copy_file(StageDir() + "/fake_kvdl", bin_ + "/KVdl");
    fake_dir_ = env_.Path("fake");
    std::filesystem::create_directories(fake_dir_);
    setenv("FAKE_KVDL_DIR", fake_dir_.c_str(), 1);
    unsetenv(kLauncherDirVar);
  }
  ~HostFixture() override {
    // Whatever is still running of ours is stopped.
    RunHost("-osstop");
    KillLaunchers();
    unsetenv("FAKE_KVDL_DIR");
  }

  // Test launchers left behind by a killed service (their pids are in the ".args" records).
  void KillLaunchers() {
    for (const auto& f : std::filesystem::directory_iterator(fake_dir_)) {
      if (f.path().extension() != ".args") continue;
      std::istringstream lines(ReadFile(f.path().string()));
      std::string line;
      while (std::getline(lines, line)) {
        pid_t pid = static_cast<pid_t>(std::atol(line.c_str()));
        if (pid > 0) ::kill(pid, SIGKILL);
      }
    }
  }

  // Its exit status, or minus the signal that ended it.
  int RunHost(const std::string& arg, const std::vector<std::string>& more = {}) {
    TestProcess host = SpawnHost(arg, more);
    const int status = host.Wait();
    return host.Exited() || status < 0 ? status : -(status - 128);
  }
  // `more`: further arguments, as a shell passes the words of a typed command line. Stopped
  // (SIGTERM, then SIGKILL) when the returned object goes away.
  TestProcess SpawnHost(const std::string& arg, const std::vector<std::string>& more = {}) {
    std::vector<std::string> args{arg};
    args.insert(args.end(), more.begin(), more.end());
    ProcessOptions how;
    how.argv0 = "zoricsm";
    how.stderr_path = "/dev/null";
    TestProcess host;
    EXPECT_TRUE(host.Start(bin_ + "/zoricsm", args, how)) << host.Error();
    return host;
  }
  bool Running() {
    return NamedObject::Exists(std::string(kRequestStopEventPrefix) + kServiceName);
  }
  std::string Log() { return ReadFile(env_.Root() + "/SYSTEM/kvrpd.log"); }
  std::string Events() { return ReadFile(bin_ + "/OVEvent.log"); }

  ScopedTestEnv env_;
  std::string bin_, fake_dir_;
};

TEST_F(HostFixture, StartInBackgroundRefuseSecondInstanceAndStopWithOsstop) {
  ASSERT_EQ(RunHost("-start"), 0);
  ASSERT_TRUE(WaitUntil([&] { return Running(); }));
  ASSERT_TRUE(WaitUntil([&] { return Log().find("(S100)") != std::string::npos; }));
  // The service answers the probe; a second instance ends with 2 and leaves it alone.
  EXPECT_EQ(RunHost("-start"), kExitAlreadyRunning);
  EXPECT_EQ(RunHost("-debug"), kExitAlreadyRunning);
  EXPECT_TRUE(Running());
  EXPECT_TRUE(CKVMailSlot(kServiceMailslot).Send("", 0));
  EXPECT_EQ(RunHost("-nosuchword"), 0);
  EXPECT_TRUE(Running());

  EXPECT_EQ(RunHost("/OSSTOP"), 0);
  EXPECT_FALSE(Running());
  EXPECT_NE(Log().find("(S101)"), std::string::npos);
  std::string events = Events();
  EXPECT_NE(events.find("] : KESTOVA : INFORMATION : The service has started."), std::string::npos);
  EXPECT_NE(events.find("] : KESTOVA : INFORMATION : The service has stopped."), std::string::npos);
  EXPECT_NE(events.find("] : KESTOVA : ERROR : The service is already running."),
            std::string::npos);
  // Stopping a service that does not run returns at once.
  EXPECT_EQ(RunHost("-osstop"), 0);
}

TEST_F(HostFixture, SecondInstanceOfTheBodyEndsWithTwoWhenTheMailslotIsTaken) {
  // Someone else owns the service's mailslot: the body cannot create it.
  CKVMailSlot squatter;
  ASSERT_EQ(squatter.Create(kServiceMailslot), 1);
  // The instance that owns the mailslot runs this task; the one that fails leaves it alone.
  CKVTaskMgr tasks(env_.Root());
  CKVTask t;
  t.SetName("theirs");
  SetTaskField(t.StartTime, "2020/01/01/00/00/00");
  t.ActState = kStateRunning;
  ASSERT_EQ(tasks.WriteTask(t), 0);
  const std::string before = ReadFile(env_.Root() + "/schedule.ini");
  EXPECT_EQ(RunHost("-debug"), 2);
  EXPECT_NE(Events().find("ERROR : Slot Create"), std::string::npos);
  EXPECT_EQ(ReadFile(env_.Root() + "/schedule.ini"), before);
}

TEST_F(HostFixture, DebugModeStopsOnSigtermAndARestartAfterSigkillResetsStates) {
  // A task left running when the service is killed.
  {
    CKVSrvMgr mgr;
    ASSERT_TRUE(mgr.InitWithDirectory(env_.Root()));
    CKVSrvInfo info;
    (void)info.SetServerName("cam");
    (void)info.SetImageDirectory(env_.Path("images"));
    (void)info.SetHostName("127.0.0.1");
    ASSERT_EQ(mgr.Add(&info), SrvResult::SRV_OK);
    CKVTaskMgr tasks(env_.Root());
    CKVTask t;
    t.SetName("kept");
    SetTaskField(t.StartTime, "2020/01/01/00/00/00");
    t.ServerId = info.GetId();
    ASSERT_EQ(tasks.WriteTask(t), 0);
    CKVTask r = t;
    r.SetName("retrying");
    r.ActState = kStateRerun;
    SetTaskField(r.NextTime, "2099/01/01/00/00/00");
    ASSERT_EQ(tasks.WriteTask(r), 0);
  }
  WriteFile(fake_dir_ + "/kept.ctl", "wait\n");
  TestProcess host = SpawnHost("-debug");
  ASSERT_TRUE(WaitUntil([&] { return Log().find("(S100)") != std::string::npos; }));
  {
    CKVMailSlot slot(kServiceMailslot);
    slot.Send("ZORIC:02:kept");
  }
  CKVTaskMgr tasks(env_.Root());
  auto state = [&](const char* name) {
    CKVTask t;
    tasks.ReadTask(name, &t);
    return t.ActState;
  };
  ASSERT_TRUE(WaitUntil([&] { return state("kept") == kStateRunning; }));
  ASSERT_TRUE(WaitUntil([&] { return !ReadFile(fake_dir_ + "/kept.args").empty(); }));
  host.Kill();
  // The orphaned test launcher is ours to end.
  KillLaunchers();

  host = SpawnHost("-debug");
  ASSERT_TRUE(WaitUntil([&] { return Running(); }));
  ASSERT_TRUE(WaitUntil(
      [&] { return state("kept") == kStateWaiting && state("retrying") == kStateWaiting; }));
  // The run that the kill cut short has a failed result and a log line, not "running" for good.
  CKVTask kept;
  tasks.ReadTask("kept", &kept);
  EXPECT_EQ(kept.ActResult, kResultFailed);
  EXPECT_EQ(kept.EndCode, kEndCodeNoExitCode);
  EXPECT_NE(kept.EndTime[0], '\0');
  EXPECT_TRUE(WaitUntil([&] {
    return Log().find(
               "<error><kept><cam> Execution failure: The run was interrupted because "
               "the service ended while it ran. (S010)") != std::string::npos;
  }));
  CKVTask retrying;
  tasks.ReadTask("retrying", &retrying);
  EXPECT_EQ(retrying.ActResult, kResultNone);
  host.Signal(SIGTERM);
  const int status = host.Wait();
  EXPECT_TRUE(host.Exited());
  EXPECT_EQ(status, 0);
  EXPECT_FALSE(Running());
}

TEST_F(HostFixture, InstallAndRemoveWriteTheRunServicesValues) {
  ASSERT_EQ(RunHost("-osinstall"), 0);
  RegistryKey key;
  std::string value;
  ASSERT_TRUE(key.OpenRead(kRunServicesKey));
  ASSERT_TRUE(key.ReadText("KESTOVA", &value));
  EXPECT_EQ(value, std::filesystem::canonical(bin_ + "/zoricsm").string() + " -start");

  ASSERT_EQ(RunHost("-osinstall /opt/pondrel bin/zoricsm"), 0);
  ASSERT_TRUE(key.ReadText("KESTOVA", &value));
  EXPECT_EQ(value, "/opt/pondrel bin/zoricsm -start");

  // Typed in a shell, the path arrives as a word of its own and means the same.
  ASSERT_EQ(RunHost("-osinstall", {"/opt/pondrel/zoricsm"}), 0);
  ASSERT_TRUE(key.ReadText("KESTOVA", &value));
  EXPECT_EQ(value, "/opt/pondrel/zoricsm -start");

  // "-osstart" runs the installed command line.
  ASSERT_EQ(RunHost("-osinstall " + bin_ + "/zoricsm"), 0);
  ASSERT_EQ(RunHost("-osstart"), 0);
  ASSERT_TRUE(WaitUntil([&] { return Running(); }));
  ASSERT_EQ(RunHost("-osremove"), 0);
  EXPECT_FALSE(Running());
  EXPECT_FALSE(key.ReadText("KESTOVA", &value));
}

// Runs KVdl from `dir` with `args`; the result text from its result pipe goes to *text.
int RunLauncher(const std::string& dir, const std::vector<std::string>& args, std::string* text) {
  int p[2];
  if (::pipe2(p, O_CLOEXEC) != 0) return -1;
  UniqueFd read_end(p[0]), write_end(p[1]);
  ProcessOptions how;
  how.argv0 = "KVdl";
  how.fds = {{write_end.get(), 5}};
  how.env = {"PONDREL_RESULT_FD=5"};
  how.stderr_path = "/dev/null";
  TestProcess launcher;
  if (!launcher.Start(dir + "/KVdl", args, how)) return -1;
  write_end.reset();
  text->clear();
  char buf[64];
  ssize_t n;
  while ((n = ::read(read_end.get(), buf, sizeof buf)) > 0)
    text->append(buf, static_cast<std::size_t>(n));
  const int status = launcher.Wait();
  return launcher.Exited() ? status : -1;
}

TEST(Launcher, JoinsItsArgumentsReportsTheFullResultAndItsOwnStartFailure) {
  ScopedTestEnv env;
  std::string dir = env.Path("kvdl");
  std::filesystem::create_directories(dir);
  std::filesystem::copy_file(StageDir() + "/KVdl", dir + "/KVdl");
  std::string text;
  // No downloader library beside it: a failed run of its own, never a success.
  int code = RunLauncher(dir, {"/g 00,/t x"}, &text);
  EXPECT_EQ(text, "4001\n");
  EXPECT_EQ(code, 4001 & 0xFF);

  std::filesystem::copy_file(StageDir() + "/libfake_fetchko.so", dir + "/libfetchko.so");
  setenv("FAKE_FETCHKO_OUT", env.Path("options").c_str(), 1);
  setenv("FAKE_FETCHKO_RESULT", "8002", 1);
  code = RunLauncher(dir, {"/g", "0011,/l", "/tmp/a b/dl.log,/t", "Daily run"}, &text);
  EXPECT_EQ(ReadFile(env.Path("options")), "/g 0011,/l /tmp/a b/dl.log,/t Daily run");
  EXPECT_EQ(text, "8002\n");
  EXPECT_EQ(code, 8002 & 0xFF);
  setenv("FAKE_FETCHKO_RESULT", "-1", 1);  // a negative result travels whole through the pipe
  code = RunLauncher(dir, {"/g 0011,/t neg"}, &text);
  EXPECT_EQ(text, "-1\n");
  EXPECT_EQ(code, 255);
  setenv("FAKE_FETCHKO_RESULT", "100", 1);
  code = RunLauncher(dir, {"/g 0011,/l /x/dl.log,/t one"}, &text);
  EXPECT_EQ(ReadFile(env.Path("options")), "/g 0011,/l /x/dl.log,/t one");
  EXPECT_EQ(text, "100\n");
  EXPECT_EQ(code, 100);
  unsetenv("FAKE_FETCHKO_OUT");
  unsetenv("FAKE_FETCHKO_RESULT");
}

TEST(EventLog, RecordLayoutSeverityAndCut) {
  const char* text[] = {"Slot Create"};
  std::string r = OVEventLog::FormatRecord(0, "KESTOVA", kEventServiceError, 1, text);
  EXPECT_NE(r.find("] : KESTOVA : ERROR : Slot Create"), std::string::npos);
  EXPECT_EQ(r[0], '[');
  EXPECT_NE(OVEventLog::FormatRecord(0, "S", 0x80000001u, 0, nullptr).find(" : WARNING : "),
            std::string::npos);
  EXPECT_NE(OVEventLog::FormatRecord(0, "S", 0x00000001u, 0, nullptr).find(" : INFORMATION : "),
            std::string::npos);
  std::string long_text(2000, 'e');
  const char* lt[] = {long_text.c_str()};
  EXPECT_EQ(OVEventLog::FormatRecord(0, "S", kEventServiceError, 1, lt).size(), kEventRecordMax);
  const char* broken[] = {"two\nlines"};
  EXPECT_EQ(OVEventLog::FormatRecord(0, "S", kEventServiceError, 1, broken).find('\n'),
            std::string::npos);
}

TEST(EventLog, LogPastTheLimitMovesToBakAndEventsNeverFail) {
  ScopedTestEnv env;
  OVEventLog log;
  ASSERT_TRUE(log.Setup(env.Dir(), "KESTOVA"));
  ASSERT_EQ(log.LogFilePath(), env.Path("OVEvent.log"));
  log.ReportStrings(kEventServiceStarted);
  std::string first = ReadFile(env.Path("OVEvent.log"));
  EXPECT_NE(first.find("INFORMATION : The service has started.\n"), std::string::npos);
  // Exactly at the limit nothing moves; one byte more and the next event starts a new file.
  ASSERT_EQ(::truncate(env.Path("OVEvent.log").c_str(), static_cast<off_t>(kEventLogMaxBytes)), 0);
  log.ReportStrings(kEventServiceStopped);
  EXPECT_FALSE(FileExists(env.Path("OVEvent.log.bak")));
  log.ReportStrings(kEventServiceError, "boom");
  ASSERT_TRUE(FileExists(env.Path("OVEvent.log.bak")));
  std::string fresh = ReadFile(env.Path("OVEvent.log"));
  EXPECT_EQ(Lines(fresh), 1);
  EXPECT_NE(fresh.find("ERROR : boom"), std::string::npos);

  // Another program holds the log's mutex: the event is dropped, the caller is not held up
  // forever and sees no failure.
  NamedObject held = NamedObject::Create(kEventLogMutexName);
  ASSERT_TRUE(held.held());
  log.ReportStrings(kEventServiceError, "dropped");
  EXPECT_EQ(ReadFile(env.Path("OVEvent.log")).find("dropped"), std::string::npos);
  held.Release();

  // A directory that cannot be written: still no failure.
  OVEventLog nowhere;
  nowhere.Setup("/proc/nonexistent", "KESTOVA");
  nowhere.ReportStrings(kEventServiceError, "lost");
}

TEST(MailslotProtocol, RegisterArgumentAndTaskChangedLayout) {
  std::string name;
  std::uint32_t w = 0;
  EXPECT_TRUE(ParseRegisterArgument("Daily:1234", &name, &w));
  EXPECT_EQ(name, "Daily");
  EXPECT_EQ(w, 1234u);
  EXPECT_TRUE(ParseRegisterArgument("a:b:7", &name, &w) == false);  // "b:7" is not a number
  EXPECT_TRUE(ParseRegisterArgument(":5", &name, &w));
  EXPECT_EQ(name, "");
  EXPECT_TRUE(ParseRegisterArgument("x: 12junk", &name, &w));
  EXPECT_EQ(w, 12u);
  for (const char* bad : {"nocolon", "x:", "x:0", "x:abc", "x:-0", ""})
    EXPECT_FALSE(ParseRegisterArgument(bad, &name, &w)) << bad;
  EXPECT_TRUE(ParseRegisterArgument("x:4294967296", &name, &w) == false);  // wraps to 0

  CKVTask t;
  t.SetName("Daily");
  t.ActState = 5;
  t.ActResult = 1;
  SetTaskField(t.EndTime, "2003/04/05/06/07/08");
  EXPECT_EQ(FormatTaskChanged(t), "ZORIC:01::05:01:2003/04/05/06/07/08:Daily");
}

}  // namespace
}  // namespace pondrel::test
