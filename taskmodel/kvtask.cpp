#include "taskmodel/kvtask.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstring>
#include <optional>
#include <unordered_map>

#include "common/file_lock.h"
#include "common/fs_util.h"
#include "common/registry.h"
#include "common/store_damage.h"
#include "common/unique_fd.h"

namespace pondrel {

namespace {

// Longest path the store accepts for schedule.ini.
constexpr std::size_t kMaxPathLen = 259;
// A schedule.ini beyond this size is refused (10,000 tasks take about 5 MB).
constexpr std::size_t kMaxFileSize = 64u * 1024 * 1024;

bool HasLineBreak(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

// Length of a record's text field, never past its width.
std::string_view FieldText(const char* field, std::size_t size) {
  return std::string_view(field, strnlen(field, size - 1));
}
template <std::size_t N>
std::string_view FieldText(const char (&field)[N]) {
  return FieldText(field, N);
}

// Copies a value read from the file, cut to the field's width.
template <std::size_t N>
void CopyValueCut(char (&field)[N], std::string_view value) {
  std::size_t n = std::min(value.size(), N - 1);
  std::memcpy(field, value.data(), n);
  field[n] = '\0';
}

// Decimal conversion as the file's readers always did it: leading blanks, an optional sign,
// digits; anything else gives 0. Values beyond 32 bits are clamped.
std::int32_t ParseNumber(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() &&
         (text[i] == ' ' || text[i] == '\t' || text[i] == '\v' || text[i] == '\f')) {
    ++i;
  }
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  long long v = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    v = v * 10 + (text[i] - '0');
    if (v > static_cast<long long>(INT32_MAX) + 1) v = static_cast<long long>(INT32_MAX) + 1;
  }
  if (negative) v = -v;
  if (v > INT32_MAX) v = INT32_MAX;
  if (v < INT32_MIN) v = INT32_MIN;
  return static_cast<std::int32_t>(v);
}

void AppendNumber(std::string* out, long long v) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  out->append(buf, r.ptr);
}

void AppendKey(std::string* out, std::string_view key, std::string_view value) {
  out->append(key);
  out->push_back('=');
  out->append(value);
  out->append("\r\n");
}

void AppendKey(std::string* out, std::string_view key, long long value) {
  out->append(key);
  out->push_back('=');
  AppendNumber(out, value);
  out->append("\r\n");
}

// The task's section as the file holds it.
void AppendSection(std::string* out, const CKVTask& t) {
  out->push_back('[');
  out->append(FieldText(t.Name));
  out->append("]\r\n");
  AppendKey(out, "ServerId", GuidToHex(t.ServerId));
  AppendKey(out, "StartTime", FieldText(t.StartTime));
  AppendKey(out, "TaskCycle", t.TaskCycle);
  AppendKey(out, "TaskInterval", t.TaskInterval);
  AppendKey(out, "DayofWeek", FieldText(t.DayofWeek));
  AppendKey(out, "MonthUnit", t.MonthUnit);
  AppendKey(out, "ActDayofMonth", t.ActDayofMonth);
  AppendKey(out, "ImageDelete", t.ImageDelete);
  AppendKey(out, "RasDisconnect", t.RasDisconnect);
  AppendKey(out, "RetryCnt", t.RetryCnt);
  AppendKey(out, "RestRetryCnt", t.RestRetryCnt);
  AppendKey(out, "RetryInterval", t.RetryInterval);
  AppendKey(out, "Effect", t.Effect);
  AppendKey(out, "LastActTime", FieldText(t.LastActTime));
  AppendKey(out, "ActState", t.ActState);
  AppendKey(out, "ActResult", t.ActResult);
  AppendKey(out, "EndCode", t.EndCode);
  AppendKey(out, "EndTime", FieldText(t.EndTime));
  AppendKey(out, "NextTime", FieldText(t.NextTime));
  AppendKey(out, "LoopInterval", t.LoopInterval);
  AppendKey(out, "LoopCnt", t.LoopCnt);
}

// A record that can be written without breaking the file: a name, and no line breaks or "="
// in the values (a value is whatever follows the last "=" of its line).
bool IsWritable(const CKVTask& t) {
  if (HasLineBreak(FieldText(t.Name))) return false;
  for (std::string_view v :
       {FieldText(t.StartTime), FieldText(t.DayofWeek), FieldText(t.LastActTime),
        FieldText(t.EndTime), FieldText(t.NextTime)}) {
    if (HasLineBreak(v) || v.find('=') != std::string_view::npos) return false;
  }
  return true;
}

enum LoadResult { kLoaded = 0, kNoFile = -1, kUnreadable = -2 };

struct FileId {
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  struct timespec mtime = {};
  struct timespec ctime = {};

  static FileId Of(const struct stat& st) {
    FileId id;
    id.dev = st.st_dev;
    id.ino = st.st_ino;
    id.size = st.st_size;
    id.mtime = st.st_mtim;
    id.ctime = st.st_ctim;
    return id;
  }
  bool operator==(const FileId& o) const {
    return dev == o.dev && ino == o.ino && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
           mtime.tv_nsec == o.mtime.tv_nsec && ctime.tv_sec == o.ctime.tv_sec &&
           ctime.tv_nsec == o.ctime.tv_nsec;
  }
};

// Holds an exclusive flock on the directory of schedule.ini while one rewrite reads, builds
// and replaces the file, so that two rewriters never share the temporary file. Best effort:
// a file system without flock on directories leaves the named lock as the only guard.
class DirectoryGuard {
 public:
  explicit DirectoryGuard(const std::string& dir) : lock_(FileLock::TakeDirectory(dir)) {}

 private:
  FileLock lock_;
};

}  // namespace

bool SetTaskField(char* field, std::size_t size, std::string_view text) {
  if (size == 0 || text.size() >= size || HasLineBreak(text)) return false;
  std::memcpy(field, text.data(), text.size());
  field[text.size()] = '\0';
  return true;
}

int CKVTask::Validate() {
  const std::size_t name_len = strnlen(Name, sizeof Name);
  if (name_len < 1 || name_len > kMaxTaskNameLen) return -1;
  if (strnlen(StartTime, sizeof StartTime) != kTimeStrLen) return -1;
  if (TaskCycle < 0 || TaskCycle > 3 || TaskInterval < 0 || (MonthUnit != 0 && MonthUnit != 1) ||
      ActDayofMonth < 1 || ActDayofMonth > 31 || (ImageDelete != 0 && ImageDelete != 1) ||
      (RasDisconnect != 0 && RasDisconnect != 1) || RetryCnt < 0 || RestRetryCnt < 0 ||
      RetryInterval < 1 || RetryInterval > 99 || (Effect != 0 && Effect != 1)) {
    return -1;
  }
  if (ActState != kStateRunning && ActState != kStateWaiting && ActState != kStateRerun &&
      ActState != kStateDisabled) {
    ActState = kStateDisabled;
    return -1;
  }
  if (ActResult != kResultNone && ActResult != kResultSucceeded && ActResult != kResultFailed &&
      ActResult != kResultAborted && ActResult != kResultStartFailed &&
      ActResult != kResultRunning) {
    ActResult = kResultRunning;
    return -1;
  }
  if (TaskCycle == kCycleWeeks &&
      FieldText(DayofWeek).substr(0, 7).find('1') == std::string_view::npos) {
    return -1;
  }
  return 0;
}

// ---------------------------------------------------------------------------------------------
// The parsed file.

struct CKVTaskMgr::ParsedFile {
  enum Kind : std::uint8_t { kHeader, kComment, kKey };
  struct Line {
    std::size_t begin;
    std::size_t len;
    Kind kind;
  };
  struct Section {
    std::string_view name;
    std::size_t header;  // index of the header line
    std::size_t end;     // one past its last line
  };

  FileId id;
  mode_t mode = 0644;  // permissions a rewrite keeps
  std::string text;
  // A file that could not be read whole: what was skipped or changed in reading it (""
  // when nothing), the file as it was, and where a copy of it is kept ("" when none).
  std::string damage;
  std::string raw;
  std::string copy;
  std::vector<Line> lines;
  std::vector<Section> sections;
  // Section numbers of every name, in file order.
  std::unordered_map<std::string_view, std::vector<std::size_t>> by_name;

  std::string_view LineText(std::size_t i) const {
    return std::string_view(text).substr(lines[i].begin, lines[i].len);
  }

  // Takes the file's bytes as read. A UTF-8 byte-order mark is dropped; UTF-16 text is read
  // converted to 8-bit text and NUL bytes as line ends, and both count as damage, as does a
  // last line cut short.
  void Decode(std::string bytes) {
    damage.clear();
    raw.clear();
    bool big_endian = false;
    if (bytes.starts_with("\xEF\xBB\xBF")) {
      bytes.erase(0, 3);
    } else if (LooksLikeUtf16(bytes, &big_endian)) {
      raw = bytes;
      const bool bom = bytes.starts_with("\xFF\xFE") || bytes.starts_with("\xFE\xFF");
      bytes = Utf16ToUtf8(std::string_view(bytes).substr(bom ? 2 : 0), big_endian);
      damage =
          "the file is UTF-16 text; it was read converted to 8-bit text, as the next change "
          "of a task saves it";
    }
    text = std::move(bytes);
    const std::size_t nuls = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\0'));
    if (nuls > 0) {
      if (raw.empty()) raw = text;
      AddDamage(std::to_string(nuls) + (nuls == 1 ? " NUL byte" : " NUL bytes") +
                " (the first at byte " + std::to_string(text.find('\0')) +
                ") were read as line ends");
    }
  }

  void AddDamage(const std::string& what) { damage += (damage.empty() ? "" : "; ") + what; }

  static bool IsLineEnd(char c) { return c == '\r' || c == '\n' || c == '\0'; }

  void Parse() {
    lines.clear();
    sections.clear();
    by_name.clear();
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
      if (IsLineEnd(text[i])) {
        ++i;
        continue;
      }
      std::size_t begin = i;
      while (i < n && !IsLineEnd(text[i])) ++i;
      Kind kind = text[begin] == '[' ? kHeader : text[begin] == ';' ? kComment : kKey;
      lines.push_back({begin, i - begin, kind});
    }
    // A file cut off in the middle of its last line (a copy cut short): the line is kept by
    // rewrites, but nothing was read from it.
    if (!lines.empty() && !IsLineEnd(text.back())) {
      const std::string_view last = LineText(lines.size() - 1);
      const bool cut = lines.back().kind == kHeader ? last.back() != ']'
                       : lines.back().kind == kKey  ? last.find('=') == std::string_view::npos
                                                    : false;
      if (cut) {
        if (raw.empty()) raw = text;
        AddDamage("the last line \"" + std::string(last.substr(0, 40)) +
                  (last.size() > 40 ? "..." : "") + "\" is cut short and was not read");
      }
    }
    for (std::size_t l = 0; l < lines.size(); ++l) {
      if (lines[l].kind != kHeader) continue;
      if (!sections.empty()) sections.back().end = l;
      std::string_view line = LineText(l);
      // The name is what lies between the first and the last character.
      std::string_view name =
          line.size() >= 2 ? line.substr(1, line.size() - 2) : std::string_view();
      sections.push_back({name, l, lines.size()});
      by_name[name].push_back(sections.size() - 1);
    }
  }
};

namespace {

// Applies one key line of a task's section.
bool ApplyKey(std::string_view line, CKVTask* t) {
  std::size_t eq = line.rfind('=');
  if (eq == std::string_view::npos) return false;
  std::string_view key = line.substr(0, eq);
  std::string_view value = line.substr(eq + 1);
  if (key == "ServerId") {
    if (!GuidFromHex(value, &t->ServerId)) t->ServerId = Guid();
  } else if (key == "StartTime") {
    CopyValueCut(t->StartTime, value);
  } else if (key == "TaskCycle") {
    t->TaskCycle = ParseNumber(value);
  } else if (key == "TaskInterval") {
    t->TaskInterval = ParseNumber(value);
  } else if (key == "DayofWeek") {
    CopyValueCut(t->DayofWeek, value);
  } else if (key == "MonthUnit") {
    t->MonthUnit = ParseNumber(value);
  } else if (key == "ActDayofMonth") {
    t->ActDayofMonth = ParseNumber(value);
  } else if (key == "ImageDelete") {
    t->ImageDelete = ParseNumber(value);
  } else if (key == "RasDisconnect") {
    t->RasDisconnect = ParseNumber(value);
  } else if (key == "RetryCnt") {
    t->RetryCnt = ParseNumber(value);
  } else if (key == "RestRetryCnt") {
    t->RestRetryCnt = ParseNumber(value);
  } else if (key == "RetryInterval") {
    t->RetryInterval = ParseNumber(value);
  } else if (key == "Effect") {
    t->Effect = ParseNumber(value);
  } else if (key == "LastActTime") {
    CopyValueCut(t->LastActTime, value);
  } else if (key == "ActState") {
    t->ActState = ParseNumber(value);
  } else if (key == "ActResult") {
    t->ActResult = ParseNumber(value);
  } else if (key == "EndCode") {
    t->EndCode = ParseNumber(value);
  } else if (key == "EndTime") {
    CopyValueCut(t->EndTime, value);
  } else if (key == "NextTime") {
    CopyValueCut(t->NextTime, value);
  } else if (key == "LoopInterval") {
    // Kept in 8 bits as the record holds it (300 reads as 44).
    t->LoopInterval = static_cast<std::int8_t>(ParseNumber(value));
  } else if (key == "LoopCnt") {
    t->LoopCnt = ParseNumber(value);
  }
  return true;
}

bool IsReadableName(std::string_view name) {
  return !name.empty() && name.size() <= kMaxTaskNameLen &&
         name.find('\0') == std::string_view::npos;
}

// A temporary file that a rewrite finished: it ends with a line end and the last key line it
// holds is the last key of a section.
bool IsCompleteTempFile(const std::string& text) {
  if (text.empty() || (text.back() != '\n' && text.back() != '\r')) return false;
  std::size_t end = text.size();
  while (end > 0) {
    while (end > 0 && (text[end - 1] == '\r' || text[end - 1] == '\n')) --end;
    std::size_t begin = end;
    while (begin > 0 && text[begin - 1] != '\r' && text[begin - 1] != '\n') --begin;
    if (begin == end) break;
    std::string_view line(text.data() + begin, end - begin);
    if (line[0] != ';') return line.rfind("LoopCnt=", 0) == 0;
    end = begin;
  }
  return false;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The store.

CKVTaskMgr::CKVTaskMgr() : CKVTaskMgr(ReadUsableRootDir()) {}

CKVTaskMgr::CKVTaskMgr(std::string_view root_dir) {
  if (root_dir.empty()) return;
  std::string path(root_dir);
  if (path.back() != '/' && path.back() != '\\') path.push_back('/');
  dir_ = path;
  path += kTaskFileName;
  if (path.size() > kMaxPathLen) {
    dir_.clear();
    return;
  }
  path_ = path;
  temp_path_ = path + "bk";
}

CKVTaskMgr::~CKVTaskMgr() = default;

void CKVTaskMgr::RecoverFromTempFile() {
  struct stat st;
  if (::stat(path_.c_str(), &st) == 0 || errno != ENOENT) return;
  if (::stat(temp_path_.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return;
  // flock conflicts between two descriptions even within one process: take the guard only
  // when no rewrite of this store holds it already.
  std::optional<DirectoryGuard> guard;
  if (!rewriting_) guard.emplace(dir_);
  std::string text;
  if (::stat(path_.c_str(), &st) == 0 || !ReadWholeFile(temp_path_, &text, kMaxFileSize)) return;
  if (!IsCompleteTempFile(text)) return;
  ::rename(temp_path_.c_str(), path_.c_str());
}

int CKVTaskMgr::LoadFile(std::shared_ptr<const ParsedFile>* out) {
  if (path_.empty()) return kNoFile;
  struct stat st;
  if (cache_ && ::stat(path_.c_str(), &st) == 0 && FileId::Of(st) == cache_->id) {
    *out = cache_;  // the file has not changed since it was parsed: one call per task in a pass
    return kLoaded;
  }
  RecoverFromTempFile();
  UniqueFd fd(::open(path_.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) {
    if (errno == ENOENT || errno == ENOTDIR) {
      cache_.reset();
      return kNoFile;
    }
    return kUnreadable;
  }
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return kUnreadable;
  FileId id = FileId::Of(st);
  if (cache_ && cache_->id == id) {
    *out = cache_;
    return kLoaded;
  }
  if (static_cast<std::uint64_t>(st.st_size) > kMaxFileSize) return kUnreadable;
  auto file = std::make_shared<ParsedFile>();
  std::string bytes;
  bytes.reserve(static_cast<std::size_t>(st.st_size));
  if (!ReadAllFromFd(fd.get(), &bytes, kMaxFileSize)) return kUnreadable;
  file->id = id;
  file->mode = st.st_mode & 07777;
  file->Decode(std::move(bytes));
  file->Parse();
  if (!file->damage.empty()) {
    // Told once per reading of the file as it now stands (a cached file is not told again).
    StoreDamage damage{path_, file->damage, {}};
    if (KeepDamagedCopy(path_, file->raw, file->mode, &damage.copy)) file->copy = damage.copy;
    ReportStoreDamage(damage);
  }
  cache_ = file;
  *out = std::move(file);
  return kLoaded;
}

int CKVTaskMgr::ReadTaskFrom(const ParsedFile& file, std::string_view name, CKVTask* task) const {
  task->ActResult = kResultNone;
  auto it = file.by_name.find(name);
  if (it == file.by_name.end()) return 0;
  bool found = false;
  for (std::size_t s : it->second) {
    const ParsedFile::Section& sec = file.sections[s];
    for (std::size_t l = sec.header + 1; l < sec.end; ++l) {
      if (file.lines[l].kind != ParsedFile::kKey) continue;
      if (ApplyKey(file.LineText(l), task)) found = true;
    }
  }
  if (found) CopyValueCut(task->Name, name);
  return 0;
}

int CKVTaskMgr::ReadTask(std::string_view name, CKVTask* task) {
  if (!IsReadableName(name)) return -1;
  try {
    std::shared_ptr<const ParsedFile> file;
    if (LoadFile(&file) != kLoaded) return -1;
    return ReadTaskFrom(*file, name, task);
  } catch (...) {  // out of memory: nothing leaves the store but its result
    cache_.reset();
    return -1;
  }
}

int CKVTaskMgr::EnumerateFrom(int section, CKVTask* task) {
  std::shared_ptr<const ParsedFile> file;
  int rc = LoadFile(&file);
  if (rc != kLoaded) return rc;
  for (std::size_t s = static_cast<std::size_t>(section); s < file->sections.size(); ++s) {
    std::string_view name = file->sections[s].name;
    if (!IsReadableName(name) || file->by_name.at(name).front() != s) continue;
    CKVTask t;
    ReadTaskFrom(*file, name, &t);
    if (!t.HasName()) continue;  // a header without key lines
    *task = t;
    cursor_ = static_cast<int>(s) + 1;
    return 0;
  }
  cursor_ = static_cast<int>(file->sections.size());
  return -1;
}

int CKVTaskMgr::GetFirstTask(CKVTask* task) {
  cursor_ = 0;
  try {
    return EnumerateFrom(0, task);
  } catch (...) {
    cache_.reset();
    return kUnreadable;
  }
}

int CKVTaskMgr::GetNextTask(CKVTask* task) {
  try {
    return EnumerateFrom(cursor_, task);
  } catch (...) {
    cache_.reset();
    return kUnreadable;
  }
}

int CKVTaskMgr::ReadAllTasks(std::vector<CKVTask>* tasks) try {
  tasks->clear();
  std::shared_ptr<const ParsedFile> file;
  int rc = LoadFile(&file);
  if (rc != kLoaded) return rc;
  for (std::size_t s = 0; s < file->sections.size(); ++s) {
    std::string_view name = file->sections[s].name;
    if (!IsReadableName(name) || file->by_name.at(name).front() != s) continue;
    CKVTask t;
    ReadTaskFrom(*file, name, &t);
    if (t.HasName()) tasks->push_back(t);
  }
  return 0;
} catch (...) {
  tasks->clear();
  cache_.reset();
  return kUnreadable;
}

bool CKVTaskMgr::CopyWithEdits(const ParsedFile& file, std::vector<SectionEdit>& edits,
                               const EditIndex& edit_of, bool place_at_old, std::string* out) {
  out->reserve(file.text.size() + 1024);
  bool any_found = false;
  bool in_target = false;
  for (std::size_t l = 0; l < file.lines.size(); ++l) {
    const ParsedFile::Line& line = file.lines[l];
    std::string_view text = file.LineText(l);
    if (line.kind == ParsedFile::kHeader) {
      std::string_view sec_name =
          text.size() >= 2 ? text.substr(1, text.size() - 2) : std::string_view();
      auto it = edit_of.find(sec_name);
      in_target = it != edit_of.end();
      if (in_target) {
        SectionEdit& edit = edits[it->second];
        if (!edit.found && edit.task) AppendSection(out, *edit.task);
        const bool keep_header = edit.found && edit.task && !place_at_old;
        edit.found = any_found = true;
        if (!keep_header) continue;
      }
    } else if (line.kind == ParsedFile::kKey && in_target) {
      continue;
    }
    out->append(text);
    out->append("\r\n");
  }
  return any_found;
}

// Keeps the text just written as the parsed file, so an enumeration that writes as it goes
// does not read the file again.
void CKVTaskMgr::KeepWritten(std::string text, mode_t mode) {
  struct stat st;
  if (::stat(path_.c_str(), &st) == 0 && static_cast<std::size_t>(st.st_size) == text.size()) {
    auto fresh = std::make_shared<ParsedFile>();
    fresh->text = std::move(text);
    fresh->id = FileId::Of(st);
    fresh->mode = mode;
    fresh->Parse();
    cache_ = std::move(fresh);
  } else {
    cache_.reset();
  }
}

// One rewrite of the file under the directory guard, for one or more sections.
//   edit.task == nullptr: remove every section edit.name (header and key lines).
//   place_at_old (one edit only): remove every section edit.name and put the task's section
//     where the first of them was (ReplaceTask).
//   otherwise (WriteTask, name == task->Name): the task's section takes the place of the first
//     header of that name; key lines of every section of that name are dropped.
//   append_missing: the tasks whose name is not in the file (or the file is missing) are
//     appended in the order of the edits.
// Comments are always kept, so is everything outside the sections concerned. Nothing is
// written when no edit applies.
int CKVTaskMgr::Rewrite(std::vector<SectionEdit>& edits, bool place_at_old,
                        bool append_missing) try {
  if (path_.empty()) return -1;
  DirectoryGuard guard(dir_);
  rewriting_ = true;
  std::shared_ptr<const ParsedFile> file;
  int rc = LoadFile(&file);
  rewriting_ = false;
  if (rc == kUnreadable) return -1;
  // The rewrite drops what could not be read: only with a copy of the file as it was.
  if (rc == kLoaded && !file->damage.empty() && file->copy.empty()) {
    std::string copy;
    if (!KeepDamagedCopy(path_, file->raw, file->mode, &copy)) return -1;
  }

  EditIndex edit_of;
  edit_of.reserve(edits.size());
  for (std::size_t i = 0; i < edits.size(); ++i) edit_of.emplace(edits[i].name, i);

  std::string out;
  bool any_found = false;
  if (rc == kLoaded) {
    if (place_at_old && edits.size() == 1 && edits[0].task) {
      auto it = file->by_name.find(edits[0].name);
      if (it != file->by_name.end()) {
        CKVTask stored;
        ReadTaskFrom(*file, edits[0].name, &stored);
        if (stored.HasName() && stored.ActState == kStateRunning) return -2;
      }
    }
    any_found = CopyWithEdits(*file, edits, edit_of, place_at_old, &out);
  }
  bool appended = false;
  if (append_missing) {
    for (std::size_t i = 0; i < edits.size(); ++i) {
      const SectionEdit& edit = edits[i];
      // A name given twice is written once.
      if (edit.found || !edit.task || edit_of[edit.name] != i) continue;
      AppendSection(&out, *edit.task);
      appended = true;
    }
  }
  if (!any_found && !appended) return 0;  // nothing to delete or write
  const mode_t mode = file ? file->mode : 0644;
  if (!WriteFileAtomically(path_, out, temp_path_, mode)) return -1;
  KeepWritten(std::move(out), mode);
  return 0;
} catch (...) {  // out of memory while building the text: the file stays as it was
  rewriting_ = false;
  cache_.reset();
  return -1;
}

int CKVTaskMgr::Rewrite(std::string_view name, const CKVTask* task, bool place_at_old,
                        bool append_missing) {
  std::vector<SectionEdit> edits{{name, task}};
  return Rewrite(edits, place_at_old, append_missing);
}

int CKVTaskMgr::WriteTasks(const std::vector<CKVTask>& tasks) try {
  if (tasks.empty()) return 0;
  if (path_.empty()) return -1;
  std::vector<SectionEdit> edits;
  edits.reserve(tasks.size());
  for (const CKVTask& t : tasks) {
    if (!t.HasName()) continue;
    if (!IsWritable(t)) return -1;
    edits.push_back({FieldText(t.Name), &t});
  }
  return Rewrite(edits, false, true) == 0 ? 0 : -1;
} catch (...) {
  return -1;
}

int CKVTaskMgr::WriteTask(const CKVTask& task) {
  if (!task.HasName()) return 0;
  if (path_.empty() || !IsWritable(task)) return -1;
  return Rewrite(FieldText(task.Name), &task, false, true) == 0 ? 0 : -1;
}

int CKVTaskMgr::DeleteTask(std::string_view name) {
  if (name.empty()) return 0;
  if (path_.empty()) return -1;
  return Rewrite(name, nullptr, false, false) == 0 ? 0 : -1;
}

int CKVTaskMgr::ReplaceTask(std::string_view old_name, const CKVTask& task) {
  if (path_.empty() || !task.HasName() || !IsWritable(task)) return -1;
  if (old_name.empty()) return Rewrite(FieldText(task.Name), &task, false, true) == 0 ? 0 : -1;
  int rc = Rewrite(old_name, &task, true, true);
  return rc == -2 ? -2 : rc == 0 ? 0 : -1;
}

bool CKVTaskMgr::Lock(int timeout_ms, const std::atomic<bool>* abort) {
  if (lock_.held()) return false;
  if (timeout_ms == 0) return lock_.TryLock();
  if (timeout_ms < 0) return lock_.Lock(100, 0, abort);
  return lock_.LockFor(100, timeout_ms, abort);
}

void CKVTaskMgr::Unlock() { lock_.Unlock(); }

}  // namespace pondrel
