// Named cross-process objects. Each name is the file "<dir>/<object name>.lock" in the
// runtime directory (common/runtime_dir.h), held with an open-file-description lock for as
// long as the object is held; closing it (or the holder's death) releases the object, and a
// file left behind blocks nobody. Whether the object exists is asked without taking it.
// This serves the system's mutexes used as flags, single-instance mutexes, semaphores of
// count 1 and the service's named events. So that any holder can be signalled (an event set,
// a first instance asked to come to the front), a holder also binds the datagram socket
// "<dir>/<object name>.sock" beside its lock and removes it on release.
#pragma once

#include <atomic>
#include <string>
#include <string_view>

#include "common/file_lock.h"
#include "common/unique_fd.h"

namespace pondrel {

// One held (or not held) named object. Move-only; the destructor releases it.
class NamedObject {
 public:
  NamedObject() = default;
  NamedObject(NamedObject&& other) noexcept = default;
  NamedObject& operator=(NamedObject&& other) noexcept;
  ~NamedObject() { Release(); }

  // Tries to take the name. held() tells whether this call created the object; a failed
  // creation means another holder exists (or the runtime directory is refused, which is
  // written to stderr).
  static NamedObject Create(std::string_view object_name);
  // The same as Create (kept for callers that name an event as such).
  static NamedObject CreateEvent(std::string_view object_name);
  // Whether some process holds the name now.
  static bool Exists(std::string_view object_name);
  // Sends one empty datagram to the holder ("set the event"). False when nobody holds it.
  static bool Signal(std::string_view object_name);

  bool held() const { return lock_.held(); }
  void Release();
  // The descriptor to wait on for signals (the socket).
  int fd() const { return sock_ ? sock_.get() : lock_.fd(); }
  // Reads every pending signal; true when at least one from a trusted sender had arrived.
  bool ConsumeSignals();

 private:
  static NamedObject TakeLock(std::string_view object_name);

  FileLock lock_;
  UniqueFd sock_;
  std::string sock_path_;
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
