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

}  // namespace pondrel::dl
