// The camera picture header. A picture file counts as a camera picture only if it starts
// with FF D8 FF E0 (JPEG start of image, APP0 marker) and the 44 bytes from file offset 6
// (the APP0 payload) can be read and begin with "KV". Multi-byte fields are big-endian.
//
// Payload: 0 "KV" | 2 trigger | 3 camera | 4 pan | 6 tilt | 8 zoom | 10 brightness |
// 12 recording time (4) | 16 time-zone offset in minutes (2) | 18 unused (2) | 20, 24 read,
// unused (4 + 4) | 28 extension word | 30 width | 32 height | 34 unused (10).
// When the extension word is 0 the picture is 320 x 240 and the time-zone offset is the
// computer's own (minutes east of UTC) instead of the stored one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

namespace pondrel {

inline constexpr std::size_t kPicturePayloadOffset = 6;
inline constexpr std::size_t kPicturePayloadSize = 44;
inline constexpr std::size_t kPictureHeaderSize =
    kPicturePayloadOffset + kPicturePayloadSize;  // 50

struct PictureHeader {
  std::uint8_t trigger = 0;  // 1, 2 device input; 33..36 schedule 1..4
  std::uint8_t camera = 0;
  std::uint16_t pan = 0;  // hundredths of a degree + 18000; 0 = not recorded
  std::uint16_t tilt = 0;
  std::uint16_t zoom = 0;
  std::uint16_t brightness = 0;   // 1 standard, 2 brighter
  std::uint32_t record_time = 0;  // seconds since 1970-01-01 UTC
  std::int16_t zone_offset = 0;   // minutes to add to record_time for the camera's local time
  std::uint16_t extension = 0;
  std::uint16_t width = 320;  // 320 x 240 when extension is 0
  std::uint16_t height = 240;
};

// Checks and reads the header from the first bytes of a picture (at least 50 needed).
// False when it is not a camera picture. Fields are taken as stored: no time-zone rule.
bool ParsePictureHeader(std::string_view file_start, PictureHeader* out);

// Reads the header of the picture file at `path` and applies the time-zone rule (extension
// 0: zone_offset = LocalZoneOffsetMinutes(record_time); width 320, height 240). False when the
// file cannot be read or is not a camera picture.
bool ReadPictureHeader(const std::string& path, PictureHeader* out);
// The same for the first bytes of a picture (at least 50), as a downloader has them while
// the picture streams in.
bool PictureHeaderOf(std::string_view file_start, PictureHeader* out);

// The computer's offset from UTC in minutes east (the process's TZ), in effect at `when`.
int LocalZoneOffsetMinutes(std::time_t when);

// The first 50 bytes of a camera picture with these fields: FF D8 FF E0, the APP0 length
// (46, big-endian), and the 44-byte payload beginning with "KV". Width and height are
// written as given (write 320/240 when extension is 0).
std::string BuildPictureHeader(const PictureHeader& h);
// A whole small picture file: the header, `body` (any bytes) and the JPEG end marker FF D9.
std::string BuildPicture(const PictureHeader& h, std::string_view body = {});

}  // namespace pondrel
