#include "logviewer/app/message_presenter.h"

#include <QMessageBox>

namespace pondrel::lorvik {
namespace {
CMessagePresenter g_default;
CMessagePresenter* g_presenter = &g_default;
}  // namespace

void CMessagePresenter::Warn(QWidget* parent, const QString& text) {
  QMessageBox box(QMessageBox::Warning, QString::fromUtf8(kTitle), text, QMessageBox::Ok, parent);
  box.exec();
}

void CMessagePresenter::About(QWidget* parent) {
  QMessageBox::about(parent, QStringLiteral("About Pondrel Log Viewer"),
                     QStringLiteral("Pondrel Log Viewer\nVersion %1\n\nShows, sorts and filters "
                                    "the activity log of the Pondrel Task Scheduler Service.")
                         .arg(QStringLiteral(PONDREL_VERSION_TEXT)));
}

CMessagePresenter& Presenter() { return *g_presenter; }
void SetPresenter(CMessagePresenter* presenter) {
  g_presenter = presenter ? presenter : &g_default;
}

}  // namespace pondrel::lorvik
