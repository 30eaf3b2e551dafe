#include "app/qtshell/qt_prompter.h"

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QThread>
#include <QVBoxLayout>
#include <functional>

#include "app/qtshell/qt_text.h"
#include "app/qtshell/small_dialogs.h"
#include "app/resources/string_ids.h"
#include "app/resources/string_table.h"

namespace quenvar::app {
namespace {

bool OnGuiThread() {
  QCoreApplication* application = QCoreApplication::instance();
  return application && QThread::currentThread() == application->thread();
}

// Runs fn on the GUI thread and waits for it. False when there is no application to run it on.
bool RunOnGuiThread(const std::function<void()>& fn) {
  QCoreApplication* application = QCoreApplication::instance();
  if (!application) return false;
  if (OnGuiThread()) {
    fn();
  } else {
    QMetaObject::invokeMethod(application, fn, Qt::BlockingQueuedConnection);
  }
  return true;
}

QString ButtonText(uint16_t item) {
  return ToQString(DialogText(ids::kDlgMessageBox, item));
}

}  // namespace

QtPrompter::QtPrompter() = default;

QtPrompter::~QtPrompter() {
  if (wait_window_ && OnGuiThread()) delete wait_window_.data();
}

void QtPrompter::SetMainWindow(QWidget* window) {
  main_window_ = window;
}

QWidget* QtPrompter::LiveWidget(PromptWindow window) const {
  // Compares pointers only: a stale token never gets dereferenced.
  if (window == nullptr || window == kInvalidWindow) return nullptr;
  for (QWidget* widget : QApplication::allWidgets()) {
    if (static_cast<const void*>(widget) == window) return widget;
  }
  return nullptr;
}

bool QtPrompter::IsWindow(PromptWindow window) const {
  if (window == nullptr || window == kInvalidWindow) return false;
  bool live = false;
  RunOnGuiThread([&] { live = LiveWidget(window) != nullptr; });
  return live;
}

PromptWindow QtPrompter::MainWindow() const {
  if (!OnGuiThread()) return nullptr;  // worker threads have no main window
  return main_window_.data();
}

int QtPrompter::ShowMessage(const MessageRequest& request) {
  int answer = request.buttons == PromptButtons::kYesNo      ? kIdNo
               : request.buttons == PromptButtons::kOkCancel ? kIdCancel
                                                             : kIdOk;
  RunOnGuiThread([&] {
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    if (request.icon == PromptIcon::kInformation) icon = QMessageBox::Information;
    if (request.icon == PromptIcon::kWarning) icon = QMessageBox::Warning;
    const QString caption =
        request.caption ? ToQString(*request.caption) : ToQString(LoadString(ids::kErrorCaption));
    QMessageBox box(icon, caption, ToQString(request.text), QMessageBox::NoButton,
                    LiveWidget(request.owner));
    switch (request.buttons) {
      case PromptButtons::kOk:
        box.addButton(QMessageBox::Ok)->setText(ButtonText(ids::kItemOk));
        box.setEscapeButton(QMessageBox::Ok);
        break;
      case PromptButtons::kOkCancel:
        box.addButton(QMessageBox::Ok)->setText(ButtonText(ids::kItemOk));
        box.addButton(QMessageBox::Cancel)->setText(ButtonText(ids::kItemCancel));
        box.setEscapeButton(QMessageBox::Cancel);
        break;
      case PromptButtons::kYesNo:
        box.addButton(QMessageBox::Yes)->setText(ButtonText(ids::kItemYes));
        box.addButton(QMessageBox::No)->setText(ButtonText(ids::kItemNo));
        break;
    }
    switch (box.exec()) {
      case QMessageBox::Ok:
        answer = kIdOk;
        break;
      case QMessageBox::Cancel:
        answer = kIdCancel;
        break;
      case QMessageBox::Yes:
        answer = kIdYes;
        break;
      case QMessageBox::No:
        answer = kIdNo;
        break;
      default:
        break;
    }
  });
  return answer;
}

int QtPrompter::SelectNextProcess(PromptWindow owner, std::u16string_view disc_title) {
  int answer = kIdCancel;
  RunOnGuiThread([&] {
    CSelNextProcDlg dialog(LiveWidget(owner));
    answer = dialog.Run(disc_title);
  });
  return answer;
}

int QtPrompter::ConfirmCancel(PromptWindow owner, std::u16string_view title,
                              std::u16string_view text) {
  int answer = kIdCancel;
  RunOnGuiThread([&] {
    CCancelDlg dialog(LiveWidget(owner));
    dialog.SetTitle(title);
    dialog.SetText(text);
    answer = dialog.Run();
  });
  return answer;
}

int QtPrompter::Choose(const ChoiceRequest& request) {
  if (request.lines.empty()) return -1;
  int answer = request.can_cancel ? -1 : 0;
  RunOnGuiThread([&] {
    QDialog dialog(LiveWidget(request.owner));
    dialog.setWindowTitle(ToQString(DialogText(request.dialog, ids::kItemTitle)));
    auto* column = new QVBoxLayout(&dialog);
    auto* label = new QLabel(ToQString(DialogText(request.dialog, ids::kStaticText1)), &dialog);
    label->setWordWrap(true);
    column->addWidget(label);
    auto* list = new QComboBox(&dialog);
    list->setObjectName(QStringLiteral("list"));
    for (const std::u16string& line : request.lines) list->addItem(ToQString(line));
    list->setCurrentIndex(0);
    column->addWidget(list);
    auto* row = new QHBoxLayout();
    column->addLayout(row);
    row->addStretch();
    auto* ok = new QPushButton(ToQString(DialogText(request.dialog, ids::kItemOk)), &dialog);
    ok->setObjectName(QStringLiteral("1"));
    ok->setDefault(true);
    row->addWidget(ok);
    QObject::connect(ok, &QPushButton::clicked, &dialog, &QDialog::accept);
    if (request.can_cancel) {
      auto* cancel =
          new QPushButton(ToQString(DialogText(request.dialog, ids::kItemCancel)), &dialog);
      cancel->setObjectName(QStringLiteral("2"));
      row->addWidget(cancel);
      QObject::connect(cancel, &QPushButton::clicked, &dialog, &QDialog::reject);
    }
    const int result = dialog.exec();
    if (result == QDialog::Accepted) {
      answer = list->currentIndex();
    } else {
      answer = request.can_cancel ? -1 : list->currentIndex();
    }
  });
  return answer;
}

void QtPrompter::ShowWaitNotice(std::u16string_view text) {
  RunOnGuiThread([&] {
    delete wait_window_.data();
    auto* window = new CMsgDlg(main_window_.data());
    window->setAttribute(Qt::WA_DeleteOnClose, false);
    wait_window_ = window;
    window->ShowText(text);
  });
}

void QtPrompter::CloseWaitNotice() {
  RunOnGuiThread([&] {
    delete wait_window_.data();
    wait_window_ = nullptr;
  });
}

CMsgDlg* QtPrompter::wait_window() const {
  return wait_window_.data();
}

}  // namespace quenvar::app
