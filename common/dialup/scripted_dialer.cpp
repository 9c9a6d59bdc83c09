#include "common/dialup/scripted_dialer.h"

#include <fcntl.h>
#include <sys/file.h>

#include <algorithm>
#include <sstream>

#include "common/clock.h"
#include "common/fs_util.h"
#include "common/unique_fd.h"

namespace pondrel::dialup {
namespace {

bool FunctionByName(const std::string& name, DialerFunction* f) {
  static const std::pair<const char*, DialerFunction> kNames[] = {
      {"enum-entries", DialerFunction::kEnumEntries},
      {"dial", DialerFunction::kDial},
      {"hang-up", DialerFunction::kHangUp},
      {"enum-connections", DialerFunction::kEnumConnections},
      {"error-string", DialerFunction::kErrorString},
      {"get-entry-dial-params", DialerFunction::kGetEntryDialParams},
      {"get-connect-status", DialerFunction::kGetConnectStatus},
  };
  for (const auto& [n, fn] : kNames) {
    if (name == n) {
      *f = fn;
      return true;
    }
  }
  return false;
}

std::vector<std::string> ReadLines(const std::string& path) {
  std::vector<std::string> lines;
  std::string text;
  if (!ReadWholeFile(path, &text, 1 << 20)) return lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty()) lines.push_back(line);
  }
  return lines;
}

}  // namespace

std::unique_ptr<ScriptedDialer> ScriptedDialer::Load(const std::string& script_path) {
  std::string text;
  if (script_path.empty() || !ReadWholeFile(script_path, &text, 1 << 20)) return nullptr;
  std::unique_ptr<ScriptedDialer> dialer(new ScriptedDialer(script_path));
  if (!dialer->Parse(text)) return nullptr;
  return dialer;
}

bool ScriptedDialer::Parse(const std::string& text) {
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string word;
    if (!(words >> word) || word[0] == '#') continue;
    std::string rest;
    std::getline(words >> std::ws, rest);
    std::istringstream args(rest);
    long long a = 0, delay = 0;
    if (word == "entry") {
      entries_.insert(rest);
    } else if (word == "missing") {
      DialerFunction f;
      if (!FunctionByName(rest, &f)) return false;
      missing_.insert(f);
    } else if (word == "dial-error") {
      if (!(args >> a)) return false;
      dial_error_ = static_cast<int>(a);
    } else if (word == "state" || word == "error") {
      if (!(args >> a)) return false;
      args >> delay;
      steps_.push_back(
          {word == "state" ? StepKind::kState : StepKind::kError, static_cast<int>(a), delay});
    } else if (word == "drop") {
      args >> delay;
      steps_.push_back({StepKind::kDrop, kDisconnected, delay});
    } else if (word == "hang") {
      steps_.push_back({StepKind::kHang, 0, 0});
    } else if (word == "text") {
      if (!(args >> a)) return false;
      std::string t;
      std::getline(args >> std::ws, t);
      texts_[static_cast<int>(a)] = t;
    } else {
      return false;
    }
  }
  return true;
}

bool ScriptedDialer::Has(DialerFunction function) const { return !missing_.count(function); }

void ScriptedDialer::Record(const std::string& line) const {
  UniqueFd fd(::open((path_ + ".record").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
  if (fd) WriteAll(fd.get(), line + "\n");
}

void ScriptedDialer::SetLinkUp(const std::string& entry, bool up) const {
  const std::string links = path_ + ".links";
  UniqueFd lock(::open((links + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (lock) ::flock(lock.get(), LOCK_EX);
  std::vector<std::string> lines = ReadLines(links);
  std::erase(lines, entry);
  if (up) lines.push_back(entry);
  std::string text;
  for (const std::string& l : lines) text += l + "\n";
  WriteFileAtomically(links, text, links + ".tmp", 0600);
}

int ScriptedDialer::EnumEntries(std::vector<std::string>* names) {
  names->assign(entries_.begin(), entries_.end());
  return 0;
}

int ScriptedDialer::EnumConnections(std::vector<std::string>* entries) {
  *entries = ReadLines(path_ + ".links");
  return 0;
}

int ScriptedDialer::GetEntryDialParams(const std::string& entry, DialParams* params) {
  if (!IsValidEntryName(entry) || !entries_.count(entry)) return kNoSuchEntry;
  *params = DialParams{};
  params->entry = entry;
  return 0;
}

int ScriptedDialer::Dial(const DialParams& params, DialHandle* handle) {
  *handle = 0;
  if (!IsValidEntryName(params.entry)) return kNoSuchEntry;
  Record("dial " + params.entry + " user=" + params.user +
         " password=" + (params.password.empty() ? "none" : "given"));
  if (dial_error_ != 0) return dial_error_;
  const DialHandle id = next_handle_++;
  Playing& p = dials_[id];
  p.entry = params.entry;
  p.last_step_ms = GetClock().SteadyMs();
  *handle = id;
  return 0;
}

bool ScriptedDialer::NextEvent(DialHandle handle, DialEvent* event) {
  auto it = dials_.find(handle);
  if (it == dials_.end()) return false;
  Playing& p = it->second;
  if (p.final_pending) {
    p.final_pending = false;
    *event = {kDisconnected, kDialNoError};
    return true;
  }
  if (p.hung_up || p.next >= steps_.size()) return false;
  const Step& step = steps_[p.next];
  if (step.kind == StepKind::kHang) return false;
  // After the dial has ended only a drop of the link is still to come.
  if (p.ended && step.kind != StepKind::kDrop) return false;
  const std::int64_t now = GetClock().SteadyMs();
  if (now - p.last_step_ms < step.delay_ms) return false;
  p.last_step_ms = now;
  ++p.next;
  switch (step.kind) {
    case StepKind::kState:
      *event = {step.value, kDialNoError};
      p.last_state = step.value;
      if (step.value == kConnected) {
        p.ended = p.up = true;
        SetLinkUp(p.entry, true);
      } else if (step.value == kDisconnected) {
        p.ended = true;
      }
      return true;
    case StepKind::kError:
      *event = {p.last_state, step.value};
      p.ended = true;
      return true;
    case StepKind::kDrop:
      *event = {kDisconnected, kDialNoError};
      p.ended = true;
      if (p.up) SetLinkUp(p.entry, false);
      p.up = false;
      return true;
    case StepKind::kHang: break;
  }
  return false;
}

int ScriptedDialer::HangUp(DialHandle handle) {
  auto it = dials_.find(handle);
  if (it == dials_.end()) return kInvalidHandle;
  Playing& p = it->second;
  if (p.hung_up) return 0;
  Record("hang-up " + p.entry);
  p.hung_up = true;
  if (p.up) SetLinkUp(p.entry, false);
  p.up = false;
  if (!p.ended) p.final_pending = true;
  p.ended = true;
  return 0;
}

bool ScriptedDialer::ErrorString(int code, std::string* text) {
  auto it = texts_.find(code);
  if (it == texts_.end()) return false;
  *text = it->second;
  return true;
}

}  // namespace pondrel::dialup
