#include "app/mainwindow/orvex_frame_dlg.h"

#include <QGridLayout>
#include <QVBoxLayout>

#include "app/qtshell/qt_text.h"
#include "app/resources/string_ids.h"
#include "app/resources/string_table.h"

namespace quenvar::app {
namespace {

constexpr int kBarRange = 1000;

QProgressBar* MakeBar(const char* name, QWidget* parent) {
  auto* bar = new QProgressBar(parent);
  bar->setObjectName(name);
  bar->setRange(0, kBarRange);
  bar->setValue(0);
  bar->setTextVisible(false);
  return bar;
}

}  // namespace

COrvexFrameDlg::COrvexFrameDlg(MediaList* list, double scale, QWidget* parent) : QWidget(parent) {
  setObjectName("panel103");
  setAutoFillBackground(true);
  QPalette colours = palette();
  colours.setColor(QPalette::Window, QColor(0xF4, 0xF7, 0xF6));
  setPalette(colours);

  auto* title = new QLabel(ToQString(DialogText(ids::kDlgPanel, ids::kItemHeaderTitle)), this);
  title->setObjectName("static1012");
  QFont title_font = font();
  title_font.setBold(true);
  if (title_font.pointSizeF() > 2) title_font.setPointSizeF(title_font.pointSizeF() - 2);
  title->setFont(title_font);
  auto* description = new QLabel(ToQString(DialogText(ids::kDlgPanel, ids::kItemHeaderDescription)), this);
  description->setObjectName("static1013");
  description->setWordWrap(true);

  list_view_ = new CContentsListView(list, scale, this);
  information_ = new QPlainTextEdit(this);
  information_->setObjectName("edit1014");
  information_->setReadOnly(true);
  information_->setFocusPolicy(Qt::NoFocus);
  current_bar_ = MakeBar("progress1005", this);
  total_bar_ = MakeBar("progress1006", this);

  const int margin = static_cast<int>(10 * scale);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(margin, margin, margin, margin / 2);
  layout->setSpacing(static_cast<int>(4 * scale));
  layout->addWidget(title);
  layout->addWidget(description);
  layout->addSpacing(static_cast<int>(6 * scale));
  layout->addWidget(SectionTitle(ids::kItemMediaSelection, scale));
  layout->addWidget(list_view_, 3);
  layout->addWidget(SectionTitle(ids::kItemInformation, scale));
  layout->addWidget(information_, 2);
  auto* bars = new QGridLayout();
  bars->addWidget(SectionTitle(ids::kItemCurrentMedia, scale), 0, 0);
  bars->addWidget(current_bar_, 0, 1);
  bars->addWidget(SectionTitle(ids::kItemTotalProgress, scale), 1, 0);
  bars->addWidget(total_bar_, 1, 1);
  bars->setColumnStretch(1, 1);
  layout->addLayout(bars);
}

QLabel* COrvexFrameDlg::SectionTitle(uint16_t item, double) {
  auto* label = new QLabel(ToQString(DialogText(ids::kDlgPanel, item)), this);
  label->setObjectName(QString("static%1").arg(item));
  QFont bold = font();
  bold.setBold(true);
  // Point sizes already follow the display's dots per inch, so 12 points carry the scale.
  bold.setPointSizeF(12);
  label->setFont(bold);
  return label;
}

void COrvexFrameDlg::SetInformationText(std::u16string_view text) {
  // The tables end lines with CR LF; the box wants plain line ends.
  QString shown = ToQString(text);
  shown.replace("\r\n", "\n");
  information_->setPlainText(shown);
  information_->repaint();
}

QString COrvexFrameDlg::InformationText() const { return information_->toPlainText(); }

}  // namespace quenvar::app
