#include "common/protocol.h"

namespace pondrel {

std::string FormatScanRequest() { return kTagScan; }

std::string FormatExecuteNow(std::string_view task_name) {
  return kTagExecute + std::string(task_name);
}

std::string FormatAbort(std::string_view task_name) { return kTagAbort + std::string(task_name); }

std::string FormatRegister(std::string_view task_name, std::uint32_t window) {
  return kTagRegister + std::string(task_name) + ":" + std::to_string(window);
}

std::string FormatTaskChanged(int state, int result, std::string_view end_time,
                              std::string_view task_name) {
  auto two = [](int v) {
    std::string s = std::to_string(v);
    if (v >= 0 && s.size() < 2) s.insert(0, "0");
    return s;
  };
  // The tag keeps its colon and another follows it, as the Task View has always read it.
  return kTagScan + std::string(":") + two(state) + ":" + two(result) + ":" +
         std::string(end_time) + ":" + std::string(task_name);
}

MailslotTag ParseMailslotTag(std::string_view message, std::string_view* arg) {
  if (message.size() < kTagLen) return MailslotTag::kNone;
  const std::string_view tag = message.substr(0, kTagLen);
  if (arg) *arg = message.substr(kTagLen);
  if (tag == kTagScan) return MailslotTag::kScan;
  if (tag == kTagExecute) return MailslotTag::kExecute;
  if (tag == kTagAbort) return MailslotTag::kAbort;
  if (tag == kTagRegister) return MailslotTag::kRegister;
  return MailslotTag::kNone;
}

bool ParseRegisterArgument(std::string_view arg, std::string* task_name, std::uint32_t* window) {
  auto colon = arg.find(':');
  if (colon == std::string_view::npos || colon + 1 >= arg.size()) return false;
  // The number as "%u" reads it: leading white space, an optional sign, decimal digits.
  std::string_view num = arg.substr(colon + 1);
  std::size_t i = 0;
  while (i < num.size() && (num[i] == ' ' || (num[i] >= '\t' && num[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < num.size() && (num[i] == '+' || num[i] == '-')) negative = num[i++] == '-';
  std::size_t digits_start = i;
  std::uint32_t value = 0;
  for (; i < num.size() && num[i] >= '0' && num[i] <= '9'; ++i)
    value = value * 10u + static_cast<std::uint32_t>(num[i] - '0');
  if (i == digits_start) return false;
  if (negative) value = 0u - value;
  if (value == 0) return false;
  *task_name = std::string(arg.substr(0, colon));
  *window = value;
  return true;
}

bool ParseTaskChanged(std::string_view message, std::string* task_name) {
  if (ParseMailslotTag(message) != MailslotTag::kScan) return false;
  *task_name = std::string(message.substr(message.rfind(':') + 1));
  return true;
}

std::string ServerSemaphoreName(std::string_view server_id_hex) {
  return std::string(server_id_hex) + "SEM";
}

std::string FormatDownloaderOptions(const DownloaderOptions& o) {
  auto opt = [](char letter, std::string_view value) {
    return std::string("/") + letter + " " + std::string(value);
  };
  std::string text = opt(kOptServerId, o.server_id) + "," + opt(kOptLogPath, o.log_path) + "," +
                     opt(kOptTaskName, o.task_name);
  if (o.delete_images) text += std::string(",/") + kOptDelete;
  if (o.hang_up) text += std::string(",/") + kOptHangUp;
  return text;
}

}  // namespace pondrel
