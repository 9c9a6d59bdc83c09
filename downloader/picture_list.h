// The camera's answers as the downloader reads them: the status body, and the lines of the
// picture list ("pict.lst"): "<key> <identifier>", one per line, the line ending in a line
// feed with or without a carriage return.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>
#include <vector>

namespace pondrel::dl {

struct PictureListEntry {
  std::string_view key;         // "YYYYMMDD/hhmmsscc"
  std::string_view identifier;  // everything after the first blank, as the server sent it
};

// Splits one line (without its line feed). False for a line that names no picture the
// downloader can file: no blank, or a key that is not "YYYYMMDD/hhmmsscc" with digits where
// the date and time are. Such a key never becomes a path.
bool ParsePictureListLine(std::string_view line, PictureListEntry* out);

// Longer than any line that names a picture (a 17-character key, a blank and the camera's
// identifier); a longer line is skipped without being held whole.
inline constexpr std::size_t kListLineMax = 4096;

// Reads the lines of a picture list from a stdio file with a buffer of fixed size: a line is
// handed out without its line feed (zero bytes included); a line longer than `max` bytes is
// skipped however long it is.
class PictureListReader {
 public:
  explicit PictureListReader(std::FILE* file, std::size_t max = kListLineMax);
  // 1 with the next line in *line (valid until the next call), 0 at the end, -1 on a read
  // error.
  int Next(std::string_view* line);
  std::size_t SkippedLines() const { return skipped_; }

 private:
  bool Fill();  // moves the unread bytes to the front and reads more; false at end or error

  std::FILE* file_;
  std::size_t max_;
  std::vector<char> buf_;
  std::size_t begin_ = 0, end_ = 0;
  bool eof_ = false, error_ = false, skipping_ = false;
  std::size_t skipped_ = 0;
};

// The first 20 bytes of the status body: the server state (bytes 0-3) and the number of
// recorded pictures (4-7), both unsigned and in network byte order; the rest is not used.
inline constexpr std::size_t kStatusBytes = 20;
struct ServerStatus {
  std::uint32_t state = 0;  // 2 rebuilding its list, 3 deleting, 4 no storage, else ready
  std::uint32_t count = 0;
};
ServerStatus ParseServerStatus(const char (&body)[kStatusBytes]);

}  // namespace pondrel::dl
