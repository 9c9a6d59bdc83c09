#include "tasdek/message_presenter.h"

namespace pondrel::tasdek {
namespace {

CMessagePresenter::Responder& TheResponder() {
  static CMessagePresenter::Responder r;
  return r;
}

std::vector<ShownMessage>& TheHistory() {
  static std::vector<ShownMessage> h;
  return h;
}

}  // namespace

QMessageBox::StandardButton CMessagePresenter::Show(QWidget* parent, const QString& text,
                                                    MsgIcon icon,
                                                    QMessageBox::StandardButtons buttons,
                                                    const QString& caption) {
  ShownMessage m{caption, text, icon, buttons};
  TheHistory().push_back(m);
  if (TheResponder()) return TheResponder()(m);
  QMessageBox box(parent);
  box.setWindowTitle(caption);
  box.setText(text);
  box.setStandardButtons(buttons);
  switch (icon) {
    case MsgIcon::kInformation: box.setIcon(QMessageBox::Information); break;
    case MsgIcon::kQuestion: box.setIcon(QMessageBox::Question); break;
    case MsgIcon::kExclamation: box.setIcon(QMessageBox::Warning); break;
  }
  return static_cast<QMessageBox::StandardButton>(box.exec());
}

bool CMessagePresenter::Ask(QWidget* parent, const QString& text,
                            QMessageBox::StandardButtons buttons, const QString& caption) {
  const auto b = Show(parent, text, MsgIcon::kQuestion, buttons, caption);
  return b == QMessageBox::Yes || b == QMessageBox::Ok;
}

void CMessagePresenter::SetResponder(Responder responder) { TheResponder() = std::move(responder); }
const std::vector<ShownMessage>& CMessagePresenter::History() { return TheHistory(); }
void CMessagePresenter::ClearHistory() { TheHistory().clear(); }

}  // namespace pondrel::tasdek
