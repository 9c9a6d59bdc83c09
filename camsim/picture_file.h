// The picture files the simulated camera serves: small baseline JPEG files (one grey
// component, every block flat) whose APP0 segment carries the camera's picture header, padded
// with comment segments to the size asked for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace pondrel::camsim {

// The camera header that follows the APP0 marker: 44 bytes starting with "KV", multi-byte
// fields big-endian.
struct PictureHeaderFields {
  std::uint8_t trigger = 33;  // 1, 2 = device input; 33..36 = schedule 1..4
  std::uint8_t camera = 1;
  std::uint16_t pan = 18000;  // hundredths of a degree + 18000; 0 = not recorded
  std::uint16_t tilt = 18000;
  std::uint16_t zoom = 100;       // hundredths; 0 = not recorded
  std::uint16_t brightness = 1;   // 1 = standard, 2 = brighter
  std::uint32_t record_time = 0;  // seconds since 1970-01-01 00:00 UTC
  std::int16_t zone_offset = 0;   // minutes east of UTC; only meaningful with an extension
  std::uint16_t extension = 1;    // 0 = old camera: 320 x 240, zone taken from the reader
  std::uint16_t width = 640;      // not written when `extension` is 0
  std::uint16_t height = 480;
};

inline constexpr std::size_t kHeaderPayloadSize = 44;
inline constexpr std::size_t kHeaderPayloadOffset = 6;  // after FF D8, FF E0 and the length

// The 44 header bytes.
std::string EncodeHeaderPayload(const PictureHeaderFields& h);

// A whole JPEG file: SOI, APP0 with the header, a comment holding `label`, quantisation and
// Huffman tables, a frame of the header's size (320 x 240 without extension), one scan of flat
// grey blocks and EOI. Comment segments pad the file to exactly `size` bytes when `size` is
// larger than the smallest such file; otherwise the file has its smallest size.
std::string BuildPictureFile(const PictureHeaderFields& h, const std::string& label,
                             std::size_t size);

}  // namespace pondrel::camsim
