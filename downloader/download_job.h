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
  std::string serverName;
  std::string hostName;
  std::uint32_t httpPort = 80;
  bool useProxy = false;
  std::string proxyHost;  // empty unless useProxy
  int proxyPort = 0;      // 0 unless useProxy
  std::string account;
  std::string password;
  std::string targetFile;  // where the current response body goes; empty = memory
  // A body streaming into targetFile is ended when the free space of the image directory's
  // volume falls below this many bytes (0 = not checked).
  std::uint64_t bodySpaceFloor = 0;
  std::string listFile;  // <imageDirectory>/info/pict.lst
  int phase = 1;         // 1 = status and list, 2 = download
  bool deleteOnServer = false;
  std::string imageDirectory;
  std::uint32_t freeSpacePercent = 10;
  Guid serverId;
  bool autoDelete = false;
  std::uint32_t maxImages = 0;  // 0 = no limit
};

}  // namespace pondrel::dl
