// One download run: the command line, the profile and the download options, the mailslot
// report, the per-server semaphore, the two worker phases with the stall watchdog, the abort
// procedure and the run's result code. kvdl_start (fetchko.h) is this with the defaults.
//
// The control thread (the caller's) never blocks for more than one wait step: between steps
// it serves close requests (SIGTERM to the process, or RunSettings::abort_request) and watches
// the worker for stalls.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "common/dialup/dialer.h"
#include "common/protocol.h"
#include "downloader/run_context.h"

namespace pondrel::dl {

class ProgressReporter;

struct RunSettings {
  // A request that receives nothing for this long is closed by the watchdog.
  int stall_limit_seconds = 180;
  // While an abort waits for the worker: a request idle for more than this is closed.
  int abort_stall_seconds = 59;
  int wait_step_ms = 50;
  // The pause after a dial-up hang-up, in which the link goes down.
  int hang_up_wait_ms = 3000;
  // The dial-up service; empty = the system's (dialup::LoadDialer). May answer null: the
  // dialer is missing.
  std::function<std::unique_ptr<dialup::Dialer>()> load_dialer;
  HttpTimeouts timeouts;
  HttpLimits limits;
  // Free space and volume size of the image directory; empty = statvfs.
  DiskSpaceProbe disk_space;
  // Status lines; null = the terminal's live line (quiet without a terminal).
  ProgressReporter* progress = nullptr;
  // Set to request an abort, as the Abort button does. May be null.
  const std::atomic<bool>* abort_request = nullptr;
  // SIGTERM to the process is a close request (the service's way to abort a run).
  bool close_on_sigterm = true;
  // Manual mode: asks for a server name; false when none was given. Empty = the terminal.
  std::function<bool(std::string*)> ask_server_name;
};

// Performs one run for `command_line` and returns its result code (see result_codes.h). An
// empty command line is manual mode: it asks for a server name, runs the download for that
// profile and returns 0.
RunResult RunDownload(std::string_view command_line, const RunSettings& settings = {});

}  // namespace pondrel::dl
