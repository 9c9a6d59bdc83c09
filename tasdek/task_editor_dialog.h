// "Task Settings": the task editor dialog on the toolkit-free editor form.
#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QDialog>
#include <QLineEdit>
#include <QRadioButton>
#include <QTimeEdit>
#include <string>

#include "tasdek/spin_edit.h"
#include "taskview/task_editor.h"

class QGridLayout;
class QGroupBox;

namespace pondrel::tasdek {

class CTaskEditorDialog : public QDialog {
  Q_OBJECT
 public:
  // Edits `task` (a fresh record for a new task). `server_name` is the task's resolved server
  // name; `filter` limits the server list to the view's filter server (null: all).
  CTaskEditorDialog(const CKVTask& task, const std::string& server_name, const CTasdekDoc& doc,
                    const Guid* filter, QWidget* parent = nullptr);

  // After OK: the edited task.
  const CKVTask& Result() const { return result_; }

  // OK as the button does it: validates, shows the first failure's message and stays open,
  // else accepts. The editor code.
  EditorResult TryAccept();
  // The controls as a form.
  TaskEditorForm FormFromControls() const;
  // Enabling of the controls that depend on the radios and boxes.
  void UpdateEnabling();

  QLineEdit* name;
  QCheckBox* enabled;
  QComboBox* server;
  QDateEdit* start_date;
  QTimeEdit* start_time;
  QRadioButton* once;
  QRadioButton* daily;
  QRadioButton* weekly;
  QRadioButton* monthly;
  CSpinEdit* daily_days;
  CSpinEdit* weekly_weeks;
  QCheckBox* weekdays[7];
  QRadioButton* rule_day;
  QRadioButton* rule_the;
  CSpinEdit* month_day;
  QComboBox* ordinal;
  QComboBox* weekday;
  QCheckBox* repeat;
  CSpinEdit* repeat_hours;
  CSpinEdit* repeat_times;
  QCheckBox* retry;
  CSpinEdit* retry_minutes;
  CSpinEdit* retry_times;
  QCheckBox* disconnect;

 private:
  void BuildControls();
  QGridLayout* BuildTaskRows();  // name, enabled box, server, start date and time
  QGroupBox* BuildScheduleGroup();
  void AddWeeklyRows(QGroupBox* sched, QGridLayout* g);
  void AddMonthlyRows(QGroupBox* sched, QGridLayout* g);
  QGridLayout* BuildRepeatAndRetryRows();
  void ConnectControls();
  void LoadControls(const TaskEditorForm& f);
  void UpdateDisconnect();

  const CTasdekDoc& doc_;
  TaskEditorForm form_;
  std::string original_name_;
  CKVTask result_;
  QList<QWidget*> daily_fields_, weekly_fields_, day_fields_, the_fields_, repeat_fields_,
      retry_fields_;
};

}  // namespace pondrel::tasdek
