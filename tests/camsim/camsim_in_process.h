// camsim's camera server run inside the test's own process: the simulated camera and its HTTP
// transport on a free loopback port, served from a thread, for tests that need to add pictures
// of their own making, change faults between requests through the server's control lines, see
// every request with its headers, or wait for a delivery to stall. Stopped (slow deliveries
// ended) when destroyed.
//
//   pondrel::test::CamsimInProcess cam;
//   cam.AddPictures(3);
//   ASSERT_TRUE(cam.Control("fault.data.id2024010210000100=stall:3600"));
//   ... point the downloader at 127.0.0.1:cam.port() ...
//   cam.WaitUntilStalling();
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "camsim/camera_server.h"
#include "camsim/http_transport.h"
#include "camsim/request_log.h"

namespace pondrel::test {

// A request as the camera received it.
struct ReceivedRequest {
  std::string target;                          // path and query as sent
  std::map<std::string, std::string> headers;  // names in lower case
};

class CamsimInProcess {
 public:
  // Starts with no pictures, no credentials asked and no faults.
  CamsimInProcess();
  ~CamsimInProcess();
  CamsimInProcess(const CamsimInProcess&) = delete;
  CamsimInProcess& operator=(const CamsimInProcess&) = delete;

  bool ok() const { return port_ > 0; }
  int port() const { return port_; }

  // Adds `n` pictures on `date` (YYYYMMDD) at one-second steps from 10:00:00 plus
  // `first_second`; identifiers "id<date><hhmmsscc>". Each file is MakePicture(size, second).
  void AddPictures(int n, const std::string& date = "20240102", int first_second = 0,
                   std::size_t size = 2000);
  void AddPicture(const std::string& key, const std::string& id, std::string file);
  // A picture file with the camera header and recording time 1700000000 + seed, `size` bytes.
  static std::string MakePicture(std::size_t size, std::uint32_t seed = 0);

  // Control lines for the server (see camsim/camera_server.h); true when all were applied.
  bool Control(const std::string& lines);

  // Every request received so far, in order.
  std::vector<ReceivedRequest> Requests() const;
  std::map<std::string, std::string> Stats() const;
  // The identifier count of each deletion request.
  std::vector<int> DeleteBatches() const;
  int PictureRequests() const;
  std::size_t PicturesHeld() const { return server_.PictureCount(); }
  // Returns once a delivery is stalled in its middle.
  void WaitUntilStalling() const;
  std::uint64_t EndlessBytesSent() const { return transport_.EndlessBytesSent(); }

 private:
  camsim::CamServer server_;
  camsim::RequestLog log_;  // not opened: requests are kept in memory
  mutable std::mutex mu_;
  std::vector<ReceivedRequest> requests_;
  camsim::HttpTransport transport_;
  int port_ = 0;
  std::thread serving_;
};

}  // namespace pondrel::test
