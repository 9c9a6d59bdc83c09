#include "tasdek/task_table_model.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace pondrel::tasdek {
namespace {

// A clock face: the "scheduled" picture, in the colour of its state.
void DrawClock(QPainter& p, const QColor& face, const QColor& rim) {
  p.setPen(QPen(rim, 1.2));
  p.setBrush(face);
  p.drawEllipse(QRectF(1.5, 1.5, 13, 13));
  p.setPen(QPen(rim.darker(130), 1.4, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(QPointF(8, 8), QPointF(8, 4));
  p.drawLine(QPointF(8, 8), QPointF(11, 9.5));
}

QIcon MakeIcon(int image) {
  QIcon icon;
  for (int size : {16, 32}) {
    QPixmap pm(size, size);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 16.0, size / 16.0);
    switch (image) {
      case 0:  // once, already run: a grey clock
        DrawClock(p, QColor(0xe6, 0xe6, 0xe6), QColor(0x80, 0x80, 0x80));
        break;
      case 1: {  // disabled: a grey clock, struck through
        DrawClock(p, QColor(0xf0, 0xf0, 0xf0), QColor(0xa0, 0xa0, 0xa0));
        p.setPen(QPen(QColor(0xc0, 0x30, 0x30), 2.0, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(3, 13), QPointF(13, 3));
        break;
      }
      case 2: {  // invalid: a warning triangle
        QPainterPath tri;
        tri.moveTo(8, 1.5);
        tri.lineTo(15, 14.5);
        tri.lineTo(1, 14.5);
        tri.closeSubpath();
        p.setPen(QPen(QColor(0x9a, 0x60, 0x00), 1.0));
        p.setBrush(QColor(0xf5, 0xc2, 0x11));
        p.drawPath(tri);
        p.setPen(QPen(Qt::black, 1.8, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(8, 6), QPointF(8, 10));
        p.drawPoint(QPointF(8, 12.5));
        break;
      }
      case 3: {  // running: a green play mark
        p.setPen(QPen(QColor(0x1e, 0x6b, 0x24), 1.0));
        p.setBrush(QColor(0x3c, 0xb0, 0x43));
        p.drawEllipse(QRectF(1.5, 1.5, 13, 13));
        QPainterPath tri;
        tri.moveTo(6.2, 4.6);
        tri.lineTo(11.6, 8);
        tri.lineTo(6.2, 11.4);
        tri.closeSubpath();
        p.setPen(Qt::NoPen);
        p.setBrush(Qt::white);
        p.drawPath(tri);
        break;
      }
      default:  // scheduled: a blue clock
        DrawClock(p, QColor(0xdd, 0xea, 0xfb), QColor(0x2a, 0x5d, 0xb0));
        break;
    }
    p.end();
    icon.addPixmap(pm);
  }
  return icon;
}

}  // namespace

const std::array<QIcon, 5>& StatusIcons() {
  static const std::array<QIcon, 5> kIcons = {MakeIcon(0), MakeIcon(1), MakeIcon(2), MakeIcon(3),
                                              MakeIcon(4)};
  return kIcons;
}

CTaskTableModel::CTaskTableModel(CTasdekDoc* doc, TaskListModel* list, QObject* parent)
    : QAbstractTableModel(parent), doc_(doc), list_(list) {}

int CTaskTableModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(list_->RowCount());
}

int CTaskTableModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : 5;
}

QVariant CTaskTableModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount()) return {};
  const TaskEntry& e = list_->Row(static_cast<std::size_t>(index.row()));
  if (role == Qt::DisplayRole) return QString::fromStdString(ColumnText(e, index.column()));
  if (role == Qt::DecorationRole && index.column() == kColTaskName) {
    return StatusIcons()[static_cast<std::size_t>(StatusImage(e))];
  }
  return {};
}

QVariant CTaskTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 && section < 5) {
    return QString::fromLatin1(kTaskColumnHeaders[section]);
  }
  return {};
}

void CTaskTableModel::Reset() {
  beginResetModel();
  endResetModel();
}

bool CTaskTableModel::RefreshTask(std::string_view name) {
  if (!doc_->FindTask(name)) return false;
  (void)doc_->ReloadTask(name);  // a failed read keeps the row's values
  RedrawTask(name);
  return true;
}

void CTaskTableModel::RedrawTask(std::string_view name) {
  const int row = list_->FindRow(name);
  if (row >= 0) emit dataChanged(index(row, 0), index(row, 4));
}

void CTaskTableModel::RedrawAll() {
  if (rowCount() > 0) emit dataChanged(index(0, 0), index(rowCount() - 1, 4));
}

const TaskEntry* CTaskTableModel::EntryAt(int row) const {
  if (row < 0 || row >= rowCount()) return nullptr;
  return &list_->Row(static_cast<std::size_t>(row));
}

}  // namespace pondrel::tasdek
