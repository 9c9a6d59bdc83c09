// The camera's answers as the downloader reads them: the status body, and the lines of the
// picture list ("pict.lst"): "<key> <identifier>", one per line, the line ending in a line
// feed with or without a carriage return.
#pragma once

#include <cstddef>
#include <cstdint>
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

// The first 20 bytes of the status body: the server state (bytes 0-3) and the number of
// recorded pictures (4-7), both unsigned and in network byte order; the rest is not used.
inline constexpr std::size_t kStatusBytes = 20;
struct ServerStatus {
  std::uint32_t state = 0;  // 2 rebuilding its list, 3 deleting, 4 no storage, else ready
  std::uint32_t count = 0;
};
ServerStatus ParseServerStatus(const char (&body)[kStatusBytes]);

}  // namespace pondrel::dl
