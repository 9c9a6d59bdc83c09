// Child processes as the tests start them (tests/support/test_process.h over the platform's
// ChildProcess): standard streams in files, environment and argv[0], exit statuses as a shell
// reports them, the SIGTERM-then-SIGKILL stop, process groups, children that die with the
// program that started them, and forked copies of the test that run beside it. Also the
// picture counts of tests/support/image_files.h.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/image_files.h"
#include "tests/support/test_env.h"
#include "tests/support/test_process.h"

namespace pondrel::test {
namespace {

// Whether the process is gone (or a zombie nobody of ours will reap).
bool Gone(pid_t pid) {
  const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  const auto paren = stat.rfind(')');
  return paren == std::string::npos || stat.compare(paren + 1, 3, " Z ") == 0;
}

bool WaitGone(pid_t pid) {
  for (int i = 0; i < 500 && !Gone(pid); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return Gone(pid);
}

// Reads a pid a child wrote into `path`, waiting for the whole line.
pid_t ReadPid(const std::string& path) {
  for (int i = 0; i < 500; ++i) {
    const std::string text = ReadFile(path);
    if (!text.empty() && text.back() == '\n') return static_cast<pid_t>(std::stol(text));
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return -1;
}

TEST(TestProcess, RunProgramFeedsInputAndKeepsEachStreamAndTheStatus) {
  ProgramRun r =
      RunProgram("/bin/sh", {"-c", "read x; echo out:$x; echo err >&2; exit 3"}, "hello\n");
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.out, "out:hello\n");
  EXPECT_EQ(r.err, "err\n");

  // Added entries replace the test's own; argv[0] may be chosen.
  ::setenv("PONDREL_PROCESS_TEST", "old", 1);
  ProcessOptions named;
  named.argv0 = "named";
  named.env = {"PONDREL_PROCESS_TEST=new"};
  r = RunProgram("/bin/sh", {"-c", "echo $PONDREL_PROCESS_TEST; tr '\\0' ' ' </proc/$$/cmdline"},
                 "", named);
  ::unsetenv("PONDREL_PROCESS_TEST");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.rfind("new\nnamed -c ", 0), 0u) << r.out;

  // A program that cannot be executed is no exit status of its own.
  r = RunProgram("/nonexistent/program", {});
  EXPECT_EQ(r.status, -1);
  EXPECT_NE(r.err.find("cannot start /nonexistent/program"), std::string::npos) << r.err;
}

TEST(TestProcess, OutputFileTakesBothStreamsInOrderAndCanBeAppendedTo) {
  ScopedTestEnv env;
  const std::string out = env.Path("out.txt");
  WriteFile(out, "before\n");
  ProcessOptions appending;
  appending.output_path = out;
  appending.append = true;
  TestProcess p;
  ASSERT_TRUE(p.Start("/bin/sh", {"-c", "echo one; echo two >&2; echo three"}, appending))
      << p.Error();
  EXPECT_EQ(p.Wait(), 0);
  EXPECT_TRUE(p.Exited());
  EXPECT_EQ(ReadFile(out), "before\none\ntwo\nthree\n");
}

TEST(TestProcess, WaitEndsOnTimeAndStopEscalatesToKill) {
  TestProcess p;
  ASSERT_TRUE(p.Start("/bin/sleep", {"30"}));
  EXPECT_TRUE(p.Running());
  EXPECT_EQ(p.Wait(50), -1);  // still running
  EXPECT_EQ(p.Stop(), 128 + SIGTERM);
  EXPECT_FALSE(p.Exited());
  EXPECT_EQ(p.Stop(), -1);  // once only

  // SIGTERM ignored: killed after the grace.
  TestProcess stubborn;
  ASSERT_TRUE(stubborn.Start("/bin/sh", {"-c", "trap '' TERM; exec sleep 30"}));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the trap is set
  EXPECT_EQ(stubborn.Stop(200), 128 + SIGKILL);

  // A process that ended by itself gives its status to Stop.
  TestProcess quick;
  ASSERT_TRUE(quick.Start("/bin/sh", {"-c", "exit 4"}));
  while (quick.Running()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(quick.Stop(), 4);
}

TEST(TestProcess, OwnGroupIsStoppedWithItsHelpersAndDestructionStopsTheProcess) {
  ScopedTestEnv env;
  const std::string pid_file = env.Path("helper.pid");
  pid_t helper = -1, leader = -1;
  {
    ProcessOptions group;
    group.own_group = true;
    TestProcess p;
    ASSERT_TRUE(p.Start("/bin/sh", {"-c", "sleep 30 & echo $! >\"$0\"; wait", pid_file}, group));
    leader = p.pid();
    helper = ReadPid(pid_file);
    ASSERT_GT(helper, 0);
    EXPECT_EQ(::getpgid(helper), leader);
  }  // destroyed: stopped with its group
  EXPECT_TRUE(WaitGone(leader));
  EXPECT_TRUE(WaitGone(helper));
}

TEST(TestProcess, ChildDiesWithTheProgramThatStartedIt) {
  ScopedTestEnv env;
  const std::string pid_file = env.Path("orphan.pid");
  // A copy of this program starts a sleeper and ends without stopping it.
  const int status = RunInChild([&] {
    auto* p = new TestProcess;  // never destroyed: the child ends with _exit
    if (!p->Start("/bin/sleep", {"30"})) return 1;
    WriteFile(pid_file, std::to_string(p->pid()) + "\n");
    return 0;
  });
  ASSERT_EQ(status, 0);
  const pid_t sleeper = ReadPid(pid_file);
  ASSERT_GT(sleeper, 0);
  EXPECT_TRUE(WaitGone(sleeper));

  // Without it the child runs on (and is ended here by its pid).
  const std::string kept_file = env.Path("kept.pid");
  ASSERT_EQ(RunInChild([&] {
              auto* p = new TestProcess;
              ProcessOptions stays;
              stays.die_with_test = false;
              if (!p->Start("/bin/sleep", {"30"}, stays)) return 1;
              WriteFile(kept_file, std::to_string(p->pid()) + "\n");
              return 0;
            }),
            0);
  const pid_t kept = ReadPid(kept_file);
  ASSERT_GT(kept, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(Gone(kept));
  ::kill(kept, SIGKILL);
  EXPECT_TRUE(WaitGone(kept));
}

TEST(TestProcess, RunInChildGivesTheBodysValueOrTheSignal) {
  EXPECT_EQ(RunInChild([] { return 7; }), 7);
  EXPECT_EQ(RunInChild([] {
              ::raise(SIGKILL);
              return 0;
            }),
            128 + SIGKILL);
}

TEST(TestProcess, ACopyRunsBesideTheTestIsStoppedLikeAProgramAndDiesWithIt) {
  ScopedTestEnv env;
  const std::string mark = env.Path("copy.mark");
  TestProcess copy;
  ASSERT_TRUE(copy.StartCopy([&] {
    WriteFile(mark, std::to_string(::getpid()) + "\n");
    ::pause();
    return 0;
  })) << copy.Error();
  EXPECT_NE(copy.pid(), ::getpid());
  EXPECT_EQ(ReadPid(mark), copy.pid());  // the body runs in the copy
  EXPECT_TRUE(copy.Running());
  EXPECT_EQ(copy.Stop(), 128 + SIGTERM);
  EXPECT_FALSE(copy.Running());

  ASSERT_TRUE(copy.StartCopy([] { return 5; }));
  EXPECT_EQ(copy.Wait(), 5);
  EXPECT_TRUE(copy.Exited());

  // A copy whose starter ends goes with it.
  const std::string pid_file = env.Path("inner.pid");
  ASSERT_EQ(RunInChild([&] {
              auto* inner = new TestProcess;  // never destroyed: the child ends with _exit
              if (!inner->StartCopy([] {
                    ::pause();
                    return 0;
                  }))
                return 1;
              WriteFile(pid_file, std::to_string(inner->pid()) + "\n");
              return 0;
            }),
            0);
  const pid_t inner = ReadPid(pid_file);
  ASSERT_GT(inner, 0);
  EXPECT_TRUE(WaitGone(inner));
}

TEST(ImageFiles, CountsAndMeasuresOnlyThePicturesBelowImage) {
  ScopedTestEnv env;
  const std::string dir = env.Path("cam");
  std::filesystem::create_directories(dir + "/image/2024/0101/sub.jpg");  // a directory
  std::filesystem::create_directories(dir + "/image/2024/0102");
  std::filesystem::create_directories(dir + "/info/2024");
  WriteFile(dir + "/image/2024/0101/10000000.jpg", "abc");
  WriteFile(dir + "/image/2024/0102/10000100.jpg", "abcde");
  WriteFile(dir + "/image/2024/0102/10000200.jpg.part", "1234567");
  WriteFile(dir + "/info/2024/0101.idx", "not counted");
  WriteFile(dir + "/stray.jpg", "not counted");
  EXPECT_EQ(CountJpgs(dir), 2);
  EXPECT_EQ(JpgBytes(dir), 8u);
  auto sizes = JpgSizes(dir);
  std::sort(sizes.begin(), sizes.end());
  EXPECT_EQ(sizes, (std::vector<std::uint64_t>{3, 5}));
  EXPECT_EQ(ImageBytes(dir), 15u);
  EXPECT_EQ(CountJpgs(env.Path("missing")), 0);
  EXPECT_EQ(ImageBytes(env.Path("missing")), 0u);
}

}  // namespace
}  // namespace pondrel::test
