// The dialer over the system's PPP peers, the way Debian brings a PPP link up: the phonebook
// is the files of /etc/ppp/peers, and a dial is `pppd call <entry>` run as a child.
//
// - pppd runs with `nodetach` so that its log output (standard output and error, on a pipe)
//   and its exit status reach the dialer, and in a session of its own, so that a link left up
//   after the run outlives the process that dialled it.
// - `linkname pondrel-<entry>` gives the link a name of its own: pppd writes its pid (and,
//   once the link has an interface, the interface's name) to <run dir>/ppp-<linkname>.pid.
//   A connection counts as up while that file names a live pppd of that link and an
//   interface that is up with an address.
// - The account replaces the peer file's `user`; the password is handed over a pipe read by
//   Debian's passwordfd plugin. Neither the command line nor the environment of pppd (which
//   gets only PATH) holds the password, and it is never written to a file.
// - Progress comes from pppd's own log lines (PppdLogParser); the dial counts as connected
//   when the link's interface is up with an address. pppd's exit status says why a dial or
//   a link ended (PppdExitText).
// - Hanging up is SIGTERM to that pppd; one that has not ended a while later is killed.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/dialup/dialer.h"
#include "common/unique_fd.h"

namespace pondrel::dialup {

// Error codes of this backend, beyond pppd's own exit statuses (1 to 19).
enum PppdError : int {
  kPppdNoSuchEntry = 623,  // no peer file of that name, or a name that cannot be one
  kPppdInvalidHandle = 6,
  kPppdKilledBase = 1000,       // + the signal that ended pppd
  kPppdStartFailedBase = 2000,  // + errno of starting pppd
};

struct PppdConfig {
  std::string pppd_path = "/usr/sbin/pppd";
  std::string peers_dir = "/etc/ppp/peers";
  std::string run_dir = "/run";
  std::string link_prefix = "pondrel-";
  // Options appended to the command line (tests add "dryrun").
  std::vector<std::string> extra_options;
  // How long a pppd that was told to hang up may take before it is killed.
  int hang_up_grace_ms = 10000;
  // Whether the interface is up with an address; empty = the system's interfaces.
  std::function<bool(const std::string& ifname)> interface_up;
};

// What one line of pppd's log output says about the link.
struct PppdLogNote {
  int state = -1;        // a connection state reached, or -1
  std::string ifname;    // the link's interface, when the line names it
  bool address = false;  // the link has its local address
};

// Reads pppd's log output line by line.
class PppdLogParser {
 public:
  // Takes a chunk of output; the notes of the complete lines in it.
  std::vector<PppdLogNote> Feed(std::string_view chunk);
  // One line without its line feed.
  static PppdLogNote ParseLine(std::string_view line);

 private:
  std::string partial_;
};

// The text for one of pppd's exit statuses (its manual's list), or "" for an unknown one.
std::string PppdExitText(int status);

// Whether network interface `ifname` is up and has an IPv4 or IPv6 address.
bool InterfaceUpWithAddress(const std::string& ifname);

// pppd's command line for a dial, without the program: "call <entry> nodetach ...".
// `password_fd` is the descriptor number pppd reads the password from, or -1 for none.
std::vector<std::string> PppdDialOptions(const PppdConfig& config, const DialParams& params,
                                         int password_fd);

class PppdDialer final : public Dialer {
 public:
  // Null when pppd is not installed.
  static std::unique_ptr<PppdDialer> Load(PppdConfig config = {});
  explicit PppdDialer(PppdConfig config);
  ~PppdDialer() override;

  bool Has(DialerFunction) const override { return true; }
  int EnumEntries(std::vector<std::string>* names) override;
  int EnumConnections(std::vector<std::string>* entries) override;
  int GetEntryDialParams(const std::string& entry, DialParams* params) override;
  int Dial(const DialParams& params, DialHandle* handle) override;
  bool NextEvent(DialHandle handle, DialEvent* event) override;
  int HangUp(DialHandle handle) override;
  bool ErrorString(int code, std::string* text) override;

  // The process of a dial, for tests; -1 when unknown.
  pid_t PidOf(DialHandle handle) const;

 private:
  struct Link {
    std::string entry;
    pid_t pid = -1;
    UniqueFd pidfd;
    UniqueFd output;  // read end of pppd's standard output and error
    PppdLogParser parser;
    std::deque<DialEvent> events;
    std::string ifname;
    int last_state = kOpenPort;
    bool address = false;
    bool connected = false;
    bool exited = false;
    bool hang_up_asked = false;
    bool killed = false;
    std::int64_t hang_up_at_ms = 0;
  };

  void Service(Link& link);
  void ReadOutput(Link& link);
  void Reap(Link& link, bool wait);
  bool InterfaceUp(const std::string& ifname) const;
  std::string LinkName(const std::string& entry) const { return config_.link_prefix + entry; }

  PppdConfig config_;
  std::map<DialHandle, Link> links_;
  DialHandle next_handle_ = 1;
};

}  // namespace pondrel::dialup
