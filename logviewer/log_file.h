// Opening and reading the activity log as a stream: the reading rules that the viewer and the
// command line share, and a line reader that keeps memory constant whatever the file holds.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "common/unique_fd.h"

namespace pondrel::logviewer {

// Opens `path` for reading with a shared lock on the whole file, so that a writer holding the
// file locked against readers is waited for like a denied access: 10 attempts 100 ms apart.
// 0 or an errno. A file that does not exist in an existing directory sets `*missing` and
// returns 0; a missing directory gives ENOENT. The descriptor is non-blocking (a FIFO without
// a writer never holds up the reader).
int OpenLogForReading(const std::string& path, UniqueFd* out, bool* missing);

// Lines longer than this are cut to it by the line reader (and read as placeholders).
inline constexpr std::size_t kMaxStreamLine = 1u << 20;

// Reads lines front to back in constant memory. Lines split as the viewer splits them: at
// each CR or LF, empty lines skipped.
class CLogLineReader {
 public:
  CLogLineReader() = default;
  CLogLineReader(const CLogLineReader&) = delete;
  CLogLineReader& operator=(const CLogLineReader&) = delete;

  // 0 or an errno (see OpenLogForReading; a missing file reads as empty). Directories and
  // devices are refused (EISDIR, EINVAL).
  int Open(const std::string& path);
  // The next line, valid until the next call. `*cut` tells a line was longer than
  // kMaxStreamLine. At the end of the data a line without its line end is returned unless
  // `hold_open_line`, in which case it waits for more data (follow mode). False at the end.
  bool Next(std::string_view* line, bool* cut, bool hold_open_line = false);
  // 0, or the errno of a failed read.
  int error() const { return error_; }
  // The file offset of the first byte not yet returned.
  std::uint64_t Offset() const { return consumed_; }
  // Starts reading at byte `offset` (which must be a line start).
  bool Seek(std::uint64_t offset);

  // Follow mode: whether the file at the path was replaced or shrank below what was read.
  bool WasReplacedOrTruncated() const;
  const std::string& path() const { return path_; }

 private:
  bool Fill();
  std::string path_;
  UniqueFd fd_;
  std::string buf_;
  std::size_t begin_ = 0, end_ = 0;
  std::uint64_t consumed_ = 0;  // file offset of buf_[begin_]
  bool skipping_ = false;       // inside the rest of a cut line
  bool eof_ = false;
  int error_ = 0;
  std::uint64_t dev_ = 0, ino_ = 0;
};

// The last lines of the file, newest first, reading backwards from its end: `visit` sees each
// line (cut to kMaxStreamLine) and returns false to stop. 0 or an errno.
// `*end` receives the file size the walk started from.
int ForEachLineBackwards(const std::string& path,
                         const std::function<bool(std::string_view line, bool cut)>& visit,
                         std::uint64_t* end = nullptr);

}  // namespace pondrel::logviewer
