// The dial-up connection of one run: before the download it makes sure that the profile's
// dial-up entry is connected - it uses a connection of that name that is up already, or dials
// the entry and follows the dial's states - and after the download it can hang up what it
// dialled. Every state goes to the status line and to the state log info/rascon.log; the end
// of a dial goes to the run's activity log (P001, P002, P003).
//
// All of it runs on the run's control thread: the dial's events are handled when the thread
// calls HandleEvents between the steps of its waits.
#pragma once

#include <memory>
#include <string>

#include "common/dialup/dialer.h"
#include "downloader/run_context.h"

namespace pondrel::dl {

class ProgressReporter;

// The name of a connection state in the state log.
const char* DialStateName(int state);
// The status line for a connection state, or null when the state has none.
const char* DialStatusText(int state);

class CRasDialer {
 public:
  enum State { kIdle = 0, kConnected = 2, kDisconnected = 4, kFailed = 5 };

  // `library` may be null: the dialer is missing. `activity` is the run's log, `state_log`
  // the same run's rascon.log. `hang_up_wait_ms`: the pause after each hang-up, in which the
  // link goes down and its port becomes free.
  CRasDialer(std::unique_ptr<dialup::Dialer> library, const RunLog& activity,
             const RunLog& state_log, ProgressReporter* progress, int hang_up_wait_ms = 3000);
  ~CRasDialer();
  CRasDialer(const CRasDialer&) = delete;
  CRasDialer& operator=(const CRasDialer&) = delete;

  // 0: nothing to dial (no entry name, or a connection of that name is up already);
  // 1: dialling has started and events will follow; -2: dialling failed; -3: the entry's
  // dial parameters could not be read. `error_text` says why for -2 and -3.
  int Connect(const std::string& entry, const std::string& user, const std::string& password,
              std::string* error_text);
  // Hangs up the connection this object dialled and waits for the link to go down. -1 when
  // the dialer cannot hang up or another hang-up of this process is under way.
  int HangUp();
  void HangUpIfConnected();
  // Ends a dial that does not come to an end by itself. The dial then reports its end as an
  // event, as every dial does; the connection is still to be hung up.
  void CancelDial();

  // Handles the events that have arrived. Returns how many.
  int HandleEvents();
  // Whether Connect started a dial that has not ended yet.
  bool Dialling() const { return dialling_; }
  int state() const { return state_; }
  bool HoldsConnection() const { return handle_ != 0; }

 private:
  void OnEvent(const dialup::DialEvent& event);
  bool ErrorText(int code, std::string* text) const;

  std::unique_ptr<dialup::Dialer> library_;
  const RunLog& activity_;
  const RunLog& state_log_;
  ProgressReporter* progress_;
  int hang_up_wait_ms_;
  dialup::DialHandle handle_ = 0;
  int state_ = kIdle;
  bool dialling_ = false;
};

}  // namespace pondrel::dl
