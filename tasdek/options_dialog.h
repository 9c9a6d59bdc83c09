// "Options": the download settings, and the About box.
#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QLabel>

#include "tasdek/spin_edit.h"
#include "taskview/options_model.h"

namespace pondrel::tasdek {

class COptionsDialog : public QDialog {
  Q_OBJECT
 public:
  explicit COptionsDialog(QWidget* parent = nullptr);
  // OK as the button does it: 0 when the values were accepted and written, else the failing
  // validation step after its message was shown.
  int TryAccept();
  void UpdateEnabling();

  CSpinEdit* free_space;
  QComboBox* action;
  QCheckBox* limit;
  CSpinEdit* max_pictures;
  QLabel* pictures_label;
};

class CAboutDialog : public QDialog {
  Q_OBJECT
 public:
  explicit CAboutDialog(QWidget* parent = nullptr);
};

// The application icon, drawn here.
QIcon AppIcon();

}  // namespace pondrel::tasdek
