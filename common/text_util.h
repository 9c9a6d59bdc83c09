// Small text helpers shared by the parsers and writers: bounded copies into the records'
// fixed-size fields, UTF-8 aware cutting, and escaping of peer-supplied text for log lines.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace pondrel {

// Copies `src` into `dst` of `size` bytes, cut to fit, always terminated (when size > 0).
// Returns false when the text had to be cut.
bool CopyCut(char* dst, std::size_t size, std::string_view src);

// Length of the UTF-8 sequence that starts with `lead` (1 for ASCII and for stray bytes).
std::size_t Utf8SequenceLength(unsigned char lead);

// The longest prefix of `text` of at most `max_bytes` bytes that does not split a UTF-8
// sequence.
std::string_view Utf8CutPrefix(std::string_view text, std::size_t max_bytes);

// Text from the network made safe for one log line: control characters, line breaks and
// backslashes become C escapes ("\n", "\r", "\t", "\\", "\xNN").
std::string EscapeForLog(std::string_view text);

// Standard Base64 with "=" padding (the Basic authorization of the camera servers).
std::string Base64Encode(std::string_view data);

// Case-insensitive ASCII comparison.
bool EqualsNoCase(std::string_view a, std::string_view b);

// Leading-digit parsing as atoi/strtoul do it: optional blanks, then digits; text that does
// not start with a digit gives 0.
long ParseLeadingNumber(std::string_view text);

}  // namespace pondrel
