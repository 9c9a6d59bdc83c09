#include "logviewer/app/filter_dialog.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QDateTimeEdit>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QRadioButton>
#include <QVBoxLayout>

#include "logviewer/app/message_presenter.h"

namespace pondrel::lorvik {
namespace {

using logviewer::kLevelBitError;
using logviewer::kLevelBitInfo;
using logviewer::kLevelBitWarning;

QDateTimeEdit* MakePicker(QWidget* parent, std::time_t t) {
  auto* edit = new QDateTimeEdit(parent);
  edit->setDisplayFormat(QStringLiteral("yyyy/MM/dd HH:mm:ss"));
  edit->setDateTimeRange(QDateTime(QDate(1971, 1, 1), QTime(0, 0, 0)),
                         QDateTime(QDate(2037, 12, 31), QTime(23, 59, 59)));
  // A picker whose time is not set shows the current time.
  edit->setDateTime(t != 0 ? QDateTime::fromSecsSinceEpoch(t) : QDateTime::currentDateTime());
  return edit;
}

}  // namespace

// "Error Type": by priority (the level boxes), by code, or not at all.
QGroupBox* CFilterDialog::BuildErrorTypeGroup(const logviewer::LogFilter& filter) {
  auto* type_box = new QGroupBox(QStringLiteral("Error Type"), this);
  priority_radio = new QRadioButton(QStringLiteral("Specify Priority"), type_box);
  code_radio = new QRadioButton(QStringLiteral("Specify Code :"), type_box);
  none_radio = new QRadioButton(QStringLiteral("Not Specified"), type_box);
  auto* group = new QButtonGroup(this);
  for (QRadioButton* r : {priority_radio, code_radio, none_radio}) group->addButton(r);
  error_check = new QCheckBox(QStringLiteral("Error"), type_box);
  warning_check = new QCheckBox(QStringLiteral("Warning"), type_box);
  info_check = new QCheckBox(QStringLiteral("Information"), type_box);
  error_check->setChecked(filter.levels & kLevelBitError);
  warning_check->setChecked(filter.levels & kLevelBitWarning);
  info_check->setChecked(filter.levels & kLevelBitInfo);
  code_edit = new QLineEdit(QString::fromStdString(filter.code), type_box);
  code_edit->setMaxLength(4);
  code_edit->setFixedWidth(code_edit->fontMetrics().horizontalAdvance(QStringLiteral("W0000")) +
                           16);
  if (filter.levels != 0)
    priority_radio->setChecked(true);
  else if (!filter.code.empty())
    code_radio->setChecked(true);
  else
    none_radio->setChecked(true);

  auto* levels = new QHBoxLayout;
  levels->addSpacing(20);
  levels->addWidget(error_check);
  levels->addWidget(warning_check);
  levels->addWidget(info_check);
  levels->addStretch();
  auto* code_row = new QHBoxLayout;
  code_row->addWidget(code_radio);
  code_row->addWidget(code_edit);
  code_row->addStretch();
  auto* type_layout = new QVBoxLayout(type_box);
  type_layout->addWidget(priority_radio);
  type_layout->addLayout(levels);
  type_layout->addLayout(code_row);
  type_layout->addWidget(none_radio);
  return type_box;
}

CFilterDialog::CFilterDialog(const logviewer::LogFilter& filter, QWidget* parent)
    : QDialog(parent), filter_(filter) {
  setWindowTitle(QStringLiteral("Filter"));

  task_check = new QCheckBox(QStringLiteral("Specify Task :"), this);
  task_edit = new QLineEdit(QString::fromStdString(filter.task), this);
  task_edit->setMaxLength(255);
  task_check->setChecked(!filter.task.empty());
  server_check = new QCheckBox(QStringLiteral("Specify Server :"), this);
  server_edit = new QLineEdit(QString::fromStdString(filter.server), this);
  server_edit->setMaxLength(255);
  server_check->setChecked(!filter.server.empty());

  QGroupBox* type_box = BuildErrorTypeGroup(filter);

  start_check = new QCheckBox(QStringLiteral("Specify Start Date && Time :"), this);
  start_check->setChecked(filter.start != 0);
  start_edit = MakePicker(this, filter.start);
  end_check = new QCheckBox(QStringLiteral("Specify End Date && Time :"), this);
  end_check->setChecked(filter.end != 0);
  end_edit = MakePicker(this, filter.end);

  auto* names = new QGridLayout;
  names->addWidget(task_check, 0, 0);
  names->addWidget(task_edit, 0, 1);
  names->addWidget(server_check, 1, 0);
  names->addWidget(server_edit, 1, 1);

  auto* times = new QGridLayout;
  times->addWidget(start_check, 0, 0);
  times->addWidget(start_edit, 0, 1);
  times->addWidget(end_check, 1, 0);
  times->addWidget(end_edit, 1, 1);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &CFilterDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &CFilterDialog::reject);

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(names);
  layout->addWidget(type_box);
  layout->addLayout(times);
  layout->addWidget(buttons);

  // Every click on a check box or radio button re-applies the enabling rules.
  for (QAbstractButton* b :
       std::initializer_list<QAbstractButton*>{task_check, server_check, priority_radio, code_radio,
                                               none_radio, start_check, end_check}) {
    connect(b, &QAbstractButton::toggled, this, &CFilterDialog::UpdateEnabling);
  }
  UpdateEnabling();
}

void CFilterDialog::UpdateEnabling() {
  task_edit->setEnabled(task_check->isChecked());
  server_edit->setEnabled(server_check->isChecked());
  const bool priority = priority_radio->isChecked();
  error_check->setEnabled(priority);
  warning_check->setEnabled(priority);
  info_check->setEnabled(priority);
  code_edit->setEnabled(code_radio->isChecked());
  start_edit->setEnabled(start_check->isChecked());
  end_edit->setEnabled(end_check->isChecked());
}

void CFilterDialog::accept() {
  logviewer::LogFilter f;
  f.task = task_edit->text().toStdString();
  f.server = server_edit->text().toStdString();
  if (priority_radio->isChecked()) {
    f.levels = (error_check->isChecked() ? kLevelBitError : 0) |
               (warning_check->isChecked() ? kLevelBitWarning : 0) |
               (info_check->isChecked() ? kLevelBitInfo : 0);
  }
  f.code = code_edit->text().toStdString();
  if (start_check->isChecked())
    f.start = static_cast<std::time_t>(start_edit->dateTime().toSecsSinceEpoch());
  if (end_check->isChecked())
    f.end = static_cast<std::time_t>(end_edit->dateTime().toSecsSinceEpoch());
  const logviewer::FilterCheck check = logviewer::CheckLogFilter(
      &f, task_check->isChecked(), server_check->isChecked(), code_radio->isChecked());
  if (check != logviewer::FilterCheck::kOk) {
    QWidget* at_fault =
        check == logviewer::FilterCheck::kTaskMissing     ? static_cast<QWidget*>(task_edit)
        : check == logviewer::FilterCheck::kServerMissing ? server_edit
        : check == logviewer::FilterCheck::kStartAfterEnd ? static_cast<QWidget*>(start_edit)
                                                          : code_edit;
    // The start picker gets the focus before the message; the edits after it.
    if (check == logviewer::FilterCheck::kStartAfterEnd) at_fault->setFocus();
    Presenter().Warn(this, QString::fromUtf8(logviewer::FilterCheckText(check)));
    at_fault->setFocus();
    return;
  }
  filter_ = f;
  QDialog::accept();
}

}  // namespace pondrel::lorvik
