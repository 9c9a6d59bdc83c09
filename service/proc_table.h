// CKVProcTable: the running downloaders, at most 16, in the order they were started. Each
// entry owns the child's pidfd (the process handle: the service waits on it and signals
// through it) and the read end of the child's result pipe.
#pragma once

#include <sys/types.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "common/fs_util.h"
#include "common/process.h"
#include "common/unique_fd.h"

namespace pondrel {

inline constexpr int kMaxRunningDownloads = 16;
// The exit code recorded when a downloader's result cannot be obtained (killed by a signal).
inline constexpr int kExitCodeUnavailable = 9999;

struct ProcEntry {
  std::string task_name;  // at most 259 characters
  ChildProcess child;     // the process handle (its pidfd)
  pid_t pid = 0;          // non-zero once started
  // Reported by the downloader ("ZORIC:04:"); 0 until then. Read by the stop path too.
  std::atomic<std::uint32_t> window{0};
  std::string image_dir;  // at most 263 characters
  UniqueFd result_fd;     // read end of the PONDREL_RESULT_FD pipe
  // The user's abort ended the process without the downloader's own abort procedure.
  bool abort_forced = false;
};

class CKVProcTable {
 public:
  CKVProcTable() = default;
  CKVProcTable(const CKVProcTable&) = delete;
  CKVProcTable& operator=(const CKVProcTable&) = delete;
  ~CKVProcTable();

  // Read from any thread (the stop path polls it); changed only by the service body thread.
  int Count() const { return count_.load(); }
  ProcEntry* At(int i) const;
  // Appends an entry; its index, or -1 when the table is full.
  int Add(std::unique_ptr<ProcEntry> entry);
  // Removes entry i: a process still active is ended (SIGKILL) and reaped; the later entries
  // move down. Indices outside 0..Count()-1 are ignored.
  void Remove(int i);
  // The close request: SIGTERM through the pidfd, only if the process is still active and has
  // reported its window; otherwise nothing. True when the request was sent.
  bool CloseRequest(int i);
  // Ends the process of entry i with `sig` through its pidfd if it is still active.
  bool Signal(int i, int sig);
  // First entry with that task name, or -1.
  int FindByName(std::string_view task_name) const;
  // The entry whose pidfd is `fd`, or -1.
  int FindByPidfd(int fd) const;

 private:
  std::array<std::unique_ptr<ProcEntry>, kMaxRunningDownloads> entries_{};
  std::atomic<int> count_{0};
};

// Starting and reaping the downloader launcher.
struct LaunchedProcess {
  ChildProcess child;
  UniqueFd result_fd;
};

// Starts `exe` with the single argument `options` (argv[0] is `arg0`). The child gets the write
// end of a fresh pipe, named by PONDREL_RESULT_FD, no other inherited descriptor, a default
// signal mask and a process group of its own (a Ctrl-C meant for the service does not reach
// it). False (errno-style text in *error) when the program could not be executed.
bool StartLauncher(const std::string& exe, const std::string& arg0, const std::string& options,
                   LaunchedProcess* out, std::string* error);

// Reaps an ended child and returns its result: the decimal text on the result pipe if any,
// otherwise the exit status of a normal exit; kExitCodeUnavailable when it died of a signal or
// could not be reaped.
int ReapLauncher(ChildProcess& child, int result_fd);

}  // namespace pondrel
