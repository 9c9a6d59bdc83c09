// CKVSrvInfo: one camera server profile — how to reach the server, with which credentials,
// where its pictures go on the local disk, and whether downloaded pictures are deleted on the
// server. Every setter and Validate answer with a check result: the refused field and why.
//
// Text is 8-bit UTF-8. An absent string and an empty one are the same thing: getters never
// return null and the optional setters store an empty input as absent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/guid.h"

namespace pondrel {

// Why a setter or Validate refused a value.
enum class CheckKind : std::uint16_t {
  CHK_OK = 0,           // accepted
  CHK_MEMORY = 1,       // out of memory (reported with field 0)
  CHK_EMPTY = 2,        // required value missing
  CHK_TOO_LONG = 3,     // longer than the field's limit
  CHK_RANGE = 4,        // number outside 1..65535
  CHK_FORMAT = 5,       // invalid form: port not numeric; image directory not a valid local
                        // path or on a network file system; a control character in any
                        // text field
  CHK_LEADING_DOT = 6,  // server name begins with a full stop
  CHK_BLANK = 7,        // server name is only spaces and tabs
  CHK_BAD_CHARS = 8,    // server name holds a forbidden character
};

// Field numbers: the record order on disk, the field of a check result, and (minus one) the
// bit of the field mask.
enum SrvField : std::uint16_t {
  FLD_NONE = 0,
  FLD_ID = 1,
  FLD_SERVER_NAME = 2,
  FLD_IMAGE_DIRECTORY = 3,
  FLD_HOST_NAME = 4,
  FLD_HTTP_PORT = 5,
  FLD_ADMIN_ACCOUNT = 6,
  FLD_ADMIN_PASSWORD = 7,
  FLD_USE_PROXY = 8,
  FLD_PROXY_HOST = 9,
  FLD_PROXY_PORT = 10,
  FLD_USE_PPP = 11,
  FLD_PPP_CONNECTION_NAME = 12,
  FLD_PPP_ACCOUNT = 13,
  FLD_PPP_PASSWORD = 14,
  FLD_DELETE_IMAGES_ON_SERVER = 15,
  FLD_SETTINGS_PAGE_URL = 16,
};
inline constexpr int kSrvFieldCount = 16;

// What a setter or Validate answers: accepted, or the field that was refused and the kind of
// check it failed (a memory failure names no field).
struct [[nodiscard]] CheckResult {
  SrvField field = FLD_NONE;
  CheckKind kind = CheckKind::CHK_OK;

  constexpr bool ok() const { return kind == CheckKind::CHK_OK; }
  friend constexpr bool operator==(const CheckResult&, const CheckResult&) = default;
};
inline constexpr CheckResult kCheckAccepted{};

// Character limits of the text fields (the setters refuse longer input with CHK_TOO_LONG).
inline constexpr std::size_t kServerNameMax = 255;
inline constexpr std::size_t kImageDirectoryMax = 200;
inline constexpr std::size_t kHostNameMax = 63;
inline constexpr std::size_t kPortTextMax = 5;
inline constexpr std::size_t kAccountMax = 15;  // both accounts and both passwords
inline constexpr std::size_t kProxyHostMax = 63;
inline constexpr std::size_t kPppConnectionNameMax = 255;
inline constexpr std::size_t kSettingsPageUrlMax = 31;

// The character limit of a field (0 for the id and the flags; 5 for the ports).
std::size_t SrvFieldLimit(std::uint16_t field);

// Values of a new record; Clear() sets the proxy port to 1025 instead.
inline constexpr std::uint16_t kDefaultHttpPort = 80;
inline constexpr std::uint16_t kNewProxyPort = 8080;
inline constexpr std::uint16_t kClearedProxyPort = 1025;

class CKVSrvInfo {
 public:
  CKVSrvInfo();  // id zero, strings absent, httpPort 80, proxyPort 8080, flags 0
  CKVSrvInfo(const CKVSrvInfo&) = default;
  CKVSrvInfo& operator=(const CKVSrvInfo&) = default;
  virtual ~CKVSrvInfo();

  // Releases all strings, zeroes id and the flags, httpPort 80, proxyPort 1025.
  void Clear();
  // Deep copy from `other` after clearing. False when memory runs out (this is then cleared).
  bool Assign(const CKVSrvInfo& other);
  // The record-level rules (required fields, and what the three flags require). The first
  // failing rule decides; accepted when the record may be stored.
  CheckResult Validate() const;

  // Setters. Text setters return a check result and leave the field unchanged on failure.
  void SetId(const Guid& id) { id_ = id; }
  void SetId(const std::uint8_t bytes[16]);
  CheckResult SetServerName(std::string_view text);      // required, <= 255, trimmed of
                                                         // spaces/tabs, no leading ".",
                                                         // none of \ / " < > * ? : ; | ,
  CheckResult SetImageDirectory(std::string_view text);  // required, <= 200, a valid local
                                                         // path (IsValidLocalPath) not on a
                                                         // network file system; stored
                                                         // without one trailing "/"
  CheckResult SetHostName(std::string_view text);        // required, <= 63
  CheckResult SetHttpPort(std::string_view text);        // required, <= 5 chars, digits,
                                                         // 1..65535
  void SetHttpPortRaw(std::uint16_t port) { http_port_ = port; }
  CheckResult SetAdminAccount(std::string_view text);   // optional, <= 15
  CheckResult SetAdminPassword(std::string_view text);  // optional, <= 15
  void SetUseProxy(std::uint8_t flag) { use_proxy_ = flag; }
  CheckResult SetProxyHost(std::string_view text);  // optional, <= 63
  CheckResult SetProxyPort(std::string_view text);  // empty sets 0; else as HTTP port
  void SetProxyPortRaw(std::uint16_t port) { proxy_port_ = port; }
  void SetUsePpp(std::uint8_t flag) { use_ppp_ = flag; }    // 0 Ethernet, 1 dial-up
  CheckResult SetPppConnectionName(std::string_view text);  // optional, <= 255
  CheckResult SetPppAccount(std::string_view text);         // optional, <= 15
  CheckResult SetPppPassword(std::string_view text);        // optional, <= 15
  void SetDeleteImagesOnServer(std::uint8_t flag) { delete_images_on_server_ = flag; }
  CheckResult SetSettingsPageUrl(std::string_view text);  // optional, <= 31

  // Getters; strings are never null ("" when absent).
  const Guid& GetId() const { return id_; }
  const std::string& GetServerName() const { return server_name_; }
  const std::string& GetImageDirectory() const { return image_directory_; }
  const std::string& GetHostName() const { return host_name_; }
  std::uint16_t GetHttpPort() const { return http_port_; }
  const std::string& GetAdminAccount() const { return admin_account_; }
  const std::string& GetAdminPassword() const { return admin_password_; }
  std::uint8_t GetUseProxy() const { return use_proxy_; }
  const std::string& GetProxyHost() const { return proxy_host_; }
  std::uint16_t GetProxyPort() const { return proxy_port_; }
  std::uint8_t GetUsePpp() const { return use_ppp_; }
  const std::string& GetPppConnectionName() const { return ppp_connection_name_; }
  const std::string& GetPppAccount() const { return ppp_account_; }
  const std::string& GetPppPassword() const { return ppp_password_; }
  std::uint8_t GetDeleteImagesOnServer() const { return delete_images_on_server_; }
  const std::string& GetSettingsPageUrl() const { return settings_page_url_; }

 private:
  Guid id_;
  std::string server_name_, image_directory_, host_name_;
  std::uint16_t http_port_ = kDefaultHttpPort;
  std::string admin_account_, admin_password_;
  std::uint8_t use_proxy_ = 0;
  std::string proxy_host_;
  std::uint16_t proxy_port_ = kNewProxyPort;
  std::uint8_t use_ppp_ = 0;
  std::string ppp_connection_name_, ppp_account_, ppp_password_;
  std::uint8_t delete_images_on_server_ = 0;
  std::string settings_page_url_;
};

// The image-directory path rule (without the network test): an absolute POSIX path. "/"
// alone is the root and valid. The character after any "/" is not "/", a blank or "."; no
// character is one of \ " < > * ? : ; | , ; a blank is never followed by "/" or the end.
// A trailing "/" is allowed. UTF-8 aware: trailing bytes of a sequence are never tested.
bool IsValidLocalPath(std::string_view path);

// Whether two image directories overlap: the same directory, or one a parent of the other.
// Compared case-insensitively (ASCII letters; other bytes exactly), each without one trailing
// "/". So "/img" and "/IMG/2002" overlap, "/img" and "/img2" do not; "/" overlaps everything.
bool ImageDirectoriesOverlap(std::string_view a, std::string_view b);

}  // namespace pondrel
