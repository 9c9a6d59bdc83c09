// One kind of file lock for the whole system: an open-file-description write lock
// (F_OFD_SETLK) on a whole file. It conflicts with every other open file description, even
// one of the same process; closing the descriptor or the holder's death releases it, so a
// lock file left behind blocks nobody.
#pragma once

#include <string>

#include "common/unique_fd.h"

namespace pondrel {

class FileLock {
 public:
  FileLock() = default;
  // Opens `path` (created with `mode` when missing) and takes the lock once, without waiting.
  // Not held when another holder exists or the file cannot be opened; `error` gets errno
  // (EWOULDBLOCK for another holder).
  static FileLock TryTake(const std::string& path, int mode = 0660, int* error = nullptr);
  // Opens `path` (created when missing) and waits until the lock is taken.
  static FileLock Take(const std::string& path, int mode = 0660);
  // Takes the lock on an open descriptor (the caller keeps owning it); `wait` blocks until
  // free. False when another holder exists (no wait) or the call failed.
  static bool LockFd(int fd, bool wait);
  // Whether some open file description holds a lock on `path` now; takes nothing. A file
  // that is missing or cannot be read counts as not held.
  static bool IsHeld(const std::string& path);

  // An exclusive whole-file lock (flock) on a directory, waited for: directories cannot be
  // opened for writing, which the OFD write lock needs. Not held where the file system has no
  // such locks.
  static FileLock TakeDirectory(const std::string& dir);

  bool held() const { return fd_.valid(); }
  int fd() const { return fd_.get(); }
  void Release() { fd_.reset(); }

 private:
  UniqueFd fd_;
};

}  // namespace pondrel
