#include "common/named_object.h"

#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/runtime_dir.h"
#include "common/unix_dgram.h"

namespace pondrel {
namespace {

std::string SocketPath(std::string_view object_name) {
  return RuntimeDir() + "/" + std::string(object_name) + ".sock";
}

}  // namespace

NamedObject& NamedObject::operator=(NamedObject&& other) noexcept {
  if (this != &other) {
    Release();
    lock_ = std::move(other.lock_);
    sock_ = std::move(other.sock_);
    sock_path_ = std::move(other.sock_path_);
  }
  return *this;
}

NamedObject NamedObject::Create(std::string_view object_name) {
  NamedObject obj = TakeLock(object_name);
  if (!obj.held()) return obj;
  // Held: a socket file there is a dead holder's and is replaced.
  obj.sock_path_ = SocketPath(object_name);
  obj.sock_ = BindDgramPath(obj.sock_path_);
  if (!obj.sock_) obj.Release();
  return obj;
}

NamedObject NamedObject::TakeLock(std::string_view object_name) {
  NamedObject obj;
  if (!UsableObjectName(object_name)) return obj;
  std::string error;
  if (!PrepareRuntimeDir(&error)) {
    ReportRuntimeDirProblem(error);
    return obj;
  }
  obj.lock_ = FileLock::TryTake(ObjectLockPath(object_name));
  return obj;
}

NamedObject NamedObject::CreateEvent(std::string_view object_name) { return Create(object_name); }

bool NamedObject::Exists(std::string_view object_name) {
  if (!UsableObjectName(object_name)) return false;
  std::string error;
  if (!CheckRuntimeDir(&error)) {
    // A directory that does not exist yet simply holds nothing.
    if (::access(RuntimeDir().c_str(), F_OK) == 0) ReportRuntimeDirProblem(error);
    return false;
  }
  return FileLock::IsHeld(ObjectLockPath(object_name));
}

bool NamedObject::Signal(std::string_view object_name) {
  if (!UsableObjectName(object_name)) return false;
  std::string error;
  if (!CheckRuntimeDir(&error)) {
    if (::access(RuntimeDir().c_str(), F_OK) == 0) ReportRuntimeDirProblem(error);
    return false;
  }
  return SendDgramPath(SocketPath(object_name), "", 0, 200);
}

void NamedObject::Release() {
  if (sock_) {
    // Removed while the lock is still held, so that it never removes a next holder's socket.
    ::unlink(sock_path_.c_str());
    sock_.reset();
    sock_path_.clear();
  }
  lock_.Release();
}

bool NamedObject::ConsumeSignals() {
  if (!sock_) return false;
  bool any = false;
  char buf[64];
  uid_t uid;
  gid_t gid;
  while (ReceiveDgram(sock_.get(), buf, sizeof buf, &uid, &gid) >= 0) {
    if (TrustedSender(uid, gid)) any = true;
  }
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
