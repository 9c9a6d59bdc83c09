#include "tests/downloader/fake_camera.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "imagestore/picture_header.h"

namespace pondrel::dl::test {
namespace {

bool SendAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

}  // namespace

FakeCamera::FakeCamera() {
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  ::listen(listen_fd_, 64);
  accept_thread_ = std::thread([this] { AcceptLoop(); });
}

FakeCamera::~FakeCamera() {
  stop_ = true;
  ::shutdown(listen_fd_, SHUT_RDWR);
  accept_thread_.join();
  ::close(listen_fd_);
  std::vector<std::thread> threads;
  {
    std::lock_guard lock(mu_);
    threads.swap(connections_);
  }
  for (auto& t : threads) t.join();
}

std::string FakeCamera::MakePicture(std::size_t size, std::uint32_t seed) {
  PictureHeader h;
  h.trigger = 33;
  h.camera = 1;
  h.record_time = 1700000000 + seed;
  std::string body(size > 60 ? size - 60 : 0, '\0');
  for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>((i * 31 + seed) & 0xff);
  return BuildPicture(h, body);
}

void FakeCamera::AddPicture(const std::string& key, const std::string& id, std::string data) {
  std::lock_guard lock(mu_);
  pictures_.push_back(Picture{key, id, std::move(data)});
}

void FakeCamera::AddPictures(int n, const std::string& date, int first_second, std::size_t size) {
  for (int i = 0; i < n; ++i) {
    const int s = first_second + i;
    char time[16];
    std::snprintf(time, sizeof time, "%02d%02d%02d%02d", 10 + s / 3600 % 14, s / 60 % 60, s % 60, 0);
    const std::string key = date + "/" + time;
    AddPicture(key, "id" + date + time, MakePicture(size, static_cast<std::uint32_t>(s)));
  }
}

std::vector<RecordedRequest> FakeCamera::Requests() {
  std::lock_guard lock(mu_);
  return requests_;
}
std::vector<int> FakeCamera::DeleteBatches() {
  std::lock_guard lock(mu_);
  return delete_batches_;
}
int FakeCamera::PictureRequests() {
  std::lock_guard lock(mu_);
  return picture_requests_;
}
std::size_t FakeCamera::PicturesHeld() {
  std::lock_guard lock(mu_);
  return pictures_.size();
}
void FakeCamera::WaitUntilStalling() {
  while (stalling_.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

void FakeCamera::AcceptLoop() {
  for (;;) {
    const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (stop_) return;
      continue;
    }
    std::lock_guard lock(mu_);
    connections_.emplace_back([this, fd] {
      Serve(fd);
      ::close(fd);
    });
  }
}

void FakeCamera::SendForever(int fd, Tail tail) {
  std::string filler(64 * 1024, '\0');
  if (tail == Tail::kEndlessLines) {
    for (std::size_t i = 0; i < filler.size(); ++i) filler[i] = i % 80 == 79 ? '\n' : '#';
  }
  while (!stop_) {
    pollfd p{fd, POLLOUT, 0};
    if (::poll(&p, 1, 20) <= 0) continue;
    if (p.revents & (POLLERR | POLLHUP)) return;
    const ssize_t n = ::send(fd, filler.data(), filler.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n <= 0) return;
    endless_bytes_ += static_cast<std::uint64_t>(n);
  }
}

void FakeCamera::Respond(int fd, int status, const std::string& body, Tail tail) {
  const bool endless = tail == Tail::kEndlessZeros || tail == Tail::kEndlessLines;
  char head[256];
  if (endless) {
    std::snprintf(head, sizeof head, "HTTP/1.1 %d X\r\nConnection: close\r\n\r\n", status);
  } else {
    std::snprintf(head, sizeof head,
                  "HTTP/1.1 %d X\r\nContent-Length: %zu\r\nConnection: close\r\n\r\n",
                  status, body.size());
  }
  if (!SendAll(fd, head, std::strlen(head))) return;
  if (endless) {
    if (SendAll(fd, body.data(), body.size())) SendForever(fd, tail);
    return;
  }
  if (tail == Tail::kTrickle) {
    const int rate = std::max(1, trickleBytesPerSecond);
    const auto pause = std::chrono::microseconds(1000000 / rate);
    for (std::size_t i = 0; i < body.size() && !stop_; ++i) {
      if (!SendAll(fd, body.data() + i, 1)) return;
      std::this_thread::sleep_for(pause);
    }
    return;
  }
  if (tail != Tail::kStall) {
    SendAll(fd, body.data(), body.size());
    return;
  }
  SendAll(fd, body.data(), body.size() / 2);
  ++stalling_;
  // Nothing more until the client goes away or the server stops.
  while (!stop_) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 20) > 0) {
      char c;
      if (::recv(fd, &c, 1, MSG_DONTWAIT) <= 0) break;
    }
  }
  --stalling_;
}

void FakeCamera::Serve(int fd) {
  std::string in;
  char buf[4096];
  while (in.find("\r\n\r\n") == std::string::npos) {
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return;
    in.append(buf, static_cast<std::size_t>(n));
  }
  RecordedRequest req;
  const std::size_t line_end = in.find("\r\n");
  const std::string line = in.substr(0, line_end);
  const std::size_t sp1 = line.find(' '), sp2 = line.rfind(' ');
  req.target = line.substr(sp1 + 1, sp2 - sp1 - 1);
  std::size_t pos = line_end + 2;
  while (pos < in.size()) {
    const std::size_t e = in.find("\r\n", pos);
    if (e == pos || e == std::string::npos) break;
    const std::string h = in.substr(pos, e - pos);
    const std::size_t colon = h.find(':');
    if (colon != std::string::npos) {
      std::string v = h.substr(colon + 1);
      while (!v.empty() && v.front() == ' ') v.erase(0, 1);
      req.headers[Lower(h.substr(0, colon))] = v;
    }
    pos = e + 2;
  }
  std::unique_lock lock(mu_);
  requests_.push_back(req);
  const std::string& t = req.target;
  if (t == "/-kvidb-/status") {
    std::string body(20, '\0');
    const std::uint32_t st = htonl(state);
    const std::uint32_t count =
        htonl(countOverride ? *countOverride : static_cast<std::uint32_t>(pictures_.size()));
    std::memcpy(body.data(), &st, 4);
    std::memcpy(body.data() + 4, &count, 4);
    const int code = statusCode;
    const Tail tail = endlessStatus ? Tail::kEndlessZeros : stallStatus ? Tail::kStall : Tail::kNone;
    lock.unlock();
    Respond(fd, code, body, tail);
  } else if (t == "/-kvidb-/enum?type=list&limit=0") {
    std::string body;
    for (const auto& p : pictures_) body += p.key + " " + p.id + "\r\n";
    body += extraListLines;
    const int code = listCode;
    const Tail tail = endlessList ? Tail::kEndlessLines : Tail::kNone;
    lock.unlock();
    Respond(fd, code, body, tail);
  } else if (t.rfind("/-kvidb-/data?", 0) == 0) {
    ++picture_requests_;
    const std::string id = t.substr(14);
    const auto it = std::find_if(pictures_.begin(), pictures_.end(),
                                 [&](const Picture& p) { return p.id == id; });
    int code = 200;
    std::string body;
    Tail tail = Tail::kNone;
    if (forbiddenIds.count(id)) {
      code = 403;
    } else if (missingIds.count(id) || it == pictures_.end()) {
      code = 404;
    } else if (errorBodyIds.count(id)) {
      body = "error";
    } else {
      body = it->data;
      if (stallIds.count(id)) tail = Tail::kStall;
      if (endlessIds.count(id)) tail = Tail::kEndlessZeros;
      if (trickleIds.count(id)) tail = Tail::kTrickle;
    }
    lock.unlock();
    Respond(fd, code, body, tail);
  } else if (t.rfind("/-kvidb-/rpdel?", 0) == 0) {
    int n = 0;
    std::string rest = t.substr(15);
    const int code = deleteCode;
    while (!rest.empty()) {
      const std::size_t amp = rest.find('&');
      const std::string part = rest.substr(0, amp);
      if (part.rfind("iid=", 0) == 0) {
        ++n;
        if (code == 200) {
          const std::string id = part.substr(4);
          pictures_.erase(std::remove_if(pictures_.begin(), pictures_.end(),
                                         [&](const Picture& p) { return p.id == id; }),
                          pictures_.end());
        }
      }
      if (amp == std::string::npos) break;
      rest = rest.substr(amp + 1);
    }
    delete_batches_.push_back(n);
    lock.unlock();
    Respond(fd, code, "", Tail::kNone);
  } else {
    lock.unlock();
    Respond(fd, 404, "", Tail::kNone);
  }
}

}  // namespace pondrel::dl::test
