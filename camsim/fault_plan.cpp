#include "camsim/fault_plan.h"

#include <charconv>

namespace pondrel::camsim {
namespace {

bool ParseLong(std::string_view text, long min, long max, long* out) {
  long v = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return false;
  if (v < min || v > max) return false;
  *out = v;
  return true;
}

const char* ActionName(FaultAction a) {
  switch (a) {
    case FaultAction::kCode: return "code";
    case FaultAction::kErrorBody: return "error";
    case FaultAction::kStall: return "stall";
    case FaultAction::kDrop: return "drop";
    case FaultAction::kTrickle: return "trickle";
    case FaultAction::kOversize: return "oversize";
    case FaultAction::kClose: return "close";
    case FaultAction::kHangUp: return "hangup";
    case FaultAction::kEndless: return "endless";
  }
  return "?";
}

}  // namespace

bool ParseFaultTarget(std::string_view text, FaultTarget* out, std::string* error) {
  const size_t dot = text.find('.');
  const std::optional<RequestKind> kind = CameraKindByName(text.substr(0, dot));
  if (!kind) {
    *error = "unknown request kind in fault target \"" + std::string(text) + "\"";
    return false;
  }
  FaultTarget t;
  t.kind = *kind;
  if (dot != std::string_view::npos) {
    t.id = std::string(text.substr(dot + 1));
    if (t.id.empty() || (t.kind != RequestKind::kData && t.kind != RequestKind::kDelete)) {
      *error = "a picture can be named only for data and rpdel: \"" + std::string(text) + "\"";
      return false;
    }
  }
  *out = t;
  return true;
}

namespace {

// Takes the "*<n>" and "@<offset>" endings off `text` into `f`.
bool TakeEndings(std::string_view* text, Fault* f, std::string* error) {
  const size_t star = text->find('*');
  if (star != std::string_view::npos) {
    long times = 0;
    if (!ParseLong(text->substr(star + 1), 1, 1000000, &times)) {
      *error = "bad repeat count in fault action \"" + std::string(*text) + "\"";
      return false;
    }
    f->times = static_cast<int>(times);
    *text = text->substr(0, star);
  }
  const size_t at = text->find('@');
  if (at != std::string_view::npos) {
    if (!ParseLong(text->substr(at + 1), 0, 1000000000, &f->at)) {
      *error = "bad offset in fault action \"" + std::string(*text) + "\"";
      return false;
    }
    *text = text->substr(0, at);
  }
  return true;
}

}  // namespace

bool ParseFaultAction(std::string_view text, std::optional<Fault>* out, std::string* error) {
  Fault f;
  const bool counted = text.find('*') != std::string_view::npos;
  if (!TakeEndings(&text, &f, error)) return false;
  const size_t colon = text.find(':');
  const std::string_view name = text.substr(0, colon);
  const std::string_view arg =
      colon == std::string_view::npos ? std::string_view() : text.substr(colon + 1);
  const bool has_arg = colon != std::string_view::npos;

  if (name == "none" && !has_arg && !counted) {
    out->reset();
    return true;
  }
  struct Spec {
    const char* name;
    FaultAction action;
    long min, max;  // argument range; min 0 and max 0: no argument
  };
  static const Spec kSpecs[] = {
      {"code", FaultAction::kCode, 100, 599},
      {"error", FaultAction::kErrorBody, 0, 0},
      {"stall", FaultAction::kStall, 0, 86400},
      {"drop", FaultAction::kDrop, 0, 0},
      {"trickle", FaultAction::kTrickle, 1, 1000000000},
      {"oversize", FaultAction::kOversize, 1, 100000000},
      {"close", FaultAction::kClose, 0, 0},
      {"hangup", FaultAction::kHangUp, 0, 0},
      {"endless", FaultAction::kEndless, 0, 0},
  };
  for (const Spec& s : kSpecs) {
    if (name != s.name) continue;
    const bool wants_arg = s.max != 0;
    if (wants_arg != has_arg || (wants_arg && !ParseLong(arg, s.min, s.max, &f.param))) {
      *error = "bad argument in fault action \"" + std::string(text) + "\"";
      return false;
    }
    f.action = s.action;
    if (f.at >= 0 && f.action != FaultAction::kStall && f.action != FaultAction::kDrop) {
      *error = "only stall and drop take an offset: \"" + std::string(text) + "\"";
      return false;
    }
    *out = f;
    return true;
  }
  *error = "unknown fault action \"" + std::string(text) + "\"";
  return false;
}

std::string DescribeFault(const FaultTarget& target, const Fault& fault) {
  std::string s = KindName(target.kind);
  if (!target.id.empty()) s += "." + target.id;
  s += "=";
  s += ActionName(fault.action);
  const bool has_param =
      fault.action != FaultAction::kErrorBody && fault.action != FaultAction::kDrop &&
      fault.action != FaultAction::kClose && fault.action != FaultAction::kHangUp &&
      fault.action != FaultAction::kEndless;
  if (has_param) {
    s += ":" + std::to_string(fault.param);
  }
  if (fault.at >= 0) s += "@" + std::to_string(fault.at);
  if (fault.times >= 0) s += "*" + std::to_string(fault.times);
  return s;
}

void FaultPlan::Set(const FaultTarget& target, std::optional<Fault> fault) {
  if (fault) {
    faults_[target] = *fault;
  } else {
    faults_.erase(target);
  }
}

std::optional<Fault> FaultPlan::Take(RequestKind kind, const std::vector<std::string>& ids) {
  auto found = faults_.end();
  for (const std::string& id : ids) {
    found = faults_.find(FaultTarget{kind, id});
    if (found != faults_.end()) break;
  }
  if (found == faults_.end()) found = faults_.find(FaultTarget{kind, ""});
  if (found == faults_.end()) return std::nullopt;
  Fault f = found->second;
  if (found->second.times > 0 && --found->second.times == 0) faults_.erase(found);
  return f;
}

std::vector<std::string> FaultPlan::Describe() const {
  std::vector<std::string> out;
  for (const auto& [target, fault] : faults_) out.push_back(DescribeFault(target, fault));
  return out;
}

}  // namespace pondrel::camsim
