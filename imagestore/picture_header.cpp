#include "imagestore/picture_header.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "common/unique_fd.h"

namespace pondrel {
namespace {

std::uint16_t Be16(const unsigned char* p) {
  return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}
std::uint32_t Be32(const unsigned char* p) {
  return (static_cast<std::uint32_t>(p[0]) << 24) | (static_cast<std::uint32_t>(p[1]) << 16) |
         (static_cast<std::uint32_t>(p[2]) << 8) | p[3];
}
void PutBe16(std::string* out, std::uint16_t v) {
  out->push_back(static_cast<char>(v >> 8));
  out->push_back(static_cast<char>(v & 0xFF));
}
void PutBe32(std::string* out, std::uint32_t v) {
  PutBe16(out, static_cast<std::uint16_t>(v >> 16));
  PutBe16(out, static_cast<std::uint16_t>(v & 0xFFFF));
}

}  // namespace

bool ParsePictureHeader(std::string_view file_start, PictureHeader* out) {
  if (file_start.size() < kPictureHeaderSize) return false;
  const auto* b = reinterpret_cast<const unsigned char*>(file_start.data());
  if (b[0] != 0xFF || b[1] != 0xD8 || b[2] != 0xFF || b[3] != 0xE0) return false;
  const unsigned char* p = b + kPicturePayloadOffset;
  if (p[0] != 'K' || p[1] != 'V') return false;
  PictureHeader h;
  h.trigger = p[2];
  h.camera = p[3];
  h.pan = Be16(p + 4);
  h.tilt = Be16(p + 6);
  h.zoom = Be16(p + 8);
  h.brightness = Be16(p + 10);
  h.record_time = Be32(p + 12);
  h.zone_offset = static_cast<std::int16_t>(Be16(p + 16));
  h.extension = Be16(p + 28);
  h.width = Be16(p + 30);
  h.height = Be16(p + 32);
  *out = h;
  return true;
}

int LocalZoneOffsetMinutes(std::time_t when) {
  struct tm local;
  if (!localtime_r(&when, &local)) return 0;
  return static_cast<int>(local.tm_gmtoff / 60);
}

bool ReadPictureHeader(const std::string& path, PictureHeader* out) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return false;
  char buf[kPictureHeaderSize];
  std::size_t got = 0;
  while (got < sizeof buf) {
    ssize_t n = ::read(fd.get(), buf + got, sizeof buf - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  return PictureHeaderOf(std::string_view(buf, got), out);
}

bool PictureHeaderOf(std::string_view file_start, PictureHeader* out) {
  PictureHeader h;
  if (!ParsePictureHeader(file_start, &h)) return false;
  if (h.extension == 0) {
    // Old cameras leave the zone to the computer: minutes east of UTC where the picture was
    // taken (the offset in effect at its recording time).
    h.zone_offset =
        static_cast<std::int16_t>(LocalZoneOffsetMinutes(static_cast<std::time_t>(h.record_time)));
    h.width = 320;
    h.height = 240;
  }
  *out = h;
  return true;
}

std::string BuildPictureHeader(const PictureHeader& h) {
  std::string out;
  out.reserve(kPictureHeaderSize);
  out += "\xFF\xD8\xFF\xE0";
  PutBe16(&out, static_cast<std::uint16_t>(kPicturePayloadSize + 2));  // APP0 length
  out += "KV";
  out.push_back(static_cast<char>(h.trigger));
  out.push_back(static_cast<char>(h.camera));
  PutBe16(&out, h.pan);
  PutBe16(&out, h.tilt);
  PutBe16(&out, h.zoom);
  PutBe16(&out, h.brightness);
  PutBe32(&out, h.record_time);
  PutBe16(&out, static_cast<std::uint16_t>(h.zone_offset));
  PutBe16(&out, 0);
  PutBe32(&out, 0);
  PutBe32(&out, 0);
  PutBe16(&out, h.extension);
  PutBe16(&out, h.width);
  PutBe16(&out, h.height);
  out.append(10, '\0');
  return out;
}

std::string BuildPicture(const PictureHeader& h, std::string_view body) {
  std::string out = BuildPictureHeader(h);
  out.append(body);
  out += "\xFF\xD9";
  return out;
}

}  // namespace pondrel
