#include "logviewer/app/main_frame.h"

#include <QAction>
#include <QApplication>
#include <QGuiApplication>
#include <QHeaderView>
#include <QMenuBar>
#include <QTimer>

#include "logviewer/app/filter_dialog.h"
#include "logviewer/app/message_presenter.h"
#include "logviewer/app/severity_icons.h"

namespace pondrel::lorvik {
namespace {

// Follow mode looks at the file this often.
constexpr int kFollowIntervalMs = 500;

// Holds the wait cursor for a scope.
class WaitCursor {
 public:
  WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
  ~WaitCursor() { QApplication::restoreOverrideCursor(); }
  WaitCursor(const WaitCursor&) = delete;
  WaitCursor& operator=(const WaitCursor&) = delete;
};

int SampleWidth(const QFontMetrics& fm, const QString& sample) {
  return fm.horizontalAdvance(sample) + 20;
}

}  // namespace

CLorvikView::CLorvikView(QWidget* parent) : QTableView(parent) {
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setShowGrid(false);
  setWordWrap(false);
  setIconSize(QSize(16, 16));
  setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
  verticalHeader()->hide();
  // Rows of one height: the view never measures ten million rows.
  verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 4);
  horizontalHeader()->setSectionsClickable(true);
  horizontalHeader()->setHighlightSections(false);
  horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  horizontalHeader()->setStretchLastSection(false);
}

void CLorvikView::SizeColumns() {
  const QFontMetrics fm = fontMetrics();
  // The code column also holds the 16-pixel icon.
  const int widths[4] = {SampleWidth(fm, QStringLiteral("D000000")),
                         SampleWidth(fm, QStringLiteral("0000/00/00 00:00:00")),
                         SampleWidth(fm, QStringLiteral("0000000000")),
                         SampleWidth(fm, QStringLiteral("0000000000"))};
  int others = 0;
  for (int c = 0; c < 4; ++c) {
    setColumnWidth(c, widths[c]);
    others += widths[c];
  }
  setColumnWidth(
      4, std::max(SampleWidth(fm, QString(50, QLatin1Char('0'))), viewport()->width() - others));
}

void CLorvikView::resizeEvent(QResizeEvent* event) {
  QTableView::resizeEvent(event);
  SizeColumns();
}

CMainFrame::CMainFrame(std::string argument, QWidget* parent)
    : QMainWindow(parent), argument_(std::move(argument)) {
  setObjectName(QStringLiteral("CVeltaPondrelxLorvikMainFrame"));
  setWindowTitle(QString::fromUtf8(kTitle));
  setWindowIcon(ApplicationIcon());

  QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
  QAction* exit = file->addAction(QStringLiteral("E&xit"));
  connect(exit, &QAction::triggered, this, &QWidget::close);

  QMenu* view_menu = menuBar()->addMenu(QStringLiteral("&View"));
  reload_ = view_menu->addAction(QStringLiteral("&Reload"));
  reload_->setShortcut(QKeySequence(Qt::Key_F5));
  connect(reload_, &QAction::triggered, this, &CMainFrame::Reload);
  filter_act_ = view_menu->addAction(QStringLiteral("&Filter"));
  filter_act_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_F));
  connect(filter_act_, &QAction::triggered, this, &CMainFrame::ShowFilter);
  view_menu->addSeparator();
  follow_ = view_menu->addAction(QStringLiteral("F&ollow"));
  follow_->setCheckable(true);
  follow_->setToolTip(QStringLiteral("Show new entries as they are written"));
  connect(follow_, &QAction::toggled, this, &CMainFrame::SetFollow);

  QMenu* help = menuBar()->addMenu(QStringLiteral("&Help"));
  QAction* about = help->addAction(QStringLiteral("&About Pondrel Log Viewer"));
  connect(about, &QAction::triggered, this, [this] { Presenter().About(this); });

  view_ = new CLorvikView(this);
  model_ = new CLogTableModel(&doc_, this);
  view_->setModel(model_);
  connect(view_->horizontalHeader(), &QHeaderView::sectionClicked, this, &CMainFrame::SortByColumn);
  setCentralWidget(view_);
  view_->SizeColumns();

  follow_timer_ = new QTimer(this);
  follow_timer_->setInterval(kFollowIntervalMs);
  connect(follow_timer_, &QTimer::timeout, this, &CMainFrame::FollowTick);

  const QFontMetrics fm = view_->fontMetrics();
  resize(std::min(1200, SampleWidth(fm, QString(120, QLatin1Char('0')))), 600);
}

void CMainFrame::Report(int result) {
  if (result != logviewer::kLoadOk) {
    Presenter().Warn(this, QString::fromStdString(logviewer::LoadResultText(result)));
  }
}

void CMainFrame::OpenLog() {
  int rc;
  {
    WaitCursor wait;
    rc = doc_.LoadChosen(argument_, &used_path_);
    sort_column_ = -1;
    ascending_ = true;
    view_->horizontalHeader()->setSortIndicatorShown(false);
    Fill();
  }
  Report(rc);
}

void CMainFrame::Reload() { OpenLog(); }

void CMainFrame::Fill() {
  std::vector<std::uint32_t> rows;
  try {
    rows = doc_.FilterRows(filter_);
    if (sort_column_ >= 0) doc_.SortRows(&rows, sort_column_, ascending_);
  } catch (const std::bad_alloc&) {
    model_->SetRows({});
    Presenter().Warn(this,
                     QString::fromStdString(logviewer::LoadResultText(logviewer::kLoadNoMemory)));
    return;
  }
  model_->SetRows(std::move(rows));
}

void CMainFrame::ShowFilter() {
  CFilterDialog dialog(filter_, this);
  if (dialog.exec() != QDialog::Accepted) return;
  ApplyFilter(dialog.filter());
}

void CMainFrame::ApplyFilter(const logviewer::LogFilter& filter) {
  WaitCursor wait;
  filter_ = filter;
  Fill();
}

void CMainFrame::SortByColumn(int column) {
  if (column < 0 || column >= logviewer::kColumnCount) return;
  // The first click on a column sorts ascending, each further click on it reverses.
  ascending_ = column == sort_column_ ? !ascending_ : true;
  sort_column_ = column;
  WaitCursor wait;
  doc_.SortRows(&model_->rows(), column, ascending_);
  model_->RowsReordered();
  view_->horizontalHeader()->setSortIndicatorShown(true);
  view_->horizontalHeader()->setSortIndicator(
      column, ascending_ ? Qt::AscendingOrder : Qt::DescendingOrder);
}

void CMainFrame::SetFollow(bool on) {
  if (follow_->isChecked() != on) follow_->setChecked(on);
  if (on) {
    follow_timer_->start();
    FollowTick();
  } else {
    follow_timer_->stop();
  }
}

void CMainFrame::FollowTick() {
  bool changed = false, reloaded = false;
  const int rc = doc_.Refresh(&changed, &reloaded);
  if (rc != logviewer::kLoadOk) {
    // A log that cannot be read any more ends following rather than repeating the message.
    SetFollow(false);
    Report(rc);
    return;
  }
  if (!changed) return;
  if (reloaded) {
    sort_column_ = -1;
    view_->horizontalHeader()->setSortIndicatorShown(false);
  }
  Fill();
}

void CMainFrame::BringToFront() {
  if (isMinimized()) showNormal();
  show();
  raise();
  activateWindow();
  if (QWidget* modal = QApplication::activeModalWidget()) {
    modal->raise();
    modal->activateWindow();
  }
}

}  // namespace pondrel::lorvik
