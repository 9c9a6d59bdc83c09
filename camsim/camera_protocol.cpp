#include "camsim/camera_protocol.h"

#include <cctype>
#include <charconv>

namespace pondrel::camsim {
namespace {

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

std::vector<std::string_view> Split(std::string_view text, char sep) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  while (true) {
    const size_t at = text.find(sep, start);
    parts.push_back(text.substr(start, at == std::string_view::npos ? at : at - start));
    if (at == std::string_view::npos) break;
    start = at + 1;
  }
  return parts;
}

void PutBig32(std::string* out, std::uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out->push_back(static_cast<char>(v >> shift));
}

}  // namespace

const char* KindName(RequestKind kind) {
  switch (kind) {
    case RequestKind::kStatus: return "status";
    case RequestKind::kList: return "list";
    case RequestKind::kData: return "data";
    case RequestKind::kDelete: return "rpdel";
    case RequestKind::kControl: return "control";
    case RequestKind::kStats: return "stats";
    case RequestKind::kOther: break;
  }
  return "other";
}

std::optional<RequestKind> CameraKindByName(std::string_view name) {
  for (RequestKind k :
       {RequestKind::kStatus, RequestKind::kList, RequestKind::kData, RequestKind::kDelete}) {
    if (name == KindName(k)) return k;
  }
  return std::nullopt;
}

ParsedTarget ParseTarget(std::string_view target) {
  ParsedTarget t;
  const size_t q = target.find('?');
  t.path = std::string(target.substr(0, q));
  if (q != std::string_view::npos) t.query = std::string(target.substr(q + 1));

  if (t.path == "/-kvidb-/status") {
    t.kind = RequestKind::kStatus;
  } else if (t.path == "/-kvidb-/enum") {
    t.kind = RequestKind::kList;
    for (std::string_view part : Split(t.query, '&')) {
      if (part.substr(0, 6) != "limit=") continue;
      long v = 0;
      const auto [end, ec] = std::from_chars(part.data() + 6, part.data() + part.size(), v);
      if (ec == std::errc() && end == part.data() + part.size() && v > 0) t.limit = v;
    }
  } else if (t.path == "/-kvidb-/data") {
    t.kind = RequestKind::kData;
    // The identifier is the whole query, as the list gave it.
    if (t.query.empty()) {
      t.well_formed = false;
    } else {
      t.ids.push_back(t.query);
    }
  } else if (t.path == "/-kvidb-/rpdel") {
    t.kind = RequestKind::kDelete;
    for (std::string_view part : Split(t.query, '&')) {
      if (part.substr(0, 4) != "iid=" || part.size() == 4) {
        t.well_formed = false;
        continue;
      }
      t.ids.emplace_back(part.substr(4));
    }
    if (t.ids.empty()) t.well_formed = false;
  } else if (t.path == "/-camsim-/control") {
    t.kind = RequestKind::kControl;
  } else if (t.path == "/-camsim-/stats") {
    t.kind = RequestKind::kStats;
  }
  return t;
}

std::string BuildStatusBody(std::uint32_t state, std::uint32_t count) {
  std::string body;
  PutBig32(&body, state);
  PutBig32(&body, count);
  body.append(12, '\0');
  return body;
}

std::string FormatPictureList(const std::vector<CamPicture>& pictures, const ListFormat& format) {
  const char* eol = format.crlf ? "\r\n" : "\n";
  std::string out;
  long n = 0;
  for (const CamPicture& p : pictures) {
    if (format.limit > 0 && n >= format.limit) break;
    out += p.key;
    out += ' ';
    out += p.id;
    out += eol;
    ++n;
  }
  for (const std::string& line : format.extra_lines) {
    out += line;
    out += eol;
  }
  return out;
}

std::optional<std::string> DecodeBasicCredentials(std::string_view value) {
  const std::string_view scheme = "Basic ";
  if (value.size() < scheme.size()) return std::nullopt;
  for (size_t i = 0; i < scheme.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(value[i])) !=
        std::tolower(static_cast<unsigned char>(scheme[i]))) {
      return std::nullopt;
    }
  }
  std::string_view b64 = value.substr(scheme.size());
  while (!b64.empty() && b64.front() == ' ') b64.remove_prefix(1);
  while (!b64.empty() && (b64.back() == ' ' || b64.back() == '\r' || b64.back() == '\n')) {
    b64.remove_suffix(1);
  }
  if (b64.size() % 4 != 0) return std::nullopt;
  std::string out;
  for (size_t i = 0; i < b64.size(); i += 4) {
    int v[4];
    int pad = 0;
    for (int j = 0; j < 4; ++j) {
      const char c = b64[i + j];
      if (c == '=' && i + 4 == b64.size() && j >= 2) {
        v[j] = 0;
        ++pad;
      } else if (pad != 0 || (v[j] = Base64Value(c)) < 0) {
        return std::nullopt;
      }
    }
    const std::uint32_t bits = (v[0] << 18) | (v[1] << 12) | (v[2] << 6) | v[3];
    out.push_back(static_cast<char>(bits >> 16));
    if (pad < 2) out.push_back(static_cast<char>((bits >> 8) & 0xFF));
    if (pad < 1) out.push_back(static_cast<char>(bits & 0xFF));
  }
  return out;
}

}  // namespace pondrel::camsim
