#include "common/guid.h"

#include <sys/random.h>

#include <cstdio>

namespace pondrel {
namespace {

int HexValue(char c, bool allow_upper) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (allow_upper && c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Parses 2*count hex digits from `text` into bytes, in text order.
bool ParseHexBytes(std::string_view text, std::uint8_t* out, std::size_t count, bool upper) {
  if (text.size() != count * 2) return false;
  for (std::size_t i = 0; i < count; ++i) {
    int hi = HexValue(text[2 * i], upper), lo = HexValue(text[2 * i + 1], upper);
    if (hi < 0 || lo < 0) return false;
    out[i] = static_cast<std::uint8_t>(hi << 4 | lo);
  }
  return true;
}

}  // namespace

bool Guid::IsZero() const {
  for (auto b : bytes)
    if (b) return false;
  return true;
}

bool CreateGuid(Guid* out) {
  Guid g;
  std::size_t got = 0;
  while (got < g.bytes.size()) {
    ssize_t n = getrandom(g.bytes.data() + got, g.bytes.size() - got, 0);
    if (n <= 0) return false;
    got += static_cast<std::size_t>(n);
  }
  // Version 4 in the high nibble of the third group (a little-endian 16-bit number), and the
  // RFC 4122 variant.
  g.bytes[7] = static_cast<std::uint8_t>((g.bytes[7] & 0x0f) | 0x40);
  g.bytes[8] = static_cast<std::uint8_t>((g.bytes[8] & 0x3f) | 0x80);
  *out = g;
  return true;
}

std::string GuidToHex(const Guid& g) {
  static const char kDigits[] = "0123456789abcdef";
  std::string s;
  s.reserve(32);
  for (auto b : g.bytes) {
    s.push_back(kDigits[b >> 4]);
    s.push_back(kDigits[b & 15]);
  }
  return s;
}

bool GuidFromHex(std::string_view text, Guid* out) {
  Guid g;
  if (!ParseHexBytes(text, g.bytes.data(), 16, false)) return false;
  *out = g;
  return true;
}

std::string GuidToRegistryForm(const Guid& g) {
  const auto& b = g.bytes;
  char buf[40];
  std::snprintf(buf, sizeof buf,
                "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", b[3], b[2],
                b[1], b[0], b[5], b[4], b[7], b[6], b[8], b[9], b[10], b[11], b[12], b[13], b[14],
                b[15]);
  return buf;
}

bool GuidFromRegistryForm(std::string_view text, Guid* out) {
  if (text.size() == 38 && text.front() == '{' && text.back() == '}') text = text.substr(1, 36);
  if (text.size() != 36 || text[8] != '-' || text[13] != '-' || text[18] != '-' || text[23] != '-')
    return false;
  std::uint8_t d1[4], d2[2], d3[2];
  Guid g;
  if (!ParseHexBytes(text.substr(0, 8), d1, 4, true) ||
      !ParseHexBytes(text.substr(9, 4), d2, 2, true) ||
      !ParseHexBytes(text.substr(14, 4), d3, 2, true) ||
      !ParseHexBytes(text.substr(19, 4), g.bytes.data() + 8, 2, true) ||
      !ParseHexBytes(text.substr(24, 12), g.bytes.data() + 10, 6, true))
    return false;
  g.bytes[0] = d1[3], g.bytes[1] = d1[2], g.bytes[2] = d1[1], g.bytes[3] = d1[0];
  g.bytes[4] = d2[1], g.bytes[5] = d2[0];
  g.bytes[6] = d3[1], g.bytes[7] = d3[0];
  *out = g;
  return true;
}

}  // namespace pondrel
