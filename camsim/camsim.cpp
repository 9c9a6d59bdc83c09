// camsim: a camera server for tests and trials. It serves the camera's four requests under
// "/-kvidb-/" on 127.0.0.1 with Basic authorization, holds a series of small JPEG pictures
// carrying the camera header, deletes them when asked, injects faults on demand, and logs
// every request it served.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "camsim/camera_server.h"
#include "camsim/camsim_options.h"
#include "camsim/http_transport.h"
#include "camsim/request_log.h"

namespace pondrel::camsim {
namespace {

bool WritePortFile(const std::string& path, int port) {
  const std::string tmp = path + ".tmp";
  FILE* f = std::fopen(tmp.c_str(), "w");
  if (!f) return false;
  std::fprintf(f, "%d\n", port);
  const bool ok = std::fclose(f) == 0;
  return ok && std::rename(tmp.c_str(), path.c_str()) == 0;
}

// Binds the listening socket; the port, or 0 after saying why not.
int Bind(HttpTransport& transport, const CamsimOptions& opt) {
  const int port = transport.Bind(opt.bind, opt.port);
  if (port > 0) return port;
  if (opt.port != 0) {
    std::fprintf(stderr, "camsim: cannot listen on %s:%d\n", opt.bind.c_str(), opt.port);
  } else {
    std::fprintf(stderr, "camsim: cannot listen on %s\n", opt.bind.c_str());
  }
  return 0;
}

// Serves until SIGTERM or SIGINT, which one thread takes with sigwait (the others keep them
// blocked).
void ServeUntilSignalled(HttpTransport& transport, const sigset_t& signals) {
  std::atomic<bool> done{false};
  std::atomic<bool> signalled{false};
  std::thread waiter([&] {
    int sig = 0;
    sigwait(&signals, &sig);
    signalled = true;
    // The listener may not have started yet: stop it once it runs, or give up when it ended.
    transport.Stop();
    while (!done.load()) {
      if (transport.IsServing()) {
        transport.Stop();
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });
  transport.Serve();
  done = true;
  if (!signalled.load()) pthread_kill(waiter.native_handle(), SIGTERM);
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

  HttpTransport transport(server, log, opt.threads);
  const int port = Bind(transport, opt);
  if (port == 0) return 2;
  if (!opt.port_file.empty() && !WritePortFile(opt.port_file, port)) {
    std::fprintf(stderr, "camsim: cannot write the port file %s\n", opt.port_file.c_str());
    return 1;
  }
  std::printf("camsim listening on %s:%d\n", opt.bind.c_str(), port);
  std::fflush(stdout);
  ServeUntilSignalled(transport, signals);
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
    case pondrel::camsim::OptionsResult::kRun: break;
  }
  return pondrel::camsim::Run(options);
}
