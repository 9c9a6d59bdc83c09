// State that one download run shares between its control thread (the one inside kvdl_start)
// and its worker thread, and the services the worker reaches the outside world through.
// The control thread writes the abort flag and the close request; the worker writes the
// last-activity time and the remaining-pictures counter. Each word has one writer.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "common/clock.h"

namespace pondrel::dl {

class ProgressReporter;

// The activity log of one run: every line carries the task name and the server name.
class RunLog {
 public:
  void Set(std::string path, std::string task, std::string server) {
    path_ = std::move(path);
    task_ = std::move(task);
    server_ = std::move(server);
  }
  void Write(int level, std::string_view message) const;
  // printf-style message, cut to the log line's room.
  void Writef(int level, const char* format, ...) const __attribute__((format(printf, 3, 4)));
  const std::string& path() const { return path_; }

 private:
  std::string path_, task_, server_;
};

// Time limits of the HTTP client; tests shorten them.
struct HttpTimeouts {
  long connect_ms = 60000;
  int connect_retries = 2;
  // A read that receives nothing for this long fails as a time-out (8002), and so does a
  // body that arrives slower than min_bytes_per_second on average over this window (a trickle;
  // a dial-up line carries ten times that).
  long receive_ms = 60000;
  long min_bytes_per_second = 256;
  // No request lasts longer than this, however it trickles (8002).
  long request_max_ms = 3600000;
};

// Byte limits of the HTTP client; tests lower them.
struct HttpLimits {
  // A picture or picture list longer than this ends the request as a communication error.
  // Camera pictures are a few hundred kilobytes and a list of a million pictures is about
  // 40 MB, so no camera reaches it; it only stops a server that never ends its body.
  std::uint64_t file_body_max = 256ull << 20;
};

// Free space available to the caller and total size of the volume holding `dir`.
using DiskSpaceProbe =
    std::function<bool(const std::string& dir, std::uint64_t* free_bytes, std::uint64_t* total)>;

struct RunContext {
  // Process-wide words of the run.
  std::atomic<bool> abort{false};
  std::atomic<bool> stall{false};
  std::atomic<std::int64_t> last_activity_ms{0};  // Clock::SteadyMs of the last network read
  std::atomic<long> remaining{0};                 // pictures the server reported, minus handled

  // The request slot: the HTTP client marks a request open while it runs; the control thread
  // asks for it to be closed, and the client ends it from its own transfer callbacks.
  std::atomic<bool> request_open{false};
  std::atomic<bool> close_request{false};

  RunLog log;
  ProgressReporter* progress = nullptr;  // never null while a worker runs
  HttpTimeouts timeouts;
  HttpLimits limits;
  DiskSpaceProbe disk_space;  // empty = statvfs of the directory

  void TouchActivity() { last_activity_ms.store(GetClock().SteadyMs()); }
  std::int64_t SecondsSinceActivity() const {
    return (GetClock().SteadyMs() - last_activity_ms.load()) / 1000;
  }
  // Ends the request being read, if any; the client notices within a second.
  void CloseCurrentRequest() {
    if (request_open.load()) close_request.store(true);
  }
  bool MeasureDisk(const std::string& dir, std::uint64_t* free_bytes, std::uint64_t* total) const;
};

}  // namespace pondrel::dl
