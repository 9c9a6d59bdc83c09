// OVEventLog: the service's own start, stop and fatal events. Without a service manager's
// journal the events go to "OVEvent.log" beside the host program, one record per line,
// serialised between processes by the named mutex "MutexToProtectOrvaneLog" and kept below
// 10,000,000 bytes with one ".bak" copy. Reporting never fails its caller: an event that
// cannot be written is dropped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>

#include "common/protocol.h"

namespace pondrel {

// Event identifiers; the top two bits are the severity (0/1 information, 2 warning, 3 error).
inline constexpr std::uint32_t kEventServiceStarted = 0x400003E9;  // 1001
inline constexpr std::uint32_t kEventServiceStopped = 0x400003EA;  // 1002
inline constexpr std::uint32_t kEventServiceError = 0xC00003EB;    // 1003, one text
inline constexpr std::uint32_t kEventRootCreated = 0x800003EC;     // 1004, the ROOT path

inline constexpr char kEventLogFileName[] = "OVEvent.log";
inline constexpr std::uint64_t kEventLogMaxBytes = 10'000'000;
inline constexpr int kEventLogMutexWaitMs = 5000;
inline constexpr std::size_t kEventRecordMax = 511;

// Where a formatted event goes. The file sink is the one a machine without a service manager
// uses; a journal sink for systemd takes its place through OVEventLog::SetSink.
class EventSink {
 public:
  virtual ~EventSink() = default;
  // `severity` 0..3 from the identifier's top bits; `record` is the formatted line without
  // its line end; `message` is the event's text alone (a journal stamps time and source
  // itself).
  virtual void Write(std::uint32_t id, int severity, const std::string& record,
                     const std::string& message) = 0;
};

class OVEventLog {
 public:
  OVEventLog();
  virtual ~OVEventLog();
  OVEventLog(const OVEventLog&) = delete;
  OVEventLog& operator=(const OVEventLog&) = delete;

  // Stores the source name and its registry key; `module_dir` is the directory whose
  // "OVEvent.log" is written (empty: the host program's own directory). True when events
  // can be written somewhere.
  virtual bool Setup(std::string_view module_dir, std::string_view source);
  // Deletes the source's registry key (the event-log source registration).
  virtual bool RemoveSource();
  // Reports one event with `count` strings (null strings count as empty).
  virtual void Report(std::uint32_t id, int count, const char* const* strings);
  // Up to five strings; missing or null ones become empty texts.
  void ReportStrings(std::uint32_t id, const char* s1 = nullptr, const char* s2 = nullptr,
                     const char* s3 = nullptr, const char* s4 = nullptr, const char* s5 = nullptr);
  // One number, in decimal, between two strings.
  void ReportNumber(std::uint32_t id, const char* before, long number, const char* after);
  virtual void Destroy();

  void SetSink(std::unique_ptr<EventSink> sink);
  const std::string& SourceName() const { return source_; }
  const std::string& SourceKey() const { return source_key_; }
  const std::string& LogFilePath() const { return log_path_; }

  // The record as written: "[%Y/%m/%d %H:%M:%S] : <source> : <SEVERITY> : <message>", cut to
  // 511 characters.
  static std::string FormatRecord(std::time_t when, std::string_view source, std::uint32_t id,
                                  int count, const char* const* strings);
  // The message text of an event, formatted from the host's message texts.
  static std::string FormatMessage(std::uint32_t id, int count, const char* const* strings);

 private:
  std::string source_;
  std::string source_key_;
  std::string log_path_;
  std::unique_ptr<EventSink> sink_;
};

// The file sink: appends to `path` under the named mutex; rotates past the size limit.
class FileEventSink final : public EventSink {
 public:
  explicit FileEventSink(std::string path) : path_(std::move(path)) {}
  void Write(std::uint32_t id, int severity, const std::string& record,
             const std::string& message) override;

 private:
  std::string path_;
};

// The journal sink of a machine run by systemd: one entry per event with the priority from
// the severity bits and the event's identifier and source as fields of their own.
class JournalEventSink final : public EventSink {
 public:
  explicit JournalEventSink(std::string source) : source_(std::move(source)) {}
  void Write(std::uint32_t id, int severity, const std::string& record,
             const std::string& message) override;

 private:
  std::string source_;
};

}  // namespace pondrel
