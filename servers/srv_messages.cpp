#include "servers/srv_messages.h"

#include <cstdio>
#include <vector>

#include "servers/srvmgr.h"

namespace pondrel {

using enum SrvResult;
namespace {

std::string Format(const char* fmt, const char* label, int a = 0, int b = 0) {
  std::vector<char> buf(512);
  int n = std::snprintf(buf.data(), buf.size(), fmt, label, a, b);
  if (n < 0) return {};
  if (static_cast<std::size_t>(n) >= buf.size()) {
    buf.resize(static_cast<std::size_t>(n) + 1);
    std::snprintf(buf.data(), buf.size(), fmt, label, a, b);
  }
  return std::string(buf.data());
}

}  // namespace

const char* SrvFieldLabel(std::uint16_t field) {
  switch (field) {
    case FLD_SERVER_NAME: return "Server Name";
    case FLD_IMAGE_DIRECTORY: return "Image Directory";
    case FLD_HOST_NAME: return "Host Name";
    case FLD_HTTP_PORT: return "HTTP Port";
    case FLD_ADMIN_ACCOUNT: return "Administrator Account";
    case FLD_ADMIN_PASSWORD: return "Administrator Password";
    case FLD_PROXY_HOST: return "HTTP Proxy Host Name";
    case FLD_PROXY_PORT: return "HTTP Proxy Port";
    case FLD_PPP_CONNECTION_NAME: return "PPP Connection Name";
    case FLD_PPP_ACCOUNT: return "PPP Account";
    case FLD_PPP_PASSWORD: return "PPP Password";
    case FLD_SETTINGS_PAGE_URL: return "Settings Page URL";
    default: return "";
  }
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-extra-args"
std::string FormatCheckMessage(CheckResult result) {
  const std::uint16_t field = result.field;
  const char* label = SrvFieldLabel(field);
  switch (result.kind) {
    case CheckKind::CHK_MEMORY: return kMsgNotEnoughMemory;
    case CheckKind::CHK_EMPTY:
    case CheckKind::CHK_BLANK: return Format(kMsgNotSpecified, label);
    case CheckKind::CHK_TOO_LONG:
      return Format(kMsgTooLong, label, static_cast<int>(SrvFieldLimit(field)));
    case CheckKind::CHK_RANGE: return Format(kMsgRange, label, 1, 65535);
    case CheckKind::CHK_FORMAT:
    case CheckKind::CHK_LEADING_DOT: return Format(kMsgInvalidFormat, label);
    case CheckKind::CHK_BAD_CHARS:
      return Format(kMsgBadCharsLine1, label) + "\n" + kMsgBadCharsLine2;
    case CheckKind::CHK_OK: return {};
  }
  return {};
}
#pragma GCC diagnostic pop

std::string FormatStoreMessage(SrvResult srv_result) {
  switch (srv_result) {
    case SRV_ERR_NAME_EXISTS: return kMsgNameExists;
    case SRV_ERR_DIR_IN_USE: return kMsgDirInUse;
    default: return {};
  }
}

}  // namespace pondrel
