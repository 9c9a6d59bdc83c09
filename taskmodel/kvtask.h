// The task record and the task store.
//
// All tasks live in one text file, "schedule.ini" in the installation directory ROOT. The
// service and any number of Task Views read and rewrite it, each in its own process, so the
// file is the only place where task state is exchanged. A section per task:
//
//   [name]
//   ServerId=<32 lower-case hex digits>
//   StartTime=2003/01/01/08/00/00
//   TaskCycle=0
//   TaskInterval=1
//   DayofWeek=0000000
//   MonthUnit=1
//   ActDayofMonth=1
//   ImageDelete=0
//   RasDisconnect=0
//   RetryCnt=0
//   RestRetryCnt=0
//   RetryInterval=1
//   Effect=1
//   LastActTime=
//   ActState=5
//   ActResult=0
//   EndCode=0
//   EndTime=
//   NextTime=
//   LoopInterval=1
//   LoopCnt=0
//
// Lines end in CR LF; no blank line between sections. When reading, a line is split off at
// every run of CR/LF characters (so blank lines vanish on the next rewrite) and classified by
// its first character: "[" starts a section (the name is the text between the first and the
// last character, the closing bracket is not checked), ";" is a comment (kept in place by
// every rewrite), anything else is key=value split at the LAST "=". Key lines before the
// first section and unknown keys are ignored when reading and kept by rewrites. Names and
// keys compare case-sensitively.
//
// Every rewrite of the file (and the creation of a new section) writes the whole new text to
// "schedule.inibk", flushes it and renames it over "schedule.ini", so a reader sees either the
// old or the new file, never a part of one, and "schedule.ini" never goes missing. If it is
// missing while a complete "schedule.inibk" is present (left by an interrupted rewrite of
// older versions that deleted before renaming), the store puts that file back in place
// before any operation.
//
// A file that cannot be read whole is read for what it holds and never silently: UTF-16 text
// is read converted to 8-bit text, NUL bytes count as line ends, a last line cut short is not
// read; each time such a file is read the damage is reported to the process's observer, and
// a copy of the file as it was is kept as "schedule.ini.damaged" before anything rewrites it
// (common/store_damage.h). A UTF-8 byte-order mark is dropped without a word.
//
// Cross-process use: take the file-access lock (Lock, the named object
// "VeltaZoricFileAccMutexName") around every read that may be followed by a write, and around
// every write. Besides that, each single rewrite is serialised against other rewriters.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/guid.h"
#include "common/named_object.h"
#include "common/protocol.h"
#include "taskmodel/timestr.h"

namespace pondrel {

inline constexpr char kTaskFileName[] = "schedule.ini";
inline constexpr char kTaskTempFileName[] = "schedule.inibk";

// Field widths (bytes, including the terminating zero).
inline constexpr std::size_t kTaskNameSize = 257;  // names of 1..256 characters
inline constexpr std::size_t kDayOfWeekSize = 8;   // 7 characters "0"/"1", Sunday first
inline constexpr std::size_t kMaxTaskNameLen = kTaskNameSize - 1;

// TaskCycle: the schedule kind.
enum : std::int32_t {
  kCycleDays = 0,    // every TaskInterval days
  kCycleWeeks = 1,   // every TaskInterval weeks on the days of DayofWeek
  kCycleMonths = 2,  // monthly, see MonthUnit
  kCycleOnce = 3,    // once
};

// MonthUnit for kCycleMonths.
enum : std::int32_t {
  kMonthByWeekday = 0,  // TaskInterval = ordinal * 10 + weekday (ordinal 4 = last)
  kMonthByDay = 1,      // on day ActDayofMonth
};

// ActState: run state.
enum : std::int32_t {
  kStateRunning = 3,   // a downloader for the task was started and not yet reaped
  kStateWaiting = 5,   // idle; next run at NextTime
  kStateRerun = 6,     // the last run failed; a retry is due at NextTime
  kStateDisabled = 7,  // never started by the service
};

// ActResult: outcome of the last run.
enum : std::int32_t {
  kResultNone = 0,
  kResultSucceeded = 1,
  kResultFailed = 2,
  kResultAborted = 7,
  kResultStartFailed = 8,
  kResultRunning = 9,
};

// EndCode values set by the service itself (other values are downloader exit codes).
enum : std::int32_t {
  kEndCodeMissedRun = 9903,
  kEndCodeServerBusy = 9990,
  kEndCodeTooManyTasks = 9991,
  kEndCodeUnreadable = 9992,
  kEndCodeNoExitCode = 9999,
};

// Copies `text` into a fixed-width record field. Refuses (false, field unchanged) text that
// does not fit with its terminating zero, or that holds CR, LF or NUL (which would break the
// file's line structure).
bool SetTaskField(char* field, std::size_t size, std::string_view text);
template <std::size_t N>
bool SetTaskField(char (&field)[N], std::string_view text) {
  return SetTaskField(field, N, text);
}

// One task. Copied by value. Text fields are always zero-terminated within their width.
class CKVTask {
 public:
  CKVTask() = default;
  CKVTask(const CKVTask&) = default;
  CKVTask& operator=(const CKVTask&) = default;
  virtual ~CKVTask() = default;

  // 0 when the record is valid, -1 otherwise. Checked in this order:
  //  1. Name has 1..256 characters; StartTime has exactly 19 characters.
  //  2. TaskCycle 0..3, TaskInterval >= 0, MonthUnit 0/1, ActDayofMonth 1..31, ImageDelete 0/1,
  //     RasDisconnect 0/1, RetryCnt >= 0, RestRetryCnt >= 0, RetryInterval 1..99, Effect 0/1.
  //  3. ActState is 3, 5, 6 or 7 - otherwise ActState is SET TO 7 and the record is invalid.
  //  4. ActResult is 0, 1, 2, 7, 8 or 9 - otherwise ActResult is SET TO 9 and it is invalid.
  //  5. For TaskCycle 1, one of the first seven characters of DayofWeek is "1".
  // The first failing rule ends the check (later rules are not applied).
  int Validate();

  // Back to the defaults of a new record (all fields as initialised below).
  void Reset() { *this = CKVTask(); }

  // Sets Name; false (Name unchanged) when the name is longer than 256 characters or holds
  // CR/LF. An empty name is accepted (it marks "no task").
  bool SetName(std::string_view name) { return SetTaskField(Name, name); }
  bool HasName() const { return Name[0] != '\0'; }
  // ServerId as 32 lower-case hexadecimal digits.
  std::string ServerIdText() const { return GuidToHex(ServerId); }

  // Fields, in the order of the record; each comment names its key in the file.
  char Name[kTaskNameSize] = {};          // the section name
  char StartTime[kTimeStrSize] = {};      // "StartTime": first scheduled run
  std::int32_t TaskCycle = kCycleDays;    // "TaskCycle"
  std::int32_t TaskInterval = 1;          // "TaskInterval": days / weeks / ordinal*10+weekday
  char DayofWeek[kDayOfWeekSize] = {};    // "DayofWeek": "0100000" = Mondays
  std::int32_t MonthUnit = kMonthByDay;   // "MonthUnit"
  std::int32_t ActDayofMonth = 1;         // "ActDayofMonth"
  std::int32_t ImageDelete = 0;           // "ImageDelete": downloader option ",/d"
  std::int32_t RasDisconnect = 0;         // "RasDisconnect": downloader option ",/h"
  std::int32_t RetryCnt = 0;              // "RetryCnt": retries after a failed run
  std::int32_t RestRetryCnt = 0;          // "RestRetryCnt": retries left for this occurrence
  std::int32_t RetryInterval = 1;         // "RetryInterval": minutes between failure and retry
  std::int32_t Effect = 1;                // "Effect": 1 = in effect, 0 = never started
  char LastActTime[kTimeStrSize] = {};    // "LastActTime"
  std::int32_t ActState = kStateWaiting;  // "ActState"
  std::int32_t EndCode = 0;               // "EndCode"
  std::int32_t ActResult = kResultNone;   // "ActResult"
  char EndTime[kTimeStrSize] = {};        // "EndTime"
  char NextTime[kTimeStrSize] = {};       // "NextTime": empty = no further run
  std::int32_t LoopCnt = 0;               // "LoopCnt": extra runs per occurrence
  std::int8_t LoopInterval = 1;           // "LoopInterval": hours between those runs
  Guid ServerId;                          // "ServerId"
};

// The task store: reads and rewrites schedule.ini. Used by one thread; not copyable.
//
// Results: 0 success; -1 failure (also: no ROOT, so no file path - every file operation then
// fails); -2 as noted. None of the operations takes the file-access lock itself.
//
// Enumeration is linear: the store keeps the parsed file and re-reads it only when the file's
// identity, size or modification time changes, so a GetFirstTask/GetNextTask pass reads the
// file once (plus once after each rewrite it makes itself).
class CKVTaskMgr {
 public:
  // The file is "<ROOT>/schedule.ini" with ROOT from the registry (common/registry.h); a
  // ROOT that is not an absolute path leaves the store without a file path.
  CKVTaskMgr();
  // The file is "<root_dir>/schedule.ini" (a trailing "/" of root_dir is not doubled). An
  // empty root_dir, or a path over 259 characters, leaves the store without a file path.
  explicit CKVTaskMgr(std::string_view root_dir);
  CKVTaskMgr(const CKVTaskMgr&) = delete;
  CKVTaskMgr& operator=(const CKVTaskMgr&) = delete;
  virtual ~CKVTaskMgr();

  // Full path of schedule.ini; empty when the store has none.
  const std::string& FilePath() const { return path_; }

  // Reads the task `name` into *task. Only the keys present in the file are applied (other
  // fields keep their values), except ActResult, which is first set to 0. Name is set only
  // when the section was found (it holds at least one key line), so callers detect a missing
  // task by comparing task->Name with `name`.
  // 0 when the file was read, whether or not the section exists; -1 when the name is empty or
  // longer than 256 characters, there is no file path, or the file is missing or unreadable.
  int ReadTask(std::string_view name, CKVTask* task);

  // Enumeration. Each call resets *task to a new record's defaults and reads one task into it.
  // GetFirstTask: 0 and the first task; -1 when the file is missing or holds no readable
  // section; -2 when it cannot be read. GetNextTask: 0 and the next task; -1 at the end (or
  // missing file); -2 when it cannot be read. Sections whose name is empty, longer than 256
  // characters or repeats an earlier section's name are passed over.
  int GetFirstTask(CKVTask* task);
  int GetNextTask(CKVTask* task);

  // Writes the task's section: replaces the first section of that name in place (key lines
  // of later sections of the same name are dropped) or appends a new section. 0 on success and
  // also for an empty name (nothing written); -1 on failure (file unchanged), including text
  // fields holding CR/LF.
  int WriteTask(const CKVTask& task);

  // Writes several tasks in one rewrite of the file (one temporary file, one fsync, one rename,
  // so a crash leaves either every change or none): each task replaces its section as
  // WriteTask does; tasks not in the file are appended in the given order. Tasks without a
  // name are passed over. 0 on success (also for none); -1 on failure (file unchanged).
  // Two tasks of one name: the first is written.
  int WriteTasks(const std::vector<CKVTask>& tasks);

  // Removes every section of that name. 0 on success, for an empty name, for a missing file
  // and for a name not in the file; -1 on failure (file unchanged).
  int DeleteTask(std::string_view name);

  // Puts the task's section (under task.Name) where the section `old_name` was, removing the
  // old one: editing and renaming in the Task View. -2 when the stored task `old_name` is
  // running (ActState 3); 0 on success; -1 on failure. When `old_name` is not in the file (or
  // the file is missing) the task is appended, so an edit is never lost; an empty `old_name`
  // behaves as WriteTask. -1 also for a task without a name.
  int ReplaceTask(std::string_view old_name, const CKVTask& task);

  // All readable tasks in file order (as GetFirstTask/GetNextTask would give them).
  // 0 (possibly none), -1 when the file is missing or there is no path, -2 unreadable.
  int ReadAllTasks(std::vector<CKVTask>* tasks);

  // Takes the file-access lock "VeltaZoricFileAccMutexName". timeout_ms < 0 waits without
  // limit, 0 tries once, > 0 retries every 100 ms until that many ms have passed; `abort`
  // (optional) ends a wait early. True when the lock is now held by this store; false when it
  // was not obtained or this store already holds it (the lock is not re-entrant).
  bool Lock(int timeout_ms, const std::atomic<bool>* abort = nullptr);
  // Releases the lock if this store holds it.
  void Unlock();
  bool IsLocked() const { return lock_.held(); }

 private:
  struct ParsedFile;  // the parsed text of schedule.ini
  int LoadFile(std::shared_ptr<const ParsedFile>* out);
  int ReadTaskFrom(const ParsedFile& file, std::string_view name, CKVTask* task) const;
  int EnumerateFrom(int section, CKVTask* task);
  struct SectionEdit {
    std::string_view name;
    const CKVTask* task = nullptr;
    bool found = false;
  };
  using EditIndex = std::unordered_map<std::string_view, std::size_t>;  // name -> its edit
  int Rewrite(std::vector<SectionEdit>& edits, bool place_at_old, bool append_missing);
  // Copies the file's lines to *out with the edits made where their sections are; true when a
  // section of an edit was found.
  static bool CopyWithEdits(const ParsedFile& file, std::vector<SectionEdit>& edits,
                            const EditIndex& edit_of, bool place_at_old, std::string* out);
  void KeepWritten(std::string text, mode_t mode);
  int Rewrite(std::string_view name, const CKVTask* task, bool place_at_old, bool append_missing);
  void RecoverFromTempFile();

  std::string path_;
  std::string temp_path_;
  std::string dir_;
  int cursor_ = 0;  // number of the next section to enumerate
  NamedLock lock_{kTaskFileLockName};
  std::shared_ptr<const ParsedFile> cache_;
  bool rewriting_ = false;  // a rewrite holds the directory guard
};

// Holds the file-access lock of a store for a scope.
//   TaskFileLock lock(mgr, -1);
//   if (lock.held()) { mgr.ReadTask(...); ...; mgr.WriteTask(...); }
class TaskFileLock {
 public:
  TaskFileLock(CKVTaskMgr& mgr, int timeout_ms, const std::atomic<bool>* abort = nullptr)
      : mgr_(mgr), held_(mgr.Lock(timeout_ms, abort)) {}
  TaskFileLock(const TaskFileLock&) = delete;
  TaskFileLock& operator=(const TaskFileLock&) = delete;
  ~TaskFileLock() {
    if (held_) mgr_.Unlock();
  }
  bool held() const { return held_; }

 private:
  CKVTaskMgr& mgr_;
  bool held_;
};

}  // namespace pondrel
