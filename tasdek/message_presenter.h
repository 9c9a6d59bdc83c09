// CMessagePresenter: every message box of the Task View goes through here, so that a test can
// read what the program said and answer it without a window in the way.
#pragma once

#include <QMessageBox>
#include <QString>
#include <functional>
#include <vector>

namespace pondrel::tasdek {

// The Task View's application title; the caption of its messages unless a dialog names its own.
inline constexpr const char* kAppTitle = "Pondrel Task View";

enum class MsgIcon { kInformation, kExclamation, kQuestion };

struct ShownMessage {
  QString caption;
  QString text;
  MsgIcon icon = MsgIcon::kExclamation;
  QMessageBox::StandardButtons buttons = QMessageBox::Ok;
};

class CMessagePresenter {
 public:
  using Responder = std::function<QMessageBox::StandardButton(const ShownMessage&)>;

  // Shows a modal message box and returns the button the user chose.
  static QMessageBox::StandardButton Show(QWidget* parent, const QString& text,
                                          MsgIcon icon = MsgIcon::kExclamation,
                                          QMessageBox::StandardButtons buttons = QMessageBox::Ok,
                                          const QString& caption = QString::fromLatin1(kAppTitle));
  // A yes/no or OK/Cancel question: true for Yes or OK.
  static bool Ask(QWidget* parent, const QString& text, QMessageBox::StandardButtons buttons,
                  const QString& caption = QString::fromLatin1(kAppTitle));

  // Tests: answer every message with `responder` instead of showing it (an empty responder
  // shows boxes again). Every message is also kept in History().
  static void SetResponder(Responder responder);
  static const std::vector<ShownMessage>& History();
  static void ClearHistory();
};

}  // namespace pondrel::tasdek
