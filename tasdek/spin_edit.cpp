#include "tasdek/spin_edit.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QVBoxLayout>
#include <algorithm>

namespace pondrel::tasdek {

CSpinEdit::CSpinEdit(int min, int max, int max_length, QWidget* parent)
    : QWidget(parent), min_(min), max_(max) {
  edit_ = new QLineEdit(this);
  edit_->setMaxLength(max_length);
  edit_->installEventFilter(this);
  up_ = new QToolButton(this);
  down_ = new QToolButton(this);
  for (QToolButton* b : {up_, down_}) {
    b->setArrowType(b == up_ ? Qt::UpArrow : Qt::DownArrow);
    b->setAutoRepeat(true);
    b->setAutoRepeatDelay(400);
    b->setAutoRepeatInterval(60);
    b->setFocusPolicy(Qt::NoFocus);
    b->setFixedWidth(16);
    b->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Ignored);
    connect(b, &QToolButton::pressed, this, [this] { held_.start(); });
  }
  connect(up_, &QToolButton::clicked, this,
          [this] { step(+1, held_.isValid() ? held_.elapsed() : 0); });
  connect(down_, &QToolButton::clicked, this,
          [this] { step(-1, held_.isValid() ? held_.elapsed() : 0); });
  auto* arrows = new QVBoxLayout;
  arrows->setContentsMargins(0, 0, 0, 0);
  arrows->setSpacing(0);
  arrows->addWidget(up_);
  arrows->addWidget(down_);
  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(0, 0, 0, 0);
  row->setSpacing(1);
  row->addWidget(edit_, 1);
  row->addLayout(arrows);
  setFocusProxy(edit_);
  // Wide enough for the longest number the range allows, and no wider.
  const QString widest(std::max<int>(2, QString::number(max).size()) + 1, QLatin1Char('0'));
  edit_->setFixedWidth(edit_->fontMetrics().horizontalAdvance(widest) + 14);
  setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

int CSpinEdit::StepSize(qint64 held_ms) const {
  int size = 1;
  for (const auto& [seconds, step] : accel_) {
    if (held_ms >= seconds * 1000LL) size = step;
  }
  return size;
}

void CSpinEdit::step(int direction, qint64 held_ms) {
  // The buttons work on the number at the start of the text; text that holds none starts from
  // the bottom of the range.
  const QString t = edit_->text();
  qint64 value = 0;
  int digits = 0;
  while (digits < t.size() && t[digits].isDigit() && digits < 10) {
    value = value * 10 + t[digits].digitValue();
    ++digits;
  }
  if (digits == 0) value = min_;
  value += static_cast<qint64>(direction) * StepSize(held_ms);
  if (value < min_) value = min_;
  if (value > max_) value = max_;
  edit_->setText(QString::number(value));
}

bool CSpinEdit::eventFilter(QObject* watched, QEvent* event) {
  if (watched == edit_ && event->type() == QEvent::KeyPress) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key == Qt::Key_Up || key == Qt::Key_Down) {
      step(key == Qt::Key_Up ? +1 : -1);
      return true;
    }
  }
  return QWidget::eventFilter(watched, event);
}

void CSpinEdit::changeEvent(QEvent* event) {
  if (event->type() == QEvent::EnabledChange) {
    up_->setEnabled(isEnabled());
    down_->setEnabled(isEnabled());
  }
  QWidget::changeEvent(event);
}

}  // namespace pondrel::tasdek
