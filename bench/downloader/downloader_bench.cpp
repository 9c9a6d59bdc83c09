// Figures of the downloader:
//  1. 1,000 new pictures of 50 KB from camsim on loopback: pictures per second of one run, and
//     the same 1,000 URLs fetched by the curl tool in one process (curl -K), with and without
//     connection reuse, to show what one connection per request costs.
//  2. A list of 100,000 pictures that are all stored already: time of phase 2 and peak
//     resident memory (measured in a child process of its own).
//  3. 16 downloads at once against 16 simulators: total pictures per second.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/fs_util.h"
#include "common/guid.h"
#include "downloader/download_job.h"
#include "downloader/download_run.h"
#include "downloader/download_worker.h"
#include "downloader/picture_list.h"
#include "downloader/progress_reporter.h"
#include "downloader/run_context.h"
#include "imagestore/image_index.h"
#include "servers/srvmgr.h"
#include "tests/camsim/camsim_process.h"
#include "tests/support/test_env.h"

namespace {

using pondrel::test::CamsimProcess;
using Clock = std::chrono::steady_clock;

class QuietProgress final : public pondrel::dl::ProgressReporter {
 public:
  void Status(std::string_view) override {}
};

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

std::string AddProfile(const std::string& name, int port, const std::string& dir) {
  pondrel::CKVSrvInfo info;
  (void)info.SetServerName(name);
  (void)info.SetImageDirectory(dir);
  (void)info.SetHostName("127.0.0.1");
  info.SetHttpPortRaw(static_cast<std::uint16_t>(port));
  pondrel::CKVSrvMgr store;
  if (!store.Init() || store.Add(&info) != pondrel::SrvResult::SRV_OK) {
    std::fprintf(stderr, "cannot store the profile %s\n", name.c_str());
    std::exit(1);
  }
  return pondrel::GuidToHex(info.GetId());
}

int RunOnce(const std::string& id, const std::string& log) {
  QuietProgress quiet;
  pondrel::dl::RunSettings settings;
  settings.progress = &quiet;
  settings.close_on_sigterm = false;
  return pondrel::dl::ResultCode(
      pondrel::dl::RunDownload("/g " + id + ",/l " + log + ",/t bench", settings));
}

std::vector<std::string> ListedIdentifiers(const std::string& image_dir) {
  std::vector<std::string> ids;
  std::ifstream in(image_dir + "/info/pict.lst");
  std::string line;
  while (std::getline(in, line)) {
    pondrel::dl::PictureListEntry e;
    if (pondrel::dl::ParsePictureListLine(line, &e)) ids.emplace_back(e.identifier);
  }
  return ids;
}

// Fetches every picture with the curl tool in one process; returns the seconds taken and puts
// the mean TCP connect time of the requests that opened a connection into *connect_us.
double CurlFetchAll(const std::string& dir, int port, const std::vector<std::string>& ids,
                    bool fresh_connections, double* connect_us) {
  const std::string out_dir = dir + (fresh_connections ? "/curl-fresh" : "/curl-reuse");
  std::filesystem::create_directories(out_dir);
  const std::string config = out_dir + ".cfg";
  {
    std::ofstream cfg(config);
    cfg << "silent\nfail\nwrite-out = \"%{time_connect}\\n\"\n";
    if (fresh_connections) cfg << "header = \"Connection: close\"\n";
    for (std::size_t i = 0; i < ids.size(); ++i) {
      cfg << "url = \"http://127.0.0.1:" << port << "/-kvidb-/data?" << ids[i] << "\"\n";
      cfg << "output = \"" << out_dir << "/" << i << ".jpg\"\n";
    }
  }
  const auto start = Clock::now();
  const std::string times = out_dir + ".times";
  const int rc = std::system(("curl -K " + config + " > " + times).c_str());
  const double s = Seconds(start);
  if (rc != 0) std::fprintf(stderr, "curl ended with %d\n", rc);
  std::ifstream in(times);
  double t = 0, sum = 0;
  int opened = 0;
  while (in >> t) {
    if (t > 0) {
      sum += t;
      ++opened;
    }
  }
  *connect_us = opened ? sum / opened * 1e6 : 0;
  return s;
}

void BenchThousandPictures() {
  pondrel::test::ScopedTestEnv env;
  CamsimProcess cam({"--pictures", "1000", "--picture-size", "51200"});
  if (!cam.ok()) {
    std::fprintf(stderr, "camsim did not start: %s\n", cam.Output().c_str());
    return;
  }
  const std::string dir = env.Root() + "/img";
  const std::string id = AddProfile("bench", cam.port(), dir);
  const auto start = Clock::now();
  const int result = RunOnce(id, env.Path("dl.log"));
  const double pondrel_s = Seconds(start);
  const auto ids = ListedIdentifiers(dir);
  double reuse_connect_us = 0, fresh_connect_us = 0;
  const double curl_reuse_s = CurlFetchAll(env.Dir(), cam.port(), ids, false, &reuse_connect_us);
  const double curl_fresh_s = CurlFetchAll(env.Dir(), cam.port(), ids, true, &fresh_connect_us);
  const double n = static_cast<double>(ids.size());
  std::printf("1. 1,000 new pictures of 50 KB from camsim (loopback), result %d\n", result);
  std::printf("   Pondrel run (status, list, 1,000 pictures, index): %.3f s = %.0f pictures/s\n",
              pondrel_s, n / pondrel_s);
  std::printf("   curl -K, one process, connections reused:         %.3f s = %.0f pictures/s\n",
              curl_reuse_s, n / curl_reuse_s);
  std::printf("   curl -K, one process, a new connection each:      %.3f s = %.0f pictures/s\n",
              curl_fresh_s, n / curl_fresh_s);
  // Pondrel's time over the peer's: below 1 means Pondrel was faster. One unpaired round;
  // bench/compare-downloaders.sh interleaves many rounds for figures to quote.
  std::printf("   time ratio Pondrel / curl (connections reused), below 1 = Pondrel faster: %.2f\n",
              pondrel_s / curl_reuse_s);
  std::printf(
      "   time ratio Pondrel / curl (a new connection each), below 1 = Pondrel faster: %.2f\n",
      pondrel_s / curl_fresh_s);
  std::printf(
      "   per picture: Pondrel %.0f us, curl with a new connection each %.0f us, of\n"
      "   which the TCP connect on loopback takes %.0f us on average\n",
      pondrel_s / n * 1e6, curl_fresh_s / n * 1e6, fresh_connect_us);
}

// 100,000 stored pictures over 100 days, and the list naming all of them.
void BenchKnownList() {
  pondrel::test::ScopedTestEnv env;
  const std::string dir = env.Root() + "/img";
  const std::string info = dir + "/info";
  std::filesystem::create_directories(info + "/2024");
  std::filesystem::create_directories(dir + "/image");
  std::string list;
  int count = 0;
  for (int day = 0; day < 100; ++day) {
    const int mmdd = (1 + day / 28) * 100 + 1 + day % 28;
    std::string records;
    for (int i = 0; i < 1000; ++i, ++count) {
      char key[24];
      std::snprintf(key, sizeof key, "2024%04d/%02d%02d%02d%02d", mmdd, i / 3600, i / 60 % 60,
                    i % 60, 0);
      pondrel::ImageIndexRecord rec{};
      std::memcpy(rec.key, key, pondrel::kPictureKeyLength);
      rec.flag18 = rec.flag20 = rec.flag21 = 1;
      unsigned char raw[pondrel::kIndexRecordSize];
      pondrel::EncodeIndexRecord(rec, raw);
      records.append(reinterpret_cast<char*>(raw), sizeof raw);
      list += std::string(key) + " id" + std::to_string(count) + "\r\n";
    }
    std::ofstream(pondrel::DayIndexPath(info, 2024, mmdd), std::ios::binary) << records;
  }
  std::ofstream(info + "/pict.lst", std::ios::binary) << list;

  std::fflush(stdout);
  const pid_t pid = ::fork();
  if (pid == 0) {
    rusage before{};
    ::getrusage(RUSAGE_SELF, &before);
    QuietProgress quiet;
    pondrel::dl::RunContext ctx;
    ctx.progress = &quiet;
    ctx.log.Set(env.Path("dl.log"), "bench", "bench");
    pondrel::dl::DownloadJob job;
    job.context = &ctx;
    job.image_directory = dir;
    job.list_file = info + "/pict.lst";
    job.phase = 2;
    job.free_space_percent = 0;
    const auto start = Clock::now();
    const int result = pondrel::dl::ResultCode(pondrel::dl::RunWorkerPhase(job));
    const double s = Seconds(start);
    rusage ru{};
    ::getrusage(RUSAGE_SELF, &ru);
    std::printf(
        "2. phase 2 over a list of %d pictures, all stored already: %.3f s (result %d),\n"
        "   %.0f list lines/s, peak resident memory %ld KB (%ld KB before the phase)\n",
        count, s, result, count / s, ru.ru_maxrss, before.ru_maxrss);
    std::fflush(stdout);
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
}

void BenchSixteenAtOnce() {
  constexpr int kServers = 16;
  constexpr int kPictures = 200;
  pondrel::test::ScopedTestEnv env;
  std::vector<std::unique_ptr<CamsimProcess>> cams;
  std::vector<std::string> ids;
  for (int i = 0; i < kServers; ++i) {
    cams.push_back(std::make_unique<CamsimProcess>(std::vector<std::string>{
        "--pictures", std::to_string(kPictures), "--picture-size", "51200", "--threads", "2"}));
    if (!cams.back()->ok()) {
      std::fprintf(stderr, "camsim %d did not start\n", i);
      return;
    }
    ids.push_back(AddProfile("cam" + std::to_string(i), cams.back()->port(),
                             env.Root() + "/img" + std::to_string(i)));
  }
  std::atomic<int> failures{0};
  const auto start = Clock::now();
  std::vector<std::thread> runs;
  for (int i = 0; i < kServers; ++i) {
    runs.emplace_back([&, i] {
      if (RunOnce(ids[i], env.Path("dl" + std::to_string(i) + ".log")) != 0) ++failures;
    });
  }
  for (auto& t : runs) t.join();
  const double s = Seconds(start);
  const int total = kServers * kPictures;
  std::printf(
      "3. %d downloads at once against %d simulators, %d pictures of 50 KB each:\n"
      "   %.3f s, %.0f pictures/s in total (%d runs failed)\n",
      kServers, kServers, kPictures, s, total / s, failures.load());
}

}  // namespace

int main(int argc, char** argv) {
  const std::string only = argc > 1 ? argv[1] : "";
  if (only.empty() || only == "2") BenchKnownList();
  if (only.empty() || only == "1") BenchThousandPictures();
  if (only.empty() || only == "3") BenchSixteenAtOnce();
  return 0;
}
