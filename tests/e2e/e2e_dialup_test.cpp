// Scheduled runs over a dial-up connection with real processes: zoricsm starts KVdl, which
// dials through the scripted dialer (chosen by PONDREL_DIALER_SCRIPT, inherited from the
// test through the service), downloads from camsim once connected and hangs up with "/h".
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>

#include "common/dialup/dialer.h"
#include "taskmodel/kvtask.h"
#include "taskview/service_control.h"
#include "tests/camsim/camsim_process.h"
#include "tests/e2e/e2e_world.h"
#include "tests/support/image_files.h"

namespace pondrel::test {
namespace {

// The dial script of one test, named to the service and its downloaders by the environment.
class DialScript {
 public:
  DialScript(const E2EWorld& w, const std::string& text) : path_(w.env().Path("dial.script")) {
    WriteFile(path_, text);
    ::setenv(dialup::kDialScriptVariable, path_.c_str(), 1);
  }
  ~DialScript() { ::unsetenv(dialup::kDialScriptVariable); }
  std::string Record() const { return ReadFile(path_ + ".record"); }
  std::string Links() const { return ReadFile(path_ + ".links"); }
  void SetLinks(const std::string& text) const { WriteFile(path_ + ".links", text); }

 private:
  std::string path_;
};

ProfileSpec DialUpProfile(const CamsimProcess& cam) {
  ProfileSpec spec;
  spec.port = cam.port();
  spec.ppp_entry = "office";
  return spec;
}

// A daily task whose runs hang up what they dialled (",/h").
CKVTask AddHangingUpTask(E2EWorld& w, const std::string& name, const Guid& id) {
  CKVTask t = w.AddTask(name, id);
  t.RasDisconnect = 1;
  w.WriteTask(t);
  return t;
}

std::vector<std::string> StateLog(const E2EWorld& w) {
  std::vector<std::string> out;
  std::istringstream in(ReadFile(w.ImageDir() + "/info/rascon.log"));
  std::string line;
  while (std::getline(in, line)) out.push_back(line);
  return out;
}

TEST(EndToEndDialUp, ScheduledRunDialsCollectsAndHangsUp) {
  CamsimProcess cam({"--pictures", "3", "--user", "u", "--password", "p"});
  ASSERT_TRUE(cam.ok()) << cam.Output();
  E2EWorld w;
  DialScript script(w, "entry office\nstate 0\nstate 2 50\nstate 14 50\nstate 8192 50\n");
  const Guid id = w.AddServer(DialUpProfile(cam));
  AddHangingUpTask(w, "daily", id);
  ASSERT_TRUE(w.StartService()) << w.ServiceOutput();

  w.RunScan();
  ASSERT_TRUE(w.WaitTaskEnded("daily")) << w.ServiceLog() << w.ServiceOutput();
  const CKVTask t = w.ReadTask("daily");
  EXPECT_EQ(t.EndCode, 0);
  EXPECT_EQ(t.ActResult, kResultSucceeded);
  EXPECT_EQ(CountJpgs(w.ImageDir()), 3);

  const auto lines = w.ServiceLogLines();
  const int p001 = FindLine(lines, "<info><daily><cam1> Dial-up connection has completed. (P001)");
  const int d001 = FindLine(lines, "<info><daily><cam1> Download has started. (D001)");
  const int d002 = FindLine(lines, "<info><daily><cam1> Download is completed: 3 picture(s)");
  ASSERT_GE(p001, 0) << w.ServiceLog();
  EXPECT_GT(d001, p001);
  EXPECT_GT(d002, d001);

  const auto states = StateLog(w);
  ASSERT_EQ(states.size(), 4u) << ReadFile(w.ImageDir() + "/info/rascon.log");
  EXPECT_NE(states[0].find("<info><daily><cam1> Opening Port (P001)\r"), std::string::npos);
  EXPECT_NE(states[3].find("<info><daily><cam1> Connected (P001)\r"), std::string::npos);
  EXPECT_EQ(script.Record(), "dial office user=dial password=given\nhang-up office\n");
  EXPECT_EQ(script.Links(), "");
  EXPECT_EQ(w.StopService(), 0);
}

TEST(EndToEndDialUp, ConnectionAlreadyUpIsUsedAndLeftUpEvenWithH) {
  CamsimProcess cam({"--pictures", "2", "--user", "u", "--password", "p"});
  ASSERT_TRUE(cam.ok()) << cam.Output();
  E2EWorld w;
  DialScript script(w, "entry office\nstate 8192\n");
  script.SetLinks("office\n");
  const Guid id = w.AddServer(DialUpProfile(cam));
  AddHangingUpTask(w, "daily", id);
  ASSERT_TRUE(w.StartService()) << w.ServiceOutput();

  w.RunScan();
  ASSERT_TRUE(w.WaitTaskEnded("daily")) << w.ServiceLog();
  EXPECT_EQ(w.ReadTask("daily").EndCode, 0);
  EXPECT_EQ(CountJpgs(w.ImageDir()), 2);
  EXPECT_EQ(script.Record(), "");
  EXPECT_EQ(script.Links(), "office\n");
  EXPECT_TRUE(LinesWith(w.ServiceLogLines(), "(P00").empty()) << w.ServiceLog();
  EXPECT_FALSE(std::filesystem::exists(w.ImageDir() + "/info/rascon.log"));
}

TEST(EndToEndDialUp, DialThatFailsEndsTheRunWith9000) {
  CamsimProcess cam({"--pictures", "2", "--user", "u", "--password", "p"});
  ASSERT_TRUE(cam.ok()) << cam.Output();
  E2EWorld w;
  DialScript script(w,
                    "entry office\ntext 19 Authentication to the peer failed.\n"
                    "state 0\nstate 2 20\nerror 19 20\n");
  const Guid id = w.AddServer(DialUpProfile(cam));
  w.AddTask("daily", id);
  ASSERT_TRUE(w.StartService()) << w.ServiceOutput();

  w.RunScan();
  ASSERT_TRUE(w.WaitTaskEnded("daily")) << w.ServiceLog();
  const CKVTask t = w.ReadTask("daily");
  EXPECT_EQ(t.EndCode, 9000);
  EXPECT_EQ(t.ActResult, kResultFailed);
  EXPECT_EQ(LinesWith(w.ServiceLogLines(),
                      "<error><daily><cam1> Dial-up connection error: "
                      "\"Authentication to the peer failed.\" (P003)")
                .size(),
            1u)
      << w.ServiceLog();
  EXPECT_TRUE(LinesWith(w.ServiceLogLines(), "(D001)").empty());
  const auto states = StateLog(w);
  ASSERT_FALSE(states.empty());
  EXPECT_NE(states.back().find("<error><daily><cam1> Connecting Device [error = 'Authentication "
                               "to the peer failed.' ] (P001)"),
            std::string::npos);
  // Dialled without /h: a failed dial is hung up all the same.
  EXPECT_EQ(script.Record(), "dial office user=dial password=given\nhang-up office\n");
  EXPECT_EQ(cam.Stat("status_requests"), 0);
}

// The Task View's abort reaches KVdl while it dials: the dial is let finish, then hung up,
// and the run ends with 100.
TEST(EndToEndDialUp, AbortWhileDiallingHangsUpAndEndsWith100) {
  CamsimProcess cam({"--pictures", "2", "--user", "u", "--password", "p"});
  ASSERT_TRUE(cam.ok()) << cam.Output();
  E2EWorld w;
  DialScript script(w, "entry office\nstate 0\nstate 2 100\nstate 8192 2500\n");
  const Guid id = w.AddServer(DialUpProfile(cam));
  w.AddTask("daily", id);
  ASSERT_TRUE(w.StartService()) << w.ServiceOutput();

  w.RunScan();
  ASSERT_TRUE(WaitFor([&] {
    return script.Record().find("dial office") != std::string::npos && !w.ServiceChildren().empty();
  })) << w.ServiceLog();
  // KVdl reported itself to the service before it dialled, so the abort finds it.
  tasdek::ServiceControl control;
  ASSERT_TRUE(control.SendAbort("daily"));
  ASSERT_TRUE(w.WaitTaskEnded("daily", 20000)) << w.ServiceLog();
  const CKVTask t = w.ReadTask("daily");
  EXPECT_EQ(t.EndCode, 100);
  EXPECT_EQ(t.ActResult, kResultAborted);
  EXPECT_EQ(
      LinesWith(w.ServiceLogLines(), "<warning><daily><cam1> Download has aborted. (D003)").size(),
      1u)
      << w.ServiceLog();
  EXPECT_FALSE(StateLog(w).empty());
  EXPECT_NE(StateLog(w).back().find("Connected (P001)"), std::string::npos);
  EXPECT_EQ(script.Record(), "dial office user=dial password=given\nhang-up office\n");
  EXPECT_EQ(cam.Stat("status_requests"), 0);
}

}  // namespace
}  // namespace pondrel::test
