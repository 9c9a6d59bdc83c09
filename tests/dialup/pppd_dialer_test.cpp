// The pppd dialer: entry names, the command line, the log parser on this pppd's own output,
// and dials run through a stand-in pppd (a shell script that talks like pppd) and through the
// real /usr/sbin/pppd, whose link cannot come up on a kernel without PPP but which parses
// every option first.
#include "common/dialup/pppd_dialer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "tests/support/test_env.h"

namespace pondrel::dialup {
namespace {

using pondrel::test::ReadFile;
using pondrel::test::ScopedTestEnv;
using pondrel::test::WriteFile;

const std::string kData = std::string(PONDREL_DIALUP_TEST_DATA) + "/pppd-2.4.9/";

bool Ended(const DialEvent& e) {
  return e.error != 0 || e.state == kConnected || e.state == kDisconnected;
}

// The dial's events until one ends it (or the time-out passes).
std::vector<DialEvent> EventsUntilEnd(Dialer& dialer, DialHandle handle, int timeout_ms = 10000) {
  std::vector<DialEvent> out;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (std::chrono::steady_clock::now() < deadline) {
    DialEvent e;
    while (dialer.NextEvent(handle, &e)) {
      out.push_back(e);
      if (Ended(e)) return out;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return out;
}

std::vector<int> States(const std::vector<DialEvent>& events) {
  std::vector<int> s;
  for (const DialEvent& e : events) s.push_back(e.state);
  return s;
}

std::string ProcFile(pid_t pid, const char* name) {
  return ReadFile("/proc/" + std::to_string(pid) + "/" + name);
}

bool Alive(pid_t pid) { return pid > 0 && ::kill(pid, 0) == 0; }

// A stand-in for pppd: a shell script named pppd that writes pppd's log lines for the mode
// named in its directory, keeps the link's pid file, records its arguments and the password
// it read from descriptor 3, and ends with pppd's exit statuses.
class FakePppd {
 public:
  explicit FakePppd(const ScopedTestEnv& env) : dir_(env.Path("fakeppp")) {
    std::filesystem::create_directories(dir_ + "/peers");
    std::filesystem::create_directories(dir_ + "/run");
    WriteFile(dir_ + "/peers/office", "# dial the office\n");
    WriteFile(dir_ + "/pppd", R"SH(#!/bin/sh
dir=')SH" + dir_ + R"SH('
echo $$ > "$dir/pid"
link=''; prev=''
for a in "$@"; do [ "$prev" = linkname ] && link=$a; prev=$a; done
printf '%s\n' "$@" > "$dir/args"
{ cat <&3 > "$dir/password"; } 2>/dev/null
up() {
  echo "Serial connection established."
  echo "Using interface lo"
  printf '%s\nlo\n' $$ > "$dir/run/ppp-$link.pid"
  echo "Connect: lo <--> /dev/ttyFAKE"
  echo "PAP authentication succeeded"
  echo "local  IP address 127.0.0.1"
  echo "remote IP address 127.0.0.2"
}
case "$(cat "$dir/mode")" in
connect)
  trap 'echo "Terminating on signal 15"; echo "Connection terminated."; rm -f "$dir/run/ppp-$link.pid"; exit 5' TERM
  up
  while :; do sleep 0.05; done;;
drop)
  up; sleep 0.3; echo "Modem hangup"; echo "Connection terminated."
  rm -f "$dir/run/ppp-$link.pid"; exit 16;;
connect-script-fails)
  echo "Connect script failed"; exit 8;;
deaf)
  trap '' TERM
  echo "Serial connection established."
  while :; do sleep 0.05; done;;
esac
)SH");
    ::chmod((dir_ + "/pppd").c_str(), 0755);
  }
  ~FakePppd() {
    // The stand-in started by the test, by its id, should a case leave it running.
    const std::string pid = ReadFile(dir_ + "/pid");
    if (!pid.empty() && std::stoi(pid) > 1) ::kill(std::stoi(pid), SIGKILL);
  }

  PppdConfig Config() const {
    PppdConfig c;
    c.pppd_path = dir_ + "/pppd";
    c.peers_dir = dir_ + "/peers";
    c.run_dir = dir_ + "/run";
    c.hang_up_grace_ms = 300;
    return c;
  }
  void SetMode(const std::string& mode) const { WriteFile(dir_ + "/mode", mode); }
  std::string Args() const { return ReadFile(dir_ + "/args"); }
  std::string PasswordRead() const { return ReadFile(dir_ + "/password"); }
  std::string Dir() const { return dir_; }

 private:
  std::string dir_;
};

TEST(PppdDialer, EntryNamesThatCannotBePeerFilesAreRefusedBeforeAnythingRuns) {
  EXPECT_TRUE(IsValidEntryName("provider"));
  EXPECT_TRUE(IsValidEntryName("office link 2"));
  EXPECT_TRUE(IsValidEntryName("b\xc3\xbcro"));
  for (const char* bad :
       {"", "../office", "a/b", "/etc/passwd", "..", "x..y", "of\nfice", "tab\there", "del\x7f"}) {
    EXPECT_FALSE(IsValidEntryName(bad)) << bad;
  }

  ScopedTestEnv env;
  FakePppd fake(env);
  fake.SetMode("connect");
  PppdDialer dialer(fake.Config());
  DialParams params;
  EXPECT_EQ(0, dialer.GetEntryDialParams("office", &params));
  EXPECT_EQ("office", params.entry);
  EXPECT_EQ(kPppdNoSuchEntry, dialer.GetEntryDialParams("home", &params));  // no peer file
  EXPECT_EQ(kPppdNoSuchEntry, dialer.GetEntryDialParams("../peers/office", &params));
  std::filesystem::create_directories(fake.Dir() + "/peers/subdir");
  EXPECT_EQ(kPppdNoSuchEntry, dialer.GetEntryDialParams("subdir", &params));

  DialHandle handle = 77;
  EXPECT_EQ(kPppdNoSuchEntry, dialer.Dial({"../peers/office", "u", "p"}, &handle));
  EXPECT_EQ(0, handle);
  EXPECT_EQ("", fake.Args());  // pppd never ran

  std::vector<std::string> names;
  EXPECT_EQ(0, dialer.EnumEntries(&names));
  EXPECT_EQ(std::vector<std::string>{"office"}, names);
}

TEST(PppdDialer, CommandLineCallsThePeerUnderALinkNameOfItsOwn) {
  PppdConfig config;
  EXPECT_EQ((std::vector<std::string>{"call", "office", "nodetach", "nopersist", "linkname",
                                      "pondrel-office", "logfd", "1", "user", "dial", "plugin",
                                      "passwordfd.so", "passwordfd", "3"}),
            PppdDialOptions(config, {"office", "dial", "secret"}, 3));
  // Without an account or a password the peer file's own (and pap-secrets) apply.
  EXPECT_EQ((std::vector<std::string>{"call", "office", "nodetach", "nopersist", "linkname",
                                      "pondrel-office", "logfd", "1"}),
            PppdDialOptions(config, {"office", "", ""}, -1));
}

std::vector<PppdLogNote> ParseFile(const std::string& path) {
  PppdLogParser parser;
  return parser.Feed(ReadFile(path));
}

TEST(PppdLogParser, ReadsTheLinkStepsFromPppdsOwnLines) {
  auto states = [](const std::vector<PppdLogNote>& notes) {
    std::vector<int> s;
    for (const auto& n : notes)
      if (n.state >= 0) s.push_back(n.state);
    return s;
  };
  const auto modem = ParseFile(kData + "modem-session.log");
  ASSERT_FALSE(modem.empty());
  EXPECT_EQ((std::vector<int>{kDeviceConnected, kAllDevicesConnected, kAuthenticated, kProjected}),
            states(modem));
  std::string ifname;
  for (const auto& n : modem)
    if (!n.ifname.empty()) ifname = n.ifname;
  EXPECT_EQ("ppp0", ifname);

  const auto pppoe = ParseFile(kData + "pppoe-session.log");
  EXPECT_EQ((std::vector<int>{kDeviceConnected, kAllDevicesConnected, kAuthenticated,
                              kAuthenticated, kProjected, kProjected}),
            states(pppoe));

  // What this pppd wrote when it refused or could not run: no step of a link.
  for (const char* f : {"no-kernel-support.log", "unknown-option.log", "missing-peer.log"}) {
    EXPECT_TRUE(states(ParseFile(kData + f)).empty()) << f;
  }

  // The peer authenticating to us is not our authentication.
  EXPECT_EQ(-1, PppdLogParser::ParseLine("PAP peer authentication succeeded for gw").state);
  // Lines arrive in pieces; an over-long line is cut, not kept whole.
  PppdLogParser parser;
  EXPECT_TRUE(parser.Feed("Serial conn").empty());
  const auto notes = parser.Feed("ection established.\nUsing interface " + std::string(9000, 'x') +
                                 "\nUsing interface ppp1\n");
  ASSERT_EQ(3u, notes.size());
  EXPECT_EQ(kDeviceConnected, notes[0].state);
  EXPECT_EQ("", notes[1].ifname);
  EXPECT_EQ("ppp1", notes[2].ifname);
}

TEST(PppdLogParser, TheMessagesItReadsAreThoseOfTheInstalledPppd) {
  std::ifstream formats(kData + "message-formats.txt");
  std::string line;
  int checked = 0;
  while (std::getline(formats, line)) {
    const auto tab = line.find('\t');
    ASSERT_NE(std::string::npos, tab);
    const std::string binary = ReadFile(line.substr(0, tab));
    if (binary.empty() || binary.find("2.4.9") == std::string::npos)
      GTEST_SKIP() << line.substr(0, tab) << " of pppd 2.4.9 is not installed";
    const std::string format = line.substr(tab + 1) + '\0';
    EXPECT_NE(std::string::npos, binary.find(format)) << line;
    ++checked;
  }
  EXPECT_GT(checked, 10);
}

TEST(PppdDialer, LinkComesUpWithItsInterfaceAndGoesDownOnHangUp) {
  ScopedTestEnv env;
  FakePppd fake(env);
  fake.SetMode("connect");
  PppdDialer dialer(fake.Config());
  DialHandle handle = 0;
  ASSERT_EQ(0, dialer.Dial({"office", "dial", "s3cret-pw"}, &handle));
  const auto events = EventsUntilEnd(dialer, handle);
  EXPECT_EQ((std::vector<int>{kOpenPort, kConnectDevice, kDeviceConnected, kAllDevicesConnected,
                              kAuthenticated, kProjected, kConnected}),
            States(events));
  for (const DialEvent& e : events) EXPECT_EQ(0, e.error);

  // The password came over descriptor 3 and is nowhere in the process's arguments or
  // environment; pppd's environment is PATH alone.
  const pid_t pid = dialer.PidOf(handle);
  ASSERT_TRUE(Alive(pid));
  EXPECT_EQ("s3cret-pw", fake.PasswordRead());
  EXPECT_EQ(std::string::npos, ProcFile(pid, "cmdline").find("s3cret-pw"));
  EXPECT_EQ(std::string("PATH=/usr/sbin:/usr/bin:/sbin:/bin") + '\0', ProcFile(pid, "environ"));
  EXPECT_NE(std::string::npos,
            fake.Args().find("user\ndial\nplugin\npasswordfd.so\npasswordfd\n3\n"));
  // In a session of its own: the link outlives the process that dialled it.
  EXPECT_EQ(pid, ::getsid(pid));

  std::vector<std::string> up;
  EXPECT_EQ(0, dialer.EnumConnections(&up));
  EXPECT_EQ(std::vector<std::string>{"office"}, up);
  // A second dialer (another run) sees the connection by its pid file.
  PppdDialer other(fake.Config());
  EXPECT_EQ(0, other.EnumConnections(&up));
  EXPECT_EQ(std::vector<std::string>{"office"}, up);

  EXPECT_EQ(0, dialer.HangUp(handle));
  const auto after = EventsUntilEnd(dialer, handle);
  ASSERT_EQ(1u, after.size());
  EXPECT_EQ(kDisconnected, after[0].state);
  EXPECT_EQ(0, after[0].error);
  EXPECT_EQ(0, dialer.EnumConnections(&up));
  EXPECT_TRUE(up.empty());
  EXPECT_EQ(0, dialer.HangUp(handle));  // the link is down already
  EXPECT_EQ(kPppdInvalidHandle, dialer.HangUp(handle + 1));
}

TEST(PppdDialer, ExitStatusesSayWhyADialOrALinkEnded) {
  ScopedTestEnv env;
  FakePppd fake(env);
  PppdDialer dialer(fake.Config());
  std::string text;

  // A connect script that fails: the error at the state reached, with the manual's reason.
  fake.SetMode("connect-script-fails");
  DialHandle handle = 0;
  ASSERT_EQ(0, dialer.Dial({"office", "", ""}, &handle));
  auto events = EventsUntilEnd(dialer, handle);
  ASSERT_EQ(3u, events.size());
  EXPECT_EQ(kConnectDevice, events[2].state);
  EXPECT_EQ(8, events[2].error);
  ASSERT_TRUE(dialer.ErrorString(8, &text));
  EXPECT_EQ("The connect script failed.", text);
  EXPECT_EQ("", fake.PasswordRead());  // no password, no descriptor 3
  EXPECT_EQ(std::string::npos, fake.Args().find("passwordfd"));
  EXPECT_EQ(std::string::npos, fake.Args().find("user"));

  // A link that drops after it was up: disconnected, with the modem's hang-up as the reason.
  fake.SetMode("drop");
  ASSERT_EQ(0, dialer.Dial({"office", "dial", "pw"}, &handle));
  events = EventsUntilEnd(dialer, handle);
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(kConnected, events.back().state);
  events = EventsUntilEnd(dialer, handle);
  ASSERT_EQ(1u, events.size());
  EXPECT_EQ(kDisconnected, events[0].state);
  EXPECT_EQ(16, events[0].error);
  ASSERT_TRUE(dialer.ErrorString(16, &text));
  EXPECT_EQ("The link was terminated by the modem hanging up.", text);

  for (int status = 1; status <= 19; ++status) EXPECT_NE("", PppdExitText(status)) << status;
  EXPECT_EQ("", PppdExitText(20));
  ASSERT_TRUE(dialer.ErrorString(kPppdKilledBase + SIGKILL, &text));
  EXPECT_EQ("pppd was killed by signal 9 (SIGKILL).", text);
}

TEST(PppdDialer, APppdThatIgnoresTheHangUpIsKilledAfterItsGraceTime) {
  ScopedTestEnv env;
  FakePppd fake(env);
  fake.SetMode("deaf");
  PppdDialer dialer(fake.Config());
  DialHandle handle = 0;
  ASSERT_EQ(0, dialer.Dial({"office", "", ""}, &handle));
  const pid_t pid = dialer.PidOf(handle);
  // It gets past its start (the trap is set) before it is told to hang up.
  auto events = EventsUntilEnd(dialer, handle, 1000);
  ASSERT_EQ(kDeviceConnected, events.back().state);
  ASSERT_EQ(0, dialer.HangUp(handle));
  events = EventsUntilEnd(dialer, handle);
  ASSERT_EQ(1u, events.size());
  EXPECT_EQ(kDisconnected, events[0].state);
  EXPECT_EQ(0, events[0].error);  // ended as asked
  EXPECT_FALSE(Alive(pid));
}

TEST(PppdDialer, OnlyALivePppdOfTheLinkCountsAsAConnection) {
  ScopedTestEnv env;
  FakePppd fake(env);
  PppdDialer dialer(fake.Config());
  const std::string run = fake.Dir() + "/run/";
  // Left behind by a pppd that is gone; a pid now used by a process that is not that link;
  // a pid file of another system's link.
  WriteFile(run + "ppp-pondrel-gone.pid", "999999999\nppp0\n");
  WriteFile(run + "ppp-pondrel-reused.pid", std::to_string(::getpid()) + "\n");
  WriteFile(run + "ppp-provider.pid", std::to_string(::getpid()) + "\n");
  WriteFile(run + "ppp-pondrel-garbage.pid", "not a pid\n");
  std::vector<std::string> up{"x"};
  EXPECT_EQ(0, dialer.EnumConnections(&up));
  EXPECT_TRUE(up.empty());

  // A pppd of the link that is still dialling: its pid file names no interface yet.
  fake.SetMode("deaf");
  DialHandle handle = 0;
  ASSERT_EQ(0, dialer.Dial({"office", "", ""}, &handle));
  ASSERT_FALSE(EventsUntilEnd(dialer, handle, 1000).empty());
  const std::string pid = std::to_string(dialer.PidOf(handle));
  WriteFile(run + "ppp-pondrel-office.pid", pid + "\n");
  EXPECT_EQ(0, dialer.EnumConnections(&up));
  EXPECT_TRUE(up.empty());
  WriteFile(run + "ppp-pondrel-office.pid", pid + "\nppp-no-such-if\n");
  EXPECT_EQ(0, dialer.EnumConnections(&up));
  EXPECT_TRUE(up.empty());
  WriteFile(run + "ppp-pondrel-office.pid", pid + "\nlo\n");
  EXPECT_EQ(0, dialer.EnumConnections(&up));
  EXPECT_EQ(std::vector<std::string>{"office"}, up);
  dialer.HangUp(handle);

  PppdConfig nowhere = fake.Config();
  nowhere.run_dir = fake.Dir() + "/no-such-dir";
  PppdDialer other(nowhere);
  EXPECT_EQ(0, other.EnumConnections(&up));
  EXPECT_TRUE(up.empty());
}

TEST(PppdDialer, APppdThatCannotRunFailsTheDialAtOnce) {
  ScopedTestEnv env;
  FakePppd fake(env);
  PppdConfig config = fake.Config();
  EXPECT_EQ(nullptr, PppdDialer::Load([&] {
              PppdConfig c = config;
              c.pppd_path = fake.Dir() + "/not-installed";
              return c;
            }()));
  ::chmod(config.pppd_path.c_str(), 0644);
  auto dialer = PppdDialer::Load(config);
  ASSERT_NE(nullptr, dialer);
  DialHandle handle = 5;
  const int rc = dialer->Dial({"office", "", ""}, &handle);
  EXPECT_EQ(kPppdStartFailedBase + EACCES, rc);
  EXPECT_EQ(0, handle);
  std::string text;
  ASSERT_TRUE(dialer->ErrorString(rc, &text));
  EXPECT_EQ("pppd could not be started: Permission denied", text);
}

// ---- the real pppd ------------------------------------------------------------------------

// A peer file of its own in /etc/ppp/peers (where pppd looks), removed afterwards.
class SystemPeer {
 public:
  explicit SystemPeer(bool fifo = false) {
    std::random_device rd;
    name_ = "pondrel-test-" + std::to_string(::getpid()) + "-" + std::to_string(rd() % 100000);
    path_ = "/etc/ppp/peers/" + name_;
    if (fifo) {
      ok_ = ::mkfifo(path_.c_str(), 0600) == 0;
    } else {
      WriteFile(path_, kOptions);
      ok_ = std::filesystem::is_regular_file(path_);
    }
  }
  ~SystemPeer() { ::unlink(path_.c_str()); }
  bool ok() const { return ok_; }
  const std::string& name() const { return name_; }
  const std::string& path() const { return path_; }
  // A link over a pty whose program fails: nothing leaves the machine even where PPP works.
  static constexpr const char* kOptions = "pty \"/bin/false\"\nnoauth\nlocal\n";

 private:
  std::string name_, path_;
  bool ok_ = false;
};

bool CanRunRealPppd(std::string* why) {
  if (::access("/usr/sbin/pppd", X_OK) != 0) {
    *why = "/usr/sbin/pppd is not installed";
  } else if (::geteuid() != 0) {
    *why = "the dialer's options (linkname, plugin) are privileged: needs root";
  } else if (!std::filesystem::is_directory("/etc/ppp/peers")) {
    *why = "/etc/ppp/peers is missing";
  }
  return why->empty();
}

// pppd parses every option and loads its plugins before it needs the kernel's PPP support: an
// option or peer file it refuses ends it with 2, while our command line gets as far as the
// missing PPP support (4) - or, on a kernel with PPP, through "dryrun" to a clean exit.
TEST(RealPppd, AcceptsTheDialersCommandLine) {
  std::string why;
  if (!CanRunRealPppd(&why)) GTEST_SKIP() << why;
  SystemPeer peer;
  ASSERT_TRUE(peer.ok());
  PppdConfig config;
  config.extra_options = {"dryrun"};
  PppdDialer dialer(config);
  DialParams params;
  ASSERT_EQ(0, dialer.GetEntryDialParams(peer.name(), &params));
  params.user = "dial";
  params.password = "s3cret-pw";
  DialHandle handle = 0;
  ASSERT_EQ(0, dialer.Dial(params, &handle));
  const auto events = EventsUntilEnd(dialer, handle, 20000);
  ASSERT_FALSE(events.empty());
  const DialEvent end = events.back();
  EXPECT_NE(2, end.error) << "pppd refused the options";
  EXPECT_TRUE(end.error == 4 || (end.state == kDisconnected && end.error == 0))
      << "state " << end.state << " error " << end.error;

  // A peer that does not exist is refused by pppd with 2 - which the dialer never lets
  // happen: it asks for the peer file first.
  EXPECT_EQ(kPppdNoSuchEntry, dialer.GetEntryDialParams(peer.name() + "-missing", &params));
  ASSERT_EQ(0, dialer.Dial({peer.name() + "-missing", "", ""}, &handle));
  const auto refused = EventsUntilEnd(dialer, handle, 20000);
  ASSERT_FALSE(refused.empty());
  EXPECT_EQ(2, refused.back().error);
}

// The peer file is a FIFO, so pppd waits in its option parsing until the test has looked at
// its command line and environment.
TEST(RealPppd, ThePasswordIsNeitherOnItsCommandLineNorInItsEnvironment) {
  std::string why;
  if (!CanRunRealPppd(&why)) GTEST_SKIP() << why;
  SystemPeer peer(/*fifo=*/true);
  ASSERT_TRUE(peer.ok());
  PppdConfig config;
  config.extra_options = {"dryrun"};
  PppdDialer dialer(config);
  DialHandle handle = 0;
  ASSERT_EQ(0, dialer.Dial({peer.name(), "dial", "s3cret-pw"}, &handle));
  const pid_t pid = dialer.PidOf(handle);
  std::string cmdline, environ_text;
  for (int i = 0; i < 500 && cmdline.find("pppd") == std::string::npos; ++i) {
    cmdline = ProcFile(pid, "cmdline");
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  environ_text = ProcFile(pid, "environ");
  // Unblock pppd with the peer's options.
  {
    const int fd = ::open(peer.path().c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
      [[maybe_unused]] ssize_t n =
          ::write(fd, SystemPeer::kOptions, std::strlen(SystemPeer::kOptions));
      ::close(fd);
    }
  }
  EXPECT_NE(std::string::npos,
            cmdline.find(std::string("linkname") + '\0' + "pondrel-" + peer.name()));
  EXPECT_NE(std::string::npos, cmdline.find(std::string("passwordfd") + '\0' + "3"));
  EXPECT_EQ(std::string::npos, cmdline.find("s3cret-pw"));
  EXPECT_EQ(std::string::npos, environ_text.find("s3cret-pw"));
  const auto events = EventsUntilEnd(dialer, handle, 20000);
  ASSERT_FALSE(events.empty());
  EXPECT_NE(2, events.back().error);
}

}  // namespace
}  // namespace pondrel::dialup
