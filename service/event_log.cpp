#include "service/event_log.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "common/clock.h"
#include "common/fs_util.h"
#include "common/named_object.h"
#include "common/registry.h"
#include "common/systemd.h"
#include "common/text_util.h"

namespace pondrel {
namespace {

constexpr char kEventSourceKeyPrefix[] =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";
constexpr int kMutexRetryMs = 10;

const char* SeverityText(int severity) {
  switch (severity) {
    case 0:
    case 1: return "INFORMATION : ";
    case 2: return "WARNING : ";
    case 3: return "ERROR : ";
    default: return "UNKNOWN : ";
  }
}

}  // namespace

void FileEventSink::Write(std::uint32_t, int, const std::string& record, const std::string&) {
  NamedLock lock(kEventLogMutexName);
  if (!lock.LockFor(kMutexRetryMs, kEventLogMutexWaitMs)) return;  // dropped
  NamedLockGuard guard(lock);

  struct stat st {};
  if (::stat(path_.c_str(), &st) == 0 &&
      static_cast<std::uint64_t>(st.st_size) > kEventLogMaxBytes) {
    // The old log becomes the one ".bak" copy (an older copy is replaced); a new log starts.
    std::string bak = path_ + ".bak";
    if (::rename(path_.c_str(), bak.c_str()) != 0) {
      int fd = ::open(path_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
      if (fd >= 0) ::close(fd);
    }
  }
  int fd = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  std::string line = record + "\n";
  WriteAll(fd, line);
  ::close(fd);
}

OVEventLog::OVEventLog() = default;
OVEventLog::~OVEventLog() { Destroy(); }

bool OVEventLog::Setup(std::string_view module_dir, std::string_view source) {
  source_ = std::string(source);
  source_key_ = std::string(kEventSourceKeyPrefix) + source_;
  std::string dir = module_dir.empty() ? ProgramDirectory() : std::string(module_dir);
  if (!dir.empty() && dir.back() != '/') dir.push_back('/');
  log_path_ = dir + kEventLogFileName;
  if (!sink_) sink_ = std::make_unique<FileEventSink>(log_path_);
  return true;
}

bool OVEventLog::RemoveSource() {
  if (source_key_.empty()) return false;
  if (!RegistryKey::KeyExists(source_key_)) return true;
  return RegistryKey::DeleteKey(source_key_);
}

void JournalEventSink::Write(std::uint32_t id, int severity, const std::string&,
                             const std::string& message) {
  // Events never fail their caller: an entry the journal refuses is dropped.
  systemd::JournalSendEvent(systemd::JournalPriorityForSeverity(severity), message, id, source_,
                            "zoricsm");
}

void OVEventLog::SetSink(std::unique_ptr<EventSink> sink) { sink_ = std::move(sink); }

std::string OVEventLog::FormatMessage(std::uint32_t id, int count, const char* const* strings) {
  auto arg = [&](int i) -> std::string {
    if (i >= count || !strings || !strings[i]) return {};
    return strings[i];
  };
  switch (id) {
    case kEventServiceStarted: return "The service has started.";
    case kEventServiceStopped: return "The service has stopped.";
    case kEventRootCreated:
      return "The ROOT directory " + arg(0) +
             " did not exist and was created empty; the schedule and the server profiles of "
             "an earlier ROOT are not there.";
    case kEventServiceError: return arg(0);
    default: {
      std::string text = "Event " + std::to_string(id & 0xFFFF);
      for (int i = 0; i < count; ++i) text += " " + arg(i);
      return text;
    }
  }
}

std::string OVEventLog::FormatRecord(std::time_t when, std::string_view source, std::uint32_t id,
                                     int count, const char* const* strings) {
  struct tm tm {};
  localtime_r(&when, &tm);
  char stamp[64];
  std::strftime(stamp, sizeof stamp, "[%Y/%m/%d %H:%M:%S] : ", &tm);
  std::string record = stamp;
  record += source;
  record += " : ";
  record += SeverityText(static_cast<int>(id >> 30));
  record += FormatMessage(id, count, strings);
  // One record is one line: line breaks inside a message text would split it.
  for (char& c : record)
    if (c == '\n' || c == '\r') c = ' ';
  return std::string(Utf8CutPrefix(record, kEventRecordMax));
}

void OVEventLog::Report(std::uint32_t id, int count, const char* const* strings) {
  if (!sink_) return;
  std::string record = FormatRecord(GetClock().Now(), source_, id, count, strings);
  std::string message = FormatMessage(id, count, strings);
  for (char& c : message)
    if (c == '\n' || c == '\r') c = ' ';
  sink_->Write(id, static_cast<int>(id >> 30), record,
               std::string(Utf8CutPrefix(message, kEventRecordMax)));
}

void OVEventLog::ReportStrings(std::uint32_t id, const char* s1, const char* s2, const char* s3,
                               const char* s4, const char* s5) {
  const char* strings[5] = {s1 ? s1 : "", s2 ? s2 : "", s3 ? s3 : "", s4 ? s4 : "", s5 ? s5 : ""};
  Report(id, 5, strings);
}

void OVEventLog::ReportNumber(std::uint32_t id, const char* before, long number,
                              const char* after) {
  std::string num = std::to_string(number);
  const char* strings[3] = {before ? before : "", num.c_str(), after ? after : ""};
  Report(id, 3, strings);
}

void OVEventLog::Destroy() { sink_.reset(); }

}  // namespace pondrel
