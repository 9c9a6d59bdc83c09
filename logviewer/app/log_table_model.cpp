#include "logviewer/app/log_table_model.h"

#include "logviewer/app/severity_icons.h"

namespace pondrel::lorvik {
namespace {

// A cell shows at most this much of a message; the file's bytes stay as they are.
constexpr std::size_t kMaxCellBytes = 4096;

// File bytes are not trusted to be UTF-8: bad sequences show as U+FFFD, and control
// characters (a NUL or a tab inside a line) as blanks.
QString CellString(std::string_view s) {
  const bool cut = s.size() > kMaxCellBytes;
  if (cut) s = s.substr(0, kMaxCellBytes);
  QString text = QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
  for (QChar& c : text) {
    if (c.unicode() < 0x20 || c.unicode() == 0x7F) c = QLatin1Char(' ');
  }
  if (cut) text += QChar(0x2026);
  return text;
}

}  // namespace

QString ColumnTitle(int column) {
  static const char* const kTitles[logviewer::kColumnCount] = {"Code", "Date & Time", "Task",
                                                               "Server", "Message"};
  return column >= 0 && column < logviewer::kColumnCount ? QString::fromLatin1(kTitles[column])
                                                         : QString();
}

CLogTableModel::CLogTableModel(const logviewer::CLogDocument* doc, QObject* parent)
    : QAbstractTableModel(parent), doc_(doc) {}

void CLogTableModel::SetRows(std::vector<std::uint32_t> rows) {
  beginResetModel();
  rows_ = std::move(rows);
  endResetModel();
}

void CLogTableModel::RowsReordered() {
  emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
  emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

int CLogTableModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int CLogTableModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : logviewer::kColumnCount;
}

QString CLogTableModel::CellText(int row, int column) const {
  if (row < 0 || static_cast<std::size_t>(row) >= rows_.size()) return {};
  const std::uint32_t r = rows_[static_cast<std::size_t>(row)];
  char buf[20];
  switch (column) {
    case logviewer::kColumnCode: return CellString(doc_->Code(r, buf));
    case logviewer::kColumnDate: return CellString(doc_->Date(r, buf));
    case logviewer::kColumnTask: return CellString(doc_->Task(r));
    case logviewer::kColumnServer: return CellString(doc_->Server(r));
    case logviewer::kColumnMessage: return CellString(doc_->Message(r));
    default: return {};
  }
}

QVariant CLogTableModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid()) return {};
  if (role == Qt::DisplayRole) return CellText(index.row(), index.column());
  if (role == Qt::DecorationRole && index.column() == logviewer::kColumnCode) {
    return SeverityIcon(doc_->Level(rows_[static_cast<std::size_t>(index.row())]));
  }
  return {};
}

QVariant CLogTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation == Qt::Horizontal && role == Qt::DisplayRole) return ColumnTitle(section);
  return {};
}

}  // namespace pondrel::lorvik
