#include "app/mainwindow/footer_button.h"

#include <QEnterEvent>
#include <QPainter>
#include <QStyleOptionFocusRect>

#include "app/mainwindow/bitmaps.h"

namespace quenvar::app {

FooterButton::FooterButton(const QString& text, int control_id, double scale, QWidget* parent)
    : QPushButton(text, parent),
      control_id_(control_id),
      scale_(scale),
      normal_(LoadBitmap(bitmap::kButtonNormal)),
      hot_face_(LoadBitmap(bitmap::kButtonHot)),
      pressed_(LoadBitmap(bitmap::kButtonPressed)) {
  setAttribute(Qt::WA_Hover);
  setFocusPolicy(Qt::StrongFocus);
}

int FooterButton::CurrentFace() const {
  if (isDown()) return bitmap::kButtonPressed;
  if (hot_ && isEnabled()) return bitmap::kButtonHot;
  return bitmap::kButtonNormal;
}

QColor FooterButton::CaptionColor() const {
  if (!isEnabled()) return kFooterDisabledText;
  if (isDown()) return Qt::white;
  return Qt::black;
}

QSize FooterButton::sizeHint() const {
  const int height = static_cast<int>(21 * scale_ + 0.5);
  const int text_width = fontMetrics().horizontalAdvance(text()) + static_cast<int>(24 * scale_);
  return QSize(std::max(static_cast<int>(67 * scale_ + 0.5), text_width), height);
}

void FooterButton::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const int face = CurrentFace();
  DrawThreeSlices(painter, rect(), face == bitmap::kButtonPressed ? pressed_
                                   : face == bitmap::kButtonHot   ? hot_face_
                                                                  : normal_);
  painter.setPen(CaptionColor());
  painter.setBackgroundMode(Qt::TransparentMode);
  painter.drawText(rect(), Qt::AlignCenter | Qt::TextSingleLine | Qt::TextShowMnemonic, text());
  if (hasFocus()) {
    QStyleOptionFocusRect option;
    option.initFrom(this);
    option.rect = rect().adjusted(3, 3, -3, -3);
    style()->drawPrimitive(QStyle::PE_FrameFocusRect, &option, &painter, this);
  }
}

void FooterButton::enterEvent(QEnterEvent* event) {
  hot_ = true;
  update();
  QPushButton::enterEvent(event);
}

void FooterButton::leaveEvent(QEvent* event) {
  hot_ = false;
  update();
  QPushButton::leaveEvent(event);
}

}  // namespace quenvar::app
