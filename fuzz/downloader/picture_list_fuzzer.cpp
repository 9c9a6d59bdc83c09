// The camera's picture list, split into lines as the download loop reads it: whatever a line
// holds, it either names a picture whose key is a valid picture key (and so a safe path under
// the image directory) or is skipped, and the identifier, once encoded, cannot leave the
// request line.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "downloader/http_client.h"
#include "downloader/picture_list.h"
#include "imagestore/image_index.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    pondrel::dl::PictureListEntry entry;
    if (!pondrel::dl::ParsePictureListLine(line, &entry)) continue;
    if (!pondrel::IsValidPictureKey(entry.key)) std::abort();
    const std::string path = pondrel::ImagePath("/img", entry.key);
    if (path.rfind("/img/image/", 0) != 0 || path.find("..") != std::string::npos) std::abort();
    const std::string encoded = pondrel::dl::EncodeIdentifier(entry.identifier);
    for (unsigned char c : encoded) {
      if (c <= 0x20 || c >= 0x7f || c == '#') std::abort();
    }
  }
  return 0;
}
