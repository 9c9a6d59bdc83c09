#include "downloader/ras_dialer.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "common/clock.h"
#include "common/text_util.h"
#include "downloader/progress_reporter.h"
#include "downloader/result_codes.h"

namespace pondrel::dl {
namespace {

using dialup::DialerFunction;

// 1 while no hang-up of this process is under way.
std::atomic<int> g_hang_up_guard{1};

// Waits `ms` by the process clock, in short sleeps.
void Pause(int ms) {
  const std::int64_t end = GetClock().SteadyMs() + ms;
  // The count bounds the wait should the clock stand still.
  for (int slept = 0; slept < ms && GetClock().SteadyMs() < end; slept += 20) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min(20, ms - slept)));
  }
}

}  // namespace

const char* DialStateName(int state) {
  switch (state) {
    case 0: return "Opening Port";
    case 1: return "Port Opened";
    case 2: return "Connecting Device";
    case 3: return "Device Connected";
    case 4: return "All DevicesConnected";
    case 5:
    case 19: return "Starting Authentication";
    case 6: return "Authentication Notify";
    case 7: return "Authentication Retry";
    case 8: return "Callback Requested";
    case 9: return "Change Password Requested";
    case 10: return "Projection Phase Started";
    case 11: return "Link Speed Calculation";
    case 12: return "Authentication Acknowledged";
    case 13: return "Reauthenticatation Started";
    case 14: return "Authenticated";
    case 15: return "Preparation For Callback";
    case 16: return "Waiting For Modem Reset";
    case 17: return "Waiting For Callback";
    case 18: return "Projected";
    case 20: return "Callback Complete";
    case 21: return "Complete Network Logon";
    case 22: return "SubEntryConnected";
    case 23: return "SubEntryDisconnected";
    case 4096: return "Interactive";
    case 4097: return "Retry Authentication";
    case 4098: return "Callback Set By Caller";
    case 4099: return "Password Expired";
    case 8192: return "Connected";
    case 8193: return "Disconnected";
    default: return "Undefine Error Code";
  }
}

const char* DialStatusText(int state) {
  switch (state) {
    case 0: return "Preparing for the connection.";
    case 1: return "The port is already opened.";
    case 2: return "Dialing.";
    case 5:
    case 19: return "User authentication has started.";
    case 14: return "User authentication has completed.";
    case 21: return "Logged on to the network.";
    case 8192: return "Connected.";
    case 8193: return "Disconnected.";
    default: return nullptr;
  }
}

CRasDialer::CRasDialer(std::unique_ptr<dialup::Dialer> library, const RunLog& activity,
                       const RunLog& state_log, ProgressReporter* progress, int hang_up_wait_ms)
    : library_(std::move(library)),
      activity_(activity),
      state_log_(state_log),
      progress_(progress),
      hang_up_wait_ms_(hang_up_wait_ms) {}

// Releasing the dialer does not hang up: a connection left up serves the next runs.
CRasDialer::~CRasDialer() = default;

bool CRasDialer::ErrorText(int code, std::string* text) const {
  text->clear();
  if (!library_ || !library_->Has(DialerFunction::kErrorString)) return false;
  return library_->ErrorString(code, text) && !text->empty();
}

int CRasDialer::Connect(const std::string& entry, const std::string& user,
                        const std::string& password, std::string* error_text) {
  error_text->clear();
  if (entry.empty()) return 0;

  // A connection of that name that is up already is used as it is.
  if (library_ && library_->Has(DialerFunction::kEnumConnections) &&
      library_->Has(DialerFunction::kGetConnectStatus)) {
    std::vector<std::string> up;
    if (library_->EnumConnections(&up) == 0 && std::find(up.begin(), up.end(), entry) != up.end())
      return 0;
  }

  dialup::DialParams params;
  if (!library_ || !library_->Has(DialerFunction::kGetEntryDialParams) ||
      library_->GetEntryDialParams(entry, &params) != 0) {
    *error_text = "Failed to get RAS entry parameters.(entry name : '" + EscapeForLog(entry) + "')";
    return -3;
  }
  if (!user.empty()) params.user = user;
  if (!password.empty()) params.password = password;

  if (!library_->Has(DialerFunction::kDial) || !library_->Has(DialerFunction::kErrorString)) {
    *error_text = "Undefined RAS Dial Error ";
    return -2;
  }
  const int rc = library_->Dial(params, &handle_);
  if (rc == 0) {
    dialling_ = true;
    return 1;
  }
  // The dialer's own text says most; a busy port keeps its fixed text. Only a dial this
  // object began is hung up: other connections (of other runs, or the user's) stay up.
  if (rc == dialup::kDialPortAlreadyOpen) {
    *error_text = "Port already opend.";
  } else if (!ErrorText(rc, error_text)) {
    *error_text = "Undefined RAS Dial Error ";
  }
  HangUp();
  return -2;
}

int CRasDialer::HangUp() {
  if (!library_ || !library_->Has(DialerFunction::kHangUp)) return -1;
  int expected = 1;
  if (!g_hang_up_guard.compare_exchange_strong(expected, 0)) return -1;
  if (handle_ != 0) {
    if (library_->HangUp(handle_) == 0) handle_ = 0;
    Pause(hang_up_wait_ms_);
  }
  g_hang_up_guard.store(1);
  return 0;
}

void CRasDialer::HangUpIfConnected() {
  if (handle_ != 0) HangUp();
}

void CRasDialer::CancelDial() {
  if (dialling_ && handle_ != 0 && library_ && library_->Has(DialerFunction::kHangUp))
    library_->HangUp(handle_);
}

int CRasDialer::HandleEvents() {
  int handled = 0;
  dialup::DialEvent event;
  while (library_ && handle_ != 0 && library_->NextEvent(handle_, &event)) {
    OnEvent(event);
    ++handled;
  }
  return handled;
}

void CRasDialer::OnEvent(const dialup::DialEvent& event) {
  if (const char* status = DialStatusText(event.state)) progress_->Status(status);

  std::string error_text;
  const bool has_text = event.error != 0 && ErrorText(event.error, &error_text);
  std::string line = DialStateName(event.state);
  if (has_text) line += " [error = '" + EscapeForLog(error_text) + "' ]";
  line += " (P001)";
  state_log_.Write(event.error != 0 ? kLogError : kLogInfo, line);

  if (event.error != 0) {
    if (has_text) {
      activity_.Writef(kLogError, kMsgDialError, EscapeForLog(error_text).c_str());
    } else {
      activity_.Write(kLogError, kMsgDialFailed);
    }
    state_ = kFailed;
    dialling_ = false;
  } else if (event.state == dialup::kConnected) {
    activity_.Write(kLogInfo, kMsgDialConnected);
    state_ = kConnected;
    dialling_ = false;
  } else if (event.state == dialup::kDisconnected) {
    state_ = kDisconnected;
    dialling_ = false;
  }
}

}  // namespace pondrel::dl
