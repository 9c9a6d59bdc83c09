// The camera server's HTTP client: GET requests with the fixed agent name, time-outs,
// optional proxy and the Basic authorization header, mapped to the downloader's result codes.
// The requests of one run share one connection (HttpSession); a server that closes it after
// an answer, or drops it while it is idle, gets a new one for the next request.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "common/protocol.h"
#include "downloader/download_job.h"

namespace pondrel::dl {

inline constexpr char kAgentName[] = "DuzozOriradoro";
// Bodies are read in chunks of at most this many bytes (the receive buffer, as large as the
// curl tool's); the abort flag and the last-activity time are served once per chunk, and the
// transfer callback serves close requests at least once a second while nothing arrives.
inline constexpr std::size_t kReadChunk = 100 * 1024;
// A body held in memory is read up to this many bytes; the rest is not read.
inline constexpr std::size_t kMemoryBodyMax = 2000000;

// The connection of one run's requests: one libcurl handle, set up for the job's server at
// its first request and again only when the server, proxy or credentials change. Used by one
// thread at a time.
class HttpSession {
 public:
  HttpSession();
  ~HttpSession();
  HttpSession(const HttpSession&) = delete;
  HttpSession& operator=(const HttpSession&) = delete;

  struct Impl;
  Impl& impl() { return *impl_; }

 private:
  std::unique_ptr<Impl> impl_;
};

// What a request tells its caller about the body besides the result.
struct BodyFacts {
  std::uint64_t bytes = 0;  // body bytes received
  std::size_t copied = 0;   // bytes put into the copy buffer (at most its length)
};

// Performs GET `path` against the job's server, on job.session's connection (a connection of
// its own when the job has no session). The body goes to job.target_file when it is not empty
// (created or replaced only for status 200), else stays in memory. The first `copy_length`
// bytes of either go to `copy_buffer` (zero-filled when shorter; `facts` says how many came),
// so that a picture's header is taken from the bytes as they stream. A file body
// longer than the context's limit, or one that takes the volume below job.body_space_floor,
// ends as a communication error (8000, D011). The body is written under a hidden temporary
// name beside the target (PartFileOf) and renamed into place only when whole: the target
// never holds a partial body, and a request that does not end whole removes its part file.
// Results: 0, 100 (D003), 2000 (D018), 8000/8002 (D011), 8001, 8003, 8004, 8005 (D026),
// 8006, 8007 (D004); the log lines named are written here.
RunResult HttpFetch(std::string_view path, const DownloadJob& job, char* copy_buffer = nullptr,
                    std::size_t copy_length = 0, BodyFacts* facts = nullptr);

// "<dir>/.<name>.part" for "<dir>/<name>": where a body is written until it is whole.
std::string PartFileOf(const std::string& target_file);

// "Authorization: Basic " + Base64(account ":" password), without the line end.
std::string BasicAuthorizationHeader(std::string_view account, std::string_view password);
// A picture identifier from the list made fit for the request line: bytes that may not
// appear in a URL's query (controls, blanks, non-ASCII, and " # < > \ ^ ` { | }) and a "%"
// that does not start an escape are percent-encoded; the rest goes verbatim.
std::string EncodeIdentifier(std::string_view identifier);
// "http://host:port" (an IPv6 literal in brackets).
std::string ServerUrl(std::string_view host, unsigned port);

}  // namespace pondrel::dl
