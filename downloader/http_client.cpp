#include "downloader/http_client.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>

#include "common/text_util.h"
#include "common/unique_fd.h"
#include "downloader/result_codes.h"
#include "downloader/run_context.h"

namespace pondrel::dl {
namespace {

constexpr long kHttpOk = 200;
// A body streaming into a file is checked against the job's free-space floor after every
// this many bytes.
constexpr std::uint64_t kSpaceCheckBytes = 256 * 1024;

void GlobalInitOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct EasyDeleter {
  void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
struct SlistDeleter {
  void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

// One request's transfer state, seen by the libcurl callbacks on the worker thread.
struct Transfer {
  CURL* curl = nullptr;
  const DownloadJob* job = nullptr;
  RunContext* ctx = nullptr;
  long status = 0;       // the answer's status, once its headers are in
  char* copy = nullptr;  // the caller's copy buffer
  std::size_t copy_length = 0;
  std::size_t copied = 0;
  std::uint64_t body_bytes = 0;
  std::uint64_t unchecked_bytes = 0;  // file bytes written since the last free-space check
  UniqueFd file;
  std::string part_path;  // the body is written here and renamed to target_file when whole
  bool created = false;   // part_path was created by this request
  bool file_error = false;
  bool aborted = false;
  bool closed = false;       // ended through the request slot (watchdog or abort procedure)
  bool memory_full = false;  // an in-memory body reached kMemoryBodyMax; the rest is not read
  bool too_long = false;     // a file body passed the limit
  bool no_space = false;     // a file body took the volume below the job's floor

  bool WriteFile(const char* data, std::size_t n) {
    std::size_t off = 0;
    while (off < n) {
      const ssize_t w = ::write(file.get(), data + off, n - off);
      if (w < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      off += static_cast<std::size_t>(w);
    }
    return true;
  }

  bool OpenFile() {
    part_path = PartFileOf(job->target_file);
    file.reset(::open(part_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    created = created || file.valid();
    return file.valid();
  }

  void CopyStart(const char* data, std::size_t n) {
    if (copied >= copy_length) return;
    const std::size_t take = std::min(n, copy_length - copied);
    std::memcpy(copy + copied, data, take);
    copied += take;
  }

  // Whether the volume still holds the job's floor of free space. A volume that cannot be
  // measured does not end the body (a full disk then ends it as a file error).
  bool AboveSpaceFloor() const {
    if (job->body_space_floor == 0) return true;
    std::uint64_t free_bytes = 0, total = 0;
    if (!ctx->MeasureDisk(job->image_directory, &free_bytes, &total)) return true;
    return free_bytes >= job->body_space_floor;
  }

  // A chunk of a body that goes to the target file. False ends the request.
  bool TakeFileChunk(const char* data, std::size_t n) {
    if (body_bytes + n > ctx->limits.file_body_max) {
      too_long = true;
      return false;
    }
    if ((!file.valid() && !OpenFile()) || !WriteFile(data, n)) {
      file_error = true;
      return false;
    }
    CopyStart(data, n);
    unchecked_bytes += n;
    if (unchecked_bytes >= kSpaceCheckBytes) {
      unchecked_bytes = 0;
      if (!AboveSpaceFloor()) {
        no_space = true;
        return false;
      }
    }
    return true;
  }

  // A chunk of a body held in memory, which is cut at kMemoryBodyMax: the rest is not read.
  bool TakeMemoryChunk(const char* data, std::size_t n) {
    const std::size_t room = kMemoryBodyMax - static_cast<std::size_t>(body_bytes);
    CopyStart(data, std::min(n, room));
    if (n >= room) {
      body_bytes = kMemoryBodyMax;
      memory_full = true;
      return false;
    }
    return true;
  }
};

// Removes the part file of a request that did not end whole, so that nothing partial stays.
struct PartialFileGuard {
  Transfer* t;
  bool keep = false;
  ~PartialFileGuard() {
    if (keep || !t->created) return;
    t->file.reset();
    ::unlink(t->part_path.c_str());
  }
};

size_t OnBody(char* data, size_t size, size_t nmemb, void* user) {
  auto* t = static_cast<Transfer*>(user);
  const size_t n = size * nmemb;
  t->ctx->TouchActivity();
  if (t->ctx->close_request.load()) {
    t->closed = true;
    return CURL_WRITEFUNC_ERROR;
  }
  if (t->status == 0) curl_easy_getinfo(t->curl, CURLINFO_RESPONSE_CODE, &t->status);
  const bool to_file = t->status == kHttpOk && !t->job->target_file.empty();
  const bool go_on = to_file ? t->TakeFileChunk(data, n) : t->TakeMemoryChunk(data, n);
  if (!go_on) return CURL_WRITEFUNC_ERROR;
  t->body_bytes += n;
  if (t->ctx->abort.load()) {
    t->aborted = true;
    return CURL_WRITEFUNC_ERROR;
  }
  return n;
}

// Called by libcurl at least once a second, also while nothing arrives: the one place where a
// stalled request can be ended on its own thread.
int OnProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto* t = static_cast<Transfer*>(user);
  if (t->ctx->close_request.load()) {
    t->closed = true;
    return 1;
  }
  return 0;
}

bool IsHex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

RunResult CommunicationError(const RunContext& ctx, CURLcode code) {
  ctx.log.Write(kLogError, kMsgCommunication);
  return code == CURLE_OPERATION_TIMEDOUT ? RunResult::kHttpTimeout : RunResult::kHttpError;
}

// Clears the request slot however the request ends.
struct SlotGuard {
  RunContext* ctx;
  explicit SlotGuard(RunContext* c) : ctx(c) {
    ctx->close_request.store(false);
    ctx->request_open.store(true);
  }
  ~SlotGuard() {
    ctx->request_open.store(false);
    ctx->close_request.store(false);
  }
};

// What a session was set up for: a change of any of these sets it up again.
std::string SessionKey(const DownloadJob& job) {
  const RunContext& ctx = *job.context;
  std::string key;
  for (const std::string* part : {&job.host_name, &job.proxy_host, &job.account, &job.password}) {
    key += std::to_string(part->size()) + ":" + *part;
  }
  for (const long v :
       {static_cast<long>(job.http_port), static_cast<long>(job.use_proxy),
        static_cast<long>(job.proxy_port), ctx.timeouts.connect_ms, ctx.timeouts.receive_ms,
        ctx.timeouts.min_bytes_per_second, ctx.timeouts.request_max_ms}) {
    key += "," + std::to_string(v);
  }
  return key;
}

// The request headers: the Basic authorization on every request, no accept types (libcurl's
// own "Accept: */*" is left out), and through a proxy the demand for the camera's own answer.
curl_slist* BuildHeaders(const DownloadJob& job) {
  std::unique_ptr<curl_slist, SlistDeleter> headers(
      curl_slist_append(nullptr, BasicAuthorizationHeader(job.account, job.password).c_str()));
  if (headers && !curl_slist_append(headers.get(), "Accept:")) return nullptr;
  if (headers && job.use_proxy) {
    if (!curl_slist_append(headers.get(), "Pragma: no-cache") ||
        !curl_slist_append(headers.get(), "Cache-Control: no-cache")) {
      return nullptr;
    }
  }
  return headers.release();
}

// The session's options: agent, proxy (none means none: the proxy variables of the environment
// do not apply), time-outs, headers, callbacks. False when one is refused.
bool SetSessionOptions(CURL* c, const DownloadJob& job, curl_slist* headers) {
  const HttpTimeouts& to = job.context->timeouts;
  const std::string proxy =
      job.use_proxy ? "http://" + job.proxy_host + ":" + std::to_string(job.proxy_port) : "";
  return curl_easy_setopt(c, CURLOPT_USERAGENT, kAgentName) == CURLE_OK &&
         curl_easy_setopt(c, CURLOPT_PROXY, proxy.c_str()) == CURLE_OK &&
         curl_easy_setopt(c, CURLOPT_NOPROXY, "") == CURLE_OK &&
         curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, to.connect_ms) == CURLE_OK &&
         curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, std::max(1L, to.min_bytes_per_second)) ==
             CURLE_OK &&
         curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, std::max(1L, (to.receive_ms + 999) / 1000)) ==
             CURLE_OK &&
         curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, std::max(1L, to.request_max_ms)) == CURLE_OK &&
         curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
         curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http") == CURLE_OK &&
         curl_easy_setopt(c, CURLOPT_PATH_AS_IS, 1L) == CURLE_OK &&
         curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers) == CURLE_OK &&
         curl_easy_setopt(c, CURLOPT_BUFFERSIZE, static_cast<long>(kReadChunk)) == CURLE_OK &&
         curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &OnBody) == CURLE_OK &&
         curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, &OnProgress) == CURLE_OK &&
         curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L) == CURLE_OK;
}

}  // namespace

struct HttpSession::Impl {
  std::unique_ptr<CURL, EasyDeleter> curl;
  std::unique_ptr<curl_slist, SlistDeleter> headers;
  std::string key;  // SessionKey of the job it is set up for; empty = not set up

  // The handle set up for `job`, or null when it cannot be (the caller reports D004).
  CURL* For(const DownloadJob& job) {
    const std::string wanted = SessionKey(job);
    if (curl && key == wanted) return curl.get();
    key.clear();
    if (curl) {
      curl_easy_reset(curl.get());
    } else {
      curl.reset(curl_easy_init());
    }
    headers.reset(BuildHeaders(job));
    if (!curl || !headers || !SetSessionOptions(curl.get(), job, headers.get())) return nullptr;
    key = wanted;
    return curl.get();
  }
};

HttpSession::HttpSession() : impl_(std::make_unique<Impl>()) {}
HttpSession::~HttpSession() = default;

namespace {

// Performs the request: the first connection attempt and the configured retries when the
// server cannot be reached.
CURLcode Perform(CURL* c, const Transfer& t, const RunContext& ctx) {
  CURLcode code = CURLE_OK;
  for (int attempt = 0;; ++attempt) {
    code = curl_easy_perform(c);
    if (code != CURLE_COULDNT_CONNECT || attempt >= ctx.timeouts.connect_retries || t.closed ||
        ctx.close_request.load()) {
      return code;
    }
  }
}

// The result of a transfer that did not end normally; nothing when it did.
std::optional<RunResult> TransferFailure(const Transfer& t, CURLcode code, const RunContext& ctx) {
  if (code == CURLE_WRITE_ERROR && t.memory_full) code = CURLE_OK;
  if (t.aborted || (code == CURLE_OK && ctx.abort.load())) {
    ctx.log.Write(kLogWarning, kMsgAborted);
    return RunResult::kAborted;
  }
  if (t.file_error) {
    ctx.log.Write(kLogError, kMsgWorkFileD018);
    return RunResult::kResponseFileError;
  }
  if (t.too_long || t.no_space) return CommunicationError(ctx, CURLE_WRITE_ERROR);
  if (code != CURLE_OK && t.closed && ctx.abort.load()) {
    // Closed by the abort procedure: the run was aborted, not a communication failure.
    ctx.log.Write(kLogWarning, kMsgAborted);
    return RunResult::kAborted;
  }
  if (code != CURLE_OK) return CommunicationError(ctx, t.closed ? CURLE_ABORTED_BY_CALLBACK : code);
  return std::nullopt;
}

RunResult StatusResult(long status, const RunContext& ctx) {
  switch (status) {
    case kHttpOk: return RunResult::kOk;
    case 401: return RunResult::kHttpUnauthorized;
    case 403: return RunResult::kHttpForbidden;
    case 404: return RunResult::kHttpNotFound;
    case 503: ctx.log.Write(kLogError, kMsgDisconnected); return RunResult::kHttpUnavailable;
    default: return RunResult::kHttpOtherStatus;
  }
}

// Puts a whole file body in place under its real name.
bool PlaceFile(Transfer& t) {
  return (t.file.valid() || t.OpenFile()) && ::close(t.file.release()) == 0 &&
         ::rename(t.part_path.c_str(), t.job->target_file.c_str()) == 0;
}

}  // namespace

std::string PartFileOf(const std::string& target_file) {
  const std::size_t slash = target_file.rfind('/');
  const std::size_t name = slash == std::string::npos ? 0 : slash + 1;
  return target_file.substr(0, name) + "." + target_file.substr(name) + ".part";
}

std::string BasicAuthorizationHeader(std::string_view account, std::string_view password) {
  std::string credentials(account);
  credentials += ':';
  credentials += password;
  return "Authorization: Basic " + Base64Encode(credentials);
}

std::string EncodeIdentifier(std::string_view identifier) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(identifier.size());
  for (std::size_t i = 0; i < identifier.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(identifier[i]);
    bool escape = c <= 0x20 || c >= 0x7f || std::strchr("\"#<>\\^`{|}", c) != nullptr;
    if (c == '%') {
      escape = !(i + 2 < identifier.size() && IsHex(identifier[i + 1]) && IsHex(identifier[i + 2]));
    }
    if (escape) {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string ServerUrl(std::string_view host, unsigned port) {
  std::string url = "http://";
  if (host.find(':') != std::string_view::npos && host.front() != '[') {
    url += '[';
    url += host;
    url += ']';
  } else {
    url += host;
  }
  url += ':';
  url += std::to_string(port);
  return url;
}

RunResult HttpFetch(std::string_view path, const DownloadJob& job, char* copy_buffer,
                    std::size_t copy_length, BodyFacts* facts) {
  GlobalInitOnce();
  RunContext& ctx = *job.context;
  SlotGuard slot(&ctx);
  std::unique_ptr<HttpSession> own;
  HttpSession* session = job.session.get();
  if (!session) session = (own = std::make_unique<HttpSession>()).get();
  Transfer t;
  t.job = &job;
  t.ctx = &ctx;
  t.copy = copy_buffer;
  t.copy_length = copy_buffer ? copy_length : 0;
  if (t.copy_length > 0) std::memset(copy_buffer, 0, t.copy_length);
  CURL* c = session->impl().For(job);
  t.curl = c;
  const std::string url = ServerUrl(job.host_name, job.http_port & 0xFFFF) + std::string(path);
  if (!c || curl_easy_setopt(c, CURLOPT_URL, url.c_str()) != CURLE_OK ||
      curl_easy_setopt(c, CURLOPT_WRITEDATA, &t) != CURLE_OK ||
      curl_easy_setopt(c, CURLOPT_XFERINFODATA, &t) != CURLE_OK) {
    ctx.log.Write(kLogError, kMsgFatal);
    return RunResult::kHttpSessionOption;
  }
  ctx.TouchActivity();
  const CURLcode code = Perform(c, t, ctx);
  PartialFileGuard partial{&t};
  if (facts) *facts = BodyFacts{t.body_bytes, t.copied};
  if (const auto failed = TransferFailure(t, code, ctx)) return *failed;
  long status = 0;
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
  if (const RunResult r = StatusResult(status, ctx); r != RunResult::kOk) return r;
  if (!job.target_file.empty() && !PlaceFile(t)) {
    ctx.log.Write(kLogError, kMsgWorkFileD018);
    return RunResult::kResponseFileError;
  }
  partial.keep = true;
  return RunResult::kOk;
}

}  // namespace pondrel::dl
