// Damaged stores meet the real programs: pondrel refuses to replace a registry file it could
// not read, warns when it read a damaged schedule.ini or prp1 and goes on with what it could
// read; every program refuses a relative ROOT and says why it stops without one.
#include <gtest/gtest.h>

#include <filesystem>

#include "common/registry.h"
#include "tests/cli/run_pondrel.h"
#include "tests/support/test_env.h"

namespace pondrel::test {
namespace {

class CliStores : public ::testing::Test {
 protected:
  std::string Registry() const { return RegistryFilePath(RegHive::kLocalMachine); }
  void AddServer(const std::string& name) {
    CliResult r = RunPondrel(
        {"server", "add", name, "--image-dir", env_.Dir() + "/" + name, "--host", "127.0.0.1"});
    ASSERT_EQ(r.status, 0) << r.err;
  }
  void AddTask(const std::string& name, const std::string& server) {
    CliResult r =
        RunPondrel({"task", "add", name, "--server", server, "--start", "2030/01/01 08:00"});
    ASSERT_EQ(r.status, 0) << r.err;
  }
  static std::string Utf16(const std::string& text) {
    std::string out = "\xFF\xFE";
    for (char c : text) out += std::string{c, '\0'};
    return out;
  }

  ScopedTestEnv env_;
};

TEST_F(CliStores, OptionsSetNeverReplacesARegistryFileItCouldNotRead) {
  const std::string good = ReadFile(Registry());
  const std::vector<std::pair<std::string, std::string>> damaged = {
      {Utf16(good), "UTF-16"},
      {good.substr(0, good.size() - 5), "cut short"},
      {"", "empty"},
      {"MZ\x90 garbage\n", "REGEDIT4"},
  };
  for (const auto& [content, reason] : damaged) {
    SCOPED_TRACE(reason);
    WriteFile(Registry(), content);
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"options", "set", "--min-free-space", "7"},
          std::vector<std::string>{"options", "set", "--gen-html", "off"}}) {
      CliResult r = RunPondrel(args);
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(r.err.rfind("pondrel: " + Registry() + ": not changed: ", 0), 0u) << r.err;
      EXPECT_NE(r.err.find(reason), std::string::npos) << r.err;
      EXPECT_EQ(ReadFile(Registry()), content);
    }
    // What needs ROOT says why it is missing.
    CliResult r = RunPondrel({"server", "list"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(
        r.err.rfind("pondrel: " + Registry() + ": no installation directory: \"ROOT\" is not set (",
                    0),
        0u)
        << r.err;
    EXPECT_NE(r.err.find(reason), std::string::npos) << r.err;
  }
  // Comment lines are kept by the options' rewrite.
  WriteFile(Registry(), "REGEDIT4\n; set up by the installer\n" + good.substr(9));
  ASSERT_EQ(RunPondrel({"options", "set", "--min-free-space", "7"}).status, 0);
  EXPECT_NE(ReadFile(Registry()).find("; set up by the installer\n"), std::string::npos);
  EXPECT_NE(ReadFile(Registry()).find("\"ROOT\""), std::string::npos);
}

TEST_F(CliStores, DamagedProfilesAndScheduleAreToldAndTheRestStillWorks) {
  AddServer("cam1");
  AddServer("cam2");
  AddTask("t1", "cam1");
  AddTask("t2", "cam2");
  const std::string prp1 = env_.Root() + "/prp1";
  std::string profiles = ReadFile(prp1);
  // The second profile's length field claims more than the file holds.
  const std::size_t first =
      static_cast<unsigned char>(profiles[0]) | static_cast<unsigned char>(profiles[1]) << 8;
  profiles[first + 2] = '\xff';
  profiles[first + 3] = '\x0f';
  WriteFile(prp1, profiles);

  CliResult r = RunPondrel({"server", "list"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("cam1"), std::string::npos);
  EXPECT_EQ(r.out.find("cam2"), std::string::npos);
  const std::string warning = "pondrel: warning: " + prp1 + ": damaged: the last " +
                              std::to_string(profiles.size() - first - 2) + " bytes (from byte " +
                              std::to_string(first + 2) +
                              ", after 1 readable server profile) could not be read; the server "
                              "profiles stored there are missing; the file as it was is kept in " +
                              prp1 + ".damaged\n";
  EXPECT_EQ(r.err, warning);
  EXPECT_EQ(ReadFile(prp1 + ".damaged"), profiles);
  // The task list goes on without the lost server's task, and says why.
  r = RunPondrel({"task", "list"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("t1"), std::string::npos);
  EXPECT_EQ(r.out.find("t2"), std::string::npos);
  EXPECT_EQ(r.err, warning);
  r = RunPondrel({"--json", "server", "list"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("{\"warning\":\"damaged: the last"), std::string::npos) << r.err;
  // A change of the profiles drops the damage, the copy stays.
  r = RunPondrel({"server", "add", "cam3", "--image-dir", env_.Dir() + "/cam3", "--host", "h"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, warning);
  r = RunPondrel({"server", "list"});
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(ReadFile(prp1 + ".damaged"), profiles);

  // schedule.ini with a byte-order mark: every task, no word. With NUL bytes and in UTF-16:
  // every task, and a warning.
  const std::string schedule = env_.Root() + "/schedule.ini";
  const std::string tasks = ReadFile(schedule);
  WriteFile(schedule, "\xEF\xBB\xBF" + tasks);
  r = RunPondrel({"task", "list"});
  EXPECT_NE(r.out.find("t1"), std::string::npos);
  EXPECT_EQ(r.err, "");
  const std::size_t second = tasks.find("[t2]");
  ASSERT_NE(second, std::string::npos);
  for (const std::string& content :
       {tasks.substr(0, second) + std::string(8, '\0') + tasks.substr(second), Utf16(tasks)}) {
    WriteFile(schedule, content);
    r = RunPondrel({"task", "show", "t1"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.rfind("pondrel: warning: " + schedule + ": damaged: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("; the file as it was is kept in " + schedule + ".damaged"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  }
}

// Runs a staged program with the test's environment.
CliResult RunStaged(const std::string& name, const std::vector<std::string>& args) {
  return RunProgram(StageDir() + "/" + name, args);
}

TEST_F(CliStores, EveryProgramRefusesARelativeRootAndSaysWhyItStopsWithoutOne) {
  RegistryKey key;
  ASSERT_TRUE(key.OpenAll(kSettingsKey));
  ASSERT_TRUE(key.WriteText("ROOT", "pondrel-root"));
  const std::string relative = Registry() +
                               ": the installation directory \"ROOT\" under HKEY_LOCAL_MACHINE\\"
                               "SOFTWARE\\VELTA\\Orvane\\KV\\RIDAVOR\\1.0 is \"pondrel-root\", not "
                               "an absolute path";
  CliResult r = RunPondrel({"task", "list"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find(relative), std::string::npos) << r.err;
  r = RunStaged("zoricsm", {"-debug"});
  EXPECT_EQ(r.status, 4);
  EXPECT_NE(r.err.find("cannot run the service: " + relative), std::string::npos) << r.err;
  r = RunStaged("KVdl", {"/g 00112233445566778899aabbccddeeff,/t t"});
  EXPECT_EQ(r.status, 1008 & 0xFF);
  EXPECT_NE(r.err.find(relative), std::string::npos) << r.err;
  EXPECT_FALSE(std::filesystem::exists("pondrel-root"));

  ASSERT_TRUE(key.DeleteValue("ROOT"));
  for (const char* word : {"-debug", "-start", ""}) {
    SCOPED_TRACE(word);
    r = RunStaged("zoricsm", {word});
    EXPECT_EQ(r.status, 4);
    EXPECT_NE(r.err.find("cannot run the service: " + Registry() +
                         ": no installation directory: \"ROOT\" is not set"),
              std::string::npos)
        << r.err;
  }
  r = RunStaged("KVdl", {"/g 00112233445566778899aabbccddeeff,/t t"});
  EXPECT_EQ(r.status, 1008 & 0xFF);
  EXPECT_NE(r.err.find("KVdl: " + Registry() + ": no installation directory: \"ROOT\" is not set"),
            std::string::npos)
      << r.err;
}

}  // namespace
}  // namespace pondrel::test
