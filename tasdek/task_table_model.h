// The task list as a Qt item model over the toolkit-free list model: texts and status images
// are made when the view asks for a visible cell, so a list of ten thousand tasks costs only
// the rows on screen.
#pragma once

#include <QAbstractTableModel>
#include <QIcon>
#include <array>
#include <string_view>

#include "taskview/tasdek_doc.h"

namespace pondrel::tasdek {

// The five status images of a row, drawn here (0 once without a next run, 1 disabled,
// 2 invalid, 3 running, 4 scheduled).
const std::array<QIcon, 5>& StatusIcons();

class CTaskTableModel : public QAbstractTableModel {
  Q_OBJECT
 public:
  CTaskTableModel(CTasdekDoc* doc, TaskListModel* list, QObject* parent = nullptr);

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

  // Rebuild the rows after the list model changed them (refresh, filter, sort, edits).
  void Reset();
  // A "ZORIC:01:" announcement: reloads that one task from the schedule file and redraws its
  // row; other rows are neither read nor redrawn. False when no listed task has that name.
  bool RefreshTask(std::string_view name);
  // Redraws the row of that task (after an edit changed it in the document).
  void RedrawTask(std::string_view name);
  // Redraws every row.
  void RedrawAll();

  const TaskEntry* EntryAt(int row) const;
  TaskListModel* List() { return list_; }
  CTasdekDoc* Doc() { return doc_; }

 private:
  CTasdekDoc* doc_;
  TaskListModel* list_;
};

}  // namespace pondrel::tasdek
