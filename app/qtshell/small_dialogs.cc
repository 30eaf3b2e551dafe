#include "app/qtshell/small_dialogs.h"

#include <QHBoxLayout>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>

#include "app/qtshell/qt_text.h"
#include "app/resources/string_ids.h"
#include "app/resources/string_table.h"

namespace quenvar::app {
namespace {

QPushButton* AddButton(QDialog* dialog, QHBoxLayout* row, uint16_t template_id, int command) {
  auto* button =
      new QPushButton(ToQString(DialogText(template_id, static_cast<uint16_t>(command))), dialog);
  button->setObjectName(QString::number(command));
  button->setAutoDefault(false);
  row->addWidget(button);
  return button;
}

QLabel* AddLabel(QDialog* dialog, QVBoxLayout* column, const QString& text, int control) {
  auto* label = new QLabel(text, dialog);
  label->setObjectName(QString::number(control));
  label->setWordWrap(true);
  column->addWidget(label);
  return label;
}

}  // namespace

QString KeepBracketsTogether(const QString& text) {
  // Lines of CJK text may break between any two characters; a word joiner between the characters
  // of a "[button]" name keeps the name on one line.
  constexpr QChar kWordJoiner(0x2060);
  QString kept;
  kept.reserve(text.size() * 2);
  bool inside = false;
  for (qsizetype i = 0; i < text.size(); ++i) {
    const QChar c = text[i];
    if (inside && c != u'[') kept += kWordJoiner;
    kept += c;
    if (c == u'[') inside = true;
    if (c == u']') inside = false;
  }
  return kept;
}

void MakeTranslucent(QWidget* window, int opacity) {
  if (!window) return;
  opacity = std::clamp(opacity, 0, 255);
  window->setWindowOpacity(opacity / 255.0);
  window->repaint();
}

CMsgDlg::CMsgDlg(QWidget* parent) : QDialog(parent, Qt::Dialog | Qt::FramelessWindowHint) {
  setModal(false);
  auto* column = new QVBoxLayout(this);
  text_ = AddLabel(this, column, QString(), ids::kItemWaitText);
  text_->setAlignment(Qt::AlignCenter);
  setMinimumSize(280, 80);
}

void CMsgDlg::ShowText(std::u16string_view text) {
  show();
  MakeTranslucent(this, kWaitWindowOpacity);
  text_->setText(ToQString(text));
  repaint();
}

QString CMsgDlg::text() const {
  return text_->text();
}

CSelNextProcDlg::CSelNextProcDlg(QWidget* parent) : QDialog(parent) {
  setWindowTitle(ToQString(DialogText(ids::kDlgSelNextProc, ids::kItemTitle)));
  auto* column = new QVBoxLayout(this);
  first_line_ = AddLabel(this, column, QString(), ids::kItemFailedLine);
  for (uint16_t item : {ids::kStaticText1, ids::kStaticText2, ids::kStaticText3}) {
    AddLabel(this, column, KeepBracketsTogether(ToQString(DialogText(ids::kDlgSelNextProc, item))),
             item);
  }
  auto* row = new QHBoxLayout();
  column->addLayout(row);
  row->addStretch();
  connect(AddButton(this, row, ids::kDlgSelNextProc, ids::kItemRetry), &QPushButton::clicked, this,
          [this] { done(ids::kItemRetry); });
  connect(AddButton(this, row, ids::kDlgSelNextProc, ids::kItemNext), &QPushButton::clicked, this,
          [this] { done(ids::kItemNext); });
  connect(AddButton(this, row, ids::kDlgSelNextProc, ids::kItemCancel), &QPushButton::clicked, this,
          [this] { done(ids::kItemCancel); });
}

void CSelNextProcDlg::Prepare(std::u16string_view disc_title) {
  disc_title_ = std::u16string(disc_title);
  setWindowTitle(ToQString(FormatString(ids::kNowCreatingCaption, {disc_title_})));
  first_line_->setText(ToQString(FormatString(ids::kFailedToCreate, {disc_title_})).trimmed());
}

int CSelNextProcDlg::Run(std::u16string_view disc_title) {
  Prepare(disc_title);
  return exec();
}

void CSelNextProcDlg::reject() {
  done(ids::kItemCancel);
}

CCancelDlg::CCancelDlg(QWidget* parent) : QDialog(parent) {
  auto* column = new QVBoxLayout(this);
  text_label_ = AddLabel(this, column, QString(), ids::kItemCancelText);
  auto* row = new QHBoxLayout();
  column->addLayout(row);
  row->addStretch();
  connect(AddButton(this, row, ids::kDlgCancel, ids::kItemOk), &QPushButton::clicked, this,
          [this] { Command(ids::kItemOk); });
  connect(AddButton(this, row, ids::kDlgCancel, ids::kItemCancel), &QPushButton::clicked, this,
          [this] { Command(ids::kItemCancel); });
}

void CCancelDlg::SetTitle(std::u16string_view title) {
  title_ = std::u16string(title);
}

void CCancelDlg::SetText(std::u16string_view text) {
  text_ = std::u16string(text);
}

int CCancelDlg::Run() {
  setWindowTitle(ToQString(title_));
  text_label_->setText(ToQString(text_).trimmed());
  return exec();
}

void CCancelDlg::Command(int id) {
  last_command_ = id;
  done(id);
}

void CCancelDlg::reject() {
  Command(ids::kItemCancel);
}

}  // namespace quenvar::app
