#include "common/unix_dgram.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace pondrel {
namespace {

bool MakeAddress(const std::string& path, sockaddr_un* addr, socklen_t* len) {
  std::memset(addr, 0, sizeof *addr);
  addr->sun_family = AF_UNIX;
  if (path.empty() || path.size() + 1 > sizeof addr->sun_path) return false;
  std::memcpy(addr->sun_path, path.data(), path.size());
  *len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
  return true;
}

UniqueFd NewDgramSocket() {
  return UniqueFd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
}

}  // namespace

void SleepMs(int ms) {
  if (ms <= 0) return;
  struct timespec ts {
    ms / 1000, static_cast<long>(ms % 1000) * 1000000L
  };
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

UniqueFd BindDgramPath(const std::string& path, int* error) {
  sockaddr_un addr;
  socklen_t len;
  if (!MakeAddress(path, &addr, &len)) {
    if (error) *error = ENAMETOOLONG;
    return {};
  }
  UniqueFd fd = NewDgramSocket();
  if (!fd) {
    if (error) *error = errno;
    return {};
  }
  int on = 1;
  ::setsockopt(fd.get(), SOL_SOCKET, SO_PASSCRED, &on, sizeof on);
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) ::unlink(path.c_str());
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), len) != 0) {
    if (error) *error = errno;
    return {};
  }
  // Senders need write permission on the socket file: the directory's group gets it.
  ::chmod(path.c_str(), 0660);
  return fd;
}

bool SendDgramPath(const std::string& path, const void* data, std::size_t size, int retry_ms) {
  sockaddr_un addr;
  socklen_t len;
  if (!MakeAddress(path, &addr, &len)) return false;
  UniqueFd fd = NewDgramSocket();
  if (!fd) return false;
  constexpr int kStepMs = 5;
  for (int waited = 0;; waited += kStepMs) {
    ssize_t n =
        ::sendto(fd.get(), data, size, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&addr), len);
    if (n == static_cast<ssize_t>(size)) return true;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN && waited < retry_ms) {
      SleepMs(kStepMs);
      continue;
    }
    return false;
  }
}

long ReceiveDgram(int fd, char* buf, std::size_t size, uid_t* uid, gid_t* gid) {
  for (;;) {
    iovec iov{buf, size};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n = ::recvmsg(fd, &msg, MSG_DONTWAIT | MSG_TRUNC | MSG_CMSG_CLOEXEC);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    // Without credentials the sender counts as nobody.
    *uid = static_cast<uid_t>(-1);
    *gid = static_cast<gid_t>(-1);
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
      if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_CREDENTIALS &&
          c->cmsg_len >= CMSG_LEN(sizeof(ucred))) {
        ucred cred;
        std::memcpy(&cred, CMSG_DATA(c), sizeof cred);
        *uid = cred.uid;
        *gid = cred.gid;
      }
    }
    return static_cast<long>(n);
  }
}

}  // namespace pondrel
