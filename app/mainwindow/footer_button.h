// Orvex main window: the owner-drawn buttons of the footer band.
//
// A FooterButton draws itself from the footer button faces: normal, hot while the mouse is over it,
// pressed while it is held down; each face in three slices stretched to the button's width. The
// caption is centred on one line: white when pressed, olive grey (red 0x86, green 0x89, blue 0x67)
// when disabled, black otherwise; a focus rectangle is drawn inset when it has the focus.
#ifndef QUENVAR_APP_MAINWINDOW_FOOTER_BUTTON_H_
#define QUENVAR_APP_MAINWINDOW_FOOTER_BUTTON_H_

#include <QColor>
#include <QPixmap>
#include <QPushButton>

namespace quenvar::app {

// The caption colour of a disabled footer button (red 0x86, green 0x89, blue 0x67).
inline const QColor kFooterDisabledText(0x86, 0x89, 0x67);

class FooterButton : public QPushButton {
  Q_OBJECT

 public:
  FooterButton(const QString& text, int control_id, double scale, QWidget* parent = nullptr);

  int control_id() const { return control_id_; }
  // The face the button shows now: pressed, hot or normal.
  int CurrentFace() const;
  // The caption colour for the current state.
  QColor CaptionColor() const;
  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;

 private:
  int control_id_;
  double scale_;
  bool hot_ = false;
  QPixmap normal_;
  QPixmap hot_face_;
  QPixmap pressed_;
};

}  // namespace quenvar::app

#endif  // QUENVAR_APP_MAINWINDOW_FOOTER_BUTTON_H_
