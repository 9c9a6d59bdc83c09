// The system's dial-up service: the phonebook of dial-up entries, the active connections,
// dialling an entry asynchronously with its progress reported as connection states, hanging
// up, and the texts of dial errors.
//
// A backend is chosen when the dialer is loaded (LoadDialer): the system's PPP peers driven
// by pppd, or, for tests, a dial played from a script named by the environment. A missing
// backend (no pppd installed, an unreadable script) is a dialer that is not there at all, and
// a backend may lack single functions; callers ask Has() before they use one.
//
// Every call comes from one thread. Dial events are fetched with NextEvent, which never
// blocks: the caller polls it between the steps of its own wait loop.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace pondrel::dialup {

// Connection states reported while a dial goes on.
enum ConnectionState : int {
  kOpenPort = 0,
  kPortOpened = 1,
  kConnectDevice = 2,
  kDeviceConnected = 3,
  kAllDevicesConnected = 4,
  kAuthenticate = 5,
  kAuthNotify = 6,
  kAuthRetry = 7,
  kAuthCallback = 8,
  kAuthChangePassword = 9,
  kAuthProject = 10,
  kAuthLinkSpeed = 11,
  kAuthAck = 12,
  kReAuthenticate = 13,
  kAuthenticated = 14,
  kPrepareForCallback = 15,
  kWaitForModemReset = 16,
  kWaitForCallback = 17,
  kProjected = 18,
  kStartAuthentication = 19,
  kCallbackComplete = 20,
  kLogonNetwork = 21,
  kSubEntryConnected = 22,
  kSubEntryDisconnected = 23,
  kInteractive = 4096,
  kRetryAuthentication = 4097,
  kCallbackSetByCaller = 4098,
  kPasswordExpired = 4099,
  kConnected = 8192,
  kDisconnected = 8193,
};

// Error codes that every backend shares; the others are the backend's own.
enum DialError : int {
  kDialNoError = 0,
  kDialPortAlreadyOpen = 602,
  kDialBufferTooSmall = 603,
};

// The functions a backend may offer.
enum class DialerFunction {
  kEnumEntries,
  kDial,
  kHangUp,
  kEnumConnections,
  kErrorString,
  kGetEntryDialParams,
  kGetConnectStatus,
};

// What a dial needs. The password is a secret: backends hand it to the link only over a
// private channel and never write it anywhere.
struct DialParams {
  std::string entry;
  std::string user;
  std::string password;
};

// One step of a dial: the state reached and, when the dial failed there, an error code.
struct DialEvent {
  int state = kOpenPort;
  int error = kDialNoError;
};

// A dial started by this backend; 0 is none.
using DialHandle = int;

class Dialer {
 public:
  virtual ~Dialer() = default;

  virtual bool Has(DialerFunction function) const = 0;
  // The entry names of the phonebook. 0 or an error code.
  virtual int EnumEntries(std::vector<std::string>* names) = 0;
  // The entry names of the connections that are up now, whoever made them. 0 or an error code.
  virtual int EnumConnections(std::vector<std::string>* entries) = 0;
  // The stored dial parameters of `entry`. 0, or an error code when the entry cannot be read
  // (no such entry, or a name that cannot be an entry at all).
  virtual int GetEntryDialParams(const std::string& entry, DialParams* params) = 0;
  // Starts dialling. 0 with `*handle` set and events to follow, or an error code (`*handle`
  // may still be set when the dial had begun; it is then to be hung up).
  virtual int Dial(const DialParams& params, DialHandle* handle) = 0;
  // The next event of the dial `handle`, if one is due; never blocks. A dial that ended
  // (connected, disconnected, failed) reports that once and stays quiet afterwards, except
  // that a connection which drops later reports kDisconnected.
  virtual bool NextEvent(DialHandle handle, DialEvent* event) = 0;
  // Starts hanging up the dial or connection `handle`; the link goes down shortly after.
  // A dial that had not ended yet then reports kDisconnected. 0 or an error code.
  virtual int HangUp(DialHandle handle) = 0;
  // The text of an error code; false when the backend has none for it.
  virtual bool ErrorString(int code, std::string* text) = 0;
};

// The environment variable that selects the scripted backend (tests only; an installation
// never sets it): the path of the dial script. See scripted_dialer.h.
inline constexpr char kDialScriptVariable[] = "PONDREL_DIALER_SCRIPT";

// The system's dialer: the scripted one when the environment names a script, else pppd.
// Null when the backend is missing.
std::unique_ptr<Dialer> LoadDialer();

// Whether `entry` may name a phonebook entry. An entry name becomes a file name under the
// peers directory, so a name that is empty, holds "/" or "..", or holds a control character
// is refused before anything runs.
bool IsValidEntryName(std::string_view entry);

}  // namespace pondrel::dialup
