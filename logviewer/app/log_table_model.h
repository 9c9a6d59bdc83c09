// The list's rows on demand: the texts and icons of the rows that the view asks for, taken
// from the engine's records. No widget and no text per row is kept.
#pragma once

#include <QAbstractTableModel>

#include <cstdint>
#include <vector>

#include "logviewer/log_document.h"

namespace pondrel::lorvik {

class CLogTableModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  explicit CLogTableModel(const logviewer::CLogDocument* doc, QObject* parent = nullptr);

  // Shows `rows` (record numbers, in display order).
  void SetRows(std::vector<std::uint32_t> rows);
  std::vector<std::uint32_t>& rows() { return rows_; }
  // Tells the view that rows_ was reordered in place.
  void RowsReordered();

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

  // A cell's text as the list shows it.
  QString CellText(int row, int column) const;

 private:
  const logviewer::CLogDocument* doc_;
  std::vector<std::uint32_t> rows_;
};

// The column titles: "Code", "Date & Time", "Task", "Server", "Message".
QString ColumnTitle(int column);

}  // namespace pondrel::lorvik
