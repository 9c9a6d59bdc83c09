#include "logviewer/app/severity_icons.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace pondrel::lorvik {
namespace {

QPixmap Draw(int level, int size) {
  QPixmap pm(size, size);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  p.scale(size / 16.0, size / 16.0);
  QFont font = p.font();
  font.setBold(true);
  font.setPixelSize(11);
  p.setFont(font);
  const QRectF box(1, 1, 14, 14);
  switch (level) {
    case 1:  // error: a red disc with a white cross
      p.setPen(QPen(QColor(140, 0, 0), 1));
      p.setBrush(QColor(220, 30, 30));
      p.drawEllipse(box);
      p.setPen(QPen(Qt::white, 2, Qt::SolidLine, Qt::RoundCap));
      p.drawLine(QPointF(5, 5), QPointF(11, 11));
      p.drawLine(QPointF(11, 5), QPointF(5, 11));
      break;
    case 2: {  // warning: a yellow triangle with "!"
      QPainterPath tri;
      tri.moveTo(8, 1);
      tri.lineTo(15, 14.5);
      tri.lineTo(1, 14.5);
      tri.closeSubpath();
      p.setPen(QPen(QColor(150, 110, 0), 1));
      p.setBrush(QColor(250, 200, 30));
      p.drawPath(tri);
      p.setPen(Qt::black);
      p.drawText(QRectF(0, 3.5, 16, 11), Qt::AlignCenter, QStringLiteral("!"));
      break;
    }
    case 3:  // information: a blue disc with "i"
      p.setPen(QPen(QColor(0, 50, 140), 1));
      p.setBrush(QColor(40, 110, 210));
      p.drawEllipse(box);
      p.setPen(Qt::white);
      p.drawText(box, Qt::AlignCenter, QStringLiteral("i"));
      break;
    default:  // other: a grey disc
      p.setPen(QPen(QColor(110, 110, 110), 1));
      p.setBrush(QColor(190, 190, 190));
      p.drawEllipse(QRectF(4, 4, 8, 8));
      break;
  }
  return pm;
}

QIcon Make(int level) {
  QIcon icon;
  for (int size : {16, 32}) icon.addPixmap(Draw(level, size));
  return icon;
}

}  // namespace

const QIcon& SeverityIcon(int level) {
  static const QIcon kIcons[4] = {Make(0), Make(1), Make(2), Make(3)};
  return kIcons[level >= 1 && level <= 3 ? level : 0];
}

QIcon ApplicationIcon() {
  // A page of log lines with an information mark.
  QIcon icon;
  for (int size : {16, 32, 48, 64}) {
    QPixmap pm(size, size);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 32.0, size / 32.0);
    p.setPen(QPen(QColor(90, 90, 90), 1.5));
    p.setBrush(Qt::white);
    p.drawRoundedRect(QRectF(4, 2, 22, 28), 2, 2);
    p.setPen(QPen(QColor(120, 120, 120), 2));
    for (int y = 8; y <= 24; y += 4) p.drawLine(QPointF(8, y), QPointF(22, y));
    p.drawPixmap(QRectF(16, 16, 16, 16), Draw(3, 32), QRectF(0, 0, 32, 32));
    icon.addPixmap(pm);
  }
  return icon;
}

}  // namespace pondrel::lorvik
