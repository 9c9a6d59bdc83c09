// The command line's own conventions, with the real pondrel against a temporary ROOT: waits
// that end, one error format (text and JSON), exit statuses, no silent guesses, enable and
// disable that keep the last result, output on a terminal, and the generated man page and
// completion.
#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>

#include "common/clock.h"
#include "common/named_object.h"
#include "common/registry.h"
#include "common/unique_fd.h"
#include "servers/srvmgr.h"
#include "taskmodel/kvtask.h"
#include "taskmodel/timestr.h"
#include "tests/cli/run_pondrel.h"
#include "tests/support/test_env.h"
#include "tests/support/test_process.h"

namespace pondrel::test {
namespace {

class CliConventions : public ::testing::Test {
 protected:
  CliResult Run(const std::vector<std::string>& args, const std::string& input = "") {
    return RunPondrel(args, input);
  }
  void AddServer(const std::string& name) {
    CliResult r =
        Run({"server", "add", name, "--image-dir", env_.Dir() + "/" + name, "--host", "127.0.0.1"});
    ASSERT_EQ(r.status, 0) << r.err;
  }
  CKVTask ReadTask(const std::string& name) {
    CKVTaskMgr mgr;
    CKVTask t;
    TaskFileLock lock(mgr, -1);
    EXPECT_EQ(mgr.ReadTask(name, &t), 0);
    return t;
  }
  // Runs pondrel with standard output on a pseudo-terminal; what it printed there.
  std::string RunOnTerminal(const std::vector<std::string>& args) {
    int master = -1, terminal = -1;
    if (::openpty(&master, &terminal, nullptr, nullptr, nullptr) != 0) return "openpty failed";
    UniqueFd reader(master), writer(terminal);
    ProcessOptions on_terminal;
    on_terminal.fds = {{terminal, 0}, {terminal, 1}, {terminal, 2}};
    TestProcess pondrel;
    const bool started = pondrel.Start(StageDir() + "/pondrel", args, on_terminal);
    writer.reset();  // the terminal ends (read fails) once pondrel has closed its side
    if (!started) return pondrel.Error();
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(master, buf, sizeof buf)) > 0) out.append(buf, static_cast<std::size_t>(n));
    pondrel.Wait();
    std::string plain;  // the terminal turns "\n" into "\r\n"
    for (char c : out) {
      if (c != '\r') plain += c;
    }
    return plain;
  }

  ScopedTestEnv env_;
};

TEST_F(CliConventions, HeldLocksAreWaitedForWithAWordAndAnEnd) {
  AddServer("cam");
  {
    // The schedule file's lock, held by another program.
    CKVTaskMgr other;
    TaskFileLock hold(other, -1);
    ASSERT_TRUE(hold.held());
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"--timeout", "2", "task", "list"},
                                               {"task", "add", "t", "--timeout", "2"},
                                               {"task", "show", "t", "--timeout=2"}}) {
      CliResult r = Run(args);
      EXPECT_EQ(r.status, 124) << args[0] << r.err;
      EXPECT_NE(r.err.find("pondrel: waiting for the schedule file lock"), std::string::npos)
          << r.err;
      EXPECT_NE(r.err.find("gave up (--timeout)"), std::string::npos) << r.err;
    }
    // With --json the end is a JSON error, and no progress words are printed.
    CliResult r = Run({"--json", "--timeout", "1", "task", "list"});
    EXPECT_EQ(r.status, 124);
    EXPECT_EQ(r.err.find("waiting for"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.substr(0, 9), "{\"error\":") << r.err;
  }
  EXPECT_EQ(Run({"task", "add", "t"}).status, 0);  // released: no wait at all
  {
    NamedLock profiles(kSrvLockName);
    ASSERT_TRUE(profiles.TryLock());
    CliResult r = Run({"--timeout", "2", "server", "list"});
    EXPECT_EQ(r.status, 124) << r.err;
    EXPECT_NE(r.err.find("pondrel: waiting for the server profile lock"), std::string::npos)
        << r.err;
  }
  EXPECT_EQ(Run({"server", "list"}).status, 0);
  EXPECT_EQ(Run({"--timeout", "soon", "task", "list"}).status, 2);
}

TEST_F(CliConventions, ErrorsHaveOneFormatAndAJsonForm) {
  CliResult r = Run({"task", "show", "nope"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "pondrel: task 'nope': no such task (see 'pondrel task list')\n");
  r = Run({"--json", "task", "show", "nope"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            "{\"error\":\"no such task (see 'pondrel task list')\",\"what\":\"task 'nope'\","
            "\"exit_status\":1}\n");
  // Usage errors, option values included, are status 2 in both forms.
  r = Run({"task", "list", "--sort", "colour", "--json"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err,
            "{\"error\":\"'colour' is not name, server, next, result or schedule\",\"what\":"
            "\"--sort\",\"exit_status\":2}\n");
  r = Run({"server", "add", "--image-dir", env_.Dir() + "/x", "--host", "h"});
  EXPECT_EQ(r.status, 2);  // the name is missing
  EXPECT_EQ(r.err, "pondrel: --name: Server Name is not specified.\n");
  EXPECT_EQ(Run({"task", "add"}).status, 2);
  AddServer("cam");
  EXPECT_EQ(Run({"task", "add", "t", "--start", "2038/01/01 00:00"}).status, 2);
  EXPECT_EQ(Run({"server", "edit", "cam", "--port", "0"}).status, 2);
  // Without ROOT the registry file is named.
  ScopedTestEnv no_root(false);
  r = Run({"task", "list"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.find("pondrel: " + RegistryFilePath(RegHive::kLocalMachine) + ": "), 0u) << r.err;
}

TEST_F(CliConventions, NoSilentGuesses) {
  AddServer("cam");
  // One server: --server may be left out.
  ASSERT_EQ(Run({"task", "add", "one"}).status, 0);
  AddServer("cam2");
  CliResult r = Run({"task", "add", "two"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err,
            "pondrel: --server: missing: there are 2 servers; name one (see 'pondrel server "
            "list')\n");
  r = Run({"task", "add", "two", "--server", "cam3"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "pondrel: --server: no server named 'cam3' (see 'pondrel server list')\n");
  ASSERT_EQ(Run({"task", "add", "two", "--server", "cam2"}).status, 0);
  EXPECT_FALSE(ReadTask("two").ServerId == ReadTask("one").ServerId);

  // Two names for one server.
  r = Run(
      {"server", "add", "foo", "--name", "bar", "--image-dir", env_.Dir() + "/f", "--host", "h"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("the name is given twice"), std::string::npos) << r.err;
  EXPECT_EQ(Run({"server", "show", "bar"}).status, 1);

  // A registry file that does not exist is not made up unless asked for.
  const std::string missing = env_.Dir() + "/typo.reg";
  ::setenv("PONDREL_REGISTRY", missing.c_str(), 1);
  r = Run({"options", "set", "--min-free-space", "20"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "pondrel: " + missing + ": no such registry file (--create makes a new one)\n");
  EXPECT_FALSE(std::filesystem::exists(missing));
  r = Run({"options", "set", "--min-free-space", "20", "--create"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(std::filesystem::exists(missing));
}

TEST_F(CliConventions, EnableAndDisableKeepTheLastResult) {
  AddServer("cam");
  ASSERT_EQ(Run({"task", "add", "t", "--start", "2002/01/15 10:30"}).status, 0);
  {
    CKVTaskMgr mgr;
    TaskFileLock lock(mgr, -1);
    CKVTask t;
    ASSERT_EQ(mgr.ReadTask("t", &t), 0);
    t.ActResult = kResultSucceeded;
    std::snprintf(t.EndTime, sizeof t.EndTime, "2026/12/01/02/03/04");
    ASSERT_EQ(mgr.WriteTask(t), 0);
  }
  CliResult r = Run({"task", "disable", "t"});
  ASSERT_EQ(r.status, 0) << r.err;
  CKVTask t = ReadTask("t");
  EXPECT_EQ(t.Effect, 0);
  EXPECT_EQ(t.ActState, kStateDisabled);
  EXPECT_EQ(t.ActResult, kResultSucceeded);
  EXPECT_STREQ(t.EndTime, "2026/12/01/02/03/04");
  EXPECT_NE(Run({"task", "list"}).out.find("\tSucceeded(2026/12/01 02:03)\t"), std::string::npos);
  EXPECT_NE(Run({"task", "list"}).out.find("\tdisabled\n"), std::string::npos);

  r = Run({"--json", "task", "enable", "t"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("\"enabled\":true"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"end_time\":\"2026-12-01T02:03:04"), std::string::npos) << r.out;
  t = ReadTask("t");
  EXPECT_EQ(t.Effect, 1);
  EXPECT_EQ(t.ActState, kStateWaiting);
  EXPECT_EQ(t.ActResult, kResultSucceeded);
  EXPECT_NE(t.NextTime[0], '\0');  // a daily task from 2002 runs again
}

TEST_F(CliConventions, StartNowIsTheServicesNextScan) {
  AddServer("cam");
  const std::time_t before = GetClock().Now();
  ASSERT_EQ(Run({"task", "add", "soon", "--cycle", "once", "--start", "now"}).status, 0);
  const std::time_t after = GetClock().Now();
  const CKVTask t = ReadTask("soon");
  std::time_t start = 0, next = 0;
  ASSERT_TRUE(TimeStrToTime(t.StartTime, &start)) << t.StartTime;
  ASSERT_TRUE(TimeStrToTime(t.NextTime, &next)) << "a once task from now must have a next run";
  EXPECT_EQ(start, next);
  EXPECT_GT(start, before);
  EXPECT_LE(start, after + 60);
  EXPECT_EQ(start % 60, 0);
}

TEST_F(CliConventions, JsonKeysAreSnakeCaseAndTimesCarryTheirOffset) {
  AddServer("cam");
  ASSERT_EQ(Run({"task", "add", "t", "--start", "2030/06/01 08:00"}).status, 0);
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"--json", "task", "list"},
                                             {"--json", "task", "show", "t"},
                                             {"--json", "server", "list"},
                                             {"--json", "options", "get"},
                                             {"--json", "service", "status"}}) {
    CliResult r = Run(args);
    ASSERT_TRUE(r.status == 0 || r.status == 3) << args[1] << r.err;
    // Every key: lower case letters, digits and underscores.
    for (std::size_t pos = 0; (pos = r.out.find("\":", pos)) != std::string::npos; ++pos) {
      const std::size_t open = r.out.rfind('"', pos - 1);
      const std::string key = r.out.substr(open + 1, pos - open - 1);
      EXPECT_EQ(key.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_"), std::string::npos)
          << key << " in " << r.out;
    }
  }
  CliResult r = Run({"--json", "task", "show", "t"});
  const std::size_t at = r.out.find("\"start_time\":\"2030-06-01T08:00:00");
  ASSERT_NE(at, std::string::npos) << r.out;
  const std::string zone = r.out.substr(at + 33, 6);
  EXPECT_TRUE(zone[0] == '+' || zone[0] == '-') << zone;
  EXPECT_EQ(zone[3], ':') << zone;
}

TEST_F(CliConventions, OnATerminalListsHaveAHeaderAndAlignedColumns) {
  AddServer("cam");
  AddServer("camera-two");
  const std::string out = RunOnTerminal({"server", "list"});
  ASSERT_EQ(out.substr(0, 12), "Server Name ") << out;
  const std::size_t host = out.find("Host Name");
  const std::size_t line2 = out.find('\n') + 1;
  const std::size_t line3 = out.find('\n', line2) + 1;
  // The host column starts at the same place on every line.
  EXPECT_EQ(out.substr(line2 + host, 9), "127.0.0.1") << out;
  EXPECT_EQ(out.substr(line3 + host, 9), "127.0.0.1") << out;
  EXPECT_EQ(out.find('\t'), std::string::npos);
  // Without a terminal: tab-separated, no header.
  EXPECT_EQ(Run({"server", "list"}).out.substr(0, 4), "cam\t");

  ASSERT_EQ(Run({"task", "add", "t", "--server", "cam", "--start", "2030/06/01 08:00"}).status, 0);
  const std::string tasks = RunOnTerminal({"task", "list"});
  EXPECT_EQ(tasks.substr(0, 10), "Task Name ") << tasks;
  EXPECT_NE(tasks.find("Status"), std::string::npos) << tasks;
  EXPECT_NE(tasks.find("scheduled"), std::string::npos) << tasks;
}

TEST_F(CliConventions, ManPageAndCompletionComeFromTheHelpTexts) {
  CliResult man = Run({"--generate", "man"});
  ASSERT_EQ(man.status, 0) << man.err;
  EXPECT_EQ(man.out.substr(0, 14), ".TH PONDREL 1 ");
  CliResult completion = Run({"--generate", "bash-completion"});
  ASSERT_EQ(completion.status, 0);
  EXPECT_NE(completion.out.find("complete -o default -F _pondrel pondrel"), std::string::npos);
  // Every command and option of the help is in both.
  for (const char* words : {"task enable", "task run", "service status", "options set"}) {
    EXPECT_NE(man.out.find(std::string(".SS \"pondrel ") + words), std::string::npos) << words;
  }
  for (const char* option : {"--wait", "--min-free-space", "--create", "--proxy-port"}) {
    std::string roff = "\\fB";
    for (const char* c = option; *c; ++c)
      roff += *c == '-' ? std::string("\\-") : std::string(1, *c);
    EXPECT_NE(man.out.find(roff), std::string::npos) << option;
    EXPECT_NE(completion.out.find(option), std::string::npos) << option;
  }
  const std::string script = env_.Path("completion.bash");
  WriteFile(script, completion.out);
  const ProgramRun syntax = RunProgram("/bin/bash", {"-n", script});
  EXPECT_EQ(syntax.status, 0) << syntax.err;
  // The exit statuses are told in the top help.
  CliResult help = Run({"--help"});
  EXPECT_NE(help.out.find("124  a wait on a lock or the service ran past --timeout"),
            std::string::npos);
  EXPECT_EQ(help.out.find("Options dialog"), std::string::npos);
}

}  // namespace
}  // namespace pondrel::test
