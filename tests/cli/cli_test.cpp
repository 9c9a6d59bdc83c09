#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "common/mailslot.h"
#include "common/registry.h"
#include "servers/srvmgr.h"
#include "taskmodel/kvtask.h"
#include "tests/cli/run_pondrel.h"
#include "tests/support/test_env.h"

namespace pondrel::test {
namespace {

class CliTest : public ::testing::Test {
 protected:
  CliResult Run(const std::vector<std::string>& args, const std::string& input = "") {
    return RunPondrel(args, input);
  }
  // Adds the server "cam" and returns its identifier.
  std::string AddCam(const std::string& name = "cam", const std::string& dir = "img") {
    CliResult r =
        Run({"server", "add", name, "--image-dir", env_.Dir() + "/" + dir, "--host", "127.0.0.1"});
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out.substr(0, 32);
  }
  std::string Schedule() { return ReadFile(env_.Root() + "/schedule.ini"); }
  std::string Profiles() { return ReadFile(env_.Root() + "/prp1"); }

  ScopedTestEnv env_;
};

TEST_F(CliTest, HelpOnEveryLevelAndUsageErrors) {
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"--help"},
                                             {"server", "--help"},
                                             {"task", "add", "--help"},
                                             {"service", "-h"},
                                             {"log", "show", "--help"},
                                             {"options", "set", "--help"}}) {
    CliResult r = Run(args);
    EXPECT_EQ(r.status, 0) << args[0];
    EXPECT_NE(r.out.find("Usage: pondrel"), std::string::npos) << r.out;
  }
  EXPECT_EQ(Run({}).status, 2);
  EXPECT_EQ(Run({"bogus"}).status, 2);
  EXPECT_EQ(Run({"task", "frobnicate"}).status, 2);
  CliResult r = Run({"task", "list", "--colour"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("unknown option '--colour'"), std::string::npos);
  EXPECT_EQ(Run({"task", "show"}).status, 2);                 // missing NAME
  EXPECT_EQ(Run({"task", "show", "a", "b"}).status, 2);       // one too many
  EXPECT_EQ(Run({"task", "add", "t", "--cycle"}).status, 2);  // value missing
}

TEST_F(CliTest, WithoutRootEveryCommandFailsAndSaysWhy) {
  ScopedTestEnv no_root(false);
  CliResult r = Run({"task", "list"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("\"ROOT\" is not set"), std::string::npos) << r.err;
}

TEST_F(CliTest, ServerAddValidatesLikeTheEditorAndWritesNothingOnRefusal) {
  struct Case {
    std::vector<std::string> extra;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{"--port", "0"}, "pondrel: --port: Specify HTTP Port in the range of 1 to 65535.\n"},
      {{"--port", "65536"}, "pondrel: --port: Specify HTTP Port in the range of 1 to 65535.\n"},
      {{"--port", "12a"}, "pondrel: --port: HTTP Port is invalid format.\n"},
      {{"--host", ""}, "pondrel: --host: Host Name is not specified.\n"},
      {{"--delete-images"}, "pondrel: --admin-account: Administrator Account is not specified.\n"},
      {{"--proxy-host", "p", "--proxy-port", ""},
       "pondrel: --proxy-port: HTTP Proxy Port is not specified.\n"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"server", "add", "cam", "--image-dir", env_.Dir() + "/img",
                                     "--host", "h"};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    CliResult r = Run(args);
    EXPECT_EQ(r.status, 2);  // a refused value is a usage error
    EXPECT_EQ(r.err, c.message);
  }
  CliResult r = Run({"server", "add", "a;b", "--image-dir", env_.Dir() + "/img", "--host", "h"});
  EXPECT_EQ(r.err,
            "pondrel: --name: The following characters are invalid for a Server Name. \n "
            "\" \\ / | : ; , * ? < >\n");
  EXPECT_FALSE(std::filesystem::exists(env_.Root() + "/prp1"));
  // A line feed in a name would print a forged line in "server show".
  r = Run(
      {"server", "add", "evil\nHostName=spoof", "--image-dir", env_.Dir() + "/img", "--host", "h"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "pondrel: --name: Server Name is invalid format.\n");
  EXPECT_FALSE(std::filesystem::exists(env_.Root() + "/prp1"));

  AddCam();
  const std::string before = Profiles();
  r = Run({"server", "add", "cam", "--image-dir", env_.Dir() + "/other", "--host", "h"});
  EXPECT_EQ(r.err, "pondrel: server 'cam': The specified server name already exists.\n");
  EXPECT_EQ(r.status, 1);
  r = Run({"server", "add", "cam2", "--image-dir", env_.Dir() + "/IMG/x", "--host", "h"});
  EXPECT_EQ(r.err, "pondrel: server 'cam2': The specified image directory is already in use.\n");
  EXPECT_EQ(Profiles(), before);
}

TEST_F(CliTest, PasswordsComeFromStandardInputAndAreNeverShown) {
  CliResult r = Run({"server", "add", "cam", "--image-dir", env_.Dir() + "/img", "--host", "h",
                     "--admin-account", "admin", "--password-stdin", "--delete-images"},
                    "s3cr3t-pw\n");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.find("s3cr3t"), std::string::npos);
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"server", "show", "cam"},
                                             {"--json", "server", "show", "cam"},
                                             {"server", "list"},
                                             {"--json", "server", "list"}}) {
    CliResult s = Run(args);
    EXPECT_EQ(s.status, 0);
    EXPECT_EQ(s.out.find("s3cr3t"), std::string::npos) << s.out;
  }
  EXPECT_NE(Run({"server", "show", "cam"}).out.find("Administrator Password:  (set)"),
            std::string::npos);
  CKVSrvMgr store;
  ASSERT_TRUE(store.Init());
  bool more;
  ASSERT_EQ(store.LoadAll(&more), SrvResult::SRV_OK);
  ASSERT_EQ(store.Loaded().size(), 1u);
  EXPECT_EQ(store.Loaded()[0].GetAdminPassword(), "s3cr3t-pw");

  // Editing another field keeps the password; --no-password is refused while images are
  // deleted on the server, which needs it.
  ASSERT_EQ(Run({"server", "edit", "cam", "--port", "8080"}).status, 0);
  ASSERT_EQ(store.LoadAll(&more), SrvResult::SRV_OK);
  EXPECT_EQ(store.Loaded()[0].GetAdminPassword(), "s3cr3t-pw");
  r = Run({"server", "edit", "cam", "--no-password"});
  EXPECT_EQ(r.err, "pondrel: --password-stdin: Administrator Password is not specified.\n");
  // A missing line on standard input is a usage error, not an empty password.
  EXPECT_EQ(Run({"server", "edit", "cam", "--password-stdin"}, "").status, 2);
}

TEST_F(CliTest, TaskAddValidatesLikeTheEditorAndWritesNothingOnRefusal) {
  CliResult r = Run({"task", "add", "t"});
  EXPECT_EQ(r.err,
            "pondrel: server profiles: Server is not registerd.\n Set the server information "
            "first.\n");
  AddCam();
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{"task", "add", "  "}, "pondrel: --name: Task Name is not specified.\n"},
      {{"task", "add", ".t"}, "pondrel: --name: Task Name is invalid..t is invalid format.\n"},
      {{"task", "add", "a/b"},
       "pondrel: --name: The following characters are invalid for a Task Name. \n \" \\ / | : "
       "; , * ? < >\n"},
      {{"task", "add", "t", "--every", "0"},
       "pondrel: --every: Specify a day in the range of 1 to 31.\n"},
      {{"task", "add", "t", "--cycle", "weekly", "--every", "54"},
       "pondrel: --every: Specify a week in the range of 1 to 53.\n"},
      {{"task", "add", "t", "--cycle", "weekly"},
       "pondrel: --weekdays: Select at least one day of the week.\n"},
      {{"task", "add", "t", "--cycle", "monthly", "--day-of-month", "32"},
       "pondrel: --day-of-month: Specify a day of the month in the range of 1 to 31.\n"},
      {{"task", "add", "t", "--repeat-every", "1", "--repeat-times", "0"},
       "pondrel: --repeat-times: Specify a number of repetition times in the range of 1 to "
       "23.\n"},
      {{"task", "add", "t", "--repeat-every", "24"},
       "pondrel: --repeat-every: Specify an interval value for repetition in the range of 1 "
       "to 23.\n"},
      {{"task", "add", "t", "--retry-times", "11"},
       "pondrel: --retry-times: Specify a number of retry times in case of failure in the "
       "range of 1 to 10.\n"},
      {{"task", "add", "t", "--retry-every", "0"},
       "pondrel: --retry-every: Specify an interval value for retrying in case of failure in "
       "the range of 1 to 10.\n"},
      // Trailing characters are refused, not read as the leading number.
      {{"task", "add", "t", "--repeat-times", "3x"},
       "pondrel: --repeat-times: '3x' is not a whole number\n"},
      {{"task", "add", "t", "--every", "2 "}, "pondrel: --every: '2 ' is not a whole number\n"},
  };
  for (const Case& c : cases) {
    r = Run(c.args);
    EXPECT_EQ(r.status, 2) << c.message;  // every refused value is a usage error
    EXPECT_EQ(r.err, c.message);
  }
  EXPECT_EQ(Run({"task", "add", "t", "--start", "1970/12/31 23:59"}).status, 2);
  EXPECT_EQ(Run({"task", "add", "t", "--start", "2002/02/30 10:00"}).status, 2);
  EXPECT_EQ(Run({"task", "add", "t", "--month-ordinal", "fifth"}).status, 2);
  EXPECT_EQ(Run({"task", "add", "t", "--disconnect"}).status, 2);  // the server does not dial
  EXPECT_EQ(Schedule(), "");

  r = Run({"task", "add", "t", "--cycle", "weekly", "--weekdays", "all", "--start",
           "2002/01/15 10:30"});
  ASSERT_EQ(r.status, 0) << r.err;
  r = Run({"task", "add", "t"});
  EXPECT_EQ(r.err, "pondrel: task 't': The specified task name already exists.\n");
  EXPECT_EQ(r.status, 1);
}

TEST_F(CliTest, TaskListShowsTheFiveColumns) {
  AddCam();
  ASSERT_EQ(Run({"task", "add", "w", "--cycle", "monthly", "--month-ordinal", "final",
                 "--month-weekday", "fri", "--start", "2002/01/15 10:30"})
                .status,
            0);
  ASSERT_EQ(Run({"task", "add", "d", "--cycle", "daily", "--every", "3", "--start",
                 "2002/01/15 10:30", "--disable"})
                .status,
            0);
  CliResult r = Run({"task", "list", "--sort", "name"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string d = "d\tcam\t";
  ASSERT_EQ(r.out.substr(0, d.size()), d);
  EXPECT_NE(r.out.find("\tStart Time:2002/01/15 10:30:00 Interval:every 3 days, \tdisabled\n"),
            std::string::npos);
  EXPECT_NE(r.out.find("w\tcam\t"), std::string::npos);
  EXPECT_NE(r.out.find("Interval:the final Fri of every month, \tscheduled\n"), std::string::npos);
  EXPECT_LT(r.out.find("d\t"), r.out.find("w\t"));
  r = Run({"task", "list", "--sort", "name", "--reverse"});
  EXPECT_LT(r.out.find("w\t"), r.out.find("d\t"));

  r = Run({"--json", "task", "show", "d"});
  EXPECT_NE(r.out.find("\"status\":\"disabled\""), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"interval\":3"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"cycle\":\"daily\""), std::string::npos) << r.out;
}

TEST_F(CliTest, EditDuplicateAndDeleteKeepTheFileConsistent) {
  AddCam();
  AddCam("other", "other");
  ASSERT_EQ(Run({"task", "add", "a", "--server", "cam", "--retry-times", "3", "--retry-every", "5"})
                .status,
            0);
  ASSERT_EQ(Run({"task", "add", "b", "--server", "cam"}).status, 0);
  EXPECT_EQ(Run({"task", "edit", "a", "--name", "b"}).err,
            "pondrel: task 'b': The specified task name already exists.\n");
  CliResult r = Run({"task", "edit", "a", "--name", "c", "--server", "other", "--no-retry"});
  ASSERT_EQ(r.status, 0) << r.err;
  CKVTaskMgr mgr;
  CKVTask t;
  ASSERT_EQ(mgr.ReadTask("c", &t), 0);
  EXPECT_STREQ(t.Name, "c");
  EXPECT_EQ(t.RetryCnt, 0);
  EXPECT_EQ(Schedule().find("[a]"), std::string::npos);

  EXPECT_EQ(Run({"task", "duplicate", "c"}).out, "duplicated 'c' as 'Untitled' (disabled)\n");
  EXPECT_EQ(Run({"--json", "task", "duplicate", "c"}).out,
            "{\"name\":\"Untitled0\",\"source\":\"c\"}\n");
  ASSERT_EQ(mgr.ReadTask("Untitled0", &t), 0);
  EXPECT_EQ(t.Effect, 0);
  EXPECT_EQ(t.ActState, kStateDisabled);
  EXPECT_EQ(Run({"task", "run", "Untitled0"}).status, 1);  // disabled tasks are not run

  // A running task can be neither edited nor deleted.
  ASSERT_EQ(mgr.ReadTask("b", &t), 0);
  t.ActState = kStateRunning;
  {
    TaskFileLock lock(mgr, -1);
    ASSERT_EQ(mgr.WriteTask(t), 0);
  }
  EXPECT_EQ(Run({"task", "edit", "b", "--every", "2"}).err,
            "pondrel: task 'b': You can not modify a running task's settings.\n");
  EXPECT_EQ(Run({"task", "delete", "b"}).err,
            "pondrel: task 'b': You can not modify a running task's settings.\n");
  EXPECT_EQ(Run({"server", "edit", "cam", "--host", "x"}).err,
            "pondrel: server 'cam': You can not modify a running server's information.\n");
  EXPECT_EQ(Run({"server", "delete", "cam"}).err,
            "pondrel: server 'cam': You can not modify a running server's information.\n");

  r = Run({"task", "delete", "c"});
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "deleted task 'c'\n");
  EXPECT_EQ(Run({"task", "delete", "c"}).status, 1);  // no such task
  // The server goes with its tasks, and says which.
  r = Run({"server", "delete", "other"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "deleted server 'other' and 2 tasks\ndeleted task 'Untitled'\ndeleted task "
            "'Untitled0'\n");
  EXPECT_EQ(Schedule().find("[Untitled"), std::string::npos);  // its tasks went with it
  EXPECT_NE(Schedule().find("[b]"), std::string::npos);
}

TEST_F(CliTest, OptionsSetValidatesLikeTheDialog) {
  CliResult r = Run({"options", "get"});
  EXPECT_EQ(r.out,
            "min-free-space=10\nwhen-min-reached=abort\nlimit-pictures=off\nmax-pictures=10000\n"
            "gen-html=on\n");
  const std::string reg_before = ReadFile(RegistryFilePath(RegHive::kLocalMachine));
  r = Run({"options", "set", "--min-free-space", "51"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err,
            "pondrel: --min-free-space: Specify the minimum amount free space required on image "
            "in the range of 1 to 50.\n");
  r = Run({"options", "set", "--limit-pictures", "on", "--max-pictures", "10001"});
  EXPECT_EQ(r.err,
            "pondrel: --max-pictures: Specify the maximum number of pictures downloaded at a "
            "download in the range of 1 to 10000.\n");
  r = Run({"options", "set", "--max-pictures", ""});
  EXPECT_EQ(r.err, "pondrel: --max-pictures: '' is not a whole number\n");
  // No guesses: trailing characters, and an out-of-range maximum with the limit off.
  r = Run({"options", "set", "--min-free-space", "20abc"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "pondrel: --min-free-space: '20abc' is not a whole number\n");
  EXPECT_EQ(Run({"options", "set", "--max-pictures", "0"}).status, 2);
  EXPECT_EQ(ReadFile(RegistryFilePath(RegHive::kLocalMachine)), reg_before);

  ASSERT_EQ(Run({"options", "set", "--min-free-space", "25", "--when-min-reached", "delete-old",
                 "--gen-html", "off"})
                .status,
            0);
  r = Run({"--json", "options", "get"});
  EXPECT_EQ(r.out,
            "{\"min_free_space\":25,\"when_min_reached\":\"delete-old\",\"limit_pictures\":"
            "\"off\",\"max_pictures\":10000,\"gen_html\":\"off\"}\n");
  EXPECT_EQ(Run({"options", "get", "max-pictures"}).out, "10000\n");
}

TEST_F(CliTest, LogShowFilters) {
  std::filesystem::create_directories(env_.Root() + "/SYSTEM");
  WriteFile(
      env_.Root() + "/SYSTEM/kvrpd.log",
      "Apr 05 06:07:08 2003 <info>< >< > Pondrel Task Scheduler Service has started. (S100)\r\n"
      "Apr 05 06:08:00 2003 <error><daily><cam> Execution failure: Invalid task (S006)\r\n"
      "not a log line\r\n"
      "Apr 06 07:00:00 2003 <info><daily><cam> Download has started. (D001)\r\n");
  CliResult r = Run({"log", "show"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "S100\t2003/04/05 06:07:08\t \t \tPondrel Task Scheduler Service has started.\n"
            "S006\t2003/04/05 06:08:00\tdaily\tcam\tExecution failure: Invalid task\n"
            "....\t..........\t..........\t..........\tnot a log line\n"
            "D001\t2003/04/06 07:00:00\tdaily\tcam\tDownload has started.\n");
  EXPECT_EQ(Run({"log", "show", "--level", "error"}).out.substr(0, 4), "S006");
  EXPECT_EQ(Run({"log", "show", "--code", "d001"}).out.substr(0, 4), "D001");
  r = Run({"log", "show", "--start", "2003/04/05 06:08:00", "--end", "2003/04/05 23:00"});
  EXPECT_EQ(r.out, "S006\t2003/04/05 06:08:00\tdaily\tcam\tExecution failure: Invalid task\n");
  EXPECT_EQ(Run({"log", "show", "--task", "daily", "--newest-first"}).out.substr(0, 4), "D001");
  EXPECT_EQ(Run({"log", "show", "--code", "S01"}).err,
            "pondrel: --code: The format of Code is invalid\n");
  EXPECT_EQ(Run({"log", "show", "--task", ""}).err,
            "pondrel: --task: Please enter a value for the \"Task\" field\n");
  EXPECT_EQ(Run({"log", "show", "--start", "2003/04/06 00:00", "--end", "2003/04/05 00:00"}).err,
            "pondrel: --since: Cannot set Start Date & Time after End Date & Time\n");
  r = Run({"--json", "log", "show", "--level", "info"});
  EXPECT_EQ(r.out.find("not a log line"), std::string::npos);
  EXPECT_NE(r.out.find("\"code\":\"D001\""), std::string::npos);
  // JSON: dates in ISO 8601 with the offset; the service's entries have no task or server.
  EXPECT_NE(r.out.find("\"date\":\"2003-04-05T06:07:08"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"task\":\"\",\"server\":\"\""), std::string::npos) << r.out;
  EXPECT_EQ(Run({"log", "show", "-n", "2x"}).status, 2);
  EXPECT_EQ(Run({"--json", "log", "path"}).out,
            "{\"path\":\"" + env_.Root() + "/SYSTEM/kvrpd.log\"}\n");

  r = Run({"log", "clear"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "deleted " + env_.Root() + "/SYSTEM/kvrpd.log\n");
  EXPECT_EQ(Run({"log", "show"}).out, "");  // a missing log is an empty log
  r = Run({"log", "clear"});                // nothing left to delete
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find(": nothing to delete: there is no activity log\n"), std::string::npos);
}

TEST_F(CliTest, ServiceRequestsWithoutAService) {
  AddCam();
  ASSERT_EQ(Run({"task", "add", "t"}).status, 0);
  CliResult r = Run({"service", "status"});
  EXPECT_EQ(r.out, "stopped (not installed as a system service)\n");
  EXPECT_EQ(r.status, 3);  // as systemctl is-active
  r = Run({"task", "run", "t"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "pondrel: service: Pondrel Task Scheduler Service has not been started.\n");
  r = Run({"--json", "task", "run", "t"});
  EXPECT_EQ(r.err,
            "{\"error\":\"Pondrel Task Scheduler Service has not been started.\",\"what\":"
            "\"service\",\"exit_status\":1}\n");
  EXPECT_EQ(r.out, "");
  r = Run({"task", "abort", "t"});
  EXPECT_EQ(r.status, 1);  // not running

  // With a service mailslot present, run delivers "ZORIC:02:" and the name.
  CKVMailSlot slot;
  ASSERT_EQ(slot.Create(kServiceMailslot), 1);
  r = Run({"task", "run", "t"});
  EXPECT_EQ(r.status, 0) << r.err;
  r = Run({"--json", "service", "status"});
  EXPECT_EQ(r.out, "{\"installed\":false,\"running\":true,\"state\":\"running\"}\n");
  EXPECT_EQ(r.status, 0);
  std::vector<std::string> got;
  char buf[1024];
  for (int i = 0; i < 20; ++i) {
    slot.Pump();
    while (slot.Read(buf, sizeof buf) > 0) got.emplace_back(buf);
  }
  EXPECT_NE(std::find(got.begin(), got.end(), "ZORIC:02:t"), got.end());
}

}  // namespace
}  // namespace pondrel::test
