#include "common/mailslot.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "common/abstract_socket.h"
#include "common/named_object.h"
#include "common/text_util.h"

namespace pondrel {
namespace {

// How long a sender keeps trying while the owner's queue is full before it drops the message.
constexpr int kSendRetryMs = 200;

}  // namespace

void CKVMailSlot::SetName(std::string_view name) { name_ = std::string(name.substr(0, 259)); }

int CKVMailSlot::Create(std::string_view name, char* err, std::size_t err_size) {
  Close();
  SetName(name);
  int error = 0;
  fd_ = BindAbstractDgram(IpcName(name_), &error);
  if (!fd_) {
    if (err && err_size) CopyCut(err, err_size, std::strerror(error));
    return 0;
  }
  return 1;
}

void CKVMailSlot::Pump() {
  if (!fd_) return;
  char buf[kMailslotMessageMax + 1];
  for (;;) {
    ssize_t n = ::recv(fd_.get(), buf, sizeof buf, MSG_DONTWAIT | MSG_TRUNC);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    // A datagram larger than a message cannot be read, as with the original channel: drop it.
    if (static_cast<std::size_t>(n) > kMailslotMessageMax) continue;
    queue_.emplace_back(buf, static_cast<std::size_t>(n));
  }
}

int CKVMailSlot::Read(char* buf, std::size_t size) {
  if (!buf) return -1;
  if (!fd_) return -2;
  Pump();
  if (queue_.empty() || size == 0) return 0;
  std::string msg = std::move(queue_.front());
  queue_.pop_front();
  if (msg.empty()) return 0;
  // Copy up to and including the zero byte, cut at the buffer's size.
  std::size_t len = msg.size();
  if (auto nul = msg.find('\0'); nul != std::string::npos) len = nul + 1;
  if (len > size) len = size;
  std::memcpy(buf, msg.data(), len);
  return static_cast<int>(len);
}

int CKVMailSlot::Receive() {
  std::memset(buffer_, 0, sizeof buffer_);
  int n = Read(buffer_, sizeof buffer_ - 1);  // keep room so the text is always terminated
  if (n < 0) {
    last_length_ = 0;
    return 0;
  }
  last_length_ = n;
  return 1;
}

int CKVMailSlot::Send(const char* text, std::size_t length) {
  if (!text) return 0;
  std::size_t n = ::strnlen(text, length);
  if (n + 1 > kMailslotMessageMax) n = kMailslotMessageMax - 1;
  std::string msg(text, n);
  msg.push_back('\0');
  return SendAbstractDgram(IpcName(name_), msg.data(), msg.size(), kSendRetryMs) ? 1 : 0;
}

void CKVMailSlot::Close() {
  fd_.reset();
  queue_.clear();
}

}  // namespace pondrel
