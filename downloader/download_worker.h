// The worker of a download run. Phase 1 asks the server for its status and fetches the
// picture list into pict.lst; phase 2 downloads every picture the image index does not hold
// yet, files it, lists it in imagepath.lst, deletes it on the server in batches of eight
// when the profile says so, keeps the free-space policy and writes the run's summary.
#pragma once

#include "common/protocol.h"
#include "downloader/download_job.h"

namespace pondrel::dl {

inline constexpr int kDeleteBatchSize = 8;
inline constexpr std::uint64_t kPhase1NeedBytes = 104857600;  // 100 MB

// Runs job.phase and returns the worker's exit code: 0, 100, 101-104, 110 (phase 1: the
// server holds no pictures), 2001, 3000, or an HTTP result.
RunResult RunWorkerPhase(DownloadJob& job);

}  // namespace pondrel::dl
