#include "common/named_object.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/abstract_socket.h"

namespace pondrel {

std::string IpcNamespace() {
  const char* ns = std::getenv("PONDREL_IPC_NAMESPACE");
  return ns && *ns ? ns : "pondrel";
}

std::string IpcName(std::string_view object_name) {
  return IpcNamespace() + "/" + std::string(object_name);
}

NamedObject NamedObject::Create(std::string_view object_name) {
  NamedObject obj;
  obj.fd_ = BindAbstractDgram(IpcName(object_name));
  return obj;
}

bool NamedObject::Exists(std::string_view object_name) {
  return AbstractNameBound(IpcName(object_name));
}

bool NamedObject::Signal(std::string_view object_name) {
  return SendAbstractDgram(IpcName(object_name), "", 0, 200);
}

bool NamedObject::ConsumeSignals() {
  if (!fd_) return false;
  bool any = false;
  char buf[64];
  while (::recv(fd_.get(), buf, sizeof buf, MSG_DONTWAIT) >= 0) any = true;
  return any;
}

bool NamedLock::TryLock() {
  if (obj_.held()) return true;
  obj_ = NamedObject::Create(name_);
  return obj_.held();
}

bool NamedLock::Lock(int interval_ms, int max_attempts, const std::atomic<bool>* abort) {
  for (int attempt = 0; max_attempts <= 0 || attempt < max_attempts; ++attempt) {
    if (TryLock()) return true;
    if (abort && abort->load()) return false;
    if (max_attempts > 0 && attempt + 1 == max_attempts) break;
    SleepMs(interval_ms);
    if (abort && abort->load()) return false;
  }
  return false;
}

bool NamedLock::LockFor(int interval_ms, int timeout_ms, const std::atomic<bool>* abort) {
  struct timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (;;) {
    if (TryLock()) return true;
    if (abort && abort->load()) return false;
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    long elapsed = (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
    if (elapsed >= timeout_ms) return false;
    SleepMs(interval_ms);
  }
}

}  // namespace pondrel
