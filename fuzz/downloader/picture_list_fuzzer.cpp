// Picture list lines come from the camera server: whatever they hold, a line either names a
// picture whose key is a valid picture key (and so a safe path) or is skipped, and the
// identifier, once encoded, cannot leave the request line.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "downloader/http_client.h"
#include "downloader/picture_list.h"
#include "imagestore/image_index.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  pondrel::dl::PictureListEntry entry;
  if (!pondrel::dl::ParsePictureListLine(line, &entry)) return 0;
  if (!pondrel::IsValidPictureKey(entry.key)) std::abort();
  if (entry.key.find("..") != std::string_view::npos) std::abort();
  const std::string encoded = pondrel::dl::EncodeIdentifier(entry.identifier);
  for (unsigned char c : encoded) {
    if (c <= 0x20 || c >= 0x7f || c == '#') std::abort();
  }
  return 0;
}
