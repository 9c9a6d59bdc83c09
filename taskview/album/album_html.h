// Text made safe for the album pages. Names and paths come from the user's profiles and the
// file system, so every one of them is escaped before it reaches a page: markup characters
// become entities and every character outside ASCII becomes a numeric character reference,
// which a browser reads the same way whatever the page's encoding (the Japanese pages are
// Shift JIS, names and paths are UTF-8).
#pragma once

#include <string>
#include <string_view>

namespace pondrel::album {

// "&", "<", ">", "\"" and "'" as entities; a UTF-8 sequence as "&#N;" (a byte that begins no
// valid sequence as U+FFFD); control characters other than tab and line feed dropped.
void AppendHtmlText(std::string* out, std::string_view text);
std::string HtmlText(std::string_view text);

// A file URL for an absolute path: "file://" and the path with every byte other than
// A-Z a-z 0-9 - . _ ~ / percent-encoded. A relative path is taken from the current directory.
std::string FileUrl(std::string_view path);

// printf-style formatting into a string (the format may be one of the variant's texts).
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace pondrel::album
