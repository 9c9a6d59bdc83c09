// The Filter dialog: task, server, level or code, start and end; its enabling rules and the
// checks of its OK button, in their order, with the focus on the control at fault.
#pragma once

#include <QDialog>

#include "logviewer/log_document.h"

class QCheckBox;
class QDateTimeEdit;
class QGroupBox;
class QLineEdit;
class QRadioButton;

namespace pondrel::lorvik {

class CFilterDialog : public QDialog {
  Q_OBJECT

 public:
  CFilterDialog(const logviewer::LogFilter& filter, QWidget* parent = nullptr);

  // The filter after OK.
  const logviewer::LogFilter& filter() const { return filter_; }

  void accept() override;

  // The controls, by name, for tests and screenshots.
  QCheckBox* task_check;
  QLineEdit* task_edit;
  QCheckBox* server_check;
  QLineEdit* server_edit;
  QRadioButton* priority_radio;
  QRadioButton* code_radio;
  QRadioButton* none_radio;
  QCheckBox* error_check;
  QCheckBox* warning_check;
  QCheckBox* info_check;
  QLineEdit* code_edit;
  QCheckBox* start_check;
  QDateTimeEdit* start_edit;
  QCheckBox* end_check;
  QDateTimeEdit* end_edit;

 private:
  QGroupBox* BuildErrorTypeGroup(const logviewer::LogFilter& filter);
  void UpdateEnabling();
  logviewer::LogFilter filter_;
};

}  // namespace pondrel::lorvik
