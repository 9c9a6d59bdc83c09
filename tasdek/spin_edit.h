// CSpinEdit: a numeric edit with up/down buttons beside it, as the Task View's dialogs use
// them. Unlike a spin box the text stays exactly as typed (empty, "0", letters), so that the
// dialog's own validation sees it and words the message; the buttons and the Up/Down keys step
// the number within the range, faster the longer a button is held when an acceleration table
// is given.
#pragma once

#include <QElapsedTimer>
#include <QLineEdit>
#include <QToolButton>
#include <QWidget>
#include <utility>
#include <vector>

namespace pondrel::tasdek {

class CSpinEdit : public QWidget {
  Q_OBJECT
 public:
  CSpinEdit(int min, int max, int max_length, QWidget* parent = nullptr);

  QString text() const { return edit_->text(); }
  void setText(const QString& t) { edit_->setText(t); }
  QLineEdit* lineEdit() const { return edit_; }
  QToolButton* upButton() const { return up_; }
  QToolButton* downButton() const { return down_; }
  // (seconds held, step) pairs, the first with 0 seconds.
  void setAcceleration(std::vector<std::pair<int, int>> table) { accel_ = std::move(table); }
  // One step up (+1) or down (-1), `held_ms` after the button was pressed.
  void step(int direction, qint64 held_ms = 0);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  int StepSize(qint64 held_ms) const;
  QLineEdit* edit_;
  QToolButton* up_;
  QToolButton* down_;
  int min_, max_;
  std::vector<std::pair<int, int>> accel_{{0, 1}};
  QElapsedTimer held_;
};

}  // namespace pondrel::tasdek
