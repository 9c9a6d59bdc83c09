// Download runs over a dial-up connection: the run dials through a scripted dialer (or the
// stand-in pppd), follows the dial's states into rascon.log and the status line, downloads
// from a camera on loopback once connected, and hangs up what it dialled when "/h" asks.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <thread>

#include "common/dialup/dialer.h"
#include "common/dialup/pppd_dialer.h"
#include "common/dialup/scripted_dialer.h"
#include "common/named_object.h"
#include "downloader/download_run.h"
#include "downloader/ras_dialer.h"
#include "downloader/result_codes.h"
#include "tests/camsim/camsim_in_process.h"
#include "tests/downloader/run_fixture.h"
#include "tests/support/image_files.h"

namespace pondrel::dl {
namespace {

using pondrel::test::CamsimInProcess;
using test::DownloaderWorld;
using test::ReadFile;
using test::TestProfile;
using test::WriteFile;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    out.push_back(line);
  }
  return out;
}

// The log lines with their time stamps cut off: "<level><task><server> message".
std::vector<std::string> Messages(const std::string& text) {
  std::vector<std::string> out;
  for (const std::string& l : Lines(text)) {
    const auto lt = l.find(" <");
    if (lt != std::string::npos) out.push_back(l.substr(lt + 1));
  }
  return out;
}

bool Has(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// A dial script in the world's directory, and what the dials did with it.
class DialScript {
 public:
  DialScript(const DownloaderWorld& world, const std::string& text)
      : path_(world.env().Path("dial.script")) {
    WriteFile(path_, text);
  }
  std::function<std::unique_ptr<dialup::Dialer>()> Loader() const {
    return [p = path_] { return dialup::ScriptedDialer::Load(p); };
  }
  std::string Record() const { return ReadFile(path_ + ".record"); }
  std::string Links() const { return ReadFile(path_ + ".links"); }
  void SetLinks(const std::string& text) const { WriteFile(path_ + ".links", text); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

class DialUpRun : public ::testing::Test {
 protected:
  void SetUp() override {
    camera_.AddPictures(3);
    TestProfile profile;
    profile.port = camera_.port();
    profile.use_ppp = true;
    profile.ppp_entry = "office";
    id_ = world_.AddProfile(profile);
    ASSERT_FALSE(id_.empty());
  }
  RunSettings Settings(const DialScript& script) {
    RunSettings s = world_.Settings();
    s.load_dialer = script.Loader();
    s.hang_up_wait_ms = 10;
    return s;
  }
  std::string CommandLine(bool hang_up) const {
    return world_.CommandLine(id_) + (hang_up ? ",/h" : "");
  }
  std::vector<std::string> StateLog() const {
    return Messages(ReadFile(world_.ImageDir() + "/info/rascon.log"));
  }
  std::vector<std::string> RunLog() const { return Messages(world_.Log()); }
  int Pictures() const { return pondrel::test::CountJpgs(world_.ImageDir()); }

  DownloaderWorld world_;
  CamsimInProcess camera_;
  std::string id_;
};

constexpr char kDialsAndConnects[] =
    "entry office\n"
    "state 0\n"
    "state 2 20\n"
    "state 14 20\n"
    "state 8192 20\n";

TEST_F(DialUpRun, DialsFollowsTheStatesDownloadsAndHangsUpWithH) {
  DialScript script(world_, kDialsAndConnects);
  ASSERT_EQ(RunResult::kOk, world_.Run(CommandLine(true), Settings(script)));
  EXPECT_EQ(3, Pictures());

  EXPECT_EQ(
      (std::vector<std::string>{
          "<info><task1><cam1> Opening Port (P001)", "<info><task1><cam1> Connecting Device (P001)",
          "<info><task1><cam1> Authenticated (P001)", "<info><task1><cam1> Connected (P001)"}),
      StateLog());
  const auto log = RunLog();
  ASSERT_GE(log.size(), 3u);
  EXPECT_EQ("<info><task1><cam1> Dial-up connection has completed. (P001)", log[0]);
  EXPECT_EQ("<info><task1><cam1> Download has started. (D001)", log[1]);
  const auto status = world_.progress().Lines();
  for (const char* s : {"Preparing for the connection.", "Dialing.",
                        "User authentication has completed.", "Connected."}) {
    EXPECT_NE(status.end(), std::find(status.begin(), status.end(), s)) << s;
  }
  // The profile's account and password replaced the entry's own; the password itself is
  // written nowhere.
  EXPECT_EQ("dial office user=dial password=given\nhang-up office\n", script.Record());
  EXPECT_EQ("", script.Links());
}

TEST_F(DialUpRun, WithoutHTheLinkStaysUpAndTheNextRunUsesItAsItIs) {
  DialScript script(world_, kDialsAndConnects);
  ASSERT_EQ(RunResult::kOk, world_.Run(CommandLine(false), Settings(script)));
  EXPECT_EQ("dial office user=dial password=given\n", script.Record());
  EXPECT_EQ("office\n", script.Links());

  // Already connected: nothing dialled, and nothing hung up even with /h.
  ::unlink((world_.ImageDir() + "/info/rascon.log").c_str());
  camera_.AddPictures(2, "20240103");
  ASSERT_EQ(RunResult::kOk, world_.Run(CommandLine(true), Settings(script)));
  EXPECT_EQ(5, Pictures());
  EXPECT_EQ("dial office user=dial password=given\n", script.Record());
  EXPECT_EQ("office\n", script.Links());
  EXPECT_FALSE(std::filesystem::exists(world_.ImageDir() + "/info/rascon.log"));
  EXPECT_EQ(1u, world_.LogLines("(P001)").size());  // from the first run only
}

TEST(DialUp, WithoutAConnectionNameNothingIsDialled) {
  DownloaderWorld world;
  CamsimInProcess camera;
  camera.AddPictures(1);
  TestProfile profile;
  profile.port = camera.port();
  const std::string id = world.AddProfile(profile);
  DialScript script(world, kDialsAndConnects);
  RunSettings settings = world.Settings();
  settings.load_dialer = script.Loader();
  ASSERT_EQ(RunResult::kOk, world.Run(world.CommandLine(id) + ",/h", settings));
  EXPECT_EQ("", script.Record());
  EXPECT_FALSE(std::filesystem::exists(world.ImageDir() + "/info/rascon.log"));
}

// The entry's dial parameters cannot be read: an entry the dialer does not know, a name that
// cannot be an entry, a dialer that is missing or lacks the function. P003 and 9000, and the
// camera is never asked.
TEST_F(DialUpRun, UnreadableDialParametersEndTheRunWith9000) {
  const std::string p003 =
      "<error><task1><cam1> Dial-up connection error: \"Failed to get connection information\" "
      "(P003)";
  struct Case {
    const char* script;
    bool load;
  };
  for (const Case& c :
       {Case{"entry home\nstate 8192\n", true},
        Case{"entry office\nmissing get-entry-dial-params\nstate 8192\n", true}, Case{"", false}}) {
    DialScript script(world_, c.script);
    RunSettings settings = Settings(script);
    if (!c.load) settings.load_dialer = [] { return nullptr; };
    ::unlink(world_.LogPath().c_str());
    EXPECT_EQ(RunResult::kDialUpFailed, world_.Run(CommandLine(true), settings)) << c.script;
    EXPECT_EQ(std::vector<std::string>{p003}, RunLog()) << c.script;
    EXPECT_EQ("", script.Record());
  }
  EXPECT_TRUE(camera_.Requests().empty());

  // The scripted dialer, chosen by the environment, is missing when its script is.
  ::setenv(dialup::kDialScriptVariable, world_.env().Path("no-such-script").c_str(), 1);
  EXPECT_EQ(nullptr, dialup::LoadDialer());
  ::setenv(dialup::kDialScriptVariable, world_.env().Path("dial.script").c_str(), 1);
  EXPECT_NE(nullptr, dialup::LoadDialer());
  ::unsetenv(dialup::kDialScriptVariable);
}

TEST(DialUp, ANameThatCannotBeAnEntryIsRefusedBeforeAnythingRuns) {
  DownloaderWorld world;
  TestProfile profile;
  profile.use_ppp = true;
  profile.ppp_entry = "../peers/office";
  const std::string id = world.AddProfile(profile);
  DialScript script(world, "entry ../peers/office\nstate 8192\n");
  RunSettings settings = world.Settings();
  settings.load_dialer = script.Loader();
  EXPECT_EQ(RunResult::kDialUpFailed, world.Run(world.CommandLine(id), settings));
  EXPECT_EQ(1u, world.LogLines("Failed to get connection information\" (P003)").size());
  EXPECT_EQ("", script.Record());
}

TEST_F(DialUpRun, AnErrorEventIsLoggedWithItsTextAndEndsTheRunWith9000) {
  {
    DialScript script(world_,
                      "entry office\ntext 678 There was no answer.\n"
                      "state 0\nstate 2 10\nerror 678 10\n");
    EXPECT_EQ(RunResult::kDialUpFailed, world_.Run(CommandLine(false), Settings(script)));
    EXPECT_EQ(
        (std::vector<std::string>{
            "<info><task1><cam1> Opening Port (P001)",
            "<info><task1><cam1> Connecting Device (P001)",
            "<error><task1><cam1> Connecting Device [error = 'There was no answer.' ] (P001)"}),
        StateLog());
    EXPECT_EQ(
        (std::vector<std::string>{
            "<error><task1><cam1> Dial-up connection error: \"There was no answer.\" (P003)"}),
        RunLog());
    // What was dialled is hung up, even without /h.
    EXPECT_EQ("dial office user=dial password=given\nhang-up office\n", script.Record());
  }
  // An error without a text: P002.
  ::unlink(world_.LogPath().c_str());
  ::unlink((world_.ImageDir() + "/info/rascon.log").c_str());
  DialScript script(world_, "entry office\nstate 0\nstate 14 10\nerror 691 10\n");
  EXPECT_EQ(RunResult::kDialUpFailed, world_.Run(CommandLine(false), Settings(script)));
  EXPECT_TRUE(Has(StateLog(), "<error><task1><cam1> Authenticated (P001)"));
  EXPECT_EQ(std::vector<std::string>{"<error><task1><cam1> Dial-up connection failed (P002)"},
            RunLog());
  EXPECT_TRUE(camera_.Requests().empty());
}

TEST_F(DialUpRun, ADialThatCannotStartEndsTheRunWith9000AndSaysWhy) {
  {
    DialScript script(world_, "entry office\ndial-error 602\n");
    EXPECT_EQ(RunResult::kDialUpFailed, world_.Run(CommandLine(true), Settings(script)));
    EXPECT_EQ((std::vector<std::string>{
                  "<error><task1><cam1> Dial-up connection error: \"Port already opend.\" (P003)"}),
              RunLog());
  }
  ::unlink(world_.LogPath().c_str());
  DialScript script(world_, "entry office\nmissing dial\n");
  EXPECT_EQ(RunResult::kDialUpFailed, world_.Run(CommandLine(true), Settings(script)));
  EXPECT_EQ(
      1u, world_.LogLines("Dial-up connection error: \"Undefined RAS Dial Error \" (P003)").size());
  EXPECT_TRUE(camera_.Requests().empty());
}

TEST_F(DialUpRun, ADialThatDisconnectsEndsTheRunWith9000) {
  DialScript script(world_, "entry office\nstate 0\nstate 8193 10\n");
  EXPECT_EQ(RunResult::kDialUpFailed, world_.Run(CommandLine(false), Settings(script)));
  EXPECT_TRUE(Has(StateLog(), "<info><task1><cam1> Disconnected (P001)"));
  EXPECT_TRUE(RunLog().empty());
  const auto status = world_.progress().Lines();
  EXPECT_NE(status.end(), std::find(status.begin(), status.end(), "Disconnected."));
}

// An abort while dialling lets the dial finish, then hangs up and ends with 100.
TEST_F(DialUpRun, AbortWhileDiallingLetsTheDialEndThenHangsUp) {
  DialScript script(world_, "entry office\nstate 0\nstate 2 50\nstate 8192 300\n");
  std::atomic<bool> abort{true};
  RunSettings settings = Settings(script);
  settings.abort_request = &abort;
  EXPECT_EQ(RunResult::kAborted, world_.Run(CommandLine(false), settings));
  EXPECT_TRUE(Has(StateLog(), "<info><task1><cam1> Connected (P001)"));
  EXPECT_EQ(
      (std::vector<std::string>{"<info><task1><cam1> Dial-up connection has completed. (P001)",
                                "<warning><task1><cam1> Download has aborted. (D003)"}),
      RunLog());
  EXPECT_EQ("dial office user=dial password=given\nhang-up office\n", script.Record());
  EXPECT_EQ("", script.Links());
  EXPECT_TRUE(camera_.Requests().empty());
}

// A dial that never ends by itself: an abort hangs it up once it has been quiet for the abort
// limit, the watchdog once it has been quiet for the stall limit.
TEST_F(DialUpRun, ADialThatHangsIsEndedByTheAbortAndByTheWatchdog) {
  DialScript script(world_, "entry office\nstate 0\nhang\n");
  std::atomic<bool> abort{true};
  RunSettings settings = Settings(script);
  settings.abort_request = &abort;
  settings.abort_stall_seconds = 0;
  EXPECT_EQ(RunResult::kAborted, world_.Run(CommandLine(false), settings));
  EXPECT_EQ((std::vector<std::string>{"<info><task1><cam1> Opening Port (P001)",
                                      "<info><task1><cam1> Disconnected (P001)"}),
            StateLog());
  EXPECT_EQ("dial office user=dial password=given\nhang-up office\n", script.Record());

  ::unlink(world_.LogPath().c_str());
  ::unlink((script.path() + ".record").c_str());
  settings = Settings(script);
  settings.stall_limit_seconds = 1;
  EXPECT_EQ(RunResult::kDialUpFailed, world_.Run(CommandLine(false), settings));
  EXPECT_TRUE(RunLog().empty());
  EXPECT_EQ("dial office user=dial password=given\nhang-up office\n", script.Record());
}

// The service stopping asks twice before it kills: the second request ends the dial at once.
TEST_F(DialUpRun, ASecondCloseRequestEndsAHangingDialAtOnce) {
  DialScript script(world_, "entry office\nstate 0\nhang\n");
  RunSettings settings = Settings(script);
  settings.close_on_sigterm = true;
  std::thread service([&] {
    while (script.Record().empty()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ::kill(::getpid(), SIGTERM);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ::kill(::getpid(), SIGTERM);
  });
  EXPECT_EQ(RunResult::kAborted, world_.Run(CommandLine(false), settings));
  service.join();
  EXPECT_EQ("dial office user=dial password=given\nhang-up office\n", script.Record());
  EXPECT_EQ(std::vector<std::string>{"<warning><task1><cam1> Download has aborted. (D003)"},
            RunLog());
}

TEST_F(DialUpRun, ALinkThatDropsDuringTheDownloadIsLogged) {
  DialScript script(world_, "entry office\nstate 0\nstate 8192 10\ndrop 100\n");
  // Another run holds the server for a while: the link drops while this one waits.
  NamedObject other_run = NamedObject::Create(id_ + "SEM");
  ASSERT_TRUE(other_run.held());
  std::thread release([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    other_run.Release();
  });
  const RunResult result = world_.Run(CommandLine(true), Settings(script));
  release.join();
  EXPECT_EQ(RunResult::kOk, result);  // the camera is on loopback, which never drops
  EXPECT_EQ((std::vector<std::string>{"<info><task1><cam1> Opening Port (P001)",
                                      "<info><task1><cam1> Connected (P001)",
                                      "<info><task1><cam1> Disconnected (P001)"}),
            StateLog());
  EXPECT_EQ("", script.Links());
  EXPECT_EQ("dial office user=dial password=given\nhang-up office\n", script.Record());
}

// The same road through the pppd dialer, with a stand-in pppd that brings "lo" up.
TEST_F(DialUpRun, ThroughThePppdDialer) {
  const std::string dir = world_.env().Path("ppp");
  std::filesystem::create_directories(dir + "/peers");
  std::filesystem::create_directories(dir + "/run");
  WriteFile(dir + "/peers/office", "\n");
  WriteFile(dir + "/pppd", "#!/bin/sh\necho $$ > '" + dir + R"SH(/pid'
if [ "$(cat ')SH" + dir + R"SH(/mode')" = fail ]; then echo "Connect script failed"; exit 8; fi
trap 'exit 5' TERM
printf '%s\n' "Serial connection established." "Using interface lo" "Connect: lo <--> /dev/ttyS9" \
  "PAP authentication succeeded" "local  IP address 127.0.0.1"
while :; do sleep 0.05; done
)SH");
  ::chmod((dir + "/pppd").c_str(), 0755);
  dialup::PppdConfig config;
  config.pppd_path = dir + "/pppd";
  config.peers_dir = dir + "/peers";
  config.run_dir = dir + "/run";
  RunSettings settings = world_.Settings();
  settings.hang_up_wait_ms = 10;
  settings.load_dialer = [config] { return dialup::PppdDialer::Load(config); };

  WriteFile(dir + "/mode", "up");
  ASSERT_EQ(RunResult::kOk, world_.Run(CommandLine(true), settings))
      << world_.Log() << ReadFile(world_.ImageDir() + "/info/rascon.log");
  EXPECT_EQ(3, Pictures());
  EXPECT_EQ(
      (std::vector<std::string>{
          "<info><task1><cam1> Opening Port (P001)", "<info><task1><cam1> Connecting Device (P001)",
          "<info><task1><cam1> Device Connected (P001)",
          "<info><task1><cam1> All DevicesConnected (P001)",
          "<info><task1><cam1> Authenticated (P001)", "<info><task1><cam1> Projected (P001)",
          "<info><task1><cam1> Connected (P001)"}),
      StateLog());
  const pid_t pid = std::atoi(ReadFile(dir + "/pid").c_str());
  // Hung up with /h: pppd has gone (reaped by the dialer).
  EXPECT_TRUE(pid > 0 && ::kill(pid, 0) != 0);

  ::unlink((world_.ImageDir() + "/info/rascon.log").c_str());
  ::unlink(world_.LogPath().c_str());
  WriteFile(dir + "/mode", "fail");
  EXPECT_EQ(RunResult::kDialUpFailed, world_.Run(CommandLine(true), settings));
  EXPECT_TRUE(
      Has(StateLog(),
          "<error><task1><cam1> Connecting Device [error = 'The connect script failed.' ] (P001)"));
  EXPECT_EQ(
      (std::vector<std::string>{
          "<error><task1><cam1> Dial-up connection error: \"The connect script failed.\" (P003)"}),
      RunLog());
}

TEST(CRasDialer, StateNamesAndStatusTexts) {
  EXPECT_STREQ("All DevicesConnected", DialStateName(4));
  EXPECT_STREQ("Starting Authentication", DialStateName(5));
  EXPECT_STREQ("Starting Authentication", DialStateName(19));
  EXPECT_STREQ("Reauthenticatation Started", DialStateName(13));
  EXPECT_STREQ("Password Expired", DialStateName(4099));
  EXPECT_STREQ("Undefine Error Code", DialStateName(24));
  EXPECT_STREQ("Undefine Error Code", DialStateName(-1));
  EXPECT_STREQ("The port is already opened.", DialStatusText(1));
  EXPECT_STREQ("User authentication has started.", DialStatusText(19));
  EXPECT_STREQ("Logged on to the network.", DialStatusText(21));
  EXPECT_EQ(nullptr, DialStatusText(3));
}

TEST(CRasDialer, HangUpNeedsTheFunctionAndTouchesOnlyWhatItDialled) {
  DownloaderWorld world;
  const std::string path = world.env().Path("dial.script");
  test::RecordingProgress progress;
  RunLog activity, states;
  activity.Set(world.env().Path("dl.log"), "t", "s");
  states.Set(world.env().Path("rascon.log"), "t", "s");

  WriteFile(path, "entry office\nmissing hang-up\n");
  CRasDialer no_hang_up(dialup::ScriptedDialer::Load(path), activity, states, &progress, 0);
  EXPECT_EQ(-1, no_hang_up.HangUp());
  CRasDialer missing(nullptr, activity, states, &progress, 0);
  EXPECT_EQ(-1, missing.HangUp());
  std::string text;
  EXPECT_EQ(0, missing.Connect("", "", "", &text));
  EXPECT_EQ(-3, missing.Connect("office", "", "", &text));
  EXPECT_EQ("Failed to get RAS entry parameters.(entry name : 'office')", text);

  // Nothing dialled: a hang-up touches no connection (another run's link stays up).
  WriteFile(path, "entry office\nstate 8192\n");
  WriteFile(path + ".links", "home\n");
  CRasDialer idle(dialup::ScriptedDialer::Load(path), activity, states, &progress, 0);
  EXPECT_EQ(0, idle.HangUp());
  idle.HangUpIfConnected();
  EXPECT_EQ("home\n", ReadFile(path + ".links"));
  EXPECT_EQ("", ReadFile(path + ".record"));
}

}  // namespace
}  // namespace pondrel::dl
