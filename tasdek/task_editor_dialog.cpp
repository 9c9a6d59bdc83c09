#include "tasdek/task_editor_dialog.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

#include "tasdek/message_presenter.h"

namespace pondrel::tasdek {
namespace {

constexpr const char* kWeekdayBoxes[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kWeekdayNames[7] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                          "Thursday", "Friday", "Saturday"};
constexpr const char* kOrdinalNames[5] = {"first", "second", "third", "fourth", "final"};

QLabel* Label(const char* text, QWidget* parent) {
  return new QLabel(QString::fromLatin1(text), parent);
}

}  // namespace

CTaskEditorDialog::CTaskEditorDialog(const CKVTask& task, const std::string& server_name,
                                     const CTasdekDoc& doc, const Guid* filter, QWidget* parent)
    : QDialog(parent), doc_(doc), original_name_(task.Name), result_(task) {
  setWindowTitle(QStringLiteral("Task Settings"));
  BuildControls();
  const EditorResult r = LoadEditorServers(&form_, filter);
  if (r != EditorResult::kOk)
    CMessagePresenter::Show(parent, QString::fromStdString(TaskEditorMessage(r, "")));
  FormFromTask(task, server_name, &form_);
  LoadControls(form_);
  UpdateEnabling();
  UpdateDisconnect();
}

QGridLayout* CTaskEditorDialog::BuildTaskRows() {
  name = new QLineEdit(this);
  name->setMaxLength(255);
  enabled = new QCheckBox(QStringLiteral("Enable this setting"), this);
  server = new QComboBox(this);
  server->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  server->setMinimumContentsLength(24);
  start_date = new QDateEdit(this);
  start_date->setDisplayFormat(QStringLiteral("yyyy/MM/dd"));
  start_date->setDateRange(QDate(1971, 1, 1), QDate(2037, 12, 31));
  start_date->setCalendarPopup(true);
  start_date->setMinimumWidth(
      start_date->fontMetrics().horizontalAdvance(QStringLiteral("0000/00/000")) + 40);
  start_time = new QTimeEdit(this);
  start_time->setDisplayFormat(QStringLiteral("HH:mm"));

  auto* top = new QGridLayout;
  top->addWidget(Label("Task Name :", this), 0, 0);
  top->addWidget(name, 0, 1, 1, 3);
  top->addWidget(enabled, 1, 1, 1, 3);
  top->addWidget(Label("Server Name :", this), 2, 0);
  top->addWidget(server, 2, 1, 1, 3);
  top->addWidget(Label("Start Date :", this), 3, 0);
  auto* when = new QHBoxLayout;
  when->addWidget(start_date);
  when->addSpacing(16);
  when->addWidget(Label("Start Time :", this));
  when->addWidget(start_time);
  when->addStretch();
  top->addLayout(when, 3, 1, 1, 3);
  top->setColumnStretch(1, 1);
  return top;
}

QGroupBox* CTaskEditorDialog::BuildScheduleGroup() {
  auto* sched = new QGroupBox(QStringLiteral("Schedule"), this);
  auto* g = new QGridLayout(sched);
  once = new QRadioButton(QStringLiteral("Once"), sched);
  daily = new QRadioButton(QStringLiteral("Daily :"), sched);
  weekly = new QRadioButton(QStringLiteral("Weekly :"), sched);
  monthly = new QRadioButton(QStringLiteral("Monthly"), sched);
  daily_days = new CSpinEdit(1, 31, 2, sched);
  weekly_weeks = new CSpinEdit(1, 53, 2, sched);
  g->addWidget(once, 0, 0);
  g->addWidget(daily, 1, 0);
  auto* drow = new QHBoxLayout;
  auto* every_d = Label("every", sched);
  auto* days_l = Label("day(s)", sched);
  drow->addWidget(every_d);
  drow->addWidget(daily_days);
  drow->addWidget(days_l);
  drow->addStretch();
  g->addLayout(drow, 1, 1);
  daily_fields_ = {every_d, daily_days, days_l};
  AddWeeklyRows(sched, g);
  AddMonthlyRows(sched, g);
  g->setColumnStretch(1, 1);
  return sched;
}

void CTaskEditorDialog::AddWeeklyRows(QGroupBox* sched, QGridLayout* g) {
  g->addWidget(weekly, 2, 0);
  auto* wrow = new QHBoxLayout;
  auto* every_w = Label("every", sched);
  auto* weeks_l = Label("week(s) on", sched);
  wrow->addWidget(every_w);
  wrow->addWidget(weekly_weeks);
  wrow->addWidget(weeks_l);
  wrow->addStretch();
  g->addLayout(wrow, 2, 1);
  auto* days = new QHBoxLayout;
  for (int d = 0; d < 7; ++d) {
    weekdays[d] = new QCheckBox(QString::fromLatin1(kWeekdayBoxes[d]), sched);
    days->addWidget(weekdays[d]);
  }
  days->addStretch();
  g->addLayout(days, 3, 1);
  weekly_fields_ = {every_w, weekly_weeks, weeks_l};
  for (QCheckBox* b : weekdays) weekly_fields_.append(b);
}

void CTaskEditorDialog::AddMonthlyRows(QGroupBox* sched, QGridLayout* g) {
  g->addWidget(monthly, 4, 0);
  rule_day = new QRadioButton(QStringLiteral("Day"), sched);
  rule_the = new QRadioButton(QStringLiteral("The"), sched);
  month_day = new CSpinEdit(1, 31, 2, sched);
  ordinal = new QComboBox(sched);
  for (const char* o : kOrdinalNames) ordinal->addItem(QString::fromLatin1(o));
  weekday = new QComboBox(sched);
  for (const char* w : kWeekdayNames) weekday->addItem(QString::fromLatin1(w));
  auto* mrow1 = new QHBoxLayout;
  auto* of_every1 = Label("of every month", sched);
  mrow1->addWidget(rule_day);
  mrow1->addWidget(month_day);
  mrow1->addWidget(of_every1);
  mrow1->addStretch();
  auto* mrow2 = new QHBoxLayout;
  auto* of_every2 = Label("of every month", sched);
  mrow2->addWidget(rule_the);
  mrow2->addWidget(ordinal);
  mrow2->addWidget(weekday);
  mrow2->addWidget(of_every2);
  mrow2->addStretch();
  g->addLayout(mrow1, 4, 1);
  g->addLayout(mrow2, 5, 1);
  day_fields_ = {month_day, of_every1};
  the_fields_ = {ordinal, weekday, of_every2};
}

QGridLayout* CTaskEditorDialog::BuildRepeatAndRetryRows() {
  auto* more = new QGridLayout;
  repeat = new QCheckBox(QStringLiteral("Repeat task :"), this);
  repeat_hours = new CSpinEdit(1, 23, 2, this);
  repeat_times = new CSpinEdit(1, 23, 2, this);
  retry = new QCheckBox(QStringLiteral("Retry when an error occurs :"), this);
  retry_minutes = new CSpinEdit(1, 10, 2, this);
  retry_times = new CSpinEdit(1, 10, 2, this);
  auto* r_every = Label("every", this);
  auto* r_hours = Label("hour(s)", this);
  auto* r_times = Label("time(s)", this);
  auto* t_every = Label("every", this);
  auto* t_minutes = Label("minute(s)", this);
  auto* t_times = Label("time(s)", this);
  more->addWidget(repeat, 0, 0);
  more->addWidget(r_every, 0, 1);
  more->addWidget(repeat_hours, 0, 2);
  more->addWidget(r_hours, 0, 3);
  more->addWidget(repeat_times, 0, 4);
  more->addWidget(r_times, 0, 5);
  more->addWidget(retry, 1, 0);
  more->addWidget(t_every, 1, 1);
  more->addWidget(retry_minutes, 1, 2);
  more->addWidget(t_minutes, 1, 3);
  more->addWidget(retry_times, 1, 4);
  more->addWidget(t_times, 1, 5);
  more->setColumnStretch(6, 1);
  repeat_fields_ = {r_every, repeat_hours, r_hours, repeat_times, r_times};
  retry_fields_ = {t_every, retry_minutes, t_minutes, retry_times, t_times};
  return more;
}

// The radio buttons and boxes that enable other controls, and the two radio groups.
void CTaskEditorDialog::ConnectControls() {
  for (QAbstractButton* b : std::initializer_list<QAbstractButton*>{
           once, daily, weekly, monthly, rule_day, rule_the, repeat, retry}) {
    connect(b, &QAbstractButton::toggled, this, [this] { UpdateEnabling(); });
  }
  // The two groups of radio buttons are independent of each other.
  for (QRadioButton* b : {once, daily, weekly, monthly}) b->setAutoExclusive(false);
  for (QRadioButton* b : {rule_day, rule_the}) b->setAutoExclusive(false);
  auto exclusive = [this](QList<QRadioButton*> group) {
    for (QRadioButton* b : group) {
      connect(b, &QRadioButton::clicked, this, [b, group] {
        for (QRadioButton* o : group) o->setChecked(o == b);
      });
    }
  };
  exclusive({once, daily, weekly, monthly});
  exclusive({rule_day, rule_the});
  connect(server, &QComboBox::currentIndexChanged, this, [this] { UpdateDisconnect(); });
}

void CTaskEditorDialog::BuildControls() {
  // Created in the dialog's order, which is also the order of the Tab key.
  QGridLayout* top = BuildTaskRows();
  QGroupBox* sched = BuildScheduleGroup();
  QGridLayout* more = BuildRepeatAndRetryRows();
  disconnect = new QCheckBox(
      QStringLiteral("Disconnect after finishing download (for access via dial-up connections)"),
      this);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  connect(buttons, &QDialogButtonBox::accepted, this, [this] { (void)TryAccept(); });
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

  auto* all = new QVBoxLayout(this);
  all->addLayout(top);
  all->addWidget(sched);
  all->addLayout(more);
  all->addWidget(disconnect);
  all->addWidget(buttons);
  ConnectControls();
}

void CTaskEditorDialog::LoadControls(const TaskEditorForm& f) {
  name->setText(QString::fromStdString(f.name));
  enabled->setChecked(f.enabled);
  server->clear();
  for (const ServerChoice& s : f.servers) server->addItem(QString::fromStdString(s.name));
  server->setCurrentIndex(f.server_index);
  server->setEnabled(!f.servers.empty());
  start_date->setDate(QDate(f.year, f.month, f.day));
  start_time->setTime(QTime(f.hour, f.minute));
  once->setChecked(f.repetition == kRepOnce);
  daily->setChecked(f.repetition == kRepDaily);
  weekly->setChecked(f.repetition == kRepWeekly);
  monthly->setChecked(f.repetition == kRepMonthly);
  daily_days->setText(QString::fromStdString(f.daily_days));
  weekly_weeks->setText(QString::fromStdString(f.weekly_weeks));
  for (int d = 0; d < 7; ++d) weekdays[d]->setChecked(f.weekdays[d]);
  rule_day->setChecked(f.monthly_rule == kRuleDay);
  rule_the->setChecked(f.monthly_rule == kRuleWeekday);
  month_day->setText(QString::fromStdString(f.month_day));
  ordinal->setCurrentIndex(f.ordinal);
  weekday->setCurrentIndex(f.weekday);
  repeat->setChecked(f.repeat);
  repeat_hours->setText(QString::fromStdString(f.repeat_hours));
  repeat_times->setText(QString::fromStdString(f.repeat_times));
  retry->setChecked(f.retry);
  retry_minutes->setText(QString::fromStdString(f.retry_minutes));
  retry_times->setText(QString::fromStdString(f.retry_times));
  disconnect->setChecked(f.disconnect);
}

void CTaskEditorDialog::UpdateEnabling() {
  const bool is_monthly = monthly->isChecked();
  for (QWidget* w : daily_fields_) w->setEnabled(daily->isChecked());
  for (QWidget* w : weekly_fields_) w->setEnabled(weekly->isChecked());
  rule_day->setEnabled(is_monthly);
  rule_the->setEnabled(is_monthly);
  for (QWidget* w : day_fields_) w->setEnabled(is_monthly && rule_day->isChecked());
  for (QWidget* w : the_fields_) w->setEnabled(is_monthly && rule_the->isChecked());
  for (QWidget* w : repeat_fields_) w->setEnabled(repeat->isChecked());
  for (QWidget* w : retry_fields_) w->setEnabled(retry->isChecked());
}

void CTaskEditorDialog::UpdateDisconnect() {
  TaskEditorForm f = form_;
  f.server_index = server->currentIndex();
  disconnect->setEnabled(SelectedServerUsesPpp(f));
}

TaskEditorForm CTaskEditorDialog::FormFromControls() const {
  TaskEditorForm f = form_;
  f.name = name->text().toStdString();
  f.enabled = enabled->isChecked();
  f.server_index = server->currentIndex();
  const QDate d = start_date->date();
  const QTime t = start_time->time();
  f.year = d.year();
  f.month = d.month();
  f.day = d.day();
  f.hour = t.hour();
  f.minute = t.minute();
  f.repetition = once->isChecked()      ? kRepOnce
                 : weekly->isChecked()  ? kRepWeekly
                 : monthly->isChecked() ? kRepMonthly
                                        : kRepDaily;
  f.daily_days = daily_days->text().toStdString();
  f.weekly_weeks = weekly_weeks->text().toStdString();
  for (int i = 0; i < 7; ++i) f.weekdays[i] = weekdays[i]->isChecked();
  f.monthly_rule = rule_the->isChecked() ? kRuleWeekday : kRuleDay;
  f.month_day = month_day->text().toStdString();
  f.ordinal = ordinal->currentIndex();
  f.weekday = weekday->currentIndex();
  f.repeat = repeat->isChecked();
  f.repeat_hours = repeat_hours->text().toStdString();
  f.repeat_times = repeat_times->text().toStdString();
  f.retry = retry->isChecked();
  f.retry_minutes = retry_minutes->text().toStdString();
  f.retry_times = retry_times->text().toStdString();
  f.disconnect = disconnect->isChecked();
  return f;
}

EditorResult CTaskEditorDialog::TryAccept() {
  const TaskEditorForm f = FormFromControls();
  CKVTask out = result_;
  const EditorResult code = ApplyTaskEditor(f, original_name_, doc_, &out);
  if (code != EditorResult::kOk) {
    CMessagePresenter::Show(this, QString::fromStdString(TaskEditorMessage(code, f.name)));
    return code;
  }
  result_ = out;
  accept();
  return EditorResult::kOk;
}

}  // namespace pondrel::tasdek
