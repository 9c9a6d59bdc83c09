#include "downloader/picture_list.h"

#include "imagestore/image_index.h"

namespace pondrel::dl {

bool ParsePictureListLine(std::string_view line, PictureListEntry* out) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  const std::size_t blank = line.find(' ');
  if (blank == std::string_view::npos) return false;
  out->key = line.substr(0, blank);
  out->identifier = line.substr(blank + 1);
  return IsValidPictureKey(out->key);
}

ServerStatus ParseServerStatus(const char (&body)[kStatusBytes]) {
  auto be32 = [&body](std::size_t at) {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < 4; ++i) v = (v << 8) | static_cast<unsigned char>(body[at + i]);
    return v;
  };
  return ServerStatus{be32(0), be32(4)};
}

}  // namespace pondrel::dl
