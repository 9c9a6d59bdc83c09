// Every message box of the Log Viewer goes through one presenter, so that tests can answer
// (and read) them instead of a person.
#pragma once

#include <QString>

class QWidget;

namespace pondrel::lorvik {

// The caption of every message and the window title.
inline constexpr char kTitle[] = "Pondrel Log Viewer";

class CMessagePresenter {
 public:
  virtual ~CMessagePresenter() = default;
  // A message with the caption "Pondrel Log Viewer" and the exclamation icon.
  virtual void Warn(QWidget* parent, const QString& text);
  virtual void About(QWidget* parent);
};

// The presenter in use; a test installs its own (nullptr restores the real one).
CMessagePresenter& Presenter();
void SetPresenter(CMessagePresenter* presenter);

}  // namespace pondrel::lorvik
