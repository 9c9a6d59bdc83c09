// camsim's HTTP side: carries the simulated camera's answers over HTTP/1.1 on a listening
// socket (kept connections, the deliveries a fault plan asks for) and writes the request log.
// The executable runs one until it is signalled; tests run one in a thread of their own
// process. Stop() may be called from any thread and ends slow deliveries at once.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "camsim/camera_server.h"
#include "camsim/request_log.h"

namespace pondrel::camsim {

class HttpTransport {
 public:
  // Told of every request before it is answered (its headers included); called on the
  // serving threads.
  using RequestObserver = std::function<void(const IncomingRequest&)>;

  // `server` and `log` outlive the transport; `log` may be closed (nothing is written).
  HttpTransport(CamServer& server, RequestLog& log, int threads, RequestObserver observer = {});
  ~HttpTransport();
  HttpTransport(const HttpTransport&) = delete;
  HttpTransport& operator=(const HttpTransport&) = delete;

  // Binds the listening socket (`port` 0: a free one); the port, or 0 when it cannot listen.
  int Bind(const std::string& address, int port);
  // Serves until Stop(); returns at once when Stop() came first.
  void Serve();
  bool IsServing() const;
  void Stop();

  // Deliveries stalled in their middle at this moment.
  int StallsInProgress() const;
  // Filler bytes sent after the bodies that never end.
  std::uint64_t EndlessBytesSent() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace pondrel::camsim
