#include "common/text_util.h"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace pondrel {

bool CopyCut(char* dst, std::size_t size, std::string_view src) {
  if (size == 0) return src.empty();
  std::size_t n = src.size() < size - 1 ? src.size() : size - 1;
  std::memcpy(dst, src.data(), n);
  dst[n] = '\0';
  return n == src.size();
}

std::size_t Utf8SequenceLength(unsigned char lead) {
  if (lead < 0xC2) return 1;  // ASCII, a continuation byte or an overlong lead: on its own
  if (lead < 0xE0) return 2;
  if (lead < 0xF0) return 3;
  if (lead < 0xF5) return 4;
  return 1;
}

std::string_view Utf8CutPrefix(std::string_view text, std::size_t max_bytes) {
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t len = Utf8SequenceLength(static_cast<unsigned char>(text[pos]));
    if (pos + len > text.size()) len = text.size() - pos;
    if (pos + len > max_bytes) break;
    pos += len;
  }
  return text.substr(0, pos);
}

std::string EscapeForLog(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char ch : text) {
    unsigned char c = static_cast<unsigned char>(ch);
    switch (c) {
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\\': out += "\\\\"; break;
      default:
        if (c < 0x20 || c == 0x7f) {
          char buf[5];
          std::snprintf(buf, sizeof buf, "\\x%02x", c);
          out += buf;
        } else {
          out.push_back(ch);
        }
    }
  }
  return out;
}

std::string Base64Encode(std::string_view data) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((data.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= data.size(); i += 3) {
    const std::uint32_t b = static_cast<std::uint32_t>(static_cast<unsigned char>(data[i])) << 16 |
                            static_cast<std::uint32_t>(static_cast<unsigned char>(data[i + 1]))
                                << 8 |
                            static_cast<unsigned char>(data[i + 2]);
    for (int shift = 18; shift >= 0; shift -= 6) out.push_back(kAlphabet[(b >> shift) & 63]);
  }
  if (i < data.size()) {
    std::uint32_t b = static_cast<std::uint32_t>(static_cast<unsigned char>(data[i])) << 16;
    if (i + 1 < data.size())
      b |= static_cast<std::uint32_t>(static_cast<unsigned char>(data[i + 1])) << 8;
    out.push_back(kAlphabet[(b >> 18) & 63]);
    out.push_back(kAlphabet[(b >> 12) & 63]);
    out.push_back(i + 1 < data.size() ? kAlphabet[(b >> 6) & 63] : '=');
    out.push_back('=');
  }
  return out;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

long ParseLeadingNumber(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  long value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    if (value > 100'000'000'000L) break;  // far beyond every range the callers check
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

}  // namespace pondrel
