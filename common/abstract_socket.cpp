#include "common/abstract_socket.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>

#include <cerrno>
#include <cstring>

namespace pondrel {
namespace {

bool MakeAddress(const std::string& name, sockaddr_un* addr, socklen_t* len) {
  std::memset(addr, 0, sizeof *addr);
  addr->sun_family = AF_UNIX;
  // The abstract namespace: a leading zero byte, then the name (not terminated).
  if (name.size() + 1 > sizeof addr->sun_path) return false;
  std::memcpy(addr->sun_path + 1, name.data(), name.size());
  *len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
  return true;
}

UniqueFd NewDgramSocket() {
  return UniqueFd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
}

}  // namespace

void SleepMs(int ms) {
  if (ms <= 0) return;
  struct timespec ts{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

UniqueFd BindAbstractDgram(const std::string& name, int* error) {
  sockaddr_un addr;
  socklen_t len;
  if (!MakeAddress(name, &addr, &len)) {
    if (error) *error = ENAMETOOLONG;
    return {};
  }
  UniqueFd fd = NewDgramSocket();
  if (!fd) {
    if (error) *error = errno;
    return {};
  }
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), len) != 0) {
    if (error) *error = errno;
    return {};
  }
  return fd;
}

bool AbstractNameBound(const std::string& name) {
  sockaddr_un addr;
  socklen_t len;
  if (!MakeAddress(name, &addr, &len)) return false;
  UniqueFd fd = NewDgramSocket();
  if (!fd) return false;
  // connect() on a datagram socket only checks that a peer is bound to the name.
  return ::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), len) == 0;
}

bool SendAbstractDgram(const std::string& name, const void* data, std::size_t size, int retry_ms) {
  sockaddr_un addr;
  socklen_t len;
  if (!MakeAddress(name, &addr, &len)) return false;
  UniqueFd fd = NewDgramSocket();
  if (!fd) return false;
  const int kStepMs = 5;
  for (int waited = 0;; waited += kStepMs) {
    ssize_t n = ::sendto(fd.get(), data, size, MSG_NOSIGNAL,
                         reinterpret_cast<sockaddr*>(&addr), len);
    if (n == static_cast<ssize_t>(size)) return true;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN && waited < retry_ms) {
      SleepMs(kStepMs);
      continue;
    }
    return false;
  }
}

}  // namespace pondrel
