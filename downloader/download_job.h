// DownloadJob: what the worker needs for both phases of one run, built once per run.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "common/guid.h"

namespace pondrel::dl {

struct RunContext;
class HttpSession;

struct DownloadJob {
  RunContext* context = nullptr;  // shared words, log, progress (the "window")
  // The connection that the run's requests share; made by the first worker phase.
  std::shared_ptr<HttpSession> session;
  std::string server_name;
  std::string host_name;
  std::uint32_t http_port = 80;
  bool use_proxy = false;
  std::string proxy_host;  // empty unless use_proxy
  int proxy_port = 0;      // 0 unless use_proxy
  std::string account;
  std::string password;
  std::string target_file;  // where the current response body goes; empty = memory
  // A body streaming into target_file is ended when the free space of the image directory's
  // volume falls below this many bytes (0 = not checked).
  std::uint64_t body_space_floor = 0;
  std::string list_file;  // <imageDirectory>/info/pict.lst
  int phase = 1;          // 1 = status and list, 2 = download
  bool delete_on_server = false;
  std::string image_directory;
  std::uint32_t free_space_percent = 10;
  Guid server_id;
  bool auto_delete = false;
  std::uint32_t max_images = 0;  // 0 = no limit
};

}  // namespace pondrel::dl
