// Figures for the albums and the Image List: the album of a day of 86,400 pictures (one a
// second) and the day list of a server holding a year of one picture a minute (525,600
// pictures). Prints seconds; asserts nothing.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "common/fs_util.h"
#include "imagestore/image_index.h"
#include "taskview/album/album_generator.h"
#include "taskview/image_list.h"
#include "tests/support/test_env.h"

using namespace pondrel;
using Clock = std::chrono::steady_clock;

namespace {

double Seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

// One day's index written in one go: `per_day` pictures evenly over the day.
void WriteDay(const std::string& image_dir, int year, int month, int day, int per_day) {
  const int step = 86400 / per_day;
  struct tm t {};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  const std::int64_t midnight = timegm(&t);
  std::string data;
  data.reserve(static_cast<std::size_t>(per_day) * kIndexRecordSize);
  for (int i = 0; i < per_day; ++i) {
    const int s = i * step;
    ImageIndexRecord rec;
    std::memset(&rec, 0, sizeof rec);
    char key[64];
    std::snprintf(key, sizeof key, "%04d%02d%02d/%02d%02d%02d00", year, month, day, s / 3600,
                  (s / 60) % 60, s % 60);
    std::memcpy(rec.key, key, kPictureKeyLength);
    rec.flag18 = rec.flag20 = rec.flag21 = 1;
    rec.trigger = 33;
    rec.camera = 1;
    rec.pan = 18000;
    rec.tilt = 18000;
    rec.zoom = 100;
    rec.brightness = 1;
    rec.record_time = static_cast<std::uint32_t>(midnight + s);
    rec.extension = 1;
    unsigned char raw[kIndexRecordSize];
    EncodeIndexRecord(rec, raw);
    data.append(reinterpret_cast<const char*>(raw), sizeof raw);
  }
  char year_dir[16];
  std::snprintf(year_dir, sizeof year_dir, "%04d", year);
  CreateDirectoryChain(JoinPath(InfoDirOf(image_dir), year_dir));
  test::WriteFile(DayIndexPath(InfoDirOf(image_dir), year, month * 100 + day), data);
}

}  // namespace

int main() {
  {
    test::ScopedTestEnv env;
    const std::string dir = env.Path("day");
    WriteDay(dir, 2003, 1, 5, 86400);
    album::AlbumRequest req;
    req.image_dir = dir;
    req.server_name = "bench camera";
    req.date = {2003, 1, 5};
    req.expected_count = 86400;
    long updates = 0;
    req.progress = [&updates](long, long) { ++updates; };
    album::AlbumOutput r;
    const auto a = Clock::now();
    const album::AlbumResult code = album::GenerateAlbum(req, &r);
    const auto b = Clock::now();
    std::uint64_t bytes = 0;
    for (const char* stem : {"detail", "thumb", "list"}) {
      for (int p = 0; p < 864; ++p) {
        std::string page;
        ReadWholeFile(
            album::AlbumDayDirectory(dir, req.date) + "/" + stem + std::to_string(p) + "-e.html",
            &page);
        bytes += page.size();
      }
    }
    std::printf(
        "album of a day of 86400 pictures: %.3f s (result %d, %ld pictures, 864 pages, "
        "%.1f MB, %ld progress updates; goal < 5 s)\n",
        Seconds(a, b), static_cast<int>(code), r.appended, bytes / 1e6, updates);
  }
  {
    test::ScopedTestEnv env;
    const std::string dir = env.Path("year");
    for (int yday = 0; yday < 365; ++yday) {
      struct tm t {};
      t.tm_year = 2003 - 1900;
      t.tm_mday = 1 + yday;
      timegm(&t);  // normalises day of year into month and day
      WriteDay(dir, 2003, t.tm_mon + 1, t.tm_mday, 1440);
    }
    std::vector<tasdek::ImageListRow> rows;
    int steps = 0;
    const auto a = Clock::now();
    tasdek::ListRecordedDays(dir, &rows, [&steps](int) { ++steps; });
    const auto b = Clock::now();
    long total = 0;
    for (const auto& r : rows) total += r.count;
    std::printf(
        "day list of a year of one picture a minute: %.3f s (%zu days, %ld pictures; "
        "goal < 1 s)\n",
        Seconds(a, b), rows.size(), total);
  }
  return 0;
}
