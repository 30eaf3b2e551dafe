#include "app/qtshell/qt_controller_ui.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include "app/prompting/scripted_prompter.h"
#include "app/resources/string_ids.h"
#include "app/resources/string_table.h"
#include "app/testing/qt_test_app.h"
#include "platform/message_window.h"

namespace quenvar::app {
namespace {

// Ends after three ticks of timer 7, or with 99 when cancelled; counts a platform message too.
class TickingDialog : public ModalDialog {
 public:
  uint16_t dialog_id() const override { return ids::kDlgErase; }
  bool has_progress_bar() const override { return true; }
  void OnOpen(ModalContext& context) override {
    context.SetProgressRange(0, 3);
    ASSERT_TRUE(context.SetTimer(7, 5));
    window_ = platform::CreateMessageWindow([this](HWND, UINT message, WPARAM, LPARAM) -> LRESULT {
      if (message == 0x8003) ++messages_;
      return 0;
    });
    platform::PostMessage(window_, 0x8003, 0, 0);
  }
  void OnTimer(ModalContext& context, uint32_t id) override {
    if (id != 7) return;
    context.SetProgressPosition(++ticks_);
    if (ticks_ == 3 && !hold_) context.EndDialog(ticks_);
  }
  void OnCancel(ModalContext& context) override { context.EndDialog(99); }
  void OnDestroy(ModalContext&) override { platform::DestroyMessageWindow(window_); }

  bool hold_ = false;
  int ticks_ = 0;
  int messages_ = 0;
  HWND window_ = nullptr;
};

TEST(QtControllerUiTest, RunsTimersMessagesAndCancel) {
  test_support::EnsureQtApplication();
  SetUiLanguage(1033);
  QtControllerUi ui;
  TickingDialog dialog;
  EXPECT_EQ(ui.RunModal(nullptr, dialog), 3);
  EXPECT_EQ(dialog.messages_, 1);  // platform messages are dispatched while the dialog runs

  TickingDialog held;
  held.hold_ = true;
  QTimer::singleShot(100, [&] {
    QWidget* window = ui.active_dialog();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Erasing Rewritable Media"));
    auto* bar = window->findChild<QProgressBar*>(QStringLiteral("1020"));
    ASSERT_NE(bar, nullptr);
    EXPECT_EQ(bar->maximum(), 3);
    window->findChild<QPushButton*>(QStringLiteral("2"))->click();
  });
  EXPECT_EQ(ui.RunModal(nullptr, held), 99);
  EXPECT_EQ(ui.active_dialog(), nullptr);
}

}  // namespace
}  // namespace quenvar::app
