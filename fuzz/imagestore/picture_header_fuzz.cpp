// Picture files come from the camera: the header check reads no byte outside the file, and a
// header it accepts is one whose fields survive being built again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "imagestore/picture_header.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace pondrel;
  const std::string_view file(reinterpret_cast<const char*>(data), size);
  PictureHeader h;
  if (!ParsePictureHeader(file, &h)) return 0;
  if (size < 50 || data[0] != 0xFF || data[1] != 0xD8 || data[6] != 'K' || data[7] != 'V') {
    std::abort();
  }
  PictureHeader back;
  const std::string rebuilt = BuildPicture(h);
  if (!ParsePictureHeader(rebuilt, &back)) std::abort();
  if (back.trigger != h.trigger || back.camera != h.camera || back.pan != h.pan ||
      back.record_time != h.record_time || back.extension != h.extension) {
    std::abort();
  }
  return 0;
}
