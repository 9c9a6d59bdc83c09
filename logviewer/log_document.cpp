#include "logviewer/log_document.h"

#include "logviewer/log_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>

#include "common/registry.h"
#include "common/unique_fd.h"
#include "taskmodel/activity_log.h"

namespace pondrel::logviewer {
namespace {

// A FIFO is read only as far as it holds data; this much at most.
constexpr std::uint64_t kMaxFifoBytes = 64u << 20;

bool IsLineEnd(char c) { return c == '\n' || c == '\r'; }

constexpr std::uint64_t kHugePage = 2u << 20;
#ifdef MADV_POPULATE_WRITE
constexpr int kPopulateWrite = MADV_POPULATE_WRITE;
#else
constexpr int kPopulateWrite = 23;
#endif

// Asks for huge pages on the whole 2 MiB pages inside [p, p + n); refusal is harmless.
void AdviseHugePages(void* p, std::size_t n) {
  const auto begin = (reinterpret_cast<std::uintptr_t>(p) + kHugePage - 1) & ~(kHugePage - 1);
  const auto end = (reinterpret_cast<std::uintptr_t>(p) + n) & ~(kHugePage - 1);
  if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

std::uint32_t PackCode(std::string_view code) {
  return static_cast<std::uint32_t>(static_cast<unsigned char>(code[0])) << 24 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(code[1])) << 16 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(code[2])) << 8 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(code[3]));
}

// Reads [from, from + count) with pread until done, end of file, or an error.
std::uint64_t ReadRange(int fd, char* dst, std::uint64_t from, std::uint64_t count, int* err) {
  std::uint64_t done = 0;
  while (done < count) {
    const std::size_t want =
        static_cast<std::size_t>(std::min<std::uint64_t>(count - done, 1u << 30));
    const ssize_t n = ::pread(fd, dst + done, want, static_cast<off_t>(from + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      *err = errno;
      break;
    }
    if (n == 0) break;
    done += static_cast<std::uint64_t>(n);
  }
  return done;
}

// Stable LSD radix sort of (key << 32 | value) pairs by their key, 16 bits a pass; passes in
// which every key has the same digit are skipped.
void RadixSortByHighWord(std::vector<std::uint64_t>* items) {
  std::vector<std::uint64_t>& a = *items;
  if (a.size() < 2) return;
  std::vector<std::uint64_t> tmp(a.size());
  std::vector<std::uint32_t> count(1u << 16);
  for (int shift = 32; shift < 64; shift += 16) {
    std::fill(count.begin(), count.end(), 0);
    for (std::uint64_t v : a) ++count[(v >> shift) & 0xFFFF];
    if (count[(a[0] >> shift) & 0xFFFF] == a.size()) continue;
    std::uint32_t sum = 0;
    for (std::uint32_t& c : count) {
      const std::uint32_t n = c;
      c = sum;
      sum += n;
    }
    for (std::uint64_t v : a) tmp[count[(v >> shift) & 0xFFFF]++] = v;
    a.swap(tmp);
  }
}

// The same for 64-bit keys with a separate value array: (key, value) pairs.
struct KeyedRow {
  std::uint64_t key;
  std::uint32_t row;
};

void RadixSortByKey64(std::vector<KeyedRow>* items, std::size_t begin, std::size_t end,
                      std::vector<KeyedRow>* scratch) {
  const std::size_t n = end - begin;
  if (n < 2) return;
  KeyedRow* a = items->data() + begin;
  if (n < 64) {
    std::stable_sort(a, a + n, [](const KeyedRow& x, const KeyedRow& y) { return x.key < y.key; });
    return;
  }
  if (scratch->size() < n) scratch->resize(n);
  KeyedRow* b = scratch->data();
  std::vector<std::uint32_t> count(1u << 16);
  bool in_scratch = false;
  for (int shift = 0; shift < 64; shift += 16) {
    std::fill(count.begin(), count.end(), 0);
    KeyedRow* src = in_scratch ? b : a;
    KeyedRow* dst = in_scratch ? a : b;
    for (std::size_t i = 0; i < n; ++i) ++count[(src[i].key >> shift) & 0xFFFF];
    if (count[(src[0].key >> shift) & 0xFFFF] == n) continue;
    std::uint32_t sum = 0;
    for (std::uint32_t& c : count) {
      const std::uint32_t k = c;
      c = sum;
      sum += k;
    }
    for (std::size_t i = 0; i < n; ++i) dst[count[(src[i].key >> shift) & 0xFFFF]++] = src[i];
    in_scratch = !in_scratch;
  }
  if (in_scratch) std::copy(b, b + n, a);
}

// Eight bytes of `s` from `pos` as a number that orders like the bytes; missing bytes are 0.
std::uint64_t PrefixKey(std::string_view s, std::size_t pos) {
  std::uint64_t k = 0;
  for (std::size_t i = 0; i < 8; ++i) {
    k <<= 8;
    if (pos + i < s.size()) k |= static_cast<unsigned char>(s[pos + i]);
  }
  return k;
}

}  // namespace

std::string LoadResultText(int result) {
  if (result == kLoadNoMemory) return "Not enough memory";
  if (result > 0) {
    char buf[256];
    const char* text = strerror_r(result, buf, sizeof buf);
    if (text && *text && std::strncmp(text, "Unknown error", 13) != 0) return text;
  }
  return "An unknown error occurred";
}

std::string DefaultLogPath() { return ServiceLogPath(ReadUsableRootDir()); }

FilterCheck CheckLogFilter(LogFilter* f, bool task_given, bool server_given, bool code_given) {
  if (task_given && f->task.empty()) return FilterCheck::kTaskMissing;
  if (server_given && f->server.empty()) return FilterCheck::kServerMissing;
  if (!task_given) f->task.clear();
  if (!server_given) f->server.clear();
  if (code_given) {
    if (f->code.empty()) return FilterCheck::kCodeMissing;
    if (!IsValidCodeText(f->code)) return FilterCheck::kCodeInvalid;
    if (f->code[0] >= 'a' && f->code[0] <= 'z')
      f->code[0] = static_cast<char>(f->code[0] - 'a' + 'A');
  } else {
    f->code.clear();
  }
  if (f->start != 0 && f->end != 0 && f->end < f->start) return FilterCheck::kStartAfterEnd;
  return FilterCheck::kOk;
}

const char* FilterCheckText(FilterCheck check) {
  switch (check) {
    case FilterCheck::kTaskMissing: return "Please enter a value for the \"Task\" field";
    case FilterCheck::kServerMissing: return "Please enter a value for the \"Server\" field";
    case FilterCheck::kCodeMissing: return "Please enter a value for the \"Code\" field";
    case FilterCheck::kCodeInvalid: return "The format of Code is invalid";
    case FilterCheck::kStartAfterEnd: return "Cannot set Start Date & Time after End Date & Time";
    default: return "";
  }
}

CLineFilter::CLineFilter(const LogFilter& filter) : f_(filter) {
  if (f_.start != 0) start_ = DateKeyOfLocalTime(f_.start);
  if (f_.end != 0) end_ = DateKeyOfLocalTime(f_.end);
}

bool CLineFilter::Passes(const LogLine& e) const {
  if ((f_.start != 0 || f_.end != 0) && !e.accepted) return false;
  if (e.date < start_ || e.date > end_) return false;
  if (f_.levels != 0 && (e.level == 0 || !(f_.levels & (1u << (e.level - 1))))) return false;
  if (!f_.code.empty() && f_.code != e.code) return false;
  if (!f_.task.empty() && f_.task != e.task) return false;
  if (!f_.server.empty() && f_.server != e.server) return false;
  return true;
}

// ---- Loading -------------------------------------------------------------------------------

CLogDocument::~CLogDocument() { FreeBuffer(); }

void CLogDocument::FreeBuffer() {
  if (buffer_) ::munmap(buffer_, static_cast<std::size_t>(capacity_));
  buffer_ = nullptr;
  capacity_ = 0;
}

void CLogDocument::Clear() {
  FreeBuffer();
  size_ = 0;
  records_.clear();
  records_.shrink_to_fit();
  names_.clear();
  name_ids_.clear();
  dev_ = 0;
  ino_ = 0;
  last_line_open_ = false;
  loaded_ = false;
}

bool CLogDocument::ReserveBuffer(std::uint64_t bytes) {
  if (bytes <= capacity_) return true;
  if (bytes > SIZE_MAX / 2) return false;
  // Pages that are never written take no memory, so a little room for growth is free. The
  // buffer is a mapping of its own in huge pages where the system allows: filling a gigabyte
  // in 4 KiB pages costs more in page faults than the reading itself.
  const std::uint64_t want = (bytes + bytes / 16 + kHugePage) & ~(kHugePage - 1);
  void* p = buffer_ ? ::mremap(buffer_, static_cast<std::size_t>(capacity_),
                               static_cast<std::size_t>(want), MREMAP_MAYMOVE)
                    : ::mmap(nullptr, static_cast<std::size_t>(want), PROT_READ | PROT_WRITE,
                             MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (p == MAP_FAILED) return false;
  AdviseHugePages(p, static_cast<std::size_t>(want));
  // Fault the pages in with one call rather than one exception per page (the filling that
  // follows writes every byte anyway); older kernels without it fault as they go.
  const std::uint64_t old = buffer_ ? capacity_ : 0;
  if (want - old >= kHugePage) {
    ::madvise(static_cast<char*>(p) + old, static_cast<std::size_t>(want - old), kPopulateWrite);
  }
  buffer_ = static_cast<char*>(p);
  capacity_ = want;
  return true;
}

int CLogDocument::Load(const std::string& path) {
  Clear();
  path_ = path;
  UniqueFd fd;
  bool missing = false;
  int rc = OpenLogForReading(path, &fd, &missing);
  if (rc != 0) return rc;
  loaded_ = true;
  if (missing) return kLoadOk;
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) {
    rc = errno;
    Clear();
    return rc;
  }
  if (S_ISDIR(st.st_mode)) {
    Clear();
    return EISDIR;
  }
  if (!S_ISREG(st.st_mode) && !S_ISFIFO(st.st_mode)) {
    Clear();
    return EINVAL;
  }
  dev_ = st.st_dev;
  ino_ = st.st_ino;
  rc = ReadFile(fd.get(), S_ISREG(st.st_mode) ? static_cast<std::uint64_t>(st.st_size) : 0);
  if (rc == 0 && S_ISFIFO(st.st_mode)) ino_ = 0;  // a FIFO is not followed
  if (rc != 0) {
    Clear();
    path_ = path;
    return rc;
  }
  try {
    Parse(0);
  } catch (const std::bad_alloc&) {
    Clear();
    path_ = path;
    return kLoadNoMemory;
  }
  return kLoadOk;
}

int CLogDocument::ReadFile(int fd, std::uint64_t size_hint) {
  if (!ReserveBuffer(size_hint + 1)) return kLoadNoMemory;
  int err = 0;
  std::uint64_t got = 0;
  if (size_hint >= (8u << 20)) {
    // Two halves at once: copying from the page cache is the larger part of opening.
    const std::uint64_t half = size_hint / 2;
    int err2 = 0;
    std::uint64_t got2 = 0;
    std::thread second(
        [&] { got2 = ReadRange(fd, buffer_ + half, half, size_hint - half, &err2); });
    got = ReadRange(fd, buffer_, 0, half, &err);
    second.join();
    if (err == 0) err = err2;
    // A file that shrank meanwhile ends where the first short read ended.
    if (got == half) got += got2;
  } else {
    got = ReadRange(fd, buffer_, 0, size_hint, &err);
  }
  if (err != 0) return err;
  // A file that grew (or a FIFO) is read on to its end.
  for (;;) {
    if (!ReserveBuffer(got + (1u << 20))) return kLoadNoMemory;
    const ssize_t n = ::pread(fd, buffer_ + got, static_cast<std::size_t>(capacity_ - got - 1),
                              static_cast<off_t>(got));
    if (n < 0 && errno == ESPIPE) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) break;
      return errno;
    }
    if (n == 0) break;
    got += static_cast<std::uint64_t>(n);
  }
  if (size_hint == 0 && got == 0) {
    // A FIFO: no pread; plain reads while it holds data.
    for (;;) {
      if (got >= kMaxFifoBytes) break;
      if (!ReserveBuffer(got + 65536)) return kLoadNoMemory;
      const ssize_t n = ::read(fd, buffer_ + got, 65536);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      got += static_cast<std::uint64_t>(n);
    }
  }
  size_ = got;
  return 0;
}

// One part of the buffer parsed by one thread. The first part writes straight into the
// document; the others keep records and name numbers of their own until they are merged.
struct CLogDocument::Part {
  std::vector<LogRecord>* records;
  std::vector<std::string>* names;
  NameIds* ids;
  std::vector<LogRecord> own_records;
  std::vector<std::string> own_names;
  NameIds own_ids;
};

namespace {

// The record of the line of `length` bytes at `offset` in `buf`; `intern` turns a task name
// (slot 0) or server name (slot 1) into its number. A line too long for a record keeps only
// its place.
template <typename Intern>
LogRecord MakeRecord(const char* buf, std::uint64_t offset, std::uint64_t length, Intern& intern) {
  LogRecord r;
  r.offset = offset;
  r.task = r.server = kNoName;
  r.code = kNoCode;
  if (length > kMaxRecordLine) {
    r.length_level = kMaxRecordLine;
    return r;
  }
  const std::string_view text(buf + offset, static_cast<std::size_t>(length));
  const LogLine line = ParseLogLine(text);
  r.length_level = static_cast<std::uint32_t>(length) | static_cast<std::uint32_t>(line.level)
                                                            << 30;
  if (line.accepted) {
    r.date = line.date;
    r.task = intern(0, line.task);
    r.server = intern(1, line.server);
    r.message_begin = static_cast<std::uint32_t>(line.message.data() - text.data());
    r.code = PackCode(line.code);
  }
  return r;
}

}  // namespace

void CLogDocument::ParseOnePart(std::uint64_t from, std::uint64_t to, Part* part) const {
  const char* buf = buffer_;
  std::vector<LogRecord>& records = *part->records;
  // Consecutive lines mostly name the same task and server: remember the last of each.
  std::string_view last_name[2];
  std::uint32_t last_id[2] = {kNoName, kNoName};
  auto intern = [&](int slot, std::string_view name) -> std::uint32_t {
    if (last_id[slot] != kNoName && name == last_name[slot]) return last_id[slot];
    auto it = part->ids->find(name);
    std::uint32_t id;
    if (it != part->ids->end()) {
      id = it->second;
    } else {
      id = static_cast<std::uint32_t>(part->names->size());
      part->names->emplace_back(name);
      part->ids->emplace(part->names->back(), id);
    }
    last_name[slot] = name;
    last_id[slot] = id;
    return id;
  };
  std::uint64_t pos = from;
  // The next LF and the next CR at or after `pos`, each searched again only once passed, so
  // that a file without one of them is still scanned once.
  std::uint64_t next_lf = 0, next_cr = 0;
  bool lf_known = false, cr_known = false;
  auto find = [&](char c, std::uint64_t at) -> std::uint64_t {
    const char* p = static_cast<const char*>(std::memchr(buf + at, c, size_ - at));
    return p ? static_cast<std::uint64_t>(p - buf) : size_;
  };
  while (pos < to) {
    if (!lf_known || next_lf < pos) {
      next_lf = find('\n', pos);
      lf_known = true;
    }
    if (!cr_known || next_cr < pos) {
      next_cr = find('\r', pos);
      cr_known = true;
    }
    const std::uint64_t end = std::min(next_lf, next_cr);
    if (end > pos) {
      const std::uint64_t full = end - pos;
      records.push_back(MakeRecord(buf, pos, full, intern));
    }
    pos = end + 1;
  }
}

void CLogDocument::MergePart(Part* part) {
  std::vector<std::uint32_t> remap(part->own_names.size());
  for (std::size_t i = 0; i < part->own_names.size(); ++i) {
    auto it = name_ids_.find(std::string_view(part->own_names[i]));
    if (it != name_ids_.end()) {
      remap[i] = it->second;
    } else {
      remap[i] = static_cast<std::uint32_t>(names_.size());
      names_.push_back(part->own_names[i]);
      name_ids_.emplace(names_.back(), remap[i]);
    }
  }
  for (LogRecord r : part->own_records) {
    if (r.task != kNoName) r.task = remap[r.task];
    if (r.server != kNoName) r.server = remap[r.server];
    records_.push_back(r);
  }
  part->own_records = {};
}

// Room for the records of [from, to): lines counted in a sample, with a margin. Storage that
// is reserved but never filled takes no memory.
std::size_t CLogDocument::EstimateLines(std::uint64_t from, std::uint64_t to) const {
  const std::uint64_t sample = std::min<std::uint64_t>(to - from, 1u << 20);
  std::uint64_t ends = 0;
  for (std::uint64_t i = from; i < from + sample; ++i) ends += buffer_[i] == '\n';
  if (ends == 0) ends = 1;
  return static_cast<std::size_t>((to - from) / std::max<std::uint64_t>(1, sample / ends) * 5 / 4 +
                                  1024);
}

void CLogDocument::Parse(std::uint64_t from) {
  const unsigned cores = std::max(1u, std::min(std::thread::hardware_concurrency(), 8u));
  const std::uint64_t n = size_ - from;
  unsigned parts = n < (4u << 20) ? 1 : cores;
  // Split points at line starts: the first byte after a CR or LF at or past each share.
  std::vector<std::uint64_t> bounds{from};
  for (unsigned i = 1; i < parts; ++i) {
    std::uint64_t p = std::max(bounds.back(), from + n * i / parts);
    while (p < size_ && p > from && !IsLineEnd(buffer_[p - 1])) ++p;
    bounds.push_back(p);
  }
  bounds.push_back(size_);
  std::vector<Part> results(parts);
  results[0].records = &records_;
  results[0].names = &names_;
  results[0].ids = &name_ids_;
  records_.reserve(records_.size() + EstimateLines(from, size_));
  AdviseHugePages(records_.data(), records_.capacity() * sizeof(LogRecord));
  for (unsigned i = 1; i < parts; ++i) {
    Part& p = results[i];
    p.records = &p.own_records;
    p.names = &p.own_names;
    p.ids = &p.own_ids;
    p.own_records.reserve(EstimateLines(bounds[i], bounds[i + 1]));
    AdviseHugePages(p.own_records.data(), p.own_records.capacity() * sizeof(LogRecord));
  }
  std::vector<std::thread> threads;
  bool failed = false;
  std::vector<char> thread_failed(parts, 0);
  for (unsigned i = 1; i < parts; ++i) {
    threads.emplace_back([this, &bounds, &results, &thread_failed, i] {
      try {
        ParseOnePart(bounds[i], bounds[i + 1], &results[i]);
      } catch (const std::bad_alloc&) {
        thread_failed[i] = 1;
      }
    });
  }
  try {
    ParseOnePart(bounds[0], bounds[1], &results[0]);
  } catch (const std::bad_alloc&) {
    failed = true;
  }
  for (std::thread& t : threads) t.join();
  for (char f : thread_failed) failed = failed || f;
  if (failed) throw std::bad_alloc();
  for (unsigned i = 1; i < parts; ++i) MergePart(&results[i]);
  // A last line without its line end may still be growing (follow mode).
  last_line_open_ = !records_.empty() && size_ > 0 && !IsLineEnd(buffer_[size_ - 1]);
}

int CLogDocument::LoadChosen(const std::string& argument, std::string* used) {
  if (!argument.empty()) {
    *used = argument;
    const int rc = Load(argument);
    // A path whose directory does not exist falls back to the service's log.
    if (rc != ENOENT && rc != ENOTDIR) return rc;
  }
  *used = DefaultLogPath();
  if (used->empty()) {
    Clear();
    return ENOENT;
  }
  return Load(*used);
}

int CLogDocument::Refresh(bool* changed, bool* reloaded) {
  *changed = false;
  *reloaded = false;
  if (path_.empty()) return 0;
  struct stat st;
  if (::stat(path_.c_str(), &st) != 0) {
    if (errno == ENOENT && (RecordCount() > 0 || ino_ != 0)) {
      // Removed: an empty log from now on.
      const std::string path = path_;
      Clear();
      path_ = path;
      loaded_ = true;
      *changed = *reloaded = true;
    }
    return 0;
  }
  if (!S_ISREG(st.st_mode)) return 0;
  const auto file_size = static_cast<std::uint64_t>(st.st_size);
  if (st.st_dev != dev_ || st.st_ino != ino_ || file_size < size_) {
    const std::string path = path_;
    const int rc = Load(path);
    *changed = *reloaded = true;
    return rc;
  }
  if (file_size == size_) return 0;
  UniqueFd fd(::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!fd) return errno;
  struct stat now;
  if (::fstat(fd.get(), &now) != 0 || now.st_ino != ino_ || now.st_dev != dev_) return 0;
  std::uint64_t from = size_;
  if (last_line_open_ && !records_.empty()) {
    // The last line is parsed again with what followed it.
    from = records_.back().offset;
    records_.pop_back();
  }
  int err = 0;
  const std::uint64_t want = static_cast<std::uint64_t>(now.st_size) - size_;
  if (!ReserveBuffer(size_ + want + 1)) return kLoadNoMemory;
  const std::uint64_t got = ReadRange(fd.get(), buffer_ + size_, size_, want, &err);
  if (err != 0) return err;
  size_ += got;
  try {
    Parse(from);
  } catch (const std::bad_alloc&) {
    return kLoadNoMemory;
  }
  *changed = true;
  return 0;
}

// ---- Access ------------------------------------------------------------------------------

std::string_view CLogDocument::Line(std::size_t i) const {
  const LogRecord& r = records_[i];
  return std::string_view(buffer_ + r.offset, r.length_level & kMaxRecordLine);
}

std::string_view CLogDocument::Message(std::size_t i) const {
  const LogRecord& r = records_[i];
  const std::uint32_t len = r.length_level & kMaxRecordLine;
  if (r.date == kNoDate) return std::string_view(buffer_ + r.offset, len);
  return std::string_view(buffer_ + r.offset + r.message_begin, len - 7 - r.message_begin);
}

std::string_view CLogDocument::Code(std::size_t i, char buf[4]) const {
  const std::uint32_t c = records_[i].code;
  if (c == kNoCode) return kPlaceholderCode;
  buf[0] = static_cast<char>(c >> 24);
  buf[1] = static_cast<char>(c >> 16);
  buf[2] = static_cast<char>(c >> 8);
  buf[3] = static_cast<char>(c);
  return std::string_view(buf, 4);
}

std::string_view CLogDocument::Date(std::size_t i, char buf[20]) const {
  if (records_[i].date == kNoDate) return kPlaceholderDate;
  FormatDateKey(records_[i].date, buf);
  return std::string_view(buf, 19);
}

std::string_view CLogDocument::LevelText(std::size_t i) const {
  if (!Accepted(i)) return {};
  // The first bracketed field of an accepted line.
  const std::string_view line = Line(i);
  const std::size_t open = line.find('<');
  const std::size_t close = line.find('>');
  return line.substr(open + 1, close - open - 1);
}

std::string_view CLogDocument::NameText(std::uint32_t id) const {
  if (id == kNoName) return kPlaceholderName;
  return names_[id];
}

// ---- Filter and sort ---------------------------------------------------------------------

std::vector<std::uint32_t> CLogDocument::FilterRows(const LogFilter& f) const {
  const bool timed = f.start != 0 || f.end != 0;
  const DateKey start = f.start != 0 ? DateKeyOfLocalTime(f.start) : 0;
  const DateKey end = f.end != 0 ? DateKeyOfLocalTime(f.end) : UINT32_MAX;
  // Names compare as their numbers; a name nobody uses matches no record. The placeholder's
  // text matches placeholders.
  auto name_filter = [this](const std::string& text, bool* any, std::uint32_t* id) {
    *any = text.empty();
    if (*any) return;
    if (text == kPlaceholderName) {
      *id = kNoName;
      return;
    }
    auto it = name_ids_.find(std::string_view(text));
    *id = it != name_ids_.end() ? it->second : kNoName - 1;
  };
  bool any_task, any_server;
  std::uint32_t task = 0, server = 0;
  name_filter(f.task, &any_task, &task);
  name_filter(f.server, &any_server, &server);
  const bool any_code = f.code.empty();
  const std::uint32_t code = any_code ? 0 : f.code.size() == 4 ? PackCode(f.code) : kNoCode - 1;

  std::vector<std::uint32_t> rows;
  rows.reserve(records_.size());
  for (std::size_t k = records_.size(); k-- > 0;) {
    const LogRecord& r = records_[k];
    if (timed && r.date == kNoDate) continue;
    if (r.date < start || r.date > end) continue;
    if (f.levels != 0) {
      const unsigned level = r.length_level >> 30;
      if (level == 0 || !(f.levels & (1u << (level - 1)))) continue;
    }
    if (!any_code && r.code != code) continue;
    if (!any_task && r.task != task) continue;
    if (!any_server && r.server != server) continue;
    rows.push_back(static_cast<std::uint32_t>(k));
  }
  return rows;
}

void CLogDocument::SortRowsByMessage(std::vector<std::uint32_t>* rows) const {
  // By eight bytes of the message at a time; rows equal so far are refined by the next eight.
  std::vector<KeyedRow> items(rows->size());
  for (std::size_t i = 0; i < rows->size(); ++i) {
    items[i] = {PrefixKey(Message((*rows)[i]), 0), (*rows)[i]};
  }
  std::vector<KeyedRow> scratch;
  RadixSortByKey64(&items, 0, items.size(), &scratch);
  struct Range {
    std::size_t begin, end, depth;
  };
  std::vector<Range> work;
  auto push_runs = [&](std::size_t begin, std::size_t end, std::size_t depth) {
    std::size_t i = begin;
    while (i < end) {
      std::size_t j = i + 1;
      while (j < end && items[j].key == items[i].key) ++j;
      if (j - i > 1) work.push_back({i, j, depth});
      i = j;
    }
  };
  push_runs(0, items.size(), 8);
  while (!work.empty()) {
    const Range r = work.back();
    work.pop_back();
    // Rows whose messages ended within the bytes compared so far are equal.
    bool longer = false;
    for (std::size_t i = r.begin; i < r.end; ++i) {
      const std::string_view m = Message(items[i].row);
      items[i].key = PrefixKey(m, r.depth);
      longer = longer || m.size() > r.depth;
    }
    if (!longer) continue;
    RadixSortByKey64(&items, r.begin, r.end, &scratch);
    push_runs(r.begin, r.end, r.depth + 8);
  }
  for (std::size_t i = 0; i < rows->size(); ++i) (*rows)[i] = items[i].row;
}

void CLogDocument::SortRowsByField(std::vector<std::uint32_t>* rows, int column) const {
  std::vector<std::uint32_t> rank;
  if (column == kColumnTask || column == kColumnServer) {
    // Names rank by their text; names beginning with "." rank with the placeholders.
    std::vector<std::uint32_t> order(names_.size());
    for (std::uint32_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(),
              [this](std::uint32_t a, std::uint32_t b) { return names_[a] < names_[b]; });
    rank.resize(names_.size());
    for (std::uint32_t i = 0; i < order.size(); ++i) {
      rank[order[i]] = names_[order[i]][0] == '.' ? UINT32_MAX : i;
    }
  }
  std::vector<std::uint64_t> items(rows->size());
  for (std::size_t i = 0; i < rows->size(); ++i) {
    const std::uint32_t row = (*rows)[i];
    const LogRecord& r = records_[row];
    std::uint32_t key;
    switch (column) {
      case kColumnCode: key = r.code; break;
      case kColumnDate: key = r.date == kNoDate ? UINT32_MAX : r.date; break;
      case kColumnTask: key = r.task == kNoName ? UINT32_MAX : rank[r.task]; break;
      default: key = r.server == kNoName ? UINT32_MAX : rank[r.server]; break;
    }
    items[i] = static_cast<std::uint64_t>(key) << 32 | row;
  }
  RadixSortByHighWord(&items);
  for (std::size_t i = 0; i < rows->size(); ++i) (*rows)[i] = static_cast<std::uint32_t>(items[i]);
}

void CLogDocument::SortRows(std::vector<std::uint32_t>* rows, int column, bool ascending) const {
  if (column == kColumnMessage) {
    SortRowsByMessage(rows);
  } else {
    SortRowsByField(rows, column);
  }
  if (!ascending) std::reverse(rows->begin(), rows->end());
}

}  // namespace pondrel::logviewer
