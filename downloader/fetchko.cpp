#include "downloader/fetchko.h"

#include <exception>

#include "downloader/download_run.h"
#include "downloader/result_codes.h"

extern "C" int kvdl_start(const char* command_line) {
  try {
    return pondrel::dl::RunDownload(command_line ? command_line : "");
  } catch (...) {
    return pondrel::dl::kResultOutOfMemory;
  }
}
