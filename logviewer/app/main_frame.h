// The Log Viewer's window: the activity log as a five-column list, newest entry first, with a
// severity icon per row; column sorting by header clicks; the Filter dialog; Reload; and,
// when chosen, Follow, which shows what the writers append as they write it.
#pragma once

#include <QMainWindow>
#include <QTableView>

#include <string>

#include "logviewer/app/log_table_model.h"
#include "logviewer/log_document.h"

class QAction;
class QTimer;

namespace pondrel::lorvik {

// The list view: report style, full-row selection, columns sized to their sample texts.
class CLorvikView : public QTableView {
  Q_OBJECT

 public:
  explicit CLorvikView(QWidget* parent = nullptr);
  // "Message" is at least as wide as fifty "0", and fills the rest of the client width.
  void SizeColumns();

 protected:
  void resizeEvent(QResizeEvent* event) override;
};

class CMainFrame : public QMainWindow {
  Q_OBJECT

 public:
  // `argument`: the command line's log path ("" for the service's log).
  explicit CMainFrame(std::string argument, QWidget* parent = nullptr);

  // Reads the log (as at start and on Reload) and fills the list; failures are reported.
  void OpenLog();
  void Reload();
  // Opens the Filter dialog; on OK the list is filled again.
  void ShowFilter();
  void ApplyFilter(const logviewer::LogFilter& filter);
  // A click on a column header.
  void SortByColumn(int column);
  void SetFollow(bool on);
  // Brings the window to the front: restored if minimised, its open dialog on top.
  void BringToFront();

  CLorvikView* view() const { return view_; }
  CLogTableModel* model() const { return model_; }
  const logviewer::LogFilter& filter() const { return filter_; }
  const logviewer::CLogDocument& document() const { return doc_; }
  QAction* reload_action() const { return reload_; }
  QAction* filter_action() const { return filter_act_; }
  QAction* follow_action() const { return follow_; }
  // The file read last.
  const std::string& log_path() const { return used_path_; }

 private:
  void Fill();
  void FollowTick();
  void Report(int result);

  std::string argument_;
  std::string used_path_;
  logviewer::CLogDocument doc_;
  logviewer::LogFilter filter_;
  int sort_column_ = -1;  // -1: not sorted since the last load
  bool ascending_ = true;
  CLorvikView* view_;
  CLogTableModel* model_;
  QAction* reload_;
  QAction* filter_act_;
  QAction* follow_;
  QTimer* follow_timer_;
};

}  // namespace pondrel::lorvik
