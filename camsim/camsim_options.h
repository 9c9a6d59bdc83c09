// camsim's command line.
#pragma once

#include <string>
#include <vector>

#include "camsim/camera_server.h"

namespace pondrel::camsim {

struct CamsimOptions {
  int port = 0;  // 0: a free port, printed and written to the port file
  std::string bind = "127.0.0.1";
  std::string request_log;
  std::string port_file;
  int threads = 16;
  CamServerConfig server;
  std::string control_text;  // control lines from --fault, --state, --count and --control
};

enum class OptionsResult { kRun, kHelp, kError };

OptionsResult ParseCamsimOptions(const std::vector<std::string>& args, CamsimOptions* out,
                                 std::string* error);

extern const char kCamsimUsage[];

}  // namespace pondrel::camsim
