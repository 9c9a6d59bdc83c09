// CKVMailSlot: one endpoint of a one-way local message channel, either the reading end (the
// owner) or a sending client. A mailslot is a SOCK_DGRAM Unix socket bound in the abstract
// namespace as "<ns>/" followed by the mailslot name exactly as written. Each message is one
// datagram: the text and its terminating zero byte, at most 1024 bytes.
//
// The kernel queues only a few datagrams per socket, so the owner moves every arriving
// datagram into its own queue as soon as its wait reports the socket readable (Pump), and
// Read hands the messages out from there in arrival order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>

#include "common/unique_fd.h"

namespace pondrel {

inline constexpr char kServiceMailslot[] = "\\\\.\\mailslot\\velta\\zoric\\ver1.0\\server\\zoricsm";
inline constexpr char kTaskViewMailslot[] = "\\\\.\\mailslot\\velta\\zoric\\ver1.0\\server\\tasdek";
inline constexpr std::size_t kMailslotMessageMax = 1024;

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

  // Owner side: the socket for the wait, and the move of arrived datagrams into the queue.
  int fd() const { return fd_.get(); }
  // Readable while messages are waiting (for a UI thread's socket notifier); -1 when closed.
  int NotifyFd() const { return fd_.get(); }
  void Pump();
  std::size_t Pending() const { return queue_.size(); }

 private:
  std::string name_;
  UniqueFd fd_;
  std::deque<std::string> queue_;
  char buffer_[kMailslotMessageMax] = {};
  int last_length_ = 0;
};

}  // namespace pondrel
