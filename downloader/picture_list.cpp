#include "downloader/picture_list.h"

#include <algorithm>
#include <cstring>

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

PictureListReader::PictureListReader(std::FILE* file, std::size_t max)
    : file_(file), max_(max), buf_(max + 1 + 64 * 1024) {}

bool PictureListReader::Fill() {
  if (eof_ || error_) return false;
  if (begin_ > 0) {
    std::copy(buf_.begin() + static_cast<std::ptrdiff_t>(begin_),
              buf_.begin() + static_cast<std::ptrdiff_t>(end_), buf_.begin());
    end_ -= begin_;
    begin_ = 0;
  }
  const std::size_t n = std::fread(buf_.data() + end_, 1, buf_.size() - end_, file_);
  end_ += n;
  if (n == 0) {
    if (std::ferror(file_))
      error_ = true;
    else
      eof_ = true;
    return false;
  }
  return true;
}

int PictureListReader::Next(std::string_view* line) {
  for (;;) {
    const char* from = buf_.data() + begin_;
    const void* nl = std::memchr(from, '\n', end_ - begin_);
    if (nl) {
      const std::size_t len = static_cast<std::size_t>(static_cast<const char*>(nl) - from);
      begin_ += len + 1;
      if (skipping_ || len > max_) {
        skipping_ = false;
        ++skipped_;
        continue;
      }
      *line = std::string_view(from, len);
      return 1;
    }
    // No line end in the buffer: a line already longer than allowed is dropped as it comes.
    if (skipping_ || end_ - begin_ > max_) {
      skipping_ = true;
      begin_ = end_ = 0;
    }
    if (Fill()) continue;
    if (error_) return -1;
    if (begin_ < end_ && !skipping_) {
      *line = std::string_view(buf_.data() + begin_, end_ - begin_);
      begin_ = end_;
      return 1;
    }
    if (skipping_) {
      skipping_ = false;
      ++skipped_;
    }
    begin_ = end_ = 0;
    return 0;
  }
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
