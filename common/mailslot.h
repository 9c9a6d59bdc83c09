// CKVMailSlot: one endpoint of a one-way local message channel, either the reading end (the
// owner) or a sending client. A mailslot is a SOCK_DGRAM Unix socket bound at
// "<runtime dir>/mailslot/<name>" (see MailslotSocketPath); its owner holds the lock
// "<that path>.lock" first, so a socket file left by a dead owner is simply replaced. Each
// message is one datagram: the text and its terminating zero byte, at most 1024 bytes.
//
// The kernel queues only a few datagrams per socket, so the owner's reader thread moves
// every arriving datagram into the owner's own queue at once, whatever the owner's thread is
// doing; Read hands the messages out from there, on any thread. Datagrams from a sender that
// is neither root, nor this process's user, nor a member of the runtime directory's group are
// dropped.
//
// Messages come out in arrival order, but each kind has a bound of its own, so that a flood of
// one kind cannot crowd out another: downloaders' window reports ("ZORIC:04:"), the other
// known messages, and everything else (probes, unknown tags, junk), whose bound is small. The
// reader never stops taking datagrams from the kernel: when a kind is at its bound, the new
// message of that kind is dropped and counted.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "common/file_lock.h"

#include "common/protocol.h"
#include "common/unique_fd.h"

namespace pondrel {

inline constexpr std::size_t kMailslotMessageMax = 1024;
// Messages an owner keeps waiting at most, per kind.
inline constexpr std::size_t kMailslotQueueMax = 1000;             // "ZORIC:01:" to "ZORIC:03:"
inline constexpr std::size_t kMailslotRegistrationQueueMax = 256;  // "ZORIC:04:"
inline constexpr std::size_t kMailslotOtherQueueMax = 16;          // probes and junk

// The queue a message goes to.
enum class MailslotKind { kRegistration, kTagged, kOther };
MailslotKind ClassifyMailslotMessage(std::string_view datagram);

class CKVMailSlot {
 public:
  CKVMailSlot() = default;
  explicit CKVMailSlot(std::string_view name) { SetName(name); }
  CKVMailSlot(const CKVMailSlot&) = delete;
  CKVMailSlot& operator=(const CKVMailSlot&) = delete;
  ~CKVMailSlot() { Close(); }

  void SetName(std::string_view name);
  const std::string& Name() const { return name_; }

  // Creates the reading end. 1 created, 0 failed (another owner holds the name); the
  // system's error text goes to `err` when given.
  int Create(std::string_view name, char* err = nullptr, std::size_t err_size = 0);
  // Reads one message into `buf`: bytes copied (> 0), cut at `size`, otherwise up to and
  // including its zero byte; 0 when no message waits; -1 for a missing buffer; -2 when the
  // mailslot is not open for reading.
  int Read(char* buf, std::size_t size);
  // Read into the object's own buffer. 1 with LastLength() 0 when nothing waited, 1 with the
  // length of the message otherwise; 0 when Read reported -1 or -2.
  int Receive();
  const char* Message() const { return buffer_; }
  int LastLength() const { return last_length_; }
  // Sends `text` (cut at `length`) and its zero byte to the mailslot named by SetName or the
  // constructor. 1 sent, 0 failed (no owner, or its queue stayed full).
  int Send(const char* text, std::size_t length);
  int Send(std::string_view text) { return Send(text.data(), text.size()); }
  void Close();

  // Owner side: a descriptor that is readable while messages are queued (for a wait loop or
  // a QSocketNotifier); -1 when not the owner. Reading messages is what clears it.
  int NotifyFd() const { return notify_fd_.get(); }
  int fd() const { return NotifyFd(); }
  // Moves what has arrived into the queue now (the reader thread does so anyway; Read too).
  void Pump();
  std::size_t Pending() const;
  // Datagrams dropped because their sender was not trusted.
  std::size_t Refused() const { return refused_.load(); }
  // Messages dropped because their kind's queue was full.
  std::size_t Overflowed() const { return overflowed_.load(); }

 private:
  void ReaderLoop();
  void DrainLocked(std::size_t max_datagrams);

  std::string name_;
  std::string path_;
  FileLock owner_lock_;
  UniqueFd sock_;
  UniqueFd notify_fd_;  // eventfd: non-zero while the queue holds messages
  UniqueFd stop_fd_;    // eventfd: ends the reader thread
  std::thread reader_;
  mutable std::mutex lock_;
  bool stopping_ = false;
  struct Queued {
    MailslotKind kind;
    std::string text;
  };
  std::deque<Queued> queue_;
  std::size_t queued_of_kind_[3] = {};  // indexed by MailslotKind
  std::atomic<std::size_t> refused_{0};
  std::atomic<std::size_t> overflowed_{0};
  char buffer_[kMailslotMessageMax] = {};
  int last_length_ = 0;
};

}  // namespace pondrel
