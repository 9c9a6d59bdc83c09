// How fast camsim makes pictures and lists, and serves them over loopback with one connection
// per request (as the downloader asks). Prints its figures; nothing is asserted.
#include <httplib.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "camsim/camera_protocol.h"
#include "camsim/picture_file.h"
#include "camsim/picture_store.h"
#include "tests/camsim/camsim_process.h"

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main() {
  using namespace pondrel::camsim;
  for (std::size_t size : {std::size_t{4096}, std::size_t{100000}, std::size_t{2000000}}) {
    const int rounds = size > 1000000 ? 50 : 2000;
    std::size_t total = 0;
    const auto start = Clock::now();
    for (int i = 0; i < rounds; ++i)
      total += BuildPictureFile(PictureHeaderFields{}, "x", size).size();
    const double s = SecondsSince(start);
    std::printf("build picture %7zu bytes: %8.1f us each (%.0f MB/s)\n", size, s / rounds * 1e6,
                total / s / 1e6);
  }

  PictureSeries series;
  PictureStore store(series);
  store.Add(10000);
  const auto list_start = Clock::now();
  const std::string list = FormatPictureList(store.Snapshot(), ListFormat{});
  std::printf("format list of 10000 pictures: %.2f ms (%zu bytes)\n",
              SecondsSince(list_start) * 1e3, list.size());

  pondrel::test::CamsimProcess cam({"--pictures", "500", "--picture-size", "4096"});
  if (!cam.ok()) {
    std::fprintf(stderr, "camsim did not start: %s\n", cam.Output().c_str());
    return 1;
  }
  const int requests = 500;
  const auto http_start = Clock::now();
  int ok = 0;
  for (int i = 1; i <= requests; ++i) {
    httplib::Client client("127.0.0.1", cam.port());
    client.set_keep_alive(false);
    const auto res = client.Get("/-kvidb-/data?" + std::to_string(i));
    if (res && res->status == 200 && res->body.size() == 4096) ++ok;
  }
  const double http_s = SecondsSince(http_start);
  std::printf("serve 4096-byte pictures, new connection each: %.0f requests/s (%d/%d ok)\n",
              requests / http_s, ok, requests);

  if (!cam.Control("picture-size=2000000\nadd=10")) return 1;
  const auto big_start = Clock::now();
  std::size_t bytes = 0;
  for (int i = 501; i <= 510; ++i) {
    httplib::Client client("127.0.0.1", cam.port());
    const auto res = client.Get("/-kvidb-/data?" + std::to_string(i));
    if (res) bytes += res->body.size();
  }
  std::printf("serve 2000000-byte pictures: %.0f MB/s\n", bytes / SecondsSince(big_start) / 1e6);
  return 0;
}
