#include "downloader/fetchko.h"

#include <exception>

#include "downloader/download_run.h"
#include "downloader/result_codes.h"

// The run's result leaves the library as its number.
extern "C" int kvdl_start(const char* command_line) {
  using pondrel::dl::ResultCode;
  using pondrel::dl::RunResult;
  try {
    return ResultCode(pondrel::dl::RunDownload(command_line ? command_line : ""));
  } catch (...) {
    return ResultCode(RunResult::kOutOfMemory);
  }
}
