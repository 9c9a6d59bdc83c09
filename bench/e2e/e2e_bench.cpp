// Figures of the whole road with real processes (zoricsm, KVdl + libfetchko.so, camsim):
//  1. One scheduled run of 2,000 pictures of 50 KB through the service, from the scan to the
//     task written as ended, against the same run of KVdl started by hand.
//  2. 16 KVdl processes at once, each against a camsim of its own with 500 pictures of
//     50 KB: total pictures per second, against one KVdl alone.
// Build type matters: run it from a Release build for figures worth comparing.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "common/guid.h"
#include "tests/camsim/camsim_process.h"
#include "tests/e2e/e2e_world.h"

namespace {

using pondrel::test::CamsimProcess;
using pondrel::test::E2EWorld;
using pondrel::test::ProfileSpec;
using pondrel::test::StartedProcess;
using Clock = std::chrono::steady_clock;

int CountJpgs(const std::string& image_dir) {
  int n = 0;
  std::error_code ec;
  for (auto& e : std::filesystem::recursive_directory_iterator(image_dir + "/image", ec))
    if (e.path().extension() == ".jpg") ++n;
  return n;
}

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

std::vector<std::string> CamArgs(int pictures) {
  return {"--pictures",     std::to_string(pictures),
          "--picture-size", "51200",
          "--user",         "u",
          "--password",     "p",
          "--threads",      "2"};
}

std::string KVdlOptions(E2EWorld& w, const pondrel::Guid& id, const std::string& task,
                        const std::string& server) {
  return "/g " + pondrel::GuidToHex(id) + ",/l " + w.ImageDir(server) + "/dl.log,/t " + task;
}

// 1.
void ThroughTheService() {
  constexpr int kPictures = 2000;
  CamsimProcess cam(CamArgs(kPictures));
  if (!cam.ok()) {
    std::fprintf(stderr, "camsim did not start\n");
    return;
  }
  E2EWorld w;
  ProfileSpec spec;
  spec.port = cam.port();
  spec.name = "service";
  const pondrel::Guid by_service = w.AddServer(spec);
  spec.name = "hand";
  const pondrel::Guid by_hand = w.AddServer(spec);
  w.AddTask("bench", by_service);
  if (!w.StartService()) {
    std::fprintf(stderr, "the service did not start\n");
    return;
  }
  auto start = Clock::now();
  w.RunScan();
  const bool ended = w.WaitTaskEnded("bench", 120000);
  const double road = Seconds(start);
  const int end_code = w.ReadTask("bench").EndCode;
  w.StopService();

  start = Clock::now();
  StartedProcess p = w.StartKVdl({KVdlOptions(w, by_hand, "hand", "hand")});
  const auto result = w.WaitKVdl(p, 120000);
  const double alone = Seconds(start);
  if (CountJpgs(w.ImageDir("service")) != kPictures || CountJpgs(w.ImageDir("hand")) != kPictures)
    std::printf("   (not every picture was stored)\n");
  std::printf("1. %d pictures of 50 KB, one run:\n", kPictures);
  std::printf("   through the service (scan to task ended): %.2f s, %.0f pictures/s%s\n", road,
              kPictures / road, ended && end_code == 0 ? "" : " (the run FAILED)");
  std::printf("   KVdl started by hand:                     %.2f s, %.0f pictures/s%s\n", alone,
              kPictures / alone, result == 0 ? "" : " (the run FAILED)");
  std::printf("   (the service adds up to one 1,000 ms tick before the start)\n");
}

// 2.
void SixteenAtOnce() {
  constexpr int kServers = 16;
  constexpr int kPictures = 500;
  std::vector<std::unique_ptr<CamsimProcess>> cams;
  for (int i = 0; i < kServers; ++i) {
    cams.push_back(std::make_unique<CamsimProcess>(CamArgs(kPictures)));
    if (!cams.back()->ok()) {
      std::fprintf(stderr, "camsim %d did not start\n", i);
      return;
    }
  }
  E2EWorld w;
  std::vector<pondrel::Guid> ids;
  for (int i = 0; i < kServers; ++i) {
    ProfileSpec spec;
    spec.port = cams[static_cast<std::size_t>(i)]->port();
    spec.name = "cam" + std::to_string(i);
    ids.push_back(w.AddServer(spec));
  }
  ProfileSpec spec;
  spec.port = cams[0]->port();
  spec.name = "single";
  const pondrel::Guid single = w.AddServer(spec);

  auto start = Clock::now();
  StartedProcess one = w.StartKVdl({KVdlOptions(w, single, "single", "single")});
  const bool one_ok = w.WaitKVdl(one, 120000) == 0;
  const double alone = Seconds(start);

  start = Clock::now();
  std::vector<StartedProcess> runs;
  for (int i = 0; i < kServers; ++i) {
    const std::string name = "cam" + std::to_string(i);
    runs.push_back(w.StartKVdl({KVdlOptions(w, ids[static_cast<std::size_t>(i)], name, name)}));
  }
  int failed = 0;
  for (auto& r : runs)
    if (w.WaitKVdl(r, 300000) != 0) ++failed;
  const double all = Seconds(start);
  for (int i = 0; i < kServers; ++i)
    if (CountJpgs(w.ImageDir("cam" + std::to_string(i))) != kPictures) ++failed;
  std::printf("2. %d pictures of 50 KB per run:\n", kPictures);
  std::printf("   one KVdl alone:   %.2f s, %.0f pictures/s%s\n", alone, kPictures / alone,
              one_ok ? "" : " (the run FAILED)");
  std::printf("   16 KVdl at once:  %.2f s, %.0f pictures/s in total", all,
              kServers * kPictures / all);
  if (failed) std::printf(" (%d runs FAILED)", failed);
  std::printf("\n");
}

}  // namespace

int main() {
  ThroughTheService();
  SixteenAtOnce();
  return 0;
}
