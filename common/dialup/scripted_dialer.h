// A dialer that plays dials from a script, for tests of everything above the dialer. It is
// chosen by the environment variable PONDREL_DIALER_SCRIPT (the script's path), which an
// installation never sets; a script that cannot be read is a missing dialer.
//
// The script, one directive per line ('#' starts a comment line):
//
//   entry <name>          a phonebook entry whose dial parameters can be read
//   missing <function>    the dialer lacks a function: enum-entries, dial, hang-up,
//                         enum-connections, error-string, get-entry-dial-params,
//                         get-connect-status
//   dial-error <code>     Dial fails at once with <code>
//   state <state> [<ms>]  <ms> after the step before, the dial reports connection state
//                         <state> (8192 is connected: the link is up from then on)
//   error <code> [<ms>]   the dial fails with <code> at the state reported last
//   drop [<ms>]           the link goes down (reports 8193)
//   hang                  nothing more happens until the dial is hung up
//   text <code> <text>    the text of error <code>
//
// Two files beside the script carry what the dials did, across processes:
//   <script>.links   the entries whose links are up, one a line (a test may fill it to play
//                    a connection made by someone else)
//   <script>.record  one line per dial ("dial <entry> user=<user> password=given|none") and
//                    per hang-up ("hang-up <entry>"); the password itself is never written
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "common/dialup/dialer.h"

namespace pondrel::dialup {

class ScriptedDialer final : public Dialer {
 public:
  // Null when the script cannot be read.
  static std::unique_ptr<ScriptedDialer> Load(const std::string& script_path);

  bool Has(DialerFunction function) const override;
  int EnumEntries(std::vector<std::string>* names) override;
  int EnumConnections(std::vector<std::string>* entries) override;
  int GetEntryDialParams(const std::string& entry, DialParams* params) override;
  int Dial(const DialParams& params, DialHandle* handle) override;
  bool NextEvent(DialHandle handle, DialEvent* event) override;
  int HangUp(DialHandle handle) override;
  bool ErrorString(int code, std::string* text) override;

  // Error codes of the dialer itself.
  static constexpr int kNoSuchEntry = 623;
  static constexpr int kInvalidHandle = 6;

 private:
  enum class StepKind { kState, kError, kDrop, kHang };
  struct Step {
    StepKind kind;
    int value = 0;
    std::int64_t delay_ms = 0;
  };
  struct Playing {
    std::string entry;
    std::size_t next = 0;           // the next step
    std::int64_t last_step_ms = 0;  // when the step before it was played
    int last_state = kOpenPort;
    bool ended = false;  // connected, disconnected or failed
    bool up = false;
    bool hung_up = false;
    bool final_pending = false;  // the disconnection of a hung-up dial, not yet reported
  };

  explicit ScriptedDialer(std::string script_path) : path_(std::move(script_path)) {}
  bool Parse(const std::string& text);
  void Record(const std::string& line) const;
  void SetLinkUp(const std::string& entry, bool up) const;

  std::string path_;
  std::set<std::string> entries_;
  std::set<DialerFunction> missing_;
  std::map<int, std::string> texts_;
  std::vector<Step> steps_;
  int dial_error_ = 0;
  std::map<DialHandle, Playing> dials_;
  DialHandle next_handle_ = 1;
};

}  // namespace pondrel::dialup
