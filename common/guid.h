// Server identifiers: 16-byte GUIDs. The stored order is the in-memory layout of a Windows
// GUID (a 32-bit and two 16-bit little-endian numbers, then 8 bytes).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace pondrel {

struct Guid {
  std::array<std::uint8_t, 16> bytes{};
  bool IsZero() const;
  friend bool operator==(const Guid&, const Guid&) = default;
};
// The former name, kept while the service, downloader and stores code still use it.
using KVGuid = Guid;

// A fresh random (version 4) identifier; false when no randomness could be had.
bool CreateGuid(Guid* out);
// The 16 bytes in stored order as 32 lower-case hexadecimal digits.
std::string GuidToHex(const Guid& g);
// Exactly 32 characters of "0"-"9" and "a"-"f"; upper-case digits are refused.
bool GuidFromHex(std::string_view text, Guid* out);
// The registry form without braces: groups of 8-4-4-4-12 upper-case digits joined by hyphens,
// the first three groups read as little-endian numbers.
std::string GuidToRegistryForm(const Guid& g);
// Accepts the registry form with or without braces, digits of either case.
bool GuidFromRegistryForm(std::string_view text, Guid* out);

}  // namespace pondrel
