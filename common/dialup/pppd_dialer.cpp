#include "common/dialup/pppd_dialer.h"

#include <dirent.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>

#include "common/clock.h"
#include "common/fs_util.h"

namespace pondrel::dialup {
namespace {

// The descriptor on which pppd finds the password (after 0, 1 and 2).
constexpr int kPasswordFd = 3;
// Descriptors handed to the child are first moved above this, out of the way of 0 to 3.
constexpr int kHighFd = 10;
// A line of pppd's output longer than this is cut; pppd's own lines are at most 1024 bytes.
constexpr std::size_t kMaxLine = 4096;
// A password that does not fit a pipe's buffer at once cannot be handed over this way.
constexpr std::size_t kMaxPassword = 4096;

int PidfdOpen(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }
int PidfdSignal(int pidfd, int sig) {
  return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd, sig, nullptr, 0));
}

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
    text.remove_suffix(1);
  return text;
}

// The first word of `text`.
std::string FirstWord(std::string_view text) {
  text = Trim(text);
  const auto end = text.find_first_of(" \t\r\n");
  return std::string(text.substr(0, end));
}

// Whether the command line of process `pid` holds "linkname <link>", i.e. it is pppd
// running that link (and not some process that got the pid of a pppd that has ended).
bool RunsLink(pid_t pid, const std::string& link) {
  std::string cmdline;
  if (!ReadWholeFile("/proc/" + std::to_string(pid) + "/cmdline", &cmdline, 1 << 20)) return false;
  const std::string needle = std::string("linkname") + '\0' + link + '\0';
  return cmdline.find(needle) != std::string::npos;
}

// Moves `fd` to a close-on-exec descriptor at or above kHighFd.
UniqueFd Lift(UniqueFd fd) {
  if (!fd) return fd;
  return UniqueFd(::fcntl(fd.get(), F_DUPFD_CLOEXEC, kHighFd));
}

}  // namespace

// ---- log parser --------------------------------------------------------------------------

PppdLogNote PppdLogParser::ParseLine(std::string_view line) {
  PppdLogNote note;
  line = Trim(line);
  // pppd's messages, as this version writes them (see the test data of the dialer).
  if (line == "Serial connection established.") {
    note.state = kDeviceConnected;
  } else if (StartsWith(line, "PPP session is ")) {  // PPPoE: the session with the concentrator
    note.state = kDeviceConnected;
  } else if (StartsWith(line, "Using interface ")) {
    note.ifname = FirstWord(line.substr(16));
  } else if (StartsWith(line, "Connect: ")) {  // "Connect: ppp0 <--> /dev/ttyUSB0"
    note.state = kAllDevicesConnected;
    note.ifname = FirstWord(line.substr(9));
  } else if (line.ends_with("authentication succeeded") && line.find(" peer ") == line.npos) {
    // "PAP authentication succeeded", "CHAP authentication succeeded": we are authenticated.
    // "PAP peer authentication succeeded for x" is the peer authenticating to us.
    note.state = kAuthenticated;
  } else if (StartsWith(line, "local  IP address ") || StartsWith(line, "local  LL address ")) {
    note.state = kProjected;
    note.address = true;
  }
  if (note.ifname.size() > IFNAMSIZ - 1) note.ifname.clear();
  return note;
}

std::vector<PppdLogNote> PppdLogParser::Feed(std::string_view chunk) {
  std::vector<PppdLogNote> notes;
  for (char c : chunk) {
    if (c == '\n') {
      notes.push_back(ParseLine(partial_));
      partial_.clear();
    } else if (partial_.size() < kMaxLine) {
      partial_.push_back(c);
    }
  }
  return notes;
}

// ---- texts -------------------------------------------------------------------------------

std::string PppdExitText(int status) {
  switch (status) {
    case 1: return "pppd ended with a fatal error (a system call failed or memory ran out).";
    case 2: return "pppd refused the options of the connection (peer file or command line).";
    case 3: return "pppd is not setuid-root and the invoking user is not root.";
    case 4: return "The kernel does not support PPP.";
    case 5: return "pppd was terminated by a signal.";
    case 6: return "The serial port could not be locked.";
    case 7: return "The serial port could not be opened.";
    case 8: return "The connect script failed.";
    case 9: return "The pty command could not be run.";
    case 10: return "The PPP negotiation failed.";
    case 11: return "The peer failed or refused to authenticate itself.";
    case 12: return "The link was terminated because it was idle.";
    case 13: return "The link was terminated because the connect time limit was reached.";
    case 14: return "Callback was negotiated; an incoming call should arrive shortly.";
    case 15: return "The link was terminated because the peer is not responding to echo requests.";
    case 16: return "The link was terminated by the modem hanging up.";
    case 17: return "The PPP negotiation failed because serial loopback was detected.";
    case 18: return "The init script failed.";
    case 19: return "Authentication to the peer failed.";
    default: return "";
  }
}

bool InterfaceUpWithAddress(const std::string& ifname) {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return false;
  bool up = false;
  for (ifaddrs* a = list; a && !up; a = a->ifa_next) {
    if (!a->ifa_name || ifname != a->ifa_name || !a->ifa_addr) continue;
    const int family = a->ifa_addr->sa_family;
    up = (a->ifa_flags & IFF_UP) && (family == AF_INET || family == AF_INET6);
  }
  ::freeifaddrs(list);
  return up;
}

std::vector<std::string> PppdDialOptions(const PppdConfig& config, const DialParams& params,
                                         int password_fd) {
  // Options after "call" override those of the peer file.
  std::vector<std::string> o = {"call",      params.entry, "nodetach",
                                "nopersist", "linkname",   config.link_prefix + params.entry,
                                "logfd",     "1"};
  if (!params.user.empty()) {
    o.insert(o.end(), {"user", params.user});
  }
  if (password_fd >= 0) {
    // The plugin's option exists only once the plugin is loaded.
    o.insert(o.end(), {"plugin", "passwordfd.so", "passwordfd", std::to_string(password_fd)});
  }
  o.insert(o.end(), config.extra_options.begin(), config.extra_options.end());
  return o;
}

// ---- the dialer --------------------------------------------------------------------------

std::unique_ptr<PppdDialer> PppdDialer::Load(PppdConfig config) {
  struct stat st;
  if (::stat(config.pppd_path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
  return std::make_unique<PppdDialer>(std::move(config));
}

PppdDialer::PppdDialer(PppdConfig config) : config_(std::move(config)) {}

PppdDialer::~PppdDialer() {
  // A link that is up stays up: its pppd runs on in its own session. A pppd that was told to
  // hang up is given its grace time and then killed, so that no half-closed link is left.
  for (auto& [handle, link] : links_) {
    if (link.exited || !link.hang_up_asked) continue;
    // Polled every 20 ms; the count bounds the wait should the clock stand still.
    for (int polls = 0; !link.exited && !link.killed; ++polls) {
      Reap(link, false);
      if (link.exited) break;
      if (GetClock().SteadyMs() - link.hang_up_at_ms >= config_.hang_up_grace_ms ||
          polls * 20 >= config_.hang_up_grace_ms) {
        PidfdSignal(link.pidfd.get(), SIGKILL);
        link.killed = true;
        Reap(link, true);
        break;
      }
      ::usleep(20 * 1000);
    }
  }
}

int PppdDialer::EnumEntries(std::vector<std::string>* names) {
  names->clear();
  DIR* dir = ::opendir(config_.peers_dir.c_str());
  if (!dir) return kPppdNoSuchEntry;
  while (dirent* e = ::readdir(dir)) {
    const std::string name = e->d_name;
    if (name.empty() || name[0] == '.' || !IsValidEntryName(name)) continue;
    struct stat st;
    if (::stat(JoinPath(config_.peers_dir, name).c_str(), &st) == 0 && S_ISREG(st.st_mode))
      names->push_back(name);
  }
  ::closedir(dir);
  std::sort(names->begin(), names->end());
  return 0;
}

int PppdDialer::EnumConnections(std::vector<std::string>* entries) {
  entries->clear();
  DIR* dir = ::opendir(config_.run_dir.c_str());
  if (!dir) return 0;
  const std::string prefix = "ppp-" + config_.link_prefix;
  const std::string suffix = ".pid";
  while (dirent* e = ::readdir(dir)) {
    const std::string name = e->d_name;
    if (name.size() <= prefix.size() + suffix.size() || !StartsWith(name, prefix) ||
        !name.ends_with(suffix))
      continue;
    const std::string entry =
        name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
    std::string text;
    if (!ReadWholeFile(JoinPath(config_.run_dir, name), &text, 4096)) continue;
    // "<pid>\n", and "<interface>\n" once the link has one: pppd writes the file as it
    // starts dialling and again when the interface exists.
    char* end = nullptr;
    const long pid = std::strtol(text.c_str(), &end, 10);
    if (pid <= 1 || pid > INT32_MAX || *end != '\n') continue;
    const std::string ifname =
        FirstWord(std::string_view(text).substr(static_cast<std::size_t>(end + 1 - text.c_str())));
    if (RunsLink(static_cast<pid_t>(pid), LinkName(entry)) && InterfaceUp(ifname))
      entries->push_back(entry);
  }
  ::closedir(dir);
  std::sort(entries->begin(), entries->end());
  return 0;
}

int PppdDialer::GetEntryDialParams(const std::string& entry, DialParams* params) {
  if (!IsValidEntryName(entry)) return kPppdNoSuchEntry;
  // The peer file must be a regular file that can be read; a stat, so that a special file
  // there is never opened.
  const std::string path = JoinPath(config_.peers_dir, entry);
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || ::access(path.c_str(), R_OK) != 0)
    return kPppdNoSuchEntry;
  *params = DialParams{};
  params->entry = entry;
  return 0;
}

namespace {

// The password in a pipe whose write end is closed before pppd starts: pppd reads it to its
// end when the peer asks for authentication. Its read end (lifted above the numbers the child
// uses) in *read_end, none for an empty password. 0, or the errno value.
int PasswordPipe(const std::string& password, UniqueFd* read_end) {
  if (password.empty()) return 0;
  int p[2];
  if (::pipe2(p, O_CLOEXEC) != 0) return errno;
  UniqueFd r(p[0]), w(p[1]);
  if (!WriteAll(w.get(), password)) return errno;
  w.reset();
  *read_end = Lift(std::move(r));
  return *read_end ? 0 : errno;
}

// The descriptors pppd is started with.
struct PppdStdio {
  int devnull;      // its standard input
  int output;       // its standard output and error
  int password;     // becomes kPasswordFd, or -1
  int exec_report;  // where a failure before the exec is written as an errno value
};

// The child's side of the fork (async-signal-safe calls only): pppd in a session of its own.
[[noreturn]] void ExecPppd(const char* exe, char** argv, char** envp, const PppdStdio& fds) {
  for (int s = 1; s < NSIG; ++s)
    if (s != SIGKILL && s != SIGSTOP) ::signal(s, SIG_DFL);
  sigset_t empty;
  sigemptyset(&empty);
  ::sigprocmask(SIG_SETMASK, &empty, nullptr);
  ::setsid();
  int err = 0;
  if (::dup2(fds.devnull, 0) < 0 || ::dup2(fds.output, 1) < 0 || ::dup2(fds.output, 2) < 0)
    err = errno;
  if (!err && fds.password >= 0 && ::dup2(fds.password, kPasswordFd) < 0) err = errno;
  if (!err) {
    ::close_range(fds.password >= 0 ? kPasswordFd + 1 : kPasswordFd, ~0U, CLOSE_RANGE_CLOEXEC);
    ::execve(exe, argv, envp);
    err = errno;
  }
  [[maybe_unused]] ssize_t w = ::write(fds.exec_report, &err, sizeof err);
  ::_exit(127);
}

// What the child said on its exec pipe: true, with the errno value, when pppd could not be
// started (the pipe closes without a word once it runs).
bool ReadExecReport(int fd, int* err) {
  ssize_t n;
  while ((n = ::read(fd, err, sizeof *err)) < 0 && errno == EINTR) {
  }
  return n > 0;
}

}  // namespace

int PppdDialer::Dial(const DialParams& params, DialHandle* handle) {
  *handle = 0;
  if (!IsValidEntryName(params.entry)) return kPppdNoSuchEntry;
  if (params.password.size() > kMaxPassword) return kPppdStartFailedBase + E2BIG;
  auto fail = [](int err) { return kPppdStartFailedBase + err; };

  UniqueFd password_r;
  if (int err = PasswordPipe(params.password, &password_r)) return fail(err);
  int out[2], exec_pipe[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return fail(errno);
  UniqueFd out_r(out[0]), out_w(Lift(UniqueFd(out[1])));
  if (!out_w) return fail(errno);
  if (::pipe2(exec_pipe, O_CLOEXEC) != 0) return fail(errno);
  UniqueFd exec_r(exec_pipe[0]), exec_w(Lift(UniqueFd(exec_pipe[1])));
  UniqueFd devnull(Lift(UniqueFd(::open("/dev/null", O_RDWR | O_CLOEXEC))));
  if (!exec_w || !devnull) return fail(errno);

  // Everything the child needs is built before the fork.
  std::vector<std::string> args = PppdDialOptions(config_, params, password_r ? kPasswordFd : -1);
  args.insert(args.begin(), config_.pppd_path);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::string path_var = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";
  char* envp[] = {path_var.data(), nullptr};

  const pid_t pid = ::fork();
  if (pid < 0) return fail(errno);
  if (pid == 0) {
    ExecPppd(config_.pppd_path.c_str(), argv.data(), envp,
             {devnull.get(), out_w.get(), password_r ? password_r.get() : -1, exec_w.get()});
  }
  out_w.reset();
  exec_w.reset();
  password_r.reset();
  int child_err = 0;
  const bool refused = ReadExecReport(exec_r.get(), &child_err);
  UniqueFd pidfd(refused ? -1 : PidfdOpen(pid));
  if (refused || !pidfd) {
    const int err = refused ? child_err : errno;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return fail(err);
  }
  ::fcntl(out_r.get(), F_SETFL, O_NONBLOCK);

  const DialHandle id = next_handle_++;
  Link& link = links_[id];
  link.entry = params.entry;
  link.pid = pid;
  link.pidfd = std::move(pidfd);
  link.output = std::move(out_r);
  // pppd opens the device and runs its connect script (the dialling) at once.
  link.events.push_back({kOpenPort, kDialNoError});
  link.events.push_back({kConnectDevice, kDialNoError});
  link.last_state = kConnectDevice;
  *handle = id;
  return 0;
}

bool PppdDialer::InterfaceUp(const std::string& ifname) const {
  if (ifname.empty()) return false;
  return config_.interface_up ? config_.interface_up(ifname) : InterfaceUpWithAddress(ifname);
}

void PppdDialer::ReadOutput(Link& link) {
  if (!link.output) return;
  char buf[4096];
  for (;;) {
    const ssize_t n = ::read(link.output.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) link.output.reset();  // every writer has gone
      return;
    }
    for (const PppdLogNote& note :
         link.parser.Feed(std::string_view(buf, static_cast<std::size_t>(n)))) {
      if (!note.ifname.empty()) link.ifname = note.ifname;
      if (note.address) link.address = true;
      // States are reported while the dial goes on, and only forwards.
      if (note.state >= 0 && !link.connected && note.state != link.last_state) {
        link.events.push_back({note.state, kDialNoError});
        link.last_state = note.state;
      }
    }
  }
}

void PppdDialer::Reap(Link& link, bool wait) {
  if (link.exited) return;
  siginfo_t info{};
  int rc;
  while ((rc = ::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(link.pidfd.get()), &info,
                        WEXITED | (wait ? 0 : WNOHANG))) != 0 &&
         errno == EINTR) {
  }
  if (rc != 0 || info.si_pid == 0) return;
  link.exited = true;
  ReadOutput(link);  // the last lines before the exit come first

  DialEvent end{kDisconnected, kDialNoError};
  const bool by_signal = info.si_code == CLD_KILLED || info.si_code == CLD_DUMPED;
  const int status = info.si_status;
  if (link.hang_up_asked) {
    // Our own hang-up: the link ended as asked, however pppd went.
  } else if (by_signal) {
    end = {link.connected ? kDisconnected : link.last_state, kPppdKilledBase + status};
  } else if (status == 0 || status == 5) {
    // Ended at the peer's request, or told to end by someone else.
  } else if (link.connected) {
    end.error = status;  // the link dropped: idle, connect time, modem hang-up, no echo...
  } else {
    end = {link.last_state, status};
  }
  link.events.push_back(end);
}

void PppdDialer::Service(Link& link) {
  ReadOutput(link);
  Reap(link, false);
  if (link.exited) return;
  if (!link.connected && link.address && InterfaceUp(link.ifname)) {
    link.connected = true;
    link.events.push_back({kConnected, kDialNoError});
  }
  if (link.hang_up_asked && !link.killed &&
      GetClock().SteadyMs() - link.hang_up_at_ms >= config_.hang_up_grace_ms) {
    PidfdSignal(link.pidfd.get(), SIGKILL);
    link.killed = true;
  }
}

bool PppdDialer::NextEvent(DialHandle handle, DialEvent* event) {
  auto it = links_.find(handle);
  if (it == links_.end()) return false;
  Link& link = it->second;
  if (link.events.empty()) Service(link);
  if (link.events.empty()) return false;
  *event = link.events.front();
  link.events.pop_front();
  return true;
}

int PppdDialer::HangUp(DialHandle handle) {
  auto it = links_.find(handle);
  if (it == links_.end()) return kPppdInvalidHandle;
  Link& link = it->second;
  Reap(link, false);
  if (link.exited || link.hang_up_asked) return 0;
  if (PidfdSignal(link.pidfd.get(), SIGTERM) != 0 && errno != ESRCH)
    return kPppdStartFailedBase + errno;
  link.hang_up_asked = true;
  link.hang_up_at_ms = GetClock().SteadyMs();
  return 0;
}

bool PppdDialer::ErrorString(int code, std::string* text) {
  if (code == kPppdNoSuchEntry) {
    *text = "The connection has no peer file in " + config_.peers_dir + ".";
  } else if (code >= kPppdStartFailedBase) {
    *text = "pppd could not be started: " + std::string(std::strerror(code - kPppdStartFailedBase));
  } else if (code >= kPppdKilledBase) {
    const int sig = code - kPppdKilledBase;
    const char* name = sigabbrev_np(sig);
    *text = "pppd was killed by signal " + std::to_string(sig) +
            (name ? std::string(" (SIG") + name + ")" : "") + ".";
  } else {
    *text = PppdExitText(code);
  }
  return !text->empty();
}

pid_t PppdDialer::PidOf(DialHandle handle) const {
  auto it = links_.find(handle);
  return it == links_.end() ? -1 : it->second.pid;
}

}  // namespace pondrel::dialup
