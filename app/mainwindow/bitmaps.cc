#include "app/mainwindow/bitmaps.h"

#include <QBitmap>
#include <QPainter>

namespace quenvar::app {

QPixmap LoadBitmap(int id) {
  for (size_t i = 0; i < kBitmapResourceCount; ++i) {
    if (kBitmapResources[i].id != id) continue;
    QPixmap pixmap;
    pixmap.loadFromData(kBitmapResources[i].png, static_cast<uint>(kBitmapResources[i].size), "PNG");
    return pixmap;
  }
  return QPixmap();
}

QPixmap LoadMaskedBitmap(int id) {
  QPixmap pixmap = LoadBitmap(id);
  if (!pixmap.isNull()) pixmap.setMask(pixmap.createMaskFromColor(QColor(0xFF, 0xFF, 0xFF)));
  return pixmap;
}

void DrawThreeSlices(QPainter& painter, const QRect& target, const QPixmap& face) {
  if (face.isNull() || target.width() < 2 || face.width() < 3) {
    if (!face.isNull()) painter.drawPixmap(target, face);
    return;
  }
  const int h = face.height();
  const int last = face.width() - 1;
  painter.drawPixmap(QRect(target.left(), target.top(), 1, target.height()), face, QRect(0, 0, 1, h));
  painter.drawPixmap(QRect(target.left() + 1, target.top(), target.width() - 2, target.height()), face,
                     QRect(1, 0, face.width() - 2, h));
  painter.drawPixmap(QRect(target.right(), target.top(), 1, target.height()), face, QRect(last, 0, 1, h));
}

}  // namespace quenvar::app
