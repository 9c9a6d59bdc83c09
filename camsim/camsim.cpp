// camsim: a camera server for tests and trials. It serves the camera's four requests under
// "/-kvidb-/" on 127.0.0.1 with Basic authorization, holds a series of small JPEG pictures
// carrying the camera header, deletes them when asked, injects faults on demand, and logs
// every request it served.
#include <signal.h>
#include <unistd.h>

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "camsim/camera_server.h"
#include "camsim/camsim_options.h"
#include "camsim/request_log.h"

namespace pondrel::camsim {
namespace {

// What the transport knows of the response being served on this thread: whether its log line
// is written, and how many body bytes a content provider wrote.
thread_local bool t_logged = false;
thread_local std::size_t t_provider_bytes = 0;

// Lets the slow deliveries (stalls, trickles) end at once when the simulator is stopped.
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

// The content provider that delivers `writer`'s body as the plan says: stalled, dropped,
// trickled or hung up after (kWhole needs none).
httplib::ContentProvider ProviderFor(const ResponsePlan& plan, std::shared_ptr<PieceWriter> writer,
                                     StopFlag& stop) {
  const std::size_t length = writer->body().size();
  const std::size_t cut =
      plan.cut_at >= 0 ? std::min(length, static_cast<std::size_t>(plan.cut_at)) : length / 2;
  const long param = plan.param;
  switch (plan.delivery) {
    case Delivery::kStall: {
      auto stalled = std::make_shared<bool>(false);
      return [writer, cut, param, stalled, &stop](std::size_t offset, std::size_t,
                                                  httplib::DataSink& sink) {
        if (offset < cut) return writer->Write(sink, offset, cut);
        if (!*stalled) {
          *stalled = true;
          if (!stop.Sleep(param * 1000)) return writer->CutOff(offset);
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
      const std::size_t chunk = std::max<long>(param / 10, 1);
      return [writer, chunk, &stop](std::size_t offset, std::size_t, httplib::DataSink& sink) {
        const std::size_t end = std::min(writer->body().size(), offset + chunk);
        if (!writer->Write(sink, offset, end)) return false;
        if (end == writer->body().size()) return true;
        return stop.Sleep(100) || writer->CutOff(end);
      };
    }
    case Delivery::kHangUp:
      // A provider that reports a failure after the last byte makes the server close the
      // connection, while the client holds a whole answer it may take for kept alive.
      return [writer](std::size_t offset, std::size_t, httplib::DataSink& sink) {
        return writer->Write(sink, offset, writer->body().size()) && false;
      };
    case Delivery::kWhole:
      break;
  }
  return nullptr;
}

void Carry(ResponsePlan plan, httplib::Response& res, StopFlag& stop, const LogServed& log) {
  res.status = plan.status;
  for (const auto& [name, value] : plan.headers) res.set_header(name, value);
  if (plan.delivery == Delivery::kStall && plan.body.empty()) {
    // Nothing to interrupt: the answer itself is late.
    stop.Sleep(plan.param * 1000);
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
  // A dropped empty body announces one byte, so that the client sees the loss.
  const std::size_t announced = std::max<std::size_t>(plan.body.size(), 1);
  auto writer = std::make_shared<PieceWriter>(
      std::make_shared<const std::string>(std::move(plan.body)), plan.status, log);
  res.set_content_provider(announced, plan.content_type.c_str(), ProviderFor(plan, writer, stop));
}

bool WritePortFile(const std::string& path, int port) {
  const std::string tmp = path + ".tmp";
  FILE* f = std::fopen(tmp.c_str(), "w");
  if (!f) return false;
  std::fprintf(f, "%d\n", port);
  const bool ok = std::fclose(f) == 0;
  return ok && std::rename(tmp.c_str(), path.c_str()) == 0;
}

// Routes every request to the simulated camera and logs it: requests that never reach the
// handler (malformed ones) and deliveries that broke before their end are logged once the
// response is over.
void Route(httplib::Server& svr, CamServer& server, RequestLog& log, StopFlag& stop,
           int threads) {
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
  const auto served = [&log, &server](const std::string& method, const std::string& target,
                                      int status, std::size_t bytes) {
    log.Write(method, target, status, bytes);
    server.RecordSent(bytes);
  };
  const auto handler = [&server, &stop, served](const httplib::Request& req,
                                                httplib::Response& res) {
    IncomingRequest in;
    in.method = req.method;
    in.target = req.target;
    in.body = req.body;
    if (req.has_header("Authorization")) in.authorization = req.get_header_value("Authorization");
    in.user_agent = req.get_header_value("User-Agent");
    in.peer = req.remote_addr + ":" + std::to_string(req.remote_port);
    const LogServed log_this = [served, method = req.method, target = req.target](
                                   int status, std::size_t bytes) {
      served(method, target, status, bytes);
    };
    Carry(server.Handle(in), res, stop, log_this);
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

// Binds the listening socket; the port, or 0 after saying why not.
int Bind(httplib::Server& svr, const CamsimOptions& opt) {
  if (opt.port != 0) {
    if (svr.bind_to_port(opt.bind.c_str(), opt.port)) return opt.port;
    std::fprintf(stderr, "camsim: cannot listen on %s:%d\n", opt.bind.c_str(), opt.port);
    return 0;
  }
  const int port = svr.bind_to_any_port(opt.bind);
  if (port > 0) return port;
  std::fprintf(stderr, "camsim: cannot listen on %s\n", opt.bind.c_str());
  return 0;
}

// Serves until SIGTERM or SIGINT, which one thread takes with sigwait (the others keep them
// blocked).
void ServeUntilSignalled(httplib::Server& svr, StopFlag& stop, const sigset_t& signals) {
  std::atomic<bool> done{false};
  std::thread waiter([&] {
    int sig = 0;
    sigwait(&signals, &sig);
    stop.Set();
    // The listener may not have started yet: stop it once it runs, or give up when it ended.
    while (!done.load()) {
      if (svr.is_running()) {
        svr.stop();
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });
  if (!stop.IsSet()) svr.listen_after_bind();
  done = true;
  if (!stop.IsSet()) pthread_kill(waiter.native_handle(), SIGTERM);
  waiter.join();
}

int Run(const CamsimOptions& opt) {
  CamServer server(opt.server);
  std::string error;
  if (!server.ApplyControl(opt.control_text, &error)) {
    std::fprintf(stderr, "camsim: %s\n", error.c_str());
    return 1;
  }
  RequestLog log;
  if (!opt.request_log.empty() && !log.Open(opt.request_log)) {
    std::fprintf(stderr, "camsim: cannot open the request log %s\n", opt.request_log.c_str());
    return 1;
  }
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  StopFlag stop;
  httplib::Server svr;
  Route(svr, server, log, stop, opt.threads);
  const int port = Bind(svr, opt);
  if (port == 0) return 2;
  if (!opt.port_file.empty() && !WritePortFile(opt.port_file, port)) {
    std::fprintf(stderr, "camsim: cannot write the port file %s\n", opt.port_file.c_str());
    return 1;
  }
  std::printf("camsim listening on %s:%d\n", opt.bind.c_str(), port);
  std::fflush(stdout);
  ServeUntilSignalled(svr, stop, signals);
  if (!opt.port_file.empty()) std::remove(opt.port_file.c_str());
  std::printf("camsim stopped\n");
  return 0;
}

}  // namespace
}  // namespace pondrel::camsim

int main(int argc, char** argv) {
  pondrel::camsim::CamsimOptions options;
  std::string error;
  const std::vector<std::string> args(argv + 1, argv + argc);
  switch (pondrel::camsim::ParseCamsimOptions(args, &options, &error)) {
    case pondrel::camsim::OptionsResult::kHelp:
      std::fputs(pondrel::camsim::kCamsimUsage, stdout);
      return 0;
    case pondrel::camsim::OptionsResult::kError:
      std::fprintf(stderr, "camsim: %s\n%s", error.c_str(), pondrel::camsim::kCamsimUsage);
      return 1;
    case pondrel::camsim::OptionsResult::kRun:
      break;
  }
  return pondrel::camsim::Run(options);
}
