#include "camsim/camera_server.h"

#include <algorithm>
#include <charconv>

namespace pondrel::camsim {
namespace {

bool ParseNumber(std::string_view text, long min, long max, long* out) {
  long v = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return false;
  if (v < min || v > max) return false;
  *out = v;
  return true;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
    s.remove_suffix(1);
  }
  return s;
}

ResponsePlan TextAnswer(int status, std::string text) {
  ResponsePlan plan;
  plan.status = status;
  plan.body = std::move(text);
  return plan;
}

// Grows a non-picture body to `size` bytes: list bodies with lines the list reader skips (they
// hold no blank), the status body with zero bytes.
void Oversize(RequestKind kind, std::size_t size, std::string* body) {
  if (body->size() >= size) return;
  if (kind == RequestKind::kList) {
    while (body->size() < size) {
      const std::size_t n = std::min<std::size_t>(size - body->size(), 80);
      if (n >= 2) {
        body->append(n - 1, '#');
        body->push_back('\n');
      } else {
        body->push_back('\n');
      }
    }
  } else {
    body->append(size - body->size(), '\0');
  }
}

}  // namespace

CamServer::CamServer(const CamServerConfig& config) : config_(config), store_(config.series) {
  store_.Add(config.pictures);
  list_format_.crlf = config.list_crlf;
}

bool CamServer::Authorized(RequestKind kind, const std::optional<std::string>& creds) const {
  const auto matches = [&](const std::optional<Credentials>& c) {
    return c && creds && *creds == c->user + ":" + c->password;
  };
  if (kind == RequestKind::kDelete && config_.admin) return matches(config_.admin);
  if (config_.user) return matches(config_.user) || matches(config_.admin);
  return true;
}

ResponsePlan CamServer::Handle(const IncomingRequest& request) {
  const ParsedTarget target = ParseTarget(request.target);
  std::unique_lock<std::mutex> lock(mu_);
  ++stats_.requests;
  ++stats_.by_kind[static_cast<int>(target.kind)];
  switch (target.kind) {
    case RequestKind::kControl: lock.unlock(); return ControlAnswer(request);
    case RequestKind::kStats: lock.unlock(); return TextAnswer(200, StatsText());
    case RequestKind::kOther: return TextAnswer(404, "not found\n");
    default: break;
  }
  if (std::optional<ResponsePlan> refusal = Refusal(request, target)) return *refusal;
  if (target.kind == RequestKind::kDelete) stats_.delete_batches.push_back(target.ids.size());

  const std::optional<Fault> fault = faults_.Take(target.kind, target.ids);
  if (fault) ++stats_.faults_applied;
  if (fault && fault->action == FaultAction::kCode) {
    return TextAnswer(static_cast<int>(fault->param), "");
  }
  if (fault && fault->action == FaultAction::kErrorBody) return TextAnswer(200, "error");
  const std::size_t oversize =
      fault && fault->action == FaultAction::kOversize ? static_cast<std::size_t>(fault->param) : 0;
  ResponsePlan plan = CameraAnswer(target, oversize, lock);
  if (fault) ApplyDelivery(*fault, target.kind, &plan);
  return plan;
}

void CamServer::AddPicture(const std::string& key, const std::string& id, std::string file) {
  store_.Put(key, id, std::move(file));
}

ResponsePlan CamServer::ControlAnswer(const IncomingRequest& request) {
  if (request.method != "POST") return TextAnswer(405, "control takes POST\n");
  std::string error;
  if (!ApplyControl(request.body, &error)) return TextAnswer(400, error + "\n");
  return TextAnswer(200, "ok\n");
}

// A camera request that gets no answer of the camera: wrong method, credentials that do not
// open it (counted), or a malformed target. Called with mu_ held.
std::optional<ResponsePlan> CamServer::Refusal(const IncomingRequest& request,
                                               const ParsedTarget& target) {
  if (request.method != "GET") return TextAnswer(405, "method not allowed\n");
  stats_.last_user_agent = request.user_agent;
  if (!request.peer.empty()) stats_.peers.insert(request.peer);
  std::optional<std::string> creds;
  if (request.authorization) {
    creds = DecodeBasicCredentials(*request.authorization);
    stats_.last_credentials = creds ? *creds : "malformed";
  } else {
    ++stats_.no_authorization;
    stats_.last_credentials = "none";
  }
  if (!Authorized(target.kind, creds)) {
    ++stats_.auth_failures;
    ResponsePlan plan = TextAnswer(401, "401 Unauthorized\n");
    plan.headers.emplace_back("WWW-Authenticate", "Basic realm=\"camsim\"");
    return plan;
  }
  if (!target.well_formed) return TextAnswer(400, "bad request\n");
  return std::nullopt;
}

// The camera's own answer to a request it serves. `lock` holds mu_ and may be let go.
ResponsePlan CamServer::CameraAnswer(const ParsedTarget& target, std::size_t oversize,
                                     std::unique_lock<std::mutex>& lock) {
  ResponsePlan plan;
  switch (target.kind) {
    case RequestKind::kStatus:
      plan.content_type = "application/octet-stream";
      plan.body = BuildStatusBody(
          state_, count_override_ ? *count_override_ : static_cast<std::uint32_t>(store_.Count()));
      break;
    case RequestKind::kList: {
      ListFormat format = list_format_;
      format.limit = target.limit;
      lock.unlock();
      plan.body = FormatPictureList(store_.Snapshot(), format);
      break;
    }
    case RequestKind::kData: {
      lock.unlock();
      const std::optional<CamPicture> picture = store_.Find(target.ids.front());
      if (!picture) return TextAnswer(config_.missing_picture_status, "");
      plan.content_type = "image/jpeg";
      plan.body = PictureFileOf(*picture, oversize);
      break;
    }
    case RequestKind::kDelete: {
      const int removed = store_.Remove(target.ids);
      stats_.deleted += removed;
      stats_.delete_unknown += static_cast<long>(target.ids.size()) - removed;
      break;
    }
    default: break;
  }
  if (oversize) Oversize(target.kind, oversize, &plan.body);
  return plan;
}

// How the body leaves under a fault: stalled, dropped, trickled, closing the connection,
// never ending (the list goes on with lines the list reader skips, other bodies with zeros).
void CamServer::ApplyDelivery(const Fault& fault, RequestKind kind, ResponsePlan* plan) {
  switch (fault.action) {
    case FaultAction::kStall:
      plan->delivery = Delivery::kStall;
      plan->param = fault.param;
      plan->cut_at = fault.at;
      break;
    case FaultAction::kDrop:
      plan->delivery = Delivery::kDrop;
      plan->cut_at = fault.at;
      break;
    case FaultAction::kTrickle:
      plan->delivery = Delivery::kTrickle;
      plan->param = fault.param;
      break;
    case FaultAction::kClose: plan->headers.emplace_back("Connection", "close"); break;
    case FaultAction::kHangUp: plan->delivery = Delivery::kHangUp; break;
    case FaultAction::kEndless:
      plan->delivery = Delivery::kEndless;
      if (kind == RequestKind::kList) Oversize(kind, 64 * 1024, &plan->filler);
      break;
    default: break;
  }
}

bool CamServer::FaultControl(std::string_view target_text, std::string_view action_text, bool apply,
                             std::string* error) {
  FaultTarget target;
  std::optional<Fault> fault;
  if (!ParseFaultTarget(target_text, &target, error) ||
      !ParseFaultAction(action_text, &fault, error)) {
    return false;
  }
  if (apply) faults_.Set(target, fault);
  return true;
}

bool CamServer::ClearControl(std::string_view what, bool apply) {
  if (what == "faults") {
    if (apply) faults_.Clear();
  } else if (what == "pictures") {
    if (apply) store_.Clear();
  } else if (what == "stats") {
    if (apply) stats_ = Stats{};
  } else if (what == "list-extra") {
    if (apply) list_format_.extra_lines.clear();
  } else {
    return false;
  }
  return true;
}

bool CamServer::ControlLine(std::string_view key, std::string_view value, bool apply,
                            std::string* error) {
  long n = 0;
  if (key.substr(0, 6) == "fault.") return FaultControl(key.substr(6), value, apply, error);
  if (key == "state") {
    if (!ParseNumber(value, 0, 0xFFFFFFFFL, &n)) return false;
    if (apply) state_ = static_cast<std::uint32_t>(n);
    return true;
  }
  if (key == "count") {
    if (value == "auto") {
      if (apply) count_override_.reset();
      return true;
    }
    if (!ParseNumber(value, 0, 0xFFFFFFFFL, &n)) return false;
    if (apply) count_override_ = static_cast<std::uint32_t>(n);
    return true;
  }
  if (key == "add") {
    if (!ParseNumber(value, 0, 1000000, &n)) return false;
    if (apply) store_.Add(static_cast<int>(n));
    return true;
  }
  if (key == "delete") {
    if (value.empty()) return false;
    if (apply) store_.Remove({std::string(value)});
    return true;
  }
  if (key == "picture-size") {
    if (!ParseNumber(value, 0, 100000000, &n)) return false;
    if (apply) store_.SetPictureSize(static_cast<std::size_t>(n));
    return true;
  }
  if (key == "list-eol") {
    if (value != "crlf" && value != "lf") return false;
    if (apply) list_format_.crlf = value == "crlf";
    return true;
  }
  if (key == "list-extra") {
    if (apply) list_format_.extra_lines.emplace_back(value);
    return true;
  }
  if (key == "clear") return ClearControl(value, apply);
  *error = "unknown control key \"" + std::string(key) + "\"";
  return false;
}

bool CamServer::ApplyControl(std::string_view text, std::string* error) {
  std::vector<std::pair<std::string_view, std::string_view>> lines;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = Trim(text.substr(start, end - start));
    start = end + 1;
    if (line.empty() || line.front() == '#') continue;
    // A fault action never holds "=", a picture identifier in a fault target may.
    const size_t eq = line.substr(0, 6) == "fault." ? line.rfind('=') : line.find('=');
    if (eq == std::string_view::npos) {
      *error = "not a key=value line: \"" + std::string(line) + "\"";
      return false;
    }
    lines.emplace_back(Trim(line.substr(0, eq)), line.substr(eq + 1));
  }
  std::lock_guard<std::mutex> lock(mu_);
  for (const auto& [key, value] : lines) {
    std::string why;
    if (!ControlLine(key, value, false, &why)) {
      *error = "bad control line \"" + std::string(key) + "=" + std::string(value) + "\"";
      if (!why.empty()) *error += ": " + why;
      return false;
    }
  }
  for (const auto& [key, value] : lines) {
    std::string ignored;
    ControlLine(key, value, true, &ignored);
  }
  return true;
}

void CamServer::RecordSent(std::size_t bytes) {
  std::lock_guard<std::mutex> lock(mu_);
  stats_.bytes_sent += static_cast<long>(bytes);
}

std::string CamServer::StatsText() const {
  const std::size_t pictures = store_.Count();
  std::lock_guard<std::mutex> lock(mu_);
  std::string out;
  const auto put = [&out](const char* key, const std::string& value) {
    out += key;
    out += '=';
    out += value;
    out += '\n';
  };
  put("pictures", std::to_string(pictures));
  put("state", std::to_string(state_));
  put("requests", std::to_string(stats_.requests));
  for (RequestKind k :
       {RequestKind::kStatus, RequestKind::kList, RequestKind::kData, RequestKind::kDelete,
        RequestKind::kControl, RequestKind::kStats, RequestKind::kOther}) {
    put((std::string(KindName(k)) + "_requests").c_str(),
        std::to_string(stats_.by_kind[static_cast<int>(k)]));
  }
  put("auth_failures", std::to_string(stats_.auth_failures));
  put("no_authorization", std::to_string(stats_.no_authorization));
  put("last_credentials", stats_.last_credentials);
  put("last_user_agent", stats_.last_user_agent);
  put("faults_applied", std::to_string(stats_.faults_applied));
  put("deleted", std::to_string(stats_.deleted));
  put("delete_unknown", std::to_string(stats_.delete_unknown));
  std::string batches;
  for (std::size_t b : stats_.delete_batches) {
    if (!batches.empty()) batches += ',';
    batches += std::to_string(b);
  }
  put("rpdel_batches", batches);
  put("bytes_sent", std::to_string(stats_.bytes_sent));
  put("connections", std::to_string(stats_.peers.size()));
  std::string faults;
  for (const std::string& f : faults_.Describe()) {
    if (!faults.empty()) faults += ' ';
    faults += f;
  }
  put("faults", faults);
  return out;
}

}  // namespace pondrel::camsim
