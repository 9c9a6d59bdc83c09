#include "common/fs_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/unique_fd.h"

namespace pondrel {
namespace {

std::string ParentDir(const std::string& path) {
  auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Removes the entries below the directory open as `dirfd`, never following a link.
bool RemoveContents(int dirfd) {
  int dup_fd = ::dup(dirfd);
  if (dup_fd < 0) return false;
  DIR* dir = ::fdopendir(dup_fd);
  if (!dir) {
    ::close(dup_fd);
    return false;
  }
  bool ok = true;
  while (struct dirent* e = ::readdir(dir)) {
    if (!std::strcmp(e->d_name, ".") || !std::strcmp(e->d_name, "..")) continue;
    struct stat st;
    if (::fstatat(dirfd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      ok = ok && errno == ENOENT;
      continue;
    }
    if (S_ISDIR(st.st_mode)) {
      UniqueFd sub(::openat(dirfd, e->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (!sub || !RemoveContents(sub.get())) ok = false;
      if (::unlinkat(dirfd, e->d_name, AT_REMOVEDIR) != 0 && errno != ENOENT) ok = false;
    } else if (::unlinkat(dirfd, e->d_name, 0) != 0 && errno != ENOENT) {
      ok = false;
    }
  }
  ::closedir(dir);
  return ok;
}

}  // namespace

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

bool ReadAllFromFd(int fd, std::string* out, std::uint64_t max_bytes) {
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return true;
    if (out->size() + static_cast<std::uint64_t>(n) > max_bytes) return false;
    out->append(buf, static_cast<std::size_t>(n));
  }
}

std::string ProgramPath() {
  char buf[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return {};
  return std::string(buf, static_cast<std::size_t>(n));
}

std::string ProgramDirectory() {
  const std::string path = ProgramPath();
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool IsExecutableFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

std::string FindExecutable(std::string_view name, std::string_view only_dir) {
  if (name.empty()) return {};
  if (name.find('/') != std::string_view::npos)
    return IsExecutableFile(std::string(name)) ? std::string(name) : std::string();
  std::vector<std::string> dirs;
  if (!only_dir.empty()) {
    dirs.emplace_back(only_dir);
  } else {
    dirs.push_back(ProgramDirectory());
  }
  const char* path = only_dir.empty() ? std::getenv("PATH") : nullptr;
  if (path) {
    std::string_view rest = path;
    while (!rest.empty()) {
      auto colon = rest.find(':');
      std::string_view part = rest.substr(0, colon);
      dirs.emplace_back(part.empty() ? "." : part);
      if (colon == std::string_view::npos) break;
      rest.remove_prefix(colon + 1);
    }
  }
  for (const auto& d : dirs) {
    std::string candidate = d + "/" + std::string(name);
    if (IsExecutableFile(candidate)) return candidate;
  }
  return {};
}

void RedirectStdioToNull() {
  int null_fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null_fd < 0) return;
  ::dup2(null_fd, 0);
  ::dup2(null_fd, 1);
  ::dup2(null_fd, 2);
  if (null_fd > 2) ::close(null_fd);
}

bool CreateDirectoryChain(const std::string& path) {
  if (path.empty()) return false;
  std::string partial;
  std::size_t pos = 0;
  while (pos <= path.size()) {
    std::size_t next = path.find('/', pos);
    if (next == std::string::npos) next = path.size();
    partial = path.substr(0, next);
    if (!partial.empty() && ::mkdir(partial.c_str(), 0777) != 0 && errno != EEXIST) {
      // A level we may not create can still exist (e.g. "/home" without write access).
      if (!IsDirectory(partial)) return false;
    }
    pos = next + 1;
  }
  return IsDirectory(path);
}

namespace {
std::atomic<int> g_sync_delay_ms{0};
}  // namespace

void SetSyncDelayForTest(int ms) { g_sync_delay_ms.store(ms); }

bool WriteFileAtomically(const std::string& path, std::string_view data,
                         const std::string& tmp_path, mode_t mode) {
  UniqueFd fd(::open(tmp_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode));
  if (!fd) return false;
  ::fchmod(fd.get(), mode);
  if (!WriteAll(fd.get(), data) || ::fsync(fd.get()) != 0) {
    fd.reset();
    ::unlink(tmp_path.c_str());
    return false;
  }
  fd.reset();
  if (int delay = g_sync_delay_ms.load(); delay > 0) {
    struct timespec ts {
      delay / 1000, static_cast<long>(delay % 1000) * 1000000L
    };
    while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
  }
  if (::rename(tmp_path.c_str(), path.c_str()) != 0) {
    ::unlink(tmp_path.c_str());
    return false;
  }
  UniqueFd dir(::open(ParentDir(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir) ::fsync(dir.get());
  return true;
}

bool ReadWholeFile(const std::string& path, std::string* out, std::uint64_t max_bytes) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return false;
  struct stat st;
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  if (static_cast<std::uint64_t>(st.st_size) > max_bytes) return false;
  std::string data;
  data.reserve(static_cast<std::size_t>(st.st_size));
  if (!ReadAllFromFd(fd.get(), &data, max_bytes)) return false;
  *out = std::move(data);
  return true;
}

bool GetDiskSpace(const std::string& dir, std::uint64_t* free_bytes, std::uint64_t* total_bytes) {
  struct statvfs vfs;
  if (::statvfs(dir.c_str(), &vfs) != 0) return false;
  if (free_bytes) *free_bytes = static_cast<std::uint64_t>(vfs.f_bavail) * vfs.f_frsize;
  if (total_bytes) *total_bytes = static_cast<std::uint64_t>(vfs.f_blocks) * vfs.f_frsize;
  return true;
}

bool IsOnNetworkFileSystem(const std::string& path) {
  std::string probe = path.empty() ? std::string(".") : path;
  struct statfs fs;
  while (::statfs(probe.c_str(), &fs) != 0) {
    if (probe == "/" || probe == ".") return false;
    probe = ParentDir(probe);
  }
  switch (static_cast<unsigned long>(fs.f_type)) {
    case 0x6969:      // NFS
    case 0x517B:      // SMB
    case 0xFE534D42:  // SMB2
    case 0xFF534D42:  // CIFS
    case 0x01021997:  // 9P (v9fs)
    case 0x5346414F:  // AFS
    case 0x6B414653:  // kAFS
    case 0x73757245:  // Coda
    case 0x564C:      // NCP
    case 0x0BD00BD0:  // Lustre
    case 0x47504653:  // GPFS
    case 0x65735546:  // FUSE (sshfs and other network mounts)
    case 0x00C36400:  // Ceph
      return true;
    default: return false;
  }
}

bool RemoveTree(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT;
  if (!S_ISDIR(st.st_mode)) return ::unlink(path.c_str()) == 0;
  UniqueFd dir(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!dir) return false;
  bool ok = RemoveContents(dir.get());
  dir.reset();
  return ::rmdir(path.c_str()) == 0 && ok;
}

bool FileExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

bool IsDirectory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string JoinPath(std::string_view a, std::string_view b) {
  std::string out(a);
  while (!b.empty() && b.front() == '/') b.remove_prefix(1);
  if (out.empty()) return std::string(b);
  if (out.back() != '/') out.push_back('/');
  out.append(b);
  return out;
}

}  // namespace pondrel
