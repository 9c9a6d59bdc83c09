// CTasdekDoc: the Task View's document - the tasks of schedule.ini with their resolved server
// names, and every change to that file on the Task View's behalf, each under the file-access
// lock. TaskListModel: the task list as the view shows it (server filter, sorting, the five
// column texts and the status image), free of any toolkit.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "common/guid.h"
#include "taskmodel/kvtask.h"

namespace pondrel::tasdek {

// The document's results. Their numbers are the Task View's error codes (ErrorText) and what
// the automation object's DeleteServer answers: ResultCode.
enum class [[nodiscard]] DocResult : int{
    kOk = 0,          kReadError = 1, kWriteError = 2, kNoMemory = 3,
    kNameExists = 4,  // the file already holds a task of that name (see AddTask)
    kTaskRunning = 7,
};
constexpr int ResultCode(DocResult r) { return static_cast<int>(r); }

// One record of the list: the task as read, its server's name, and the invalid mark.
struct TaskEntry {
  CKVTask task;
  std::string server_name;
  bool invalid = false;
};

class CTasdekDoc {
 public:
  CTasdekDoc() = default;
  // A document on "<root_dir>/schedule.ini" instead of ROOT's (tests, tools).
  explicit CTasdekDoc(std::string_view root_dir) : store_(root_dir) {}
  CTasdekDoc(const CTasdekDoc&) = delete;
  CTasdekDoc& operator=(const CTasdekDoc&) = delete;

  // Reads every task under the file-access lock (waiting as long as it takes), marks those
  // that fail the store's validity check, resolves their servers and leaves out of the list
  // (not the file) the tasks whose server profile no longer exists. A missing or empty file
  // gives an empty list and kOk; otherwise kOk, kReadError or kNoMemory.
  DocResult LoadTasks();
  void FreeTasks();

  const std::vector<TaskEntry>& Tasks() const { return tasks_; }
  // The task with exactly this name (case-sensitive), or null.
  TaskEntry* FindTask(std::string_view name);
  const TaskEntry* FindTask(std::string_view name) const;
  // Whether any task of the file has this name, listed or not (a task whose server is gone
  // stays in the file though the list leaves it out).
  bool NameInUse(std::string_view name) const;

  // Appends the task to the file, then to the list. kWriteError when the file operation
  // fails; kNameExists when the file already holds a task of that name (it is never
  // overwritten).
  DocResult AddTask(const CKVTask& task);
  // Replaces the section of `old_name` with the task. kTaskRunning when the stored task is
  // running, kNameExists when a rename would take the name of another task of the file,
  // kWriteError on another failure. A name not in the list does nothing and succeeds.
  DocResult ModifyTask(std::string_view old_name, const CKVTask& task);
  // Removes the task from the file, then from the list. kTaskRunning when the stored task is
  // running (the service would write it back when its run ends), kWriteError on failure. A
  // name not in the list succeeds.
  DocResult DeleteTask(std::string_view name);
  // Reads the named task's section over its list record (keeping its server name and invalid
  // mark). kOk, or kReadError when the file could not be read (the record keeps its values).
  DocResult ReloadTask(std::string_view name);
  // Fills each task's server name and image-deletion flag from its profile; a task whose
  // server is not stored gets the invalid mark. kOk, kReadError or kNoMemory.
  DocResult ResolveServers();
  // True when a task of the list uses that server and is running.
  bool IsServerRunning(const Guid& server_id) const;
  // Deletes every task of that server from the file and the list; the first failure is the
  // result.
  DocResult DeleteServerTasks(const Guid& server_id);

  // The store; holding its lock (TaskFileLock) around several operations makes them one
  // read-modify-write: the operations then use the held lock instead of taking it again.
  CKVTaskMgr& Store() { return store_; }

 private:
  CKVTaskMgr store_;
  std::vector<TaskEntry> tasks_;
  std::set<std::string, std::less<>> file_names_;
};

// A message read from the Task View's mailslot: "ZORIC:01:" announcing a changed task names it
// after its last ":". False for every other message (which the Task View ignores).
bool ParseTaskChangedMessage(std::string_view message, std::string* task_name);

// The Schedule column, e.g. "Start Time:2002/01/15 10:30:00 Interval:every 7 days of week, ".
std::string DescribeSchedule(const CKVTask& task);
// "Next Run Time": NextTime as "%Y/%m/%d %H:%M", empty when unset.
std::string NextRunText(const CKVTask& task);
// "Last Result": "Succeeded(2003/04/05 06:07)", "Failed to start(...)", ...; empty for none.
std::string LastResultText(const CKVTask& task);
// The status image 0-4 of a row.
int StatusImage(const TaskEntry& entry);

// Column numbers of the task list.
enum TaskColumn : int {
  kColTaskName = 0,
  kColServerName = 1,
  kColNextRunTime = 2,
  kColLastResult = 3,
  kColSchedule = 4,
};
inline constexpr const char* kTaskColumnHeaders[5] = {"Task Name", "Server Name", "Next Run Time",
                                                      "Last Result", "Schedule"};
std::string ColumnText(const TaskEntry& entry, int column);
// Ascending order of two rows by a column: negative, 0 or positive.
int CompareTaskRows(const TaskEntry& a, const TaskEntry& b, int column);

// What header clicks mean for the order of a list: a click on another column, or the click
// after a descending sort, sorts ascending; a second click on the same column sorts descending.
class CHeaderClicks {
 public:
  // A click on `column`: true when it sorts descending.
  bool Click(int column);
  int Column() const { return column_; }  // -1 before the first click
  bool LastDescending() const { return last_descending_; }

 private:
  int column_ = -1;
  bool next_descending_ = false;
  bool last_descending_ = false;
};

// The list as the view shows it: rows point into the document; a server filter; sorting by
// header clicks (a click on another column, or after a descending sort, sorts ascending; a
// second click on the same column sorts descending).
class TaskListModel {
 public:
  explicit TaskListModel(CTasdekDoc* doc) : doc_(doc) {}

  // Reloads the document and rebuilds the rows in list order, keeping the filter and the sort
  // state (the next click on the last sorted column follows from it). The document's result.
  DocResult Refresh();
  // Sets (or with null clears) the server filter and rebuilds the rows from the document.
  void SetServerFilter(const Guid* server_id);
  bool HasServerFilter() const { return filtered_; }
  const Guid& ServerFilter() const { return filter_id_; }
  // A click on a column header.
  void ClickColumn(int column);
  // Rebuilds the rows after the document added or removed tasks, in the order of the last
  // sort (document order when none), without reading the file and without changing what the
  // next header click does.
  void RebuildKeepingSort();
  // The row showing the task of exactly this name, or -1.
  int FindRow(std::string_view name) const;

  std::size_t RowCount() const { return rows_.size(); }
  const TaskEntry& Row(std::size_t i) const { return doc_->Tasks()[rows_[i]]; }
  std::string Text(std::size_t row, int column) const { return ColumnText(Row(row), column); }

 private:
  void Rebuild();
  void SortRows(int column, bool descending);
  CTasdekDoc* doc_;
  std::vector<std::size_t> rows_;
  bool filtered_ = false;
  Guid filter_id_;
  CHeaderClicks clicks_;
};

}  // namespace pondrel::tasdek
