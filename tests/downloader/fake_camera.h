// A small camera server on 127.0.0.1 for the downloader's tests: it answers the status, list,
// picture and deletion requests from a picture table the test controls, can misbehave on
// demand (status codes, "error" bodies, bodies that stall half-way), and records every request
// line with its headers.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace pondrel::dl::test {

struct RecordedRequest {
  std::string target;                         // path and query as sent
  std::map<std::string, std::string> headers;  // names in lower case
};

class FakeCamera {
 public:
  FakeCamera();
  ~FakeCamera();
  FakeCamera(const FakeCamera&) = delete;
  FakeCamera& operator=(const FakeCamera&) = delete;

  int port() const { return port_; }

  // Adds `n` pictures on `date` (YYYYMMDD) with times 10000000, 10000100, ... after
  // `first_second` seconds; identifiers "id<key digits>". Each picture is a valid camera
  // picture of about `size` bytes.
  void AddPictures(int n, const std::string& date = "20240102", int first_second = 0,
                   std::size_t size = 2000);
  void AddPicture(const std::string& key, const std::string& id, std::string data);
  static std::string MakePicture(std::size_t size, std::uint32_t seed = 0);

  // Behaviour (set before or during a run).
  std::uint32_t state = 0;
  std::optional<std::uint32_t> countOverride;
  int statusCode = 200;               // answer to the status request
  int listCode = 200;
  int deleteCode = 200;
  std::string extraListLines;         // appended verbatim to the list
  std::set<std::string> forbiddenIds;  // answered 403
  std::set<std::string> missingIds;    // answered 404
  std::set<std::string> errorBodyIds;  // body "error"
  std::set<std::string> stallIds;      // half the body, then nothing until the client leaves
  bool stallStatus = false;            // the status body stalls the same way
  // Bodies that never end (no length, filler after the real body until the client leaves):
  // zero bytes after a picture or the status, comment lines after the list.
  std::set<std::string> endlessIds;
  // Picture bodies sent at trickleBytesPerSecond.
  std::set<std::string> trickleIds;
  int trickleBytesPerSecond = 4;
  bool endlessStatus = false;
  bool endlessList = false;

  // Observations.
  std::vector<RecordedRequest> Requests();
  std::vector<int> DeleteBatches();
  int PictureRequests();
  std::size_t PicturesHeld();
  void WaitUntilStalling();  // returns once a stalled response has begun
  std::uint64_t EndlessBytesSent() const { return endless_bytes_.load(); }

 private:
  struct Picture {
    std::string key, id, data;
  };
  void AcceptLoop();
  void Serve(int fd);
  enum class Tail { kNone, kStall, kEndlessZeros, kEndlessLines, kTrickle };
  void Respond(int fd, int status, const std::string& body, Tail tail);
  void SendForever(int fd, Tail tail);

  int listen_fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> stalling_{0};
  std::atomic<std::uint64_t> endless_bytes_{0};
  std::thread accept_thread_;
  std::mutex mu_;
  std::vector<std::thread> connections_;
  std::vector<Picture> pictures_;
  std::vector<RecordedRequest> requests_;
  std::vector<int> delete_batches_;
  int picture_requests_ = 0;
};

}  // namespace pondrel::dl::test
