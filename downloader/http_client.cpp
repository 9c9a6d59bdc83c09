#include "downloader/http_client.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>

#include "common/text_util.h"
#include "common/unique_fd.h"
#include "downloader/result_codes.h"
#include "downloader/run_context.h"

namespace pondrel::dl {
namespace {

constexpr long kHttpOk = 200;
// File data is gathered to this size before each write.
constexpr std::size_t kFileFlushBytes = 256 * 1024;

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
  std::size_t copyLength = 0;
  std::string memory;  // the first copyLength bytes of an in-memory body
  std::size_t bodyBytes = 0;
  UniqueFd file;
  std::string pending;  // file bytes not yet written
  std::string partPath;  // the body is written here and renamed to targetFile when whole
  bool created = false;  // partPath was created by this request
  bool fileError = false;
  bool aborted = false;
  bool closed = false;      // ended through the request slot (watchdog or abort procedure)
  bool memoryFull = false;  // an in-memory body reached kMemoryBodyMax; the rest is not read
  bool tooLong = false;     // a file body passed the limit
  bool noSpace = false;     // a file body took the volume below the job's floor

  bool FlushFile() {
    std::size_t off = 0;
    while (off < pending.size()) {
      const ssize_t n = ::write(file.get(), pending.data() + off, pending.size() - off);
      if (n < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      off += static_cast<std::size_t>(n);
    }
    pending.clear();
    return true;
  }

  bool OpenFile() {
    partPath = PartFileOf(job->targetFile);
    file.reset(::open(partPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    created = created || file.valid();
    return file.valid();
  }

  // Whether the volume still holds the job's floor of free space. A volume that cannot be
  // measured does not end the body (a full disk then ends it as a file error).
  bool AboveSpaceFloor() const {
    if (job->bodySpaceFloor == 0) return true;
    std::uint64_t free_bytes = 0, total = 0;
    if (!ctx->MeasureDisk(job->imageDirectory, &free_bytes, &total)) return true;
    return free_bytes >= job->bodySpaceFloor;
  }
};

// Removes the part file of a request that did not end whole, so that nothing partial stays.
struct PartialFileGuard {
  Transfer* t;
  bool keep = false;
  ~PartialFileGuard() {
    if (keep || !t->created) return;
    t->file.reset();
    ::unlink(t->partPath.c_str());
  }
};

size_t OnBody(char* data, size_t size, size_t nmemb, void* user) {
  auto* t = static_cast<Transfer*>(user);
  const size_t n = size * nmemb;
  t->ctx->TouchActivity();
  if (t->ctx->closeRequest.load()) {
    t->closed = true;
    return CURL_WRITEFUNC_ERROR;
  }
  long status = 0;
  curl_easy_getinfo(t->curl, CURLINFO_RESPONSE_CODE, &status);
  if (status == kHttpOk && !t->job->targetFile.empty()) {
    if (t->bodyBytes + n > t->ctx->limits.fileBodyMax) {
      t->tooLong = true;
      return CURL_WRITEFUNC_ERROR;
    }
    if (!t->file.valid() && !t->OpenFile()) {
      t->fileError = true;
      return CURL_WRITEFUNC_ERROR;
    }
    t->pending.append(data, n);
    if (t->pending.size() >= kFileFlushBytes) {
      if (!t->FlushFile()) {
        t->fileError = true;
        return CURL_WRITEFUNC_ERROR;
      }
      if (!t->AboveSpaceFloor()) {
        t->noSpace = true;
        return CURL_WRITEFUNC_ERROR;
      }
    }
  } else {
    // A body held in memory is cut at kMemoryBodyMax: the rest is not read at all.
    const std::size_t room = kMemoryBodyMax - t->bodyBytes;
    const std::size_t take = std::min(n, room);
    if (t->memory.size() < t->copyLength) {
      t->memory.append(data, std::min(take, t->copyLength - t->memory.size()));
    }
    if (n >= room) {
      t->bodyBytes = kMemoryBodyMax;
      t->memoryFull = true;
      return CURL_WRITEFUNC_ERROR;
    }
  }
  t->bodyBytes += n;
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
  if (t->ctx->closeRequest.load()) {
    t->closed = true;
    return 1;
  }
  return 0;
}

bool IsHex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int CommunicationError(const RunContext& ctx, CURLcode code) {
  ctx.log.Write(kLogError, kMsgCommunication);
  return code == CURLE_OPERATION_TIMEDOUT ? kResultHttpTimeout : kResultHttpError;
}

// Clears the request slot however the request ends.
struct SlotGuard {
  RunContext* ctx;
  explicit SlotGuard(RunContext* c) : ctx(c) {
    ctx->closeRequest.store(false);
    ctx->requestOpen.store(true);
  }
  ~SlotGuard() {
    ctx->requestOpen.store(false);
    ctx->closeRequest.store(false);
  }
};

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
      escape = !(i + 2 < identifier.size() && IsHex(identifier[i + 1]) &&
                 IsHex(identifier[i + 2]));
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

int HttpFetch(std::string_view path, const DownloadJob& job, char* copy_buffer,
              std::size_t copy_length) {
  GlobalInitOnce();
  RunContext& ctx = *job.context;
  SlotGuard slot(&ctx);

  std::unique_ptr<CURL, EasyDeleter> curl(curl_easy_init());
  if (!curl) {
    ctx.log.Write(kLogError, kMsgFatal);
    return kResultHttpSessionOption;
  }
  Transfer t;
  t.curl = curl.get();
  t.job = &job;
  t.ctx = &ctx;
  t.copyLength = copy_buffer ? copy_length : 0;

  const std::string url = ServerUrl(job.hostName, job.httpPort & 0xFFFF) + std::string(path);
  const std::string proxy =
      job.useProxy ? "http://" + job.proxyHost + ":" + std::to_string(job.proxyPort) : "";
  std::unique_ptr<curl_slist, SlistDeleter> headers(curl_slist_append(
      nullptr, BasicAuthorizationHeader(job.account, job.password).c_str()));
  // The request names no accept types: libcurl's own "Accept: */*" is left out.
  if (headers && !curl_slist_append(headers.get(), "Accept:")) headers.reset();
  // Every answer comes from the camera itself, never from a proxy's cache.
  if (headers && job.useProxy) {
    curl_slist* list = headers.get();
    list = curl_slist_append(list, "Pragma: no-cache");
    list = list ? curl_slist_append(list, "Cache-Control: no-cache") : nullptr;
    if (!list) headers.reset();
  }
  CURL* c = curl.get();
  // The session: agent, proxy (none means none: the proxy variables of the environment do
  // not apply), no connection reuse, and the time-outs. Any refusal is a fatal error.
  const bool options_ok =
      headers &&
      curl_easy_setopt(c, CURLOPT_USERAGENT, kAgentName) == CURLE_OK &&
      curl_easy_setopt(c, CURLOPT_PROXY, proxy.c_str()) == CURLE_OK &&
      curl_easy_setopt(c, CURLOPT_NOPROXY, "") == CURLE_OK &&
      curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, ctx.timeouts.connectMs) == CURLE_OK &&
      curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT,
                       std::max(1L, ctx.timeouts.minBytesPerSecond)) == CURLE_OK &&
      curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME,
                       std::max(1L, (ctx.timeouts.receiveMs + 999) / 1000)) == CURLE_OK &&
      curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, std::max(1L, ctx.timeouts.requestMaxMs)) == CURLE_OK &&
      curl_easy_setopt(c, CURLOPT_FRESH_CONNECT, 1L) == CURLE_OK &&
      curl_easy_setopt(c, CURLOPT_FORBID_REUSE, 1L) == CURLE_OK &&
      curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
      curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http") == CURLE_OK &&
      curl_easy_setopt(c, CURLOPT_PATH_AS_IS, 1L) == CURLE_OK &&
      curl_easy_setopt(c, CURLOPT_URL, url.c_str()) == CURLE_OK &&
      curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get()) == CURLE_OK &&
      curl_easy_setopt(c, CURLOPT_BUFFERSIZE, static_cast<long>(kReadChunk)) == CURLE_OK &&
      curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &OnBody) == CURLE_OK &&
      curl_easy_setopt(c, CURLOPT_WRITEDATA, &t) == CURLE_OK &&
      curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, &OnProgress) == CURLE_OK &&
      curl_easy_setopt(c, CURLOPT_XFERINFODATA, &t) == CURLE_OK &&
      curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L) == CURLE_OK;
  if (!options_ok) {
    ctx.log.Write(kLogError, kMsgFatal);
    return kResultHttpSessionOption;
  }

  ctx.TouchActivity();
  CURLcode code = CURLE_OK;
  // The first connection attempt and two retries when the server cannot be reached.
  for (int attempt = 0;; ++attempt) {
    code = curl_easy_perform(c);
    if (code != CURLE_COULDNT_CONNECT || attempt >= ctx.timeouts.connectRetries ||
        t.closed || ctx.closeRequest.load()) {
      break;
    }
  }
  PartialFileGuard partial{&t};
  if (code == CURLE_WRITE_ERROR && t.memoryFull) code = CURLE_OK;
  if (t.aborted || (code == CURLE_OK && ctx.abort.load())) {
    ctx.log.Write(kLogWarning, kMsgAborted);
    return kResultAborted;
  }
  if (t.fileError) {
    ctx.log.Write(kLogError, kMsgWorkFileD018);
    return kResultResponseFileError;
  }
  if (t.tooLong || t.noSpace) return CommunicationError(ctx, CURLE_WRITE_ERROR);
  if (code != CURLE_OK && t.closed && ctx.abort.load()) {
    // Closed by the abort procedure: the run was aborted, not a communication failure.
    ctx.log.Write(kLogWarning, kMsgAborted);
    return kResultAborted;
  }
  if (code != CURLE_OK) return CommunicationError(ctx, t.closed ? CURLE_ABORTED_BY_CALLBACK : code);

  long status = 0;
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
  switch (status) {
    case kHttpOk:
      break;
    case 401:
      return kResultHttpUnauthorized;
    case 403:
      return kResultHttpForbidden;
    case 404:
      return kResultHttpNotFound;
    case 503:
      ctx.log.Write(kLogError, kMsgDisconnected);
      return kResultHttpUnavailable;
    default:
      return kResultHttpOtherStatus;
  }
  if (!job.targetFile.empty()) {
    if ((!t.file.valid() && !t.OpenFile()) || !t.FlushFile() || ::close(t.file.release()) != 0 ||
        ::rename(t.partPath.c_str(), job.targetFile.c_str()) != 0) {
      ctx.log.Write(kLogError, kMsgWorkFileD018);
      return kResultResponseFileError;
    }
  }
  partial.keep = true;
  if (copy_buffer && copy_length > 0) {
    std::memset(copy_buffer, 0, copy_length);
    std::memcpy(copy_buffer, t.memory.data(), std::min(copy_length, t.memory.size()));
  }
  return kResultOk;
}

}  // namespace pondrel::dl
