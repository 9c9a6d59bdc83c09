// The camera's side of the four requests under "/-kvidb-/": which request a target names,
// the identifiers it carries, the status body, the picture list text, and Basic credentials.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "camsim/picture_store.h"

namespace pondrel::camsim {

enum class RequestKind { kStatus, kList, kData, kDelete, kControl, kStats, kOther };

// "status", "list", "data", "rpdel", "control", "stats", "other".
const char* KindName(RequestKind kind);
// The inverse for the four camera requests; nullopt for any other name.
std::optional<RequestKind> CameraKindByName(std::string_view name);

struct ParsedTarget {
  RequestKind kind = RequestKind::kOther;
  std::string path;
  std::string query;             // after the first "?", verbatim
  std::vector<std::string> ids;  // data: the one identifier; rpdel: every "iid=" value
  long limit = 0;                // list: the "limit" value (0 = every picture)
  bool well_formed = true;       // false: a data or delete request without identifiers
};

ParsedTarget ParseTarget(std::string_view target);

// 20 bytes: state and picture count as 32-bit big-endian numbers, then 12 zero bytes.
std::string BuildStatusBody(std::uint32_t state, std::uint32_t count);

struct ListFormat {
  bool crlf = true;                      // lines end in "\r\n", else "\n"
  long limit = 0;                        // at most this many pictures; 0 = all
  std::vector<std::string> extra_lines;  // appended verbatim after the pictures
};

// One "<key> <identifier>" line per picture, in store order.
std::string FormatPictureList(const std::vector<CamPicture>& pictures, const ListFormat& format);

// The "user:password" text of an "Authorization: Basic ..." value; nullopt when the value is
// not Basic or not valid Base64.
std::optional<std::string> DecodeBasicCredentials(std::string_view header_value);

}  // namespace pondrel::camsim
