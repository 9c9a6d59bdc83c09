#include "tests/camsim/camsim_in_process.h"

#include <chrono>
#include <cstdio>
#include <sstream>

#include "imagestore/picture_header.h"

namespace pondrel::test {
namespace {

camsim::CamServerConfig EmptyCamera() {
  camsim::CamServerConfig config;
  config.pictures = 0;
  return config;
}

}  // namespace

CamsimInProcess::CamsimInProcess()
    : server_(EmptyCamera()),
      transport_(server_, log_, 16, [this](const camsim::IncomingRequest& in) {
        ReceivedRequest r;
        r.target = in.target;
        for (const auto& [name, value] : in.headers) r.headers[name] = value;
        std::lock_guard<std::mutex> lock(mu_);
        requests_.push_back(std::move(r));
      }) {
  port_ = transport_.Bind("127.0.0.1", 0);
  if (port_ == 0) return;
  serving_ = std::thread([this] { transport_.Serve(); });
  while (!transport_.IsServing()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

CamsimInProcess::~CamsimInProcess() {
  transport_.Stop();
  if (serving_.joinable()) serving_.join();
}

std::string CamsimInProcess::MakePicture(std::size_t size, std::uint32_t seed) {
  PictureHeader h;
  h.trigger = 33;
  h.camera = 1;
  h.record_time = 1700000000 + seed;
  std::string body(size > 60 ? size - 60 : 0, '\0');
  for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>((i * 31 + seed) & 0xff);
  return BuildPicture(h, body);
}

void CamsimInProcess::AddPicture(const std::string& key, const std::string& id, std::string file) {
  server_.AddPicture(key, id, std::move(file));
}

void CamsimInProcess::AddPictures(int n, const std::string& date, int first_second,
                                  std::size_t size) {
  for (int i = 0; i < n; ++i) {
    const int s = first_second + i;
    char time[16];
    std::snprintf(time, sizeof time, "%02d%02d%02d%02d", 10 + s / 3600 % 14, s / 60 % 60, s % 60,
                  0);
    AddPicture(date + "/" + time, "id" + date + time,
               MakePicture(size, static_cast<std::uint32_t>(s)));
  }
}

bool CamsimInProcess::Control(const std::string& lines) {
  std::string error;
  return server_.ApplyControl(lines, &error);
}

std::vector<ReceivedRequest> CamsimInProcess::Requests() const {
  std::lock_guard<std::mutex> lock(mu_);
  return requests_;
}

std::map<std::string, std::string> CamsimInProcess::Stats() const {
  std::map<std::string, std::string> out;
  std::istringstream in(server_.StatsText());
  std::string line;
  while (std::getline(in, line)) {
    const std::size_t eq = line.find('=');
    if (eq != std::string::npos) out[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return out;
}

std::vector<int> CamsimInProcess::DeleteBatches() const {
  std::vector<int> batches;
  std::istringstream in(Stats()["rpdel_batches"]);
  std::string n;
  while (std::getline(in, n, ',')) batches.push_back(std::stoi(n));
  return batches;
}

int CamsimInProcess::PictureRequests() const { return std::stoi(Stats()["data_requests"]); }

void CamsimInProcess::WaitUntilStalling() const {
  while (transport_.StallsInProgress() == 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace pondrel::test
