#include "common/mailslot.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "common/runtime_dir.h"
#include "common/text_util.h"
#include "common/unix_dgram.h"

namespace pondrel {
namespace {

// How long a sender keeps trying while the owner's queue is full before it drops the message.
constexpr int kSendRetryMs = 200;
// Datagrams the reader moves per hold of the queue's lock, so that a flood never keeps the
// owner's thread from reading.
constexpr std::size_t kDrainBatch = 256;

void SetError(char* err, std::size_t err_size, const std::string& text) {
  if (err && err_size) CopyCut(err, err_size, text.c_str());
}

}  // namespace

MailslotKind ClassifyMailslotMessage(std::string_view datagram) {
  switch (ParseMailslotTag(datagram.substr(0, datagram.find('\0')))) {
    case MailslotTag::kRegister: return MailslotKind::kRegistration;
    case MailslotTag::kScan:
    case MailslotTag::kExecute:
    case MailslotTag::kAbort: return MailslotKind::kTagged;
    case MailslotTag::kNone: break;
  }
  return MailslotKind::kOther;
}

void CKVMailSlot::SetName(std::string_view name) { name_ = std::string(name.substr(0, 259)); }

int CKVMailSlot::Create(std::string_view name, char* err, std::size_t err_size) {
  Close();
  SetName(name);
  std::string error;
  if (!PrepareRuntimeDir(&error)) {
    ReportRuntimeDirProblem(error);
    SetError(err, err_size, error);
    return 0;
  }
  const std::string dir = RuntimeDir() + "/mailslot";
  if (::mkdir(dir.c_str(), 02770) == 0) ::chmod(dir.c_str(), 02770);
  struct stat st;
  if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    SetError(err, err_size, dir + " is not a directory");
    return 0;
  }
  path_ = MailslotSocketPath(name_);
  int code = 0;
  owner_lock_ = FileLock::TryTake(path_ + ".lock", 0660, &code);
  if (!owner_lock_.held()) {
    SetError(err, err_size,
             code == EWOULDBLOCK ? "the mailslot has another owner" : std::strerror(code));
    return 0;
  }
  sock_ = BindDgramPath(path_, &code);
  notify_fd_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  stop_fd_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!sock_ || !notify_fd_ || !stop_fd_) {
    SetError(err, err_size, std::strerror(sock_ ? errno : code));
    Close();
    return 0;
  }
  stopping_ = false;
  // The reader takes no signal: they belong to the owner's own threads.
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &old);
  reader_ = std::thread([this] { ReaderLoop(); });
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  return 1;
}

void CKVMailSlot::ReaderLoop() {
  for (;;) {
    pollfd p[2] = {{sock_.get(), POLLIN, 0}, {stop_fd_.get(), POLLIN, 0}};
    if (::poll(p, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (p[1].revents) return;
    std::lock_guard<std::mutex> guard(lock_);
    if (stopping_) return;
    DrainLocked(kDrainBatch);
  }
}

void CKVMailSlot::DrainLocked(std::size_t max_datagrams) {
  // Received under the queue's lock, so that the reader thread and a Read on the owner's
  // thread never put two messages out of order.
  char buf[kMailslotMessageMax + 1];
  for (std::size_t taken = 0; taken < max_datagrams; ++taken) {
    uid_t uid;
    gid_t gid;
    long n = ReceiveDgram(sock_.get(), buf, sizeof buf, &uid, &gid);
    if (n < 0) break;
    if (n == 0) continue;  // not even the zero byte: no message at all
    // A datagram larger than a message cannot be read, as with the original channel: drop it.
    if (static_cast<std::size_t>(n) > kMailslotMessageMax) continue;
    if (!TrustedSender(uid, gid)) {
      refused_.fetch_add(1);
      continue;
    }
    const std::string_view datagram(buf, static_cast<std::size_t>(n));
    const MailslotKind kind = ClassifyMailslotMessage(datagram);
    std::size_t& queued = queued_of_kind_[static_cast<int>(kind)];
    const std::size_t limit = kind == MailslotKind::kRegistration ? kMailslotRegistrationQueueMax
                              : kind == MailslotKind::kTagged     ? kMailslotQueueMax
                                                                  : kMailslotOtherQueueMax;
    if (queued >= limit) {
      overflowed_.fetch_add(1);
      continue;
    }
    ++queued;
    queue_.push_back({kind, std::string(datagram)});
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t w = ::write(notify_fd_.get(), &one, sizeof one);
  }
}

void CKVMailSlot::Pump() {
  if (!sock_) return;
  std::lock_guard<std::mutex> guard(lock_);
  DrainLocked(kDrainBatch);
}

std::size_t CKVMailSlot::Pending() const {
  std::lock_guard<std::mutex> guard(lock_);
  return queue_.size();
}

int CKVMailSlot::Read(char* buf, std::size_t size) {
  if (!buf) return -1;
  if (!sock_) return -2;
  std::string msg;
  {
    std::lock_guard<std::mutex> guard(lock_);
    DrainLocked(kDrainBatch);
    if (queue_.empty() || size == 0) return 0;
    msg = std::move(queue_.front().text);
    --queued_of_kind_[static_cast<int>(queue_.front().kind)];
    queue_.pop_front();
    if (queue_.empty()) {
      std::uint64_t v;
      [[maybe_unused]] ssize_t r = ::read(notify_fd_.get(), &v, sizeof v);
    }
  }
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
  std::string error;
  if (!CheckRuntimeDir(&error)) {
    // No directory yet means no owner: that fails silently, as a missing owner does.
    if (::access(RuntimeDir().c_str(), F_OK) == 0) ReportRuntimeDirProblem(error);
    return 0;
  }
  std::size_t n = ::strnlen(text, length);
  if (n + 1 > kMailslotMessageMax) n = kMailslotMessageMax - 1;
  std::string msg(text, n);
  msg.push_back('\0');
  return SendDgramPath(MailslotSocketPath(name_), msg.data(), msg.size(), kSendRetryMs) ? 1 : 0;
}

void CKVMailSlot::Close() {
  if (reader_.joinable()) {
    {
      std::lock_guard<std::mutex> guard(lock_);
      stopping_ = true;
    }
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t w = ::write(stop_fd_.get(), &one, sizeof one);
    reader_.join();
  }
  if (sock_) {
    // Removed while the owner lock is still held, so a next owner's socket is never touched.
    ::unlink(path_.c_str());
    sock_.reset();
  }
  owner_lock_.Release();
  notify_fd_.reset();
  stop_fd_.reset();
  std::lock_guard<std::mutex> guard(lock_);
  queue_.clear();
  for (std::size_t& n : queued_of_kind_) n = 0;
}

}  // namespace pondrel
