#include "taskview/album/album_html.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>

namespace pondrel::album {
namespace {

// The code point of the UTF-8 sequence at `s[*i]`, advancing *i; U+FFFD for a malformed,
// overlong or surrogate sequence (one byte is consumed then).
char32_t DecodeUtf8(std::string_view s, std::size_t* i) {
  const unsigned char lead = static_cast<unsigned char>(s[*i]);
  int len = 0;
  char32_t cp = 0;
  if (lead >= 0xC2 && lead <= 0xDF)
    len = 2, cp = lead & 0x1F;
  else if (lead >= 0xE0 && lead <= 0xEF)
    len = 3, cp = lead & 0x0F;
  else if (lead >= 0xF0 && lead <= 0xF4)
    len = 4, cp = lead & 0x07;
  if (len == 0 || *i + len > s.size()) {
    ++*i;
    return 0xFFFD;
  }
  for (int k = 1; k < len; ++k) {
    const unsigned char c = static_cast<unsigned char>(s[*i + k]);
    if ((c & 0xC0) != 0x80) {
      ++*i;
      return 0xFFFD;
    }
    cp = (cp << 6) | (c & 0x3F);
  }
  const char32_t min = len == 2 ? 0x80 : len == 3 ? 0x800 : 0x10000;
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    ++*i;
    return 0xFFFD;
  }
  *i += len;
  return cp;
}

std::string VFormat(const char* format, va_list args) {
  char small[256];
  va_list copy;
  va_copy(copy, args);
  const int n = std::vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (n < 0) return {};
  if (static_cast<std::size_t>(n) < sizeof small) return std::string(small, n);
  std::string out(static_cast<std::size_t>(n) + 1, '\0');
  std::vsnprintf(out.data(), out.size(), format, args);
  out.resize(static_cast<std::size_t>(n));
  return out;
}

}  // namespace

void AppendHtmlText(std::string* out, std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      ++i;
      switch (c) {
        case '&': *out += "&amp;"; break;
        case '<': *out += "&lt;"; break;
        case '>': *out += "&gt;"; break;
        case '"': *out += "&quot;"; break;
        case '\'': *out += "&#39;"; break;
        default:
          if (c >= 0x20 || c == '\t' || c == '\n') out->push_back(static_cast<char>(c));
      }
      continue;
    }
    char ref[16];
    std::snprintf(ref, sizeof ref, "&#%u;", static_cast<unsigned>(DecodeUtf8(text, &i)));
    *out += ref;
  }
}

std::string HtmlText(std::string_view text) {
  std::string out;
  AppendHtmlText(&out, text);
  return out;
}

std::string FileUrl(std::string_view path) {
  std::string absolute;
  if (path.empty() || path.front() != '/') {
    char cwd[4096];
    if (::getcwd(cwd, sizeof cwd)) absolute = cwd;
    absolute += '/';
  }
  absolute += path;
  static const char kHex[] = "0123456789ABCDEF";
  std::string out = "file://";
  out.reserve(out.size() + absolute.size());
  for (unsigned char c : absolute) {
    const bool keep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                      c == '-' || c == '.' || c == '_' || c == '~' || c == '/';
    if (keep) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 15]);
    }
  }
  return out;
}

std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string out = VFormat(format, args);
  va_end(args);
  return out;
}

}  // namespace pondrel::album
