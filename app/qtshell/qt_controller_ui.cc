#include "app/qtshell/qt_controller_ui.h"

#include <QApplication>
#include <QDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTimer>
#include <QVBoxLayout>
#include <map>
#include <memory>

#include "app/qtshell/qt_text.h"
#include "app/resources/string_ids.h"
#include "app/resources/string_table.h"
#include "platform/message_window.h"

namespace quenvar::app {
namespace {

constexpr int kProgressBarId = 1020;

class ModalWindow : public QDialog, public ModalContext {
 public:
  ModalWindow(QWidget* parent, ModalDialog* dialog) : QDialog(parent), dialog_(dialog) {
    const uint16_t id = dialog->dialog_id();
    setWindowTitle(ToQString(DialogText(id, ids::kItemTitle)));
    auto* column = new QVBoxLayout(this);
    for (uint16_t item : {ids::kStaticText1, ids::kStaticText2}) {
      std::u16string_view text = DialogText(id, item);
      if (text.empty()) continue;
      auto* label = new QLabel(ToQString(text), this);
      label->setWordWrap(true);
      column->addWidget(label);
    }
    if (dialog->has_progress_bar()) {
      bar_ = new QProgressBar(this);
      bar_->setObjectName(QString::number(kProgressBarId));
      bar_->setTextVisible(false);
      column->addWidget(bar_);
    }
    auto* row = new QHBoxLayout();
    column->addLayout(row);
    row->addStretch();
    auto* cancel = new QPushButton(ToQString(DialogText(id, ids::kItemCancel)), this);
    cancel->setObjectName(QStringLiteral("2"));
    row->addWidget(cancel);
    QObject::connect(cancel, &QPushButton::clicked, this,
                     [this] { Dispatch([this] { dialog_->OnCancel(*this); }); });
    notifier_ = new QSocketNotifier(platform::MessageNotifyFd(), QSocketNotifier::Read, this);
    QObject::connect(notifier_, &QSocketNotifier::activated, this,
                     [this] { Dispatch([] { platform::PumpMessages(); }); });
  }

  PromptWindow window() const override { return static_cast<const QWidget*>(this); }

  bool SetTimer(uint32_t id, uint32_t period_ms) override {
    auto& timer = timers_[id];
    if (!timer) {
      timer = std::make_unique<QTimer>();
      QObject::connect(timer.get(), &QTimer::timeout, this,
                       [this, id] { Dispatch([this, id] { dialog_->OnTimer(*this, id); }); });
    }
    timer->start(static_cast<int>(period_ms));
    return true;
  }

  bool KillTimer(uint32_t id) override {
    auto it = timers_.find(id);
    if (it == timers_.end()) return false;
    it->second->stop();
    timers_.erase(it);
    return true;
  }

  void SetProgressRange(int32_t low, int32_t high) override {
    if (bar_) bar_->setRange(low, high);
  }
  void SetProgressPosition(int32_t position) override {
    if (bar_) bar_->setValue(std::min(position, bar_->maximum()));
  }

  void EndDialog(int result) override {
    if (ended_) return;
    ended_ = true;
    result_ = result;
    done(result);
  }

  int Run() {
    dialog_->OnOpen(*this);
    if (!ended_) exec();
    timers_.clear();
    dialog_->OnDestroy(*this);
    return result_;
  }

  void reject() override {  // close box and Escape count as [Cancel]
    Dispatch([this] { dialog_->OnCancel(*this); });
  }

 private:
  template <typename Fn>
  void Dispatch(Fn fn) {
    if (!ended_) fn();
  }

  ModalDialog* dialog_;
  QProgressBar* bar_ = nullptr;
  QSocketNotifier* notifier_ = nullptr;
  std::map<uint32_t, std::unique_ptr<QTimer>> timers_;
  bool ended_ = false;
  int result_ = -1;
};

QWidget* LiveWidget(PromptWindow window) {
  if (window == nullptr || window == kInvalidWindow) return nullptr;
  for (QWidget* widget : QApplication::allWidgets()) {
    if (static_cast<const void*>(widget) == window) return widget;
  }
  return nullptr;
}

}  // namespace

int QtControllerUi::RunModal(PromptWindow owner, ModalDialog& dialog) {
  if (QCoreApplication::instance() == nullptr) return -1;
  ModalWindow window(LiveWidget(owner), &dialog);
  QWidget* previous = active_;
  active_ = &window;
  const int result = window.Run();
  active_ = previous;
  return result;
}

void QtControllerUi::ProcessPendingMessages() {
  QCoreApplication::processEvents();
  platform::PumpMessages();
}

}  // namespace quenvar::app
