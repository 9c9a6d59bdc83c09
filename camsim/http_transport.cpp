#include "camsim/http_transport.h"

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <utility>

namespace pondrel::camsim {
namespace {

// What the transport knows of the response being served on this thread: whether its log line
// is written, and how many body bytes a content provider wrote.
thread_local bool t_logged = false;
thread_local std::size_t t_provider_bytes = 0;

// Lets the slow deliveries (stalls, trickles, endless bodies) end at once when the transport
// is stopped.
class StopFlag {
 public:
  void Set() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      stopping_ = true;
    }
    cv_.notify_all();
  }
  bool IsSet() const {
    std::lock_guard<std::mutex> lock(mu_);
    return stopping_;
  }
  // False when stopping began before `ms` milliseconds passed.
  bool Sleep(long ms) {
    std::unique_lock<std::mutex> lock(mu_);
    return !cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping_; });
  }

 private:
  mutable std::mutex mu_;
  std::condition_variable cv_;
  bool stopping_ = false;
};

// What the slow deliveries share with the transport: the stop flag and the counters tests read.
struct DeliveryState {
  StopFlag stop;
  std::atomic<int> stalling{0};
  std::atomic<std::uint64_t> endless_bytes{0};
};

// Writes the request log line and counts the bytes. A response is logged before its last
// byte leaves, so that a client holding a complete answer always finds its line in the log.
using LogServed = std::function<void(int status, std::size_t bytes)>;

// A body delivered piece by piece; its log line is written before the final piece, or when the
// delivery is cut off on purpose.
class PieceWriter {
 public:
  PieceWriter(std::shared_ptr<const std::string> body, int status, LogServed log)
      : body_(std::move(body)), status_(status), log_(std::move(log)) {}

  bool Write(httplib::DataSink& sink, std::size_t from, std::size_t to) {
    if (to <= from) return true;
    if (to == body_->size()) Log(to);
    if (!sink.write(body_->data() + from, to - from)) return false;
    t_provider_bytes += to - from;
    return true;
  }
  // Ends the delivery at `sent` bytes: the connection closes.
  bool CutOff(std::size_t sent) {
    Log(sent);
    return false;
  }
  const std::string& body() const { return *body_; }

 private:
  void Log(std::size_t bytes) {
    if (logged_) return;
    logged_ = true;
    t_logged = true;
    log_(status_, bytes);
  }

  std::shared_ptr<const std::string> body_;
  int status_;
  LogServed log_;
  bool logged_ = false;
};

// Holds the stall counter up while a delivery waits in the middle of its body.
class StallMark {
 public:
  explicit StallMark(std::atomic<int>& count) : count_(count) { ++count_; }
  ~StallMark() { --count_; }
  StallMark(const StallMark&) = delete;
  StallMark& operator=(const StallMark&) = delete;

 private:
  std::atomic<int>& count_;
};

// The content provider that delivers `writer`'s body as the plan says: stalled, dropped,
// trickled or hung up after (kWhole and kEndless need none).
httplib::ContentProvider ProviderFor(const ResponsePlan& plan, std::shared_ptr<PieceWriter> writer,
                                     DeliveryState& state) {
  const std::size_t length = writer->body().size();
  const std::size_t cut =
      plan.cut_at >= 0 ? std::min(length, static_cast<std::size_t>(plan.cut_at)) : length / 2;
  const long param = plan.param;
  switch (plan.delivery) {
    case Delivery::kStall: {
      auto stalled = std::make_shared<bool>(false);
      return [writer, cut, param, stalled, &state](std::size_t offset, std::size_t,
                                                   httplib::DataSink& sink) {
        if (offset < cut) return writer->Write(sink, offset, cut);
        if (!*stalled) {
          *stalled = true;
          const StallMark mark(state.stalling);
          if (!state.stop.Sleep(param * 1000)) return writer->CutOff(offset);
        }
        return writer->Write(sink, offset, writer->body().size());
      };
    }
    case Delivery::kDrop:
      // The body up to the cut goes out under a length announcing all of it; then the
      // connection closes.
      return [writer, cut](std::size_t offset, std::size_t, httplib::DataSink& sink) {
        if (offset < cut) return writer->Write(sink, offset, cut);
        return writer->CutOff(offset);
      };
    case Delivery::kTrickle: {
      // Pieces of a tenth of the rate ten times a second; slow rates a byte at a time.
      const std::size_t chunk = std::max<long>(param / 10, 1);
      const long pause_ms = std::max<long>(static_cast<long>(chunk) * 1000 / param, 1);
      return [writer, chunk, pause_ms, &state](std::size_t offset, std::size_t,
                                               httplib::DataSink& sink) {
        const std::size_t end = std::min(writer->body().size(), offset + chunk);
        if (!writer->Write(sink, offset, end)) return false;
        if (end == writer->body().size()) return true;
        return state.stop.Sleep(pause_ms) || writer->CutOff(end);
      };
    }
    case Delivery::kHangUp:
      // A provider that reports a failure after the last byte makes the server close the
      // connection, while the client holds a whole answer it may take for kept alive.
      return [writer](std::size_t offset, std::size_t, httplib::DataSink& sink) {
        return writer->Write(sink, offset, writer->body().size()) && false;
      };
    case Delivery::kWhole:
    case Delivery::kEndless: break;
  }
  return nullptr;
}

// A body without a length that never ends: the answer's body, then the filler over and over
// until the client goes away or the transport stops.
httplib::ContentProviderWithoutLength EndlessProvider(std::shared_ptr<PieceWriter> writer,
                                                      std::string filler, DeliveryState& state) {
  if (filler.empty()) filler.assign(64 * 1024, '\0');
  return [writer, filler = std::move(filler), &state](std::size_t offset, httplib::DataSink& sink) {
    const std::size_t length = writer->body().size();
    if (offset < length) {
      if (!sink.write(writer->body().data() + offset, length - offset)) {
        return writer->CutOff(offset);
      }
      t_provider_bytes += length - offset;
      return true;
    }
    if (state.stop.IsSet() || !sink.write(filler.data(), filler.size())) {
      return writer->CutOff(length);
    }
    state.endless_bytes += filler.size();
    return true;
  };
}

void Carry(ResponsePlan plan, httplib::Response& res, DeliveryState& state, const LogServed& log) {
  res.status = plan.status;
  for (const auto& [name, value] : plan.headers) res.set_header(name, value);
  if (plan.delivery == Delivery::kStall && plan.body.empty()) {
    // Nothing to interrupt: the answer itself is late.
    const StallMark mark(state.stalling);
    state.stop.Sleep(plan.param * 1000);
    plan.delivery = Delivery::kWhole;
  }
  if (plan.delivery == Delivery::kTrickle && plan.body.empty()) plan.delivery = Delivery::kWhole;
  // An empty body has no last piece to hang up after: the answer closes the connection.
  if (plan.delivery == Delivery::kHangUp && plan.body.empty()) {
    res.set_header("Connection", "close");
    plan.delivery = Delivery::kWhole;
  }
  if (plan.delivery == Delivery::kWhole) {
    log(plan.status, plan.body.size());
    t_logged = true;
    res.set_content(plan.body, plan.content_type.c_str());
    return;
  }
  const Delivery delivery = plan.delivery;
  std::string filler = std::move(plan.filler);
  // A dropped empty body announces one byte, so that the client sees the loss.
  const std::size_t announced = std::max<std::size_t>(plan.body.size(), 1);
  auto writer = std::make_shared<PieceWriter>(
      std::make_shared<const std::string>(std::move(plan.body)), plan.status, log);
  if (delivery == Delivery::kEndless) {
    res.set_header("Connection", "close");
    res.set_content_provider(plan.content_type.c_str(),
                             EndlessProvider(writer, std::move(filler), state));
    return;
  }
  res.set_content_provider(announced, plan.content_type.c_str(), ProviderFor(plan, writer, state));
}

// Headers the HTTP library adds to a request of its own accord; not the client's.
bool IsLibraryHeader(const std::string& name) {
  return name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" ||
         name == "LOCAL_PORT";
}

IncomingRequest ToIncoming(const httplib::Request& req) {
  IncomingRequest in;
  in.method = req.method;
  in.target = req.target;
  in.body = req.body;
  if (req.has_header("Authorization")) in.authorization = req.get_header_value("Authorization");
  in.user_agent = req.get_header_value("User-Agent");
  in.peer = req.remote_addr + ":" + std::to_string(req.remote_port);
  for (const auto& [name, value] : req.headers) {
    if (IsLibraryHeader(name)) continue;
    std::string lower = name;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    in.headers.emplace_back(std::move(lower), value);
  }
  return in;
}

}  // namespace

struct HttpTransport::Impl {
  CamServer& server;
  RequestLog& log;
  RequestObserver observer;
  DeliveryState state;
  httplib::Server svr;

  Impl(CamServer& s, RequestLog& l, RequestObserver o)
      : server(s), log(l), observer(std::move(o)) {}
  void Route(int threads);
};

// Routes every request to the simulated camera and logs it: requests that never reach the
// handler (malformed ones) and deliveries that broke before their end are logged once the
// response is over.
void HttpTransport::Impl::Route(int threads) {
  svr.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
  svr.set_payload_max_length(1 << 20);
  // Headers and body leave in separate writes; without TCP_NODELAY a reused connection waits
  // for the client's delayed acknowledgement between them.
  svr.set_tcp_nodelay(true);
  // A kept connection serves up to 100 requests, as common web servers allow by default.
  svr.set_keep_alive_max_count(100);
  svr.set_pre_routing_handler([](const httplib::Request&, httplib::Response&) {
    t_logged = false;
    t_provider_bytes = 0;
    return httplib::Server::HandlerResponse::Unhandled;
  });
  const auto served = [this](const std::string& method, const std::string& target, int status,
                             std::size_t bytes) {
    if (log.IsOpen()) log.Write(method, target, status, bytes);
    server.RecordSent(bytes);
  };
  const auto handler = [this, served](const httplib::Request& req, httplib::Response& res) {
    const IncomingRequest in = ToIncoming(req);
    if (observer) observer(in);
    const LogServed log_this = [served, method = req.method, target = req.target](
                                   int status, std::size_t bytes) {
      served(method, target, status, bytes);
    };
    Carry(server.Handle(in), res, state, log_this);
  };
  svr.Get(".*", handler);
  svr.Post(".*", handler);
  svr.Put(".*", handler);
  svr.Delete(".*", handler);
  svr.set_logger([served](const httplib::Request& req, const httplib::Response& res) {
    if (!t_logged) {
      served(req.method, req.target, res.status,
             res.body.empty() ? t_provider_bytes : res.body.size());
    }
    t_logged = false;
    t_provider_bytes = 0;
  });
}

HttpTransport::HttpTransport(CamServer& server, RequestLog& log, int threads,
                             RequestObserver observer)
    : impl_(std::make_unique<Impl>(server, log, std::move(observer))) {
  impl_->Route(threads);
}

HttpTransport::~HttpTransport() { Stop(); }

int HttpTransport::Bind(const std::string& address, int port) {
  if (port != 0) return impl_->svr.bind_to_port(address.c_str(), port) ? port : 0;
  const int bound = impl_->svr.bind_to_any_port(address);
  return bound > 0 ? bound : 0;
}

void HttpTransport::Serve() {
  if (!impl_->state.stop.IsSet()) impl_->svr.listen_after_bind();
}

bool HttpTransport::IsServing() const { return impl_->svr.is_running(); }

void HttpTransport::Stop() {
  impl_->state.stop.Set();
  impl_->svr.stop();
}

int HttpTransport::StallsInProgress() const { return impl_->state.stalling.load(); }

std::uint64_t HttpTransport::EndlessBytesSent() const { return impl_->state.endless_bytes.load(); }

}  // namespace pondrel::camsim
