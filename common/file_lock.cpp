#include "common/file_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace pondrel {
namespace {

bool SetLock(int fd, int cmd) {
  struct flock fl {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  for (;;) {
    if (::fcntl(fd, cmd, &fl) == 0) return true;
    if (errno != EINTR) return false;
  }
}

bool HeldOnFd(int fd) {
  struct flock fl {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  if (::fcntl(fd, F_OFD_GETLK, &fl) != 0) return false;
  return fl.l_type != F_UNLCK;
}

// Whether `fd` is still the file at `path` (a holder may not keep a lock on a file that was
// removed or replaced meanwhile: the next holder would lock another file).
bool StillLinked(int fd, const std::string& path) {
  struct stat a, b;
  return ::fstat(fd, &a) == 0 && ::stat(path.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
         a.st_ino == b.st_ino;
}

UniqueFd OpenLockFile(const std::string& path, int mode, int* error) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, mode));
    if (fd) {
      struct stat st;
      // Files of ours are made group-writable whatever the umask, so that the other members
      // of the directory's group can take them too.
      if (::fstat(fd.get(), &st) == 0 && st.st_uid == ::geteuid() &&
          (st.st_mode & 07777) != static_cast<mode_t>(mode))
        ::fchmod(fd.get(), static_cast<mode_t>(mode));
      return fd;
    }
    if (error) *error = errno;
    if (errno != EACCES || attempt > 0) break;
    // A file left behind by another user with a mode we cannot write: harmless when nobody
    // holds it, so it is replaced.
    UniqueFd ro(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!ro || HeldOnFd(ro.get())) break;
    if (::unlink(path.c_str()) != 0) break;
  }
  return {};
}

}  // namespace

FileLock FileLock::TryTake(const std::string& path, int mode, int* error) {
  FileLock lock;
  for (int attempt = 0; attempt < 5; ++attempt) {
    UniqueFd fd = OpenLockFile(path, mode, error);
    if (!fd) return lock;
    if (!SetLock(fd.get(), F_OFD_SETLK)) {
      if (error) *error = (errno == EACCES || errno == EAGAIN) ? EWOULDBLOCK : errno;
      return lock;
    }
    if (StillLinked(fd.get(), path)) {
      lock.fd_ = std::move(fd);
      return lock;
    }
  }
  if (error) *error = EWOULDBLOCK;
  return lock;
}

FileLock FileLock::Take(const std::string& path, int mode) {
  FileLock lock;
  for (;;) {
    UniqueFd fd = OpenLockFile(path, mode, nullptr);
    if (!fd) return lock;
    if (!SetLock(fd.get(), F_OFD_SETLKW)) return lock;
    if (StillLinked(fd.get(), path)) {
      lock.fd_ = std::move(fd);
      return lock;
    }
  }
}

FileLock FileLock::TakeDirectory(const std::string& dir) {
  FileLock lock;
  UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd) return lock;
  int rc;
  while ((rc = ::flock(fd.get(), LOCK_EX)) != 0 && errno == EINTR) {
  }
  if (rc == 0) lock.fd_ = std::move(fd);
  return lock;
}

bool FileLock::LockFd(int fd, bool wait) { return SetLock(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK); }

bool FileLock::IsHeld(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  return fd && HeldOnFd(fd.get());
}

}  // namespace pondrel
