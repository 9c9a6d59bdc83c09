// Named cross-process objects. Each name is a SOCK_DGRAM Unix socket bound in the abstract
// namespace as "<ns>/<object name>", <ns> being $PONDREL_IPC_NAMESPACE or "pondrel".
// Whoever binds the name holds the object; closing the socket (or the holder's death)
// releases it. This serves the system's mutexes used as flags, single-instance mutexes,
// semaphores of count 1 and the service's named events.
#pragma once

#include <atomic>
#include <string>
#include <string_view>

#include "common/unique_fd.h"

namespace pondrel {

std::string IpcNamespace();
// "<ns>/<object name>", the abstract socket name (without the leading zero byte).
std::string IpcName(std::string_view object_name);

// One held (or not held) named object. Move-only; the destructor releases it.
class NamedObject {
 public:
  NamedObject() = default;
  // Tries to take the name. held() tells whether this call created the object; a failed
  // creation means another holder exists.
  static NamedObject Create(std::string_view object_name);
  // Whether some process holds the name now.
  static bool Exists(std::string_view object_name);
  // Sends one empty datagram to the holder ("set the event"). False when nobody holds it.
  static bool Signal(std::string_view object_name);

  bool held() const { return fd_.valid(); }
  void Release() { fd_.reset(); }
  // The socket, for a wait that covers signals sent to a held object.
  int fd() const { return fd_.get(); }
  // Reads every pending signal; true when at least one had arrived.
  bool ConsumeSignals();

 private:
  UniqueFd fd_;
};

// A mutex used as a flag, by existence: the creator holds it; others retry at an interval.
class NamedLock {
 public:
  explicit NamedLock(std::string object_name) : name_(std::move(object_name)) {}
  NamedLock(NamedLock&&) = default;
  NamedLock& operator=(NamedLock&&) = default;

  // One attempt.
  bool TryLock();
  // Retries every `interval_ms`. `max_attempts` <= 0 retries without limit. Stops early,
  // failing, when `abort` becomes true.
  bool Lock(int interval_ms, int max_attempts, const std::atomic<bool>* abort = nullptr);
  // Retries every `interval_ms` until `timeout_ms` have passed.
  bool LockFor(int interval_ms, int timeout_ms, const std::atomic<bool>* abort = nullptr);
  void Unlock() { obj_.Release(); }
  bool held() const { return obj_.held(); }
  const std::string& name() const { return name_; }

 private:
  std::string name_;
  NamedObject obj_;
};

// Holds a NamedLock for a scope once taken.
class NamedLockGuard {
 public:
  explicit NamedLockGuard(NamedLock& lock) : lock_(lock) {}
  NamedLockGuard(const NamedLockGuard&) = delete;
  NamedLockGuard& operator=(const NamedLockGuard&) = delete;
  ~NamedLockGuard() { lock_.Unlock(); }

 private:
  NamedLock& lock_;
};

}  // namespace pondrel
