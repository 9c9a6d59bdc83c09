// Day index files written record by record for the album and Image List tests.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <string>

#include "common/fs_util.h"
#include "imagestore/image_index.h"

namespace pondrel::album::testing {

struct PictureSpec {
  int hour = 8, minute = 0, second = 0, hundredths = 0;
  std::uint8_t trigger = 33, camera = 1;
  std::uint16_t pan = 18000, tilt = 18000, zoom = 100, brightness = 1;
  std::int16_t zone_offset = 540;  // the camera's clock: UTC+9
};

// Appends one record for year-month-day and `p` to the day's index below `image_dir`; the
// recording time is chosen so that the camera's local time is the picture's key time.
inline void AddRecord(const std::string& image_dir, int year, int month, int day,
                      const PictureSpec& p) {
  ImageIndexRecord rec;
  std::memset(&rec, 0, sizeof rec);
  std::snprintf(rec.key, sizeof rec.key, "%04d%02d%02d/%02d%02d%02d%02d", year, month, day, p.hour,
                p.minute, p.second, p.hundredths);
  rec.flag18 = rec.flag20 = rec.flag21 = 1;
  rec.trigger = p.trigger;
  rec.camera = p.camera;
  rec.pan = p.pan;
  rec.tilt = p.tilt;
  rec.zoom = p.zoom;
  rec.brightness = p.brightness;
  struct tm t {};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = p.hour;
  t.tm_min = p.minute;
  t.tm_sec = p.second;
  rec.record_time = static_cast<std::uint32_t>(timegm(&t) - p.zone_offset * 60);
  rec.zone_offset = p.zone_offset;
  rec.extension = 1;
  unsigned char raw[kIndexRecordSize];
  EncodeIndexRecord(rec, raw);
  const std::string info = InfoDirOf(image_dir);
  char year_name[8];
  std::snprintf(year_name, sizeof year_name, "%04d", year);
  CreateDirectoryChain(JoinPath(info, year_name));
  const int fd = ::open(DayIndexPath(info, year, month * 100 + day).c_str(),
                        O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0660);
  if (fd >= 0) {
    (void)!::write(fd, raw, sizeof raw);
    ::close(fd);
  }
}

// `count` pictures one second apart from 08:00:00 (each a minute apart past a minute).
inline void AddPictures(const std::string& image_dir, int year, int month, int day, int count,
                        int first = 0) {
  for (int i = first; i < first + count; ++i) {
    PictureSpec p;
    p.hour = 8 + i / 3600;
    p.minute = (i / 60) % 60;
    p.second = i % 60;
    AddRecord(image_dir, year, month, day, p);
  }
}

}  // namespace pondrel::album::testing
