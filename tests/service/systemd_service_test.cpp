// The service under systemd without a systemd: the unit file text, and the notify protocol
// heard on a socket of the test's own given as NOTIFY_SOCKET while the real service loop runs.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "common/systemd.h"
#include "common/unique_fd.h"
#include "service/systemd_service.h"
#include "tests/support/test_env.h"

#include <gtest/gtest.h>

namespace pondrel::test {
namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::string line;
  for (char c : text) {
    if (c == '\n') {
      out.push_back(line);
      line.clear();
    } else {
      line += c;
    }
  }
  if (!line.empty()) out.push_back(line);
  return out;
}

bool HasLine(const std::string& text, const std::string& wanted) {
  for (const auto& l : Lines(text))
    if (l == wanted) return true;
  return false;
}

TEST(SystemdUnit, NotifyServiceWithRuntimeDirectoryGroupAndBoundedStop) {
  UnitFileSettings s;
  s.description = "Pondrel Task Scheduler Service";
  s.exec_path = "/usr/lib/pondrel/zoricsm";
  s.group = "pondrel";
  s.after = "network.target";
  s.alias = "pondrel.service";
  const std::string u = BuildUnitFile(s);
  for (const char* line :
       {"[Unit]", "Description=Pondrel Task Scheduler Service", "After=network.target", "[Service]",
        "Type=notify", "ExecStart=/usr/lib/pondrel/zoricsm", "User=root", "Group=pondrel",
        "RuntimeDirectory=pondrel", "RuntimeDirectoryMode=2770", "KillMode=mixed",
        "NoNewPrivileges=yes", "ProtectSystem=full", "PrivateTmp=yes", "[Install]",
        "WantedBy=multi-user.target", "Alias=pondrel.service"})
    EXPECT_TRUE(HasLine(u, line)) << line << "\n" << u;
  // The service is run without an option word: that is the "under the service manager" mode.
  EXPECT_EQ(u.find("-start"), std::string::npos);
  EXPECT_EQ(UnitNameFor("KESTOVA"), "kestova.service");
}

TEST(SystemdUnit, ValuesCannotAddSettingsOrSpecifiers) {
  UnitFileSettings s;
  s.description = "Name\nExecStartPre=/bin/evil 100%";
  s.exec_path = "/opt/my pondrel/zoricsm";
  const std::string u = BuildUnitFile(s);
  // One line each; "%" doubled so systemd does not read it as a specifier.
  EXPECT_TRUE(HasLine(u, "Description=Name ExecStartPre=/bin/evil 100%%")) << u;
  for (const auto& l : Lines(u)) EXPECT_NE(l.rfind("ExecStartPre=", 0), 0u) << l;
  EXPECT_TRUE(HasLine(u, "ExecStart=\"/opt/my pondrel/zoricsm\"")) << u;
  // Without the installation's group there is no Group= line (systemd would refuse a
  // group that does not exist).
  for (const auto& l : Lines(u)) EXPECT_NE(l.rfind("Group=", 0), 0u) << l;
}

TEST(SystemdUnit, PrivateInstallationsNeverSeeTheMachinesServiceManager) {
  ScopedTestEnv env;  // sets PONDREL_SERVICE_MANAGER=none
  EXPECT_FALSE(systemd::IsBooted());
  EXPECT_EQ(CreateServiceManager()->Family(), 2);
}

// A service body that reports running and then waits for its stop.
class WaitingBody : public ServiceBody {
 public:
  explicit WaitingBody(ServiceManager* scm) : scm_(scm) {}
  int serviceBodyMain() override {
    scm_->ReportRunning();
    while (!stop_.load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return 0;
  }
  int serviceBodyStop() override {
    stop_.store(true);
    return 0;
  }

 private:
  ServiceManager* scm_;
  std::atomic<bool> stop_{false};
};

TEST(SystemdNotify, StatesReachTheNotifySocketInOrder) {
  ScopedTestEnv env;
  const std::string sock_path = env.Path("notify.sock");
  UniqueFd sock(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  ASSERT_TRUE(sock.valid());
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  ASSERT_LT(sock_path.size(), sizeof addr.sun_path);
  std::copy(sock_path.begin(), sock_path.end(), addr.sun_path);
  ASSERT_EQ(::bind(sock.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  timeval tv{5, 0};
  ::setsockopt(sock.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setenv("NOTIFY_SOCKET", sock_path.c_str(), 1);

  SystemdServiceManager scm;
  ASSERT_TRUE(scm.Setup("PONDRELTEST", "Pondrel test service", {}, 0));
  WaitingBody body(&scm);
  std::thread run([&] { EXPECT_TRUE(scm.RunUnderManager(&body)); });

  auto next = [&] {
    char buf[512];
    ssize_t n = ::recv(sock.get(), buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string("<nothing>");
  };
  EXPECT_EQ(next(), "STATUS=Starting");
  const std::string ready = next();
  EXPECT_TRUE(HasLine(ready, "READY=1")) << ready;
  EXPECT_TRUE(scm.IsRunning());

  // A second instance of the same service fails while the first runs.
  SystemdServiceManager second;
  ASSERT_TRUE(second.Setup("PONDRELTEST", "Pondrel test service", {}, 0));
  WaitingBody other(&second);
  EXPECT_FALSE(second.RunUnderManager(&other));
  EXPECT_EQ(next(), "STATUS=Starting");  // the second one's attempt, nothing more

  scm.RequestStop();
  const std::string stopping = next();
  EXPECT_TRUE(HasLine(stopping, "STOPPING=1")) << stopping;
  EXPECT_EQ(next(), "STATUS=Stopped");
  run.join();
  EXPECT_FALSE(scm.IsRunning());
  unsetenv("NOTIFY_SOCKET");
}

}  // namespace
}  // namespace pondrel::test
