#include "servers/srvinfo.h"

#include <cstring>
#include <new>

#include "common/fs_util.h"
#include "common/text_util.h"

namespace pondrel {

using enum CheckKind;

namespace {

// The eleven characters a server name may not hold.
constexpr std::string_view kNameForbidden = "\\/\"<>*?:;|,";
// The characters an image directory may not hold besides its separators ("\" takes the
// place that "/" has on a drive path).
constexpr std::string_view kPathForbidden = "\\\"<>*?:;|,";

bool IsBlankOrTab(char c) { return c == ' ' || c == '\t'; }

// Control characters (line feeds, escapes, the zero byte) would forge lines in the profile
// listings and the logs, or reach a request line or the dial-up configuration; no field of a
// profile holds them.
bool HasControlCharacter(std::string_view text) {
  for (char c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) return true;
  }
  return false;
}

// Stores `text` in `field` when it is within `limit`; an empty text makes the field absent.
CheckResult SetOptional(std::string* field, std::string_view text, std::size_t limit,
                        SrvField number) {
  if (text.size() > limit) return CheckResult{number, CHK_TOO_LONG};
  if (HasControlCharacter(text)) return CheckResult{number, CHK_FORMAT};
  try {
    field->assign(text);
  } catch (const std::bad_alloc&) {
    return CheckResult{FLD_NONE, CHK_MEMORY};
  }
  return kCheckAccepted;
}

// Port text: at most 5 characters, digits after an optional minus sign, 1..65535.
CheckResult ParsePort(std::string_view text, SrvField number, std::uint16_t* port) {
  if (text.size() > kPortTextMax) return CheckResult{number, CHK_TOO_LONG};
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && text[i] == '-') {
    negative = true;
    ++i;
  }
  long value = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return CheckResult{number, CHK_FORMAT};
    value = value * 10 + (text[i] - '0');
  }
  if (negative) value = -value;
  if (value < 1 || value > 65535) return CheckResult{number, CHK_RANGE};
  *port = static_cast<std::uint16_t>(value);
  return kCheckAccepted;
}

unsigned char FoldAscii(unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + 32 : c; }

}  // namespace

std::size_t SrvFieldLimit(std::uint16_t field) {
  switch (field) {
    case FLD_SERVER_NAME: return kServerNameMax;
    case FLD_IMAGE_DIRECTORY: return kImageDirectoryMax;
    case FLD_HOST_NAME: return kHostNameMax;
    case FLD_HTTP_PORT:
    case FLD_PROXY_PORT: return kPortTextMax;
    case FLD_ADMIN_ACCOUNT:
    case FLD_ADMIN_PASSWORD:
    case FLD_PPP_ACCOUNT:
    case FLD_PPP_PASSWORD: return kAccountMax;
    case FLD_PROXY_HOST: return kProxyHostMax;
    case FLD_PPP_CONNECTION_NAME: return kPppConnectionNameMax;
    case FLD_SETTINGS_PAGE_URL: return kSettingsPageUrlMax;
    default: return 0;
  }
}

CKVSrvInfo::CKVSrvInfo() = default;
CKVSrvInfo::~CKVSrvInfo() = default;

void CKVSrvInfo::Clear() {
  id_ = Guid{};
  server_name_.clear();
  image_directory_.clear();
  host_name_.clear();
  http_port_ = kDefaultHttpPort;
  admin_account_.clear();
  admin_password_.clear();
  use_proxy_ = 0;
  proxy_host_.clear();
  proxy_port_ = kClearedProxyPort;
  use_ppp_ = 0;
  ppp_connection_name_.clear();
  ppp_account_.clear();
  ppp_password_.clear();
  delete_images_on_server_ = 0;
  settings_page_url_.clear();
}

bool CKVSrvInfo::Assign(const CKVSrvInfo& other) {
  if (this == &other) return true;
  Clear();
  try {
    *this = other;
  } catch (const std::bad_alloc&) {
    Clear();
    return false;
  }
  return true;
}

CheckResult CKVSrvInfo::Validate() const {
  if (server_name_.empty()) return CheckResult{FLD_SERVER_NAME, CHK_EMPTY};
  if (image_directory_.empty()) return CheckResult{FLD_IMAGE_DIRECTORY, CHK_EMPTY};
  if (host_name_.empty()) return CheckResult{FLD_HOST_NAME, CHK_EMPTY};
  if (delete_images_on_server_) {
    if (admin_account_.empty()) return CheckResult{FLD_ADMIN_ACCOUNT, CHK_EMPTY};
    if (admin_password_.empty()) return CheckResult{FLD_ADMIN_PASSWORD, CHK_EMPTY};
  }
  if (use_proxy_) {
    if (proxy_host_.empty()) return CheckResult{FLD_PROXY_HOST, CHK_EMPTY};
    if (proxy_port_ == 0) return CheckResult{FLD_PROXY_PORT, CHK_EMPTY};
  }
  if (use_ppp_) {
    if (ppp_connection_name_.empty()) return CheckResult{FLD_PPP_CONNECTION_NAME, CHK_EMPTY};
    if (ppp_account_.empty()) return CheckResult{FLD_PPP_ACCOUNT, CHK_EMPTY};
    if (ppp_password_.empty()) return CheckResult{FLD_PPP_PASSWORD, CHK_EMPTY};
  }
  return kCheckAccepted;
}

void CKVSrvInfo::SetId(const std::uint8_t bytes[16]) { std::memcpy(id_.bytes.data(), bytes, 16); }

CheckResult CKVSrvInfo::SetServerName(std::string_view text) {
  if (text.empty()) return CheckResult{FLD_SERVER_NAME, CHK_EMPTY};
  if (text.size() > kServerNameMax) return CheckResult{FLD_SERVER_NAME, CHK_TOO_LONG};
  while (!text.empty() && IsBlankOrTab(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlankOrTab(text.back())) text.remove_suffix(1);
  if (text.empty()) return CheckResult{FLD_SERVER_NAME, CHK_BLANK};
  if (text.front() == '.') return CheckResult{FLD_SERVER_NAME, CHK_LEADING_DOT};
  // Forbidden characters are all ASCII, and UTF-8 trailing bytes are never ASCII, so a
  // byte-wise search tests lead bytes only.
  if (text.find_first_of(kNameForbidden) != std::string_view::npos)
    return CheckResult{FLD_SERVER_NAME, CHK_BAD_CHARS};
  return SetOptional(&server_name_, text, kServerNameMax, FLD_SERVER_NAME);
}

CheckResult CKVSrvInfo::SetImageDirectory(std::string_view text) {
  if (text.empty()) return CheckResult{FLD_IMAGE_DIRECTORY, CHK_EMPTY};
  if (text.size() > kImageDirectoryMax) return CheckResult{FLD_IMAGE_DIRECTORY, CHK_TOO_LONG};
  if (!IsValidLocalPath(text)) return CheckResult{FLD_IMAGE_DIRECTORY, CHK_FORMAT};
  // A directory that does not exist yet is judged by its nearest existing ancestor.
  if (IsOnNetworkFileSystem(std::string(text))) return CheckResult{FLD_IMAGE_DIRECTORY, CHK_FORMAT};
  // Stored without one trailing separator, except the root itself.
  if (text.size() > 1 && text.back() == '/') text.remove_suffix(1);
  return SetOptional(&image_directory_, text, kImageDirectoryMax, FLD_IMAGE_DIRECTORY);
}

CheckResult CKVSrvInfo::SetHostName(std::string_view text) {
  if (text.empty()) return CheckResult{FLD_HOST_NAME, CHK_EMPTY};
  return SetOptional(&host_name_, text, kHostNameMax, FLD_HOST_NAME);
}

CheckResult CKVSrvInfo::SetHttpPort(std::string_view text) {
  if (text.empty()) return CheckResult{FLD_HTTP_PORT, CHK_EMPTY};
  return ParsePort(text, FLD_HTTP_PORT, &http_port_);
}

CheckResult CKVSrvInfo::SetProxyPort(std::string_view text) {
  if (text.empty()) {
    proxy_port_ = 0;
    return kCheckAccepted;
  }
  return ParsePort(text, FLD_PROXY_PORT, &proxy_port_);
}

CheckResult CKVSrvInfo::SetAdminAccount(std::string_view text) {
  return SetOptional(&admin_account_, text, kAccountMax, FLD_ADMIN_ACCOUNT);
}
CheckResult CKVSrvInfo::SetAdminPassword(std::string_view text) {
  return SetOptional(&admin_password_, text, kAccountMax, FLD_ADMIN_PASSWORD);
}
CheckResult CKVSrvInfo::SetProxyHost(std::string_view text) {
  return SetOptional(&proxy_host_, text, kProxyHostMax, FLD_PROXY_HOST);
}
CheckResult CKVSrvInfo::SetPppConnectionName(std::string_view text) {
  return SetOptional(&ppp_connection_name_, text, kPppConnectionNameMax, FLD_PPP_CONNECTION_NAME);
}
CheckResult CKVSrvInfo::SetPppAccount(std::string_view text) {
  return SetOptional(&ppp_account_, text, kAccountMax, FLD_PPP_ACCOUNT);
}
CheckResult CKVSrvInfo::SetPppPassword(std::string_view text) {
  return SetOptional(&ppp_password_, text, kAccountMax, FLD_PPP_PASSWORD);
}
CheckResult CKVSrvInfo::SetSettingsPageUrl(std::string_view text) {
  return SetOptional(&settings_page_url_, text, kSettingsPageUrlMax, FLD_SETTINGS_PAGE_URL);
}

bool IsValidLocalPath(std::string_view path) {
  // "/" takes the place of the drive's "C:\": it must come first, and alone it is valid.
  if (path.empty() || path[0] != '/') return false;
  bool after_separator = true;  // the character after the first "/" is tested like any other
  bool after_blank = false;
  std::size_t i = 1;
  if (path.size() == 1) return true;
  while (i < path.size()) {
    unsigned char c = static_cast<unsigned char>(path[i]);
    std::size_t len = Utf8SequenceLength(c);
    if (i + len > path.size()) len = path.size() - i;
    if (after_separator && (c == '/' || c == ' ' || c == '.')) return false;
    if (after_blank && c == '/') return false;
    if (c != '/') {
      if (len == 1 && kPathForbidden.find(static_cast<char>(c)) != std::string_view::npos)
        return false;
      // Control characters (the zero byte included) make no directory name.
      if (c < 0x20 || c == 0x7f) return false;
    }
    after_separator = c == '/';
    after_blank = c == ' ';
    i += len;
  }
  return !after_blank;
}

bool ImageDirectoriesOverlap(std::string_view a, std::string_view b) {
  auto strip = [](std::string_view s) {
    if (!s.empty() && s.back() == '/') s.remove_suffix(1);
    return s;
  };
  std::string_view sa = strip(a), sb = strip(b);
  // The shorter one decides how much is compared; on equal length b counts as the shorter.
  std::string_view shorter = sb, longer = a;
  if (sa.size() < sb.size()) {
    shorter = sa;
    longer = b;
  }
  std::size_t n = shorter.size();
  if (longer.size() < n) return false;
  // ASCII letters fold; every other byte (UTF-8 sequences included) compares exactly, so a
  // trailing byte is never mistaken for a letter.
  for (std::size_t i = 0; i < n; ++i) {
    if (FoldAscii(static_cast<unsigned char>(shorter[i])) !=
        FoldAscii(static_cast<unsigned char>(longer[i])))
      return false;
  }
  return longer.size() == n || longer[n] == '/';
}

}  // namespace pondrel
