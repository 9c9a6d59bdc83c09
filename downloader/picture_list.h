// Lines of the server's picture list ("pict.lst"): "<key> <identifier>", one per line, the
// line ending in a line feed with or without a carriage return.
#pragma once

#include <string_view>

namespace pondrel::dl {

struct PictureListEntry {
  std::string_view key;         // "YYYYMMDD/hhmmsscc"
  std::string_view identifier;  // everything after the first blank, as the server sent it
};

// Splits one line (without its line feed). False for a line that names no picture the
// downloader can file: no blank, or a key that is not "YYYYMMDD/hhmmsscc" with digits where
// the date and time are. Such a key never becomes a path.
bool ParsePictureListLine(std::string_view line, PictureListEntry* out);

}  // namespace pondrel::dl
