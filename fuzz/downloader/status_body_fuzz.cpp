// The camera's status body: any bytes give a state and a count, read from the first 20 bytes
// only (a shorter body counts as zero-filled, as the HTTP client hands it over).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "downloader/picture_list.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace pondrel::dl;
  char body[kStatusBytes] = {};
  std::memcpy(body, data, size < kStatusBytes ? size : kStatusBytes);
  const ServerStatus status = ParseServerStatus(body);
  // Bytes 8 to 19 never matter.
  char other[kStatusBytes];
  std::memcpy(other, body, 8);
  std::memset(other + 8, 0xA5, kStatusBytes - 8);
  const ServerStatus again = ParseServerStatus(other);
  if (again.state != status.state || again.count != status.count) std::abort();
  const std::uint32_t state =
      (static_cast<std::uint32_t>(static_cast<unsigned char>(body[0])) << 24) |
      (static_cast<std::uint32_t>(static_cast<unsigned char>(body[1])) << 16) |
      (static_cast<std::uint32_t>(static_cast<unsigned char>(body[2])) << 8) |
      static_cast<unsigned char>(body[3]);
  if (status.state != state) std::abort();
  return 0;
}
