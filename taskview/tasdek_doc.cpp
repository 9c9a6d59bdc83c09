#include "taskview/tasdek_doc.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <tuple>

#include "common/protocol.h"
#include "servers/srvmgr.h"
#include "taskmodel/timestr.h"

namespace pondrel::tasdek {
namespace {

constexpr const char* kDayNames[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kOrdinals[5] = {"first", "second", "third", "fourth", "final"};

// A time string shown as "%Y/%m/%d %H:%M"; empty when unset or unreadable.
std::string ShortTime(const char* time_str) {
  std::tm tm{};
  if (time_str[0] == '\0' || !ParseTimeStr(time_str, &tm)) return "";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d/%02d/%02d %02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour, tm.tm_min);
  return buf;
}

// The numeric time of a time string; -1 when unset or unreadable.
long long NumericTime(const char* time_str) {
  std::time_t t;
  if (time_str[0] == '\0' || !TimeStrToTime(time_str, &t)) return -1;
  return static_cast<long long>(t);
}

// The file-access lock for one document operation. When the caller already holds the lock
// through the document's store (a read-modify-write spanning several operations), it is used
// as it is and left held.
class DocFileLock {
 public:
  explicit DocFileLock(CKVTaskMgr& store)
      : store_(store), mine_(!store.IsLocked() && store.Lock(-1)) {}
  DocFileLock(const DocFileLock&) = delete;
  DocFileLock& operator=(const DocFileLock&) = delete;
  ~DocFileLock() {
    if (mine_) store_.Unlock();
  }
  bool held() const { return store_.IsLocked(); }

 private:
  CKVTaskMgr& store_;
  bool mine_;
};

// The name of a stored server profile; "" when it cannot be read. A new or edited row shows
// the name of the server that its task now has, as the editor's selection named it.
std::string StoredServerName(const Guid& id) {
  CKVSrvMgr srv;
  CKVSrvInfo p;
  if (!srv.Init() || srv.FindById(id, &p, kSrvMaskName) != SrvResult::SRV_OK) return "";
  return p.GetServerName();
}

}  // namespace

DocResult CTasdekDoc::LoadTasks() {
  FreeTasks();
  if (store_.FilePath().empty()) return DocResult::kReadError;
  std::vector<CKVTask> read;
  {
    DocFileLock lock(store_);
    int r = store_.ReadAllTasks(&read);
    if (r == -1) {
      // A missing file, or one without a section, is an empty list.
      read.clear();
    } else if (r != 0) {
      return DocResult::kReadError;
    }
  }
  for (CKVTask& t : read) {
    TaskEntry e;
    e.task = t;
    CKVTask check(t);
    e.invalid = check.Validate() != 0;
    file_names_.insert(t.Name);
    tasks_.push_back(std::move(e));
  }
  const DocResult result = ResolveServers();

  CKVSrvMgr srv;
  bool more = false;
  if (srv.Init() && srv.LoadAll(&more, kSrvMaskNameAndDir) == SrvResult::SRV_OK) {
    const auto& profiles = srv.Loaded();
    std::erase_if(tasks_, [&profiles](const TaskEntry& e) {
      return std::none_of(profiles.begin(), profiles.end(),
                          [&e](const CKVSrvInfo& p) { return p.GetId() == e.task.ServerId; });
    });
  }
  return result;
}

void CTasdekDoc::FreeTasks() {
  tasks_.clear();
  file_names_.clear();
}

TaskEntry* CTasdekDoc::FindTask(std::string_view name) {
  for (TaskEntry& e : tasks_) {
    if (name == e.task.Name) return &e;
  }
  return nullptr;
}

const TaskEntry* CTasdekDoc::FindTask(std::string_view name) const {
  return const_cast<CTasdekDoc*>(this)->FindTask(name);
}

bool CTasdekDoc::NameInUse(std::string_view name) const {
  return FindTask(name) != nullptr || file_names_.find(name) != file_names_.end();
}

DocResult CTasdekDoc::AddTask(const CKVTask& task) {
  {
    DocFileLock lock(store_);
    if (!lock.held()) return DocResult::kWriteError;
    // WriteTask replaces a section of the same name; a new task must never overwrite one
    // that another program (or a task hidden from the list) holds.
    CKVTask stored;
    if (store_.ReadTask(task.Name, &stored) == 0 && std::strcmp(stored.Name, task.Name) == 0) {
      return DocResult::kNameExists;
    }
    if (store_.WriteTask(task) != 0) return DocResult::kWriteError;
  }
  TaskEntry e;
  e.task = task;
  e.server_name = StoredServerName(task.ServerId);
  file_names_.insert(task.Name);
  tasks_.push_back(std::move(e));
  return DocResult::kOk;
}

DocResult CTasdekDoc::ModifyTask(std::string_view old_name, const CKVTask& task) {
  TaskEntry* entry = FindTask(old_name);
  if (!entry) return DocResult::kOk;
  {
    DocFileLock lock(store_);
    if (!lock.held()) return DocResult::kWriteError;
    if (old_name != task.Name) {
      CKVTask stored;
      if (store_.ReadTask(task.Name, &stored) == 0 && std::strcmp(stored.Name, task.Name) == 0) {
        return DocResult::kNameExists;
      }
    }
    const int r = store_.ReplaceTask(old_name, task);
    if (r == -2) return DocResult::kTaskRunning;
    if (r != 0) return DocResult::kWriteError;
  }
  if (auto it = file_names_.find(old_name); it != file_names_.end()) file_names_.erase(it);
  file_names_.insert(task.Name);
  if (!(entry->task.ServerId == task.ServerId))
    entry->server_name = StoredServerName(task.ServerId);
  entry->task = task;
  return DocResult::kOk;
}

DocResult CTasdekDoc::DeleteTask(std::string_view name) {
  {
    DocFileLock lock(store_);
    if (!lock.held()) return DocResult::kWriteError;
    CKVTask stored;
    if (store_.ReadTask(name, &stored) == 0 && name == stored.Name &&
        stored.ActState == kStateRunning) {
      return DocResult::kTaskRunning;
    }
    if (store_.DeleteTask(name) != 0) return DocResult::kWriteError;
  }
  if (auto it = file_names_.find(name); it != file_names_.end()) file_names_.erase(it);
  std::erase_if(tasks_, [name](const TaskEntry& e) { return name == e.task.Name; });
  return DocResult::kOk;
}

DocResult CTasdekDoc::ReloadTask(std::string_view name) {
  TaskEntry* entry = FindTask(name);
  if (!entry) return DocResult::kOk;
  CKVTask copy(entry->task);
  int r;
  {
    DocFileLock lock(store_);
    r = store_.ReadTask(name, &copy);
  }
  if (r != 0) return DocResult::kReadError;
  entry->task = copy;
  return DocResult::kOk;
}

DocResult CTasdekDoc::ResolveServers() {
  CKVSrvMgr srv;
  if (!srv.Init()) return DocResult::kReadError;
  bool more = false;
  const SrvResult r = srv.LoadAll(&more, kSrvMaskNameAndDeleteFlag);
  if (r == SrvResult::SRV_ERR_MEMORY) return DocResult::kNoMemory;
  if (r != SrvResult::SRV_OK) return DocResult::kReadError;
  for (TaskEntry& e : tasks_) {
    CKVSrvInfo p;
    if (srv.FindInLoaded(e.task.ServerId, &p) != SrvResult::SRV_OK) {
      e.invalid = true;
      continue;
    }
    e.server_name = p.GetServerName();
    e.task.ImageDelete = p.GetDeleteImagesOnServer() ? 1 : 0;
  }
  return DocResult::kOk;
}

bool CTasdekDoc::IsServerRunning(const Guid& server_id) const {
  return std::any_of(tasks_.begin(), tasks_.end(), [&server_id](const TaskEntry& e) {
    return e.task.ServerId == server_id && e.task.ActState == kStateRunning;
  });
}

DocResult CTasdekDoc::DeleteServerTasks(const Guid& server_id) {
  std::vector<std::string> names;
  for (const TaskEntry& e : tasks_) {
    if (e.task.ServerId == server_id) names.emplace_back(e.task.Name);
  }
  DocResult first_failure = DocResult::kOk;
  for (const std::string& n : names) {
    const DocResult r = DeleteTask(n);
    if (r != DocResult::kOk && first_failure == DocResult::kOk) first_failure = r;
  }
  return first_failure;
}

bool ParseTaskChangedMessage(std::string_view message, std::string* task_name) {
  return ParseTaskChanged(message, task_name);
}

std::string DescribeSchedule(const CKVTask& t) {
  std::string start = t.StartTime;
  if (start.size() > 10) start[10] = ' ';
  if (start.size() > 13) start[13] = ':';
  if (start.size() > 16) start[16] = ':';
  std::string s = "Start Time:" + start + " ";
  char buf[128];
  switch (t.TaskCycle) {
    case kCycleDays:
      if (t.TaskInterval == 1) {
        s += "Interval:every day, ";
      } else {
        std::snprintf(buf, sizeof buf, "Interval:every %d days, ", t.TaskInterval);
        s += buf;
      }
      break;
    case kCycleWeeks: {
      if (t.TaskInterval == 1) {
        s += "Interval:every ";
      } else {
        std::snprintf(buf, sizeof buf, "Interval:every %d weeks on ", t.TaskInterval);
        s += buf;
      }
      bool all = true;
      for (int d = 0; d < 7; ++d) all = all && t.DayofWeek[d] == '1';
      if (all) {
        s += "7 days of week, ";
      } else {
        for (int d = 0; d < 7 && t.DayofWeek[d] != '\0'; ++d) {
          if (t.DayofWeek[d] == '1') s += std::string(kDayNames[d]) + ", ";
        }
      }
      break;
    }
    case kCycleMonths:
      if (t.MonthUnit == kMonthByDay) {
        std::snprintf(buf, sizeof buf, "Execution Date:day %d of every month, ", t.ActDayofMonth);
        s += buf;
      } else if (t.MonthUnit == kMonthByWeekday) {
        const int ordinal = t.TaskInterval / 10, weekday = t.TaskInterval % 10;
        const char* o = ordinal >= 0 && ordinal < 5 ? kOrdinals[ordinal] : "";
        const char* w = weekday >= 0 && weekday < 7 ? kDayNames[weekday] : "";
        std::snprintf(buf, sizeof buf, "Interval:the %s %s of every month, ", o, w);
        s += buf;
      }
      break;
    default: break;
  }
  return s;
}

std::string NextRunText(const CKVTask& t) { return ShortTime(t.NextTime); }

std::string LastResultText(const CKVTask& t) {
  const char* word = nullptr;
  const char* when = t.EndTime;
  switch (t.ActResult) {
    case kResultSucceeded: word = "Succeeded"; break;
    case kResultFailed: word = "Failed"; break;
    case kResultAborted: word = "Aborted"; break;
    case kResultStartFailed:
      word = "Failed to start";
      when = t.LastActTime;
      break;
    default: return "";
  }
  const std::string time = ShortTime(when);
  return time.empty() ? std::string(word) : std::string(word) + "(" + time + ")";
}

int StatusImage(const TaskEntry& e) {
  if (e.task.Effect != 1) return 1;
  if (e.invalid) return 2;
  if (e.task.ActState == kStateRunning) return 3;
  if (e.task.TaskCycle == kCycleOnce) return e.task.NextTime[0] != '\0' ? 4 : 0;
  return 4;
}

std::string ColumnText(const TaskEntry& e, int column) {
  switch (column) {
    case kColTaskName: return e.task.Name;
    case kColServerName: return e.server_name;
    case kColNextRunTime: return NextRunText(e.task);
    case kColLastResult: return LastResultText(e.task);
    case kColSchedule: return DescribeSchedule(e.task);
    default: return "";
  }
}

namespace {

// What a column sorts by, as one value that compares lexicographically: the text for the two
// name columns, else a run of numbers (an unset time counts as -1).
using SortKey = std::tuple<std::string, long long, long long, long long, long long, long long>;

SortKey MakeSortKey(const TaskEntry& e, int column) {
  const CKVTask& t = e.task;
  switch (column) {
    case kColTaskName: return {t.Name, 0, 0, 0, 0, 0};
    case kColServerName: return {e.server_name, 0, 0, 0, 0, 0};
    case kColNextRunTime: return {"", NumericTime(t.NextTime), 0, 0, 0, 0};
    case kColLastResult: return {"", t.ActResult, NumericTime(t.LastActTime), 0, 0, 0};
    case kColSchedule: {
      long long x1 = 0, x2 = 0, x3 = 0;
      if (t.TaskCycle == kCycleDays || t.TaskCycle == kCycleWeeks) {
        x1 = t.TaskInterval;
      } else if (t.TaskCycle == kCycleMonths) {
        x1 = t.MonthUnit;
        if (t.MonthUnit == kMonthByDay) {
          x2 = t.ActDayofMonth;
        } else {
          x2 = t.TaskInterval / 10;
          x3 = t.TaskInterval % 10;
        }
      }
      return {"", NumericTime(t.StartTime), t.TaskCycle, x1, x2, x3};
    }
    default: return {};
  }
}

}  // namespace

int CompareTaskRows(const TaskEntry& a, const TaskEntry& b, int column) {
  const SortKey x = MakeSortKey(a, column), y = MakeSortKey(b, column);
  return x < y ? -1 : (y < x ? 1 : 0);
}

DocResult TaskListModel::Refresh() {
  const DocResult r = doc_->LoadTasks();
  Rebuild();
  return r;
}

void TaskListModel::SetServerFilter(const Guid* server_id) {
  filtered_ = server_id != nullptr;
  filter_id_ = server_id ? *server_id : Guid{};
  Rebuild();
}

void TaskListModel::Rebuild() {
  rows_.clear();
  const auto& tasks = doc_->Tasks();
  for (std::size_t i = 0; i < tasks.size(); ++i) {
    if (!filtered_ || tasks[i].task.ServerId == filter_id_) rows_.push_back(i);
  }
}

bool CHeaderClicks::Click(int column) {
  bool descending;
  if (column != column_) {
    descending = false;
    next_descending_ = true;
  } else {
    descending = next_descending_;
    next_descending_ = !next_descending_;
  }
  column_ = column;
  last_descending_ = descending;
  return descending;
}

void TaskListModel::ClickColumn(int column) { SortRows(column, clicks_.Click(column)); }

void TaskListModel::RebuildKeepingSort() {
  Rebuild();
  if (clicks_.Column() >= 0) SortRows(clicks_.Column(), clicks_.LastDescending());
}

int TaskListModel::FindRow(std::string_view name) const {
  const auto& tasks = doc_->Tasks();
  for (std::size_t i = 0; i < rows_.size(); ++i) {
    if (name == tasks[rows_[i]].task.Name) return static_cast<int>(i);
  }
  return -1;
}

void TaskListModel::SortRows(int column, bool descending) {
  // Each row's key is made once: time strings are converted per row, not per comparison.
  const auto& tasks = doc_->Tasks();
  std::vector<std::pair<SortKey, std::size_t>> keyed;
  keyed.reserve(rows_.size());
  for (std::size_t r : rows_) keyed.emplace_back(MakeSortKey(tasks[r], column), r);
  std::stable_sort(keyed.begin(), keyed.end(), [descending](const auto& a, const auto& b) {
    return descending ? b.first < a.first : a.first < b.first;
  });
  for (std::size_t i = 0; i < keyed.size(); ++i) rows_[i] = keyed[i].second;
}

}  // namespace pondrel::tasdek
