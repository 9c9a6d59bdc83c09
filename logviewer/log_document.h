// The log engine: the whole activity log held in one buffer and indexed as one compact record
// per line. Records point into the buffer by offset (nothing is copied); the task and server
// names are interned, so that filtering and sorting by them compare small numbers. A gigabyte
// log of ten million lines is read, parsed (on every core) and indexed in about a second and
// takes the file's size plus 32 bytes per line.
//
// The list that the viewer shows is a vector of record numbers ("rows"), newest entry first;
// the filter produces it and the sort reorders it.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "logviewer/log_line.h"

namespace pondrel::logviewer {

// Results of reading: 0, kLoadNoMemory, or an operating-system error number (errno).
inline constexpr int kLoadOk = 0;
inline constexpr int kLoadNoMemory = -1;

// The message for a load result: "Not enough memory", the system's text for an error number,
// or "An unknown error occurred" when the system has none.
std::string LoadResultText(int result);

// The log the service writes: ROOT/SYSTEM/kvrpd.log, "" when ROOT is not set.
std::string DefaultLogPath();

struct LogFilter {
  std::time_t start = 0;  // 0 = none; entries at or after this local time
  std::time_t end = 0;    // 0 = none; entries at or before this local time
  unsigned levels = 0;    // kLevelBit* flags; 0 = any level
  std::string task;       // exact; empty = any
  std::string server;     // exact; empty = any
  std::string code;       // exact, upper case; empty = any
};

// Checking a filter as the Filter dialog's OK does, in its order.
enum class [[nodiscard]] FilterCheck{
    kOk, kTaskMissing, kServerMissing, kCodeMissing, kCodeInvalid, kStartAfterEnd,
};
// `task_given` / `server_given` / `code_given`: the option is chosen (its text may not be
// empty). On FilterCheck::kOk a code is stored with its letter in upper case; without `code_given`
// the code is cleared.
FilterCheck CheckLogFilter(LogFilter* filter, bool task_given, bool server_given, bool code_given);
const char* FilterCheckText(FilterCheck check);

// A filter prepared for single lines, as the command line streams them.
class CLineFilter {
 public:
  explicit CLineFilter(const LogFilter& filter);
  bool Passes(const LogLine& line) const;

 private:
  LogFilter f_;
  DateKey start_ = 0, end_ = UINT32_MAX;
};

// The list's columns, in display order.
enum LogColumn : int { kColumnCode = 0, kColumnDate, kColumnTask, kColumnServer, kColumnMessage };
inline constexpr int kColumnCount = 5;

// One line of the file: 32 bytes.
struct LogRecord {
  std::uint64_t offset = 0;        // first byte of the line in the buffer
  std::uint32_t length_level = 0;  // line length (30 bits) | level << 30
  DateKey date = kNoDate;          // kNoDate for a placeholder
  std::uint32_t task = 0;          // name number, kNoName for a placeholder
  std::uint32_t server = 0;
  std::uint32_t message_begin = 0;  // from the line's start
  std::uint32_t code = 0;           // the four code bytes, first byte highest; kNoCode
};
inline constexpr std::uint32_t kNoName = UINT32_MAX;
inline constexpr std::uint32_t kNoCode = UINT32_MAX;
// Lines longer than this are shown cut to it, as placeholders.
inline constexpr std::uint32_t kMaxRecordLine = (1u << 30) - 1;

class CLogDocument {
 public:
  CLogDocument() = default;
  CLogDocument(const CLogDocument&) = delete;
  CLogDocument& operator=(const CLogDocument&) = delete;
  ~CLogDocument();

  // Reads and indexes `path`, replacing what was loaded. A file that does not exist in an
  // existing directory is an empty log (kLoadOk). A missing directory gives ENOENT. While the
  // file is locked against readers or access is denied, tries again every 100 ms, 10 attempts
  // in all. Only regular files and FIFOs are read (a FIFO as far as it holds data now).
  // On failure the document is empty.
  int Load(const std::string& path);

  // The viewer's choice of file: `argument` when not empty, else (and when the argument's
  // directory does not exist) DefaultLogPath(). `*used` tells which was read.
  int LoadChosen(const std::string& argument, std::string* used);

  // Follow mode: takes in what was appended since the last load or refresh. A file that shrank
  // or was replaced is loaded again (`*reloaded` true). `*changed` tells whether any record
  // was added or changed. A line without its line end at the end of the file is replaced when
  // its end arrives.
  int Refresh(bool* changed, bool* reloaded);

  void Clear();

  const std::string& path() const { return path_; }
  std::size_t RecordCount() const { return records_.size(); }
  std::uint64_t ByteCount() const { return size_; }

  bool Accepted(std::size_t i) const { return records_[i].date != kNoDate; }
  int Level(std::size_t i) const { return static_cast<int>(records_[i].length_level >> 30); }
  std::string_view Line(std::size_t i) const;
  std::string_view Task(std::size_t i) const { return NameText(records_[i].task); }
  std::string_view Server(std::size_t i) const { return NameText(records_[i].server); }
  std::string_view Message(std::size_t i) const;
  // Four characters, or "...." for a placeholder. `buf` holds the text.
  std::string_view Code(std::size_t i, char buf[4]) const;
  // "YYYY/MM/DD hh:mm:ss", or ".........." for a placeholder.
  std::string_view Date(std::size_t i, char buf[20]) const;
  DateKey DateOf(std::size_t i) const { return records_[i].date; }
  // The level word as written, "" for a placeholder.
  std::string_view LevelText(std::size_t i) const;

  // The record numbers passing `filter`, newest entry (last line of the file) first.
  std::vector<std::uint32_t> FilterRows(const LogFilter& filter) const;
  // Sorts `rows` by `column`: ascending compares the column texts byte by byte (unsigned),
  // with placeholder texts (beginning with ".") of the first four columns after all others
  // and equal among themselves; descending is the exact reverse. Equal rows keep their order.
  void SortRows(std::vector<std::uint32_t>* rows, int column, bool ascending) const;

 private:
  // By the message text, eight bytes at a time (a radix sort refined where rows tie).
  void SortRowsByMessage(std::vector<std::uint32_t>* rows) const;
  // By code, date, task or server, each reduced to one number per row.
  void SortRowsByField(std::vector<std::uint32_t>* rows, int column) const;
  struct Part;
  int ReadFile(int fd, std::uint64_t size_hint);
  void Parse(std::uint64_t from);
  void ParseOnePart(std::uint64_t from, std::uint64_t to, Part* part) const;
  void MergePart(Part* part);
  std::size_t EstimateLines(std::uint64_t from, std::uint64_t to) const;
  std::string_view NameText(std::uint32_t id) const;
  bool ReserveBuffer(std::uint64_t bytes);
  void FreeBuffer();

  std::string path_;
  char* buffer_ = nullptr;  // a private mapping; size_ bytes in use of capacity_
  std::uint64_t size_ = 0;
  std::uint64_t capacity_ = 0;
  std::vector<LogRecord> records_;
  // Interned task and server names.
  std::vector<std::string> names_;
  struct NameHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>()(s); }
  };
  using NameIds = std::unordered_map<std::string, std::uint32_t, NameHash, std::equal_to<>>;
  NameIds name_ids_;
  // Follow mode: the file loaded, and whether its last line still waits for its end.
  dev_t dev_ = 0;
  ino_t ino_ = 0;
  bool last_line_open_ = false;
  bool loaded_ = false;
};

}  // namespace pondrel::logviewer
