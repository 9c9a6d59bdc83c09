// The task editor ("Task Settings") without its window: the controls as a form, how the form
// is filled from a task, the OK validation with its codes and messages, and the list commands
// New, Edit, Duplicate and Delete on the document.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common/guid.h"
#include "taskmodel/kvtask.h"
#include "taskview/tasdek_doc.h"

namespace pondrel::tasdek {

// What the editor answers: 1-13 from OK (in the order OK checks), 14-15 from filling the
// server list.
enum class [[nodiscard]] EditorResult : int{
    kOk = 0,          kNameMissing = 1,    kNameFormat = 2,      kNameChars = 3,
    kNameExists = 4,  kNoServer = 5,       kDayRange = 6,        kWeekRange = 7,
    kNoWeekday = 8,   kMonthDayRange = 9,  kRepeatInterval = 10, kRepeatTimes = 11,
    kRetryTimes = 12, kRetryInterval = 13, kReadFailed = 14,     kNoMemory = 15,
};

// Repetition radio buttons.
enum : int { kRepOnce = 0, kRepDaily = 1, kRepWeekly = 2, kRepMonthly = 3 };
// Monthly rule radio buttons.
enum : int { kRuleDay = 0, kRuleWeekday = 1 };

struct ServerChoice {
  Guid id;
  std::string name;
};

// What the dialog's controls hold. Numeric edits are texts as typed.
struct TaskEditorForm {
  std::string name;
  bool enabled = true;
  std::vector<ServerChoice> servers;  // the drop-down's entries, in store order
  int server_index = -1;              // selection; -1 = none
  // Start date and time (seconds are always 0).
  int year = 1971, month = 1, day = 1, hour = 0, minute = 0;
  int repetition = kRepDaily;
  std::string daily_days = "1";
  std::string weekly_weeks = "1";
  bool weekdays[7] = {};  // Sunday first
  int monthly_rule = kRuleDay;
  std::string month_day = "1";
  int ordinal = 0;  // "first" .. "final"
  int weekday = 0;  // "Sunday" .. "Saturday"
  bool repeat = false;
  std::string repeat_hours = "1";
  std::string repeat_times = "1";
  bool retry = false;
  std::string retry_minutes = "1";
  std::string retry_times = "1";
  bool disconnect = false;
};

// Fills the server drop-down (profiles in store order; with a filter only that server).
// kOk, kReadFailed or kNoMemory.
EditorResult LoadEditorServers(TaskEditorForm* form, const Guid* filter);

// Shows a task in the form as the dialog does when it opens (the current time when
// StartTime is unset). The server entry whose text equals `server_name` is selected, else the
// first.
void FormFromTask(const CKVTask& task, const std::string& server_name, TaskEditorForm* form);

// Whether the selected server's profile dials up (the "Disconnect after ..." box is enabled
// only then).
bool SelectedServerUsesPpp(const TaskEditorForm& form);

// OK: builds the task from the form into *out (a fresh record with the form's values,
// ActState 5, ActResult 0). `original_name` is the name the task had when the dialog opened
// ("" for a new task). The first failing step gives its code and leaves *out unspecified.
EditorResult ApplyTaskEditor(const TaskEditorForm& form, std::string_view original_name,
                             const CTasdekDoc& doc, CKVTask* out);

// The message of an editor result; `entered_name` fills kNameFormat's.
std::string TaskEditorMessage(EditorResult code, std::string_view entered_name);

// Name of a duplicate: "Untitled", else "Untitled0", "Untitled1", ... the first that no task
// of the document has; "" when none is free.
std::string DuplicateName(const CTasdekDoc& doc);
// The copy that Duplicate stores: new name, disabled, no result, no run times but NextTime.
CKVTask MakeDuplicate(const CKVTask& source, std::string_view new_name);

// New Task after OK: computes the run times and adds the task. The document's result.
DocResult AddEditedTask(CTasdekDoc* doc, CKVTask task);
// Edit Task after OK: computes the run times and replaces the task named `old_name`.
DocResult ModifyEditedTask(CTasdekDoc* doc, std::string_view old_name, CKVTask task);

}  // namespace pondrel::tasdek
