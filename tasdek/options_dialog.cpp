#include "tasdek/options_dialog.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>

#include "tasdek/message_presenter.h"
#include "taskview/messages.h"

namespace pondrel::tasdek {

COptionsDialog::COptionsDialog(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QString::fromLatin1(kCaptionOptions));
  free_space = new CSpinEdit(1, 50, 10, this);
  action = new QComboBox(this);
  action->addItems({QStringLiteral("Abort task"), QStringLiteral("Delete old image(s)")});
  limit = new QCheckBox(QStringLiteral("Set max. number of pictures per download :"), this);
  max_pictures = new CSpinEdit(1, 10000, 10, this);
  max_pictures->setAcceleration({{0, 1}, {2, 10}, {6, 100}, {14, 1000}});
  pictures_label = new QLabel(QStringLiteral("Picture(s)"), this);

  auto* g = new QGridLayout;
  g->addWidget(
      new QLabel(QStringLiteral("Min. amount of free space required on image directory :"), this),
      0, 0);
  auto* fs = new QHBoxLayout;
  fs->addWidget(free_space);
  fs->addWidget(new QLabel(QStringLiteral("%"), this));
  fs->addStretch();
  g->addLayout(fs, 0, 1);
  g->addWidget(new QLabel(QStringLiteral("What to do when min. is reached :"), this), 1, 0);
  g->addWidget(action, 1, 1);
  g->addWidget(limit, 2, 0);
  auto* mp = new QHBoxLayout;
  mp->addWidget(max_pictures);
  mp->addWidget(pictures_label);
  mp->addStretch();
  g->addLayout(mp, 2, 1);

  auto* buttons = new QDialogButtonBox(this);
  buttons->addButton(QDialogButtonBox::Ok);
  // The dialog's own caption for its cancel button.
  buttons->addButton(QStringLiteral("Cencel"), QDialogButtonBox::RejectRole);
  connect(buttons, &QDialogButtonBox::accepted, this, [this] { TryAccept(); });
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  auto* all = new QVBoxLayout(this);
  all->addLayout(g);
  all->addWidget(buttons);

  const OptionsForm f = FormFromValues(LoadOptions());
  free_space->setText(QString::fromStdString(f.free_space_text));
  action->setCurrentIndex(f.action_index);
  limit->setChecked(f.limit_checked);
  max_pictures->setText(QString::fromStdString(f.max_text));
  connect(limit, &QCheckBox::toggled, this, [this] { UpdateEnabling(); });
  UpdateEnabling();
}

void COptionsDialog::UpdateEnabling() {
  max_pictures->setEnabled(limit->isChecked());
  pictures_label->setEnabled(limit->isChecked());
}

int COptionsDialog::TryAccept() {
  OptionsForm f;
  f.free_space_text = free_space->text().toStdString();
  f.action_index = action->currentIndex();
  f.limit_checked = limit->isChecked();
  f.max_text = max_pictures->text().toStdString();
  std::string message;
  const int step = ValidateOptionsForm(&f, &message);
  if (step != 0) {
    CMessagePresenter::Show(this, QString::fromStdString(message), MsgIcon::kExclamation,
                            QMessageBox::Ok, QString::fromLatin1(kCaptionOptions));
    return step;
  }
  max_pictures->setText(QString::fromStdString(f.max_text));
  SaveOptionsForm(f);
  accept();
  return 0;
}

QIcon AppIcon() {
  QIcon icon;
  for (int size : {16, 32, 48, 64}) {
    QPixmap pm(size, size);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 32.0, size / 32.0);
    // A camera body with a clock face for a lens: pictures on a schedule.
    p.setPen(QPen(QColor(0x23, 0x3a, 0x5e), 1.5));
    p.setBrush(QColor(0x4a, 0x76, 0xb8));
    p.drawRoundedRect(QRectF(2, 8, 28, 20), 4, 4);
    p.drawRect(QRectF(8, 4, 9, 5));
    p.setBrush(Qt::white);
    p.drawEllipse(QRectF(9, 11, 14, 14));
    p.setPen(QPen(QColor(0x23, 0x3a, 0x5e), 1.8, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(16, 18), QPointF(16, 13.5));
    p.drawLine(QPointF(16, 18), QPointF(19.5, 19.5));
    p.end();
    icon.addPixmap(pm);
  }
  return icon;
}

CAboutDialog::CAboutDialog(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("About Pondrel Task View"));
  auto* icon = new QLabel(this);
  icon->setPixmap(AppIcon().pixmap(48, 48));
  auto* text =
      new QLabel(QStringLiteral("<b>Pondrel Task View Ver. 1.0</b><br><br>"
                                "Collects pictures from network camera servers on a schedule."),
                 this);
  text->setWordWrap(true);
  auto* ok = new QDialogButtonBox(QDialogButtonBox::Ok, this);
  connect(ok, &QDialogButtonBox::accepted, this, &QDialog::accept);
  auto* row = new QHBoxLayout;
  row->addWidget(icon, 0, Qt::AlignTop);
  row->addWidget(text, 1);
  auto* all = new QVBoxLayout(this);
  all->addLayout(row);
  all->addWidget(ok);
  setMinimumWidth(340);
}

}  // namespace pondrel::tasdek
