// The camera's picture list, read as the download loop reads pict.lst: the bounded line reader
// hands out exactly the lines of at most its limit (an over-long line is skipped whole), and
// whatever a line holds, it either names a picture whose key is a valid picture key (and so a
// safe path under the image directory) or is skipped, and the identifier, once encoded,
// cannot leave the request line.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "downloader/http_client.h"
#include "downloader/picture_list.h"
#include "imagestore/image_index.h"

namespace {

// A small limit, so that the fuzzer reaches the skipping paths with short inputs.
constexpr std::size_t kMax = 48;

void CheckLine(std::string_view line) {
  pondrel::dl::PictureListEntry entry;
  if (!pondrel::dl::ParsePictureListLine(line, &entry)) return;
  if (!pondrel::IsValidPictureKey(entry.key)) std::abort();
  const std::string path = pondrel::ImagePath("/img", entry.key);
  if (path.rfind("/img/image/", 0) != 0 || path.find("..") != std::string::npos) std::abort();
  const std::string encoded = pondrel::dl::EncodeIdentifier(entry.identifier);
  for (unsigned char c : encoded) {
    if (c <= 0x20 || c >= 0x7f || c == '#') std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The lines as a plain split gives them, without the over-long ones.
  std::vector<std::string_view> expected;
  std::string_view text(reinterpret_cast<const char*>(data), size);
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (line.size() <= kMax) expected.push_back(line);
  }
  std::FILE* f = size ? fmemopen(const_cast<std::uint8_t*>(data), size, "rb") : nullptr;
  if (!f) return 0;
  pondrel::dl::PictureListReader reader(f, kMax);
  std::size_t n = 0;
  std::string_view line;
  int got;
  while ((got = reader.Next(&line)) == 1) {
    if (n >= expected.size() || line != expected[n]) std::abort();
    CheckLine(line);
    ++n;
  }
  std::fclose(f);
  if (got != 0 || n != expected.size()) std::abort();
  return 0;
}
