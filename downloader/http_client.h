// The camera server's HTTP client: one GET per call on its own connection, with the fixed
// agent name, time-outs, optional proxy and the Basic authorization header, mapped to the
// downloader's result codes.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "downloader/download_job.h"

namespace pondrel::dl {

inline constexpr char kAgentName[] = "DuzozOriradoro";
// Bodies are read in chunks of at most this many bytes; the abort flag and the last-activity
// time are served once per chunk.
inline constexpr std::size_t kReadChunk = 3000;
// A body held in memory is read up to this many bytes; the rest is not read.
inline constexpr std::size_t kMemoryBodyMax = 2000000;

// Performs GET `path` against the job's server. The body goes to job.targetFile when it is
// not empty (created or replaced only for status 200), else stays in memory, of which the
// first `copy_length` bytes go to `copy_buffer` (zero-filled when shorter). A file body
// longer than the context's limit, or one that takes the volume below job.bodySpaceFloor,
// ends as a communication error (8000, D011). The body is written under a hidden temporary
// name beside the target (PartFileOf) and renamed into place only when whole: the target
// never holds a partial body, and a request that does not end whole removes its part file.
// Results: 0, 100 (D003), 2000 (D018), 8000/8002 (D011), 8001, 8003, 8004, 8005 (D026),
// 8006, 8007 (D004); the log lines named are written here.
int HttpFetch(std::string_view path, const DownloadJob& job, char* copy_buffer = nullptr,
              std::size_t copy_length = 0);

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
