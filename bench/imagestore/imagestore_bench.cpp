// Figures for the day index: a downloader asking about every picture of a day of 100,000
// records, through the day-index cache and (for a sample) through the plain file scan.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/fs_util.h"
#include "imagestore/image_index.h"
#include "imagestore/picture_header.h"
#include "tests/support/test_env.h"

using namespace pondrel;

namespace {

double MsSince(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

std::string Key(int i) {
  char key[32];
  // 100,000 distinct times of one day: hhmmsscc from the index.
  int cc = i % 100, s = (i / 100) % 60, m = (i / 6000) % 60, h = i / 360000;
  std::snprintf(key, sizeof key, "20240101/%02d%02d%02d%02d", h, m, s, cc);
  return key;
}

}  // namespace

int main() {
  pondrel::test::ScopedTestEnv env;
  const std::string info = env.Path("srv/info");
  const int n = 100000;

  // The day file, written as AddImage would write it.
  std::string file;
  file.reserve(static_cast<std::size_t>(n) * kIndexRecordSize);
  for (int i = 0; i < n; ++i) {
    ImageIndexRecord rec{};
    std::string k = Key(i);
    std::memcpy(rec.key, k.data(), k.size());
    rec.flag18 = rec.flag20 = rec.flag21 = 1;
    unsigned char raw[kIndexRecordSize];
    EncodeIndexRecord(rec, raw);
    file.append(reinterpret_cast<const char*>(raw), sizeof raw);
  }
  CreateDirectoryChain(info + "/2024");
  pondrel::test::WriteFile(info + "/2024/0101.idx", file);

  DayIndexCache cache(info);
  int found = 0;
  auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < n; ++i) found += cache.Contains(Key((i * 7919) % n));
  double ms = MsSince(t0);
  std::printf(
      "DayIndexCache: %d ContainsImage questions against a day of %d records: %.1f ms "
      "(%d found, %zu file reads)\n",
      n, n, ms, found, cache.FileReads());

  t0 = std::chrono::steady_clock::now();
  found = 0;
  for (int i = 0; i < n; ++i) found += cache.Contains("20240101/99" + Key(i).substr(11));
  std::printf("DayIndexCache: %d questions for absent keys: %.1f ms (%d found)\n", n, MsSince(t0),
              found);

  const int sample = 200;
  t0 = std::chrono::steady_clock::now();
  found = 0;
  for (int i = 0; i < sample; ++i) found += ContainsImage(info, Key((i * 7919) % n));
  double per = MsSince(t0) / sample;
  std::printf(
      "ContainsImage (file scan): %.3f ms per question, so %d questions would take about %.1f s\n",
      per, n, per * n / 1000.0);

  // Appends through the cache keep it current without re-reading.
  PictureHeader h;
  h.extension = 1;
  pondrel::test::WriteFile(env.Path("pic.jpg"), BuildPicture(h));
  std::size_t reads = cache.FileReads();
  t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < 1000; ++i) {
    char key[32];
    std::snprintf(key, sizeof key, "20240101/99%06d", i);
    if (cache.Add(key, env.Path("pic.jpg")) != ImageResult::kOk) return 1;
    found += cache.Contains(key);
  }
  std::printf("DayIndexCache: 1000 Add + Contains pairs: %.1f ms (%zu extra file reads)\n",
              MsSince(t0), cache.FileReads() - reads);
  return 0;
}
