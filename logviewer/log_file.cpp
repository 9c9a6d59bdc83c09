#include "logviewer/log_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace pondrel::logviewer {
namespace {

constexpr int kOpenAttempts = 10;
constexpr auto kOpenRetryInterval = std::chrono::milliseconds(100);
constexpr std::size_t kBlock = 256 * 1024;

bool DirectoryOfExists(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "."
                          : slash == 0               ? "/"
                                                     : path.substr(0, slash);
  struct stat st;
  return ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsLineEnd(char c) { return c == '\n' || c == '\r'; }

}  // namespace

int OpenLogForReading(const std::string& path, UniqueFd* out, bool* missing) {
  *missing = false;
  if (path.empty()) return ENOENT;
  int err = 0;
  for (int attempt = 1; attempt <= kOpenAttempts; ++attempt) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (fd) {
      struct flock lk {};
      lk.l_type = F_RDLCK;
      lk.l_whence = SEEK_SET;
      // Directories and FIFOs take no lock; only a conflicting writer's lock makes us wait.
      if (::fcntl(fd.get(), F_OFD_SETLK, &lk) == 0 || (errno != EAGAIN && errno != EACCES)) {
        *out = std::move(fd);
        return 0;
      }
      err = EACCES;
    } else {
      err = errno;
      if (err == ENOENT && DirectoryOfExists(path)) {
        *missing = true;
        return 0;
      }
      if (err != EACCES && err != EPERM && err != EBUSY && err != ETXTBSY) return err;
    }
    if (attempt < kOpenAttempts) std::this_thread::sleep_for(kOpenRetryInterval);
  }
  return err;
}

// ---- Forwards ------------------------------------------------------------------------------

int CLogLineReader::Open(const std::string& path) {
  path_ = path;
  fd_.reset();
  buf_.assign(kMaxStreamLine + kBlock, '\0');
  begin_ = end_ = 0;
  consumed_ = 0;
  skipping_ = eof_ = false;
  error_ = 0;
  dev_ = ino_ = 0;
  bool missing = false;
  const int rc = OpenLogForReading(path, &fd_, &missing);
  if (rc != 0) return rc;
  if (missing) {
    eof_ = true;
    return 0;
  }
  struct stat st;
  if (::fstat(fd_.get(), &st) != 0) return errno;
  if (S_ISDIR(st.st_mode)) return EISDIR;
  if (!S_ISREG(st.st_mode) && !S_ISFIFO(st.st_mode)) return EINVAL;
  if (S_ISREG(st.st_mode)) {
    // Regular files never block; reads of a FIFO wait for its writer.
    ::fcntl(fd_.get(), F_SETFL, ::fcntl(fd_.get(), F_GETFL) & ~O_NONBLOCK);
    dev_ = st.st_dev;
    ino_ = st.st_ino;
  } else {
    ::fcntl(fd_.get(), F_SETFL, ::fcntl(fd_.get(), F_GETFL) & ~O_NONBLOCK);
  }
  return 0;
}

bool CLogLineReader::Seek(std::uint64_t offset) {
  if (!fd_) return false;
  if (::lseek(fd_.get(), static_cast<off_t>(offset), SEEK_SET) < 0) return false;
  begin_ = end_ = 0;
  consumed_ = offset;
  skipping_ = false;
  eof_ = false;
  return true;
}

bool CLogLineReader::Fill() {
  if (!fd_) return false;
  if (begin_ > 0) {
    std::memmove(buf_.data(), buf_.data() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
  }
  for (;;) {
    const ssize_t n = ::read(fd_.get(), buf_.data() + end_, buf_.size() - end_);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error_ = errno;
      return false;
    }
    end_ += static_cast<std::size_t>(n);
    return n > 0;
  }
}

bool CLogLineReader::Next(std::string_view* line, bool* cut, bool hold_open_line) {
  *cut = false;
  for (;;) {
    const char* data = buf_.data();
    std::size_t i = begin_;
    while (i < end_ && !IsLineEnd(data[i])) ++i;
    if (i < end_) {
      const std::size_t b = begin_;
      consumed_ += i + 1 - begin_;
      begin_ = i + 1;
      if (skipping_) {
        skipping_ = false;
        continue;
      }
      if (i == b) continue;  // an empty line
      *line = std::string_view(data + b, i - b);
      return true;
    }
    if (skipping_) {
      consumed_ += end_ - begin_;
      begin_ = end_ = 0;
    } else if (end_ - begin_ >= kMaxStreamLine) {
      // Too long: the first part is the line; the rest is passed over up to its end.
      const std::size_t b = begin_;
      consumed_ += kMaxStreamLine;
      begin_ += kMaxStreamLine;
      skipping_ = true;
      *cut = true;
      *line = std::string_view(data + b, kMaxStreamLine);
      // The caller uses the line before the next call moves the buffer.
      return true;
    }
    if (!Fill()) {
      if (error_ != 0 || hold_open_line || begin_ == end_ || skipping_) {
        if (skipping_ && !hold_open_line) {
          skipping_ = false;
          consumed_ += end_ - begin_;
          begin_ = end_ = 0;
        }
        return false;
      }
      // The file's last line has no line end.
      *line = std::string_view(buf_.data() + begin_, end_ - begin_);
      consumed_ += end_ - begin_;
      begin_ = end_ = 0;
      return true;
    }
  }
}

bool CLogLineReader::WasReplacedOrTruncated() const {
  struct stat st;
  if (::stat(path_.c_str(), &st) != 0) return ino_ != 0;
  if (!S_ISREG(st.st_mode)) return false;
  if (static_cast<std::uint64_t>(st.st_dev) != dev_ ||
      static_cast<std::uint64_t>(st.st_ino) != ino_) {
    return true;
  }
  return static_cast<std::uint64_t>(st.st_size) < consumed_ + (end_ - begin_);
}

// ---- Backwards -----------------------------------------------------------------------------

namespace {

// Reads up to `size` bytes at offset `at`, past interrupted and short reads: the number read
// (fewer only at the end of the file), or -errno.
ssize_t ReadAt(int fd, char* buf, std::size_t size, std::uint64_t at) {
  std::size_t got = 0;
  while (got < size) {
    const ssize_t n = ::pread(fd, buf + got, size - got, static_cast<off_t>(at + got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -errno;
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  return static_cast<ssize_t>(got);
}

}  // namespace

int ForEachLineBackwards(const std::string& path,
                         const std::function<bool(std::string_view, bool)>& visit,
                         std::uint64_t* end) {
  if (end) *end = 0;
  UniqueFd fd;
  bool missing = false;
  int rc = OpenLogForReading(path, &fd, &missing);
  if (rc != 0) return rc;
  if (missing) return 0;
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return errno;
  if (S_ISDIR(st.st_mode)) return EISDIR;
  if (!S_ISREG(st.st_mode)) return EINVAL;

  if (end) *end = static_cast<std::uint64_t>(st.st_size);
  std::string block(kBlock, '\0');
  std::string line_buf;
  std::uint64_t block_start = static_cast<std::uint64_t>(st.st_size);
  std::uint64_t block_len = 0;
  // End (exclusive) of the line being looked for; its start is found by going back to the
  // previous CR or LF.
  std::uint64_t line_end = block_start;
  auto emit = [&](std::uint64_t from, std::uint64_t to) -> int {
    if (from == to) return 1;
    const std::uint64_t len = to - from;
    const bool cut = len > kMaxStreamLine;
    const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(len, kMaxStreamLine));
    std::string_view text;
    if (from >= block_start && to <= block_start + block_len) {
      text = std::string_view(block.data() + (from - block_start), take);
    } else {
      line_buf.resize(take);
      const ssize_t got = ReadAt(fd.get(), line_buf.data(), take, from);
      if (got < 0) return static_cast<int>(got);
      text = std::string_view(line_buf.data(), static_cast<std::size_t>(got));
    }
    return visit(text, cut) ? 1 : 0;
  };
  while (block_start > 0) {
    block_len = std::min<std::uint64_t>(block_start, kBlock);
    block_start -= block_len;
    const ssize_t got = ReadAt(fd.get(), block.data(), block_len, block_start);
    if (got < 0) return static_cast<int>(-got);
    if (static_cast<std::uint64_t>(got) < block_len) {
      // The file shrank while it was read: what remains is read from its new end.
      return 0;
    }
    for (std::size_t i = block_len; i-- > 0;) {
      if (!IsLineEnd(block[i])) continue;
      const int r = emit(block_start + i + 1, line_end);
      if (r < 0) return -r;
      if (r == 0) return 0;
      line_end = block_start + i;
    }
  }
  const int r = emit(0, line_end);
  return r < 0 ? -r : 0;
}

}  // namespace pondrel::logviewer
