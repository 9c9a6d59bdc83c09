// Helpers for the Task View's QTest cases: answering message boxes, acting on a modal dialog
// once it is open, and a private world of servers and tasks.
#pragma once

#include <QApplication>
#include <QTimer>
#include <deque>
#include <functional>

#include "tasdek/message_presenter.h"

namespace pondrel::tasdek::testing {

// Answers every message box with the next queued button (OK or Yes when none is queued) and
// keeps what was said.
class MessageAnswers {
 public:
  MessageAnswers() {
    CMessagePresenter::ClearHistory();
    CMessagePresenter::SetResponder([this](const ShownMessage& m) {
      if (!answers_.empty()) {
        const auto a = answers_.front();
        answers_.pop_front();
        return a;
      }
      return (m.buttons & QMessageBox::Yes) ? QMessageBox::Yes : QMessageBox::Ok;
    });
  }
  ~MessageAnswers() { CMessagePresenter::SetResponder({}); }
  void Queue(QMessageBox::StandardButton b) { answers_.push_back(b); }
  const std::vector<ShownMessage>& Shown() const { return CMessagePresenter::History(); }
  QString Last() const { return Shown().empty() ? QString() : Shown().back().text; }
  void Clear() { CMessagePresenter::ClearHistory(); }

 private:
  std::deque<QMessageBox::StandardButton> answers_;
};

// Runs `act` on the modal dialog of type D as soon as it is open.
template <class D>
void WhenModal(std::function<void(D*)> act) {
  auto* timer = new QTimer;
  timer->setInterval(5);
  QObject::connect(timer, &QTimer::timeout, [timer, act] {
    if (auto* d = qobject_cast<D*>(QApplication::activeModalWidget())) {
      timer->stop();
      timer->deleteLater();
      act(d);
    }
  });
  timer->start();
}

}  // namespace pondrel::tasdek::testing
