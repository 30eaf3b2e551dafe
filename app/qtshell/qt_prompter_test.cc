#include "app/qtshell/qt_prompter.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QEventLoop>
#include <QMessageBox>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <functional>
#include <thread>

#include "app/prompting/error_object.h"
#include "app/qtshell/small_dialogs.h"
#include "app/resources/string_ids.h"
#include "app/resources/string_table.h"
#include "app/testing/qt_test_app.h"

namespace quenvar::app {
namespace {

class QtPrompterTest : public testing::Test {
 protected:
  static void SetUpTestSuite() { test_support::EnsureQtApplication(); }
  void SetUp() override { SetUiLanguage(kLangEnglish); }
  void TearDown() override {
    SetUiLanguage(kLangEnglish);
    delete timer_;
  }

  // Acts once on the next modal dialog that appears.
  void OnModal(std::function<void(QWidget*)> action) {
    delete timer_;
    timer_ = new QTimer();
    QObject::connect(timer_, &QTimer::timeout, [this, action] {
      QWidget* modal = QApplication::activeModalWidget();
      if (!modal || !modal->isVisible()) return;
      timer_->stop();
      action(modal);
    });
    timer_->start(5);
  }

  static void ClickButton(QWidget* dialog, const QString& text) {
    for (QPushButton* button : dialog->findChildren<QPushButton*>()) {
      if (button->text() == text) {
        button->click();
        return;
      }
    }
    ADD_FAILURE() << "no button " << text.toStdString();
  }

  QtPrompter prompter_;
  QTimer* timer_ = nullptr;
};

TEST_F(QtPrompterTest, MessageBoxWithLocalizedButtonsAndIcon) {
  SetUiLanguage(kLangKorean);
  QString caption, text;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  OnModal([&](QWidget* modal) {
    auto* box = qobject_cast<QMessageBox*>(modal);
    ASSERT_NE(box, nullptr);
    caption = box->windowTitle();
    text = box->text();
    icon = box->icon();
    ClickButton(box, QString::fromUtf8("취소"));
  });
  const int answer =
      ShowAppMessage(u"Line 1\r\nLine 2\r\n", PromptButtons::kOkCancel, PromptIcon::kInformation);
  EXPECT_EQ(answer, kIdOk) << "no prompter installed: the scripted stand-in answers";

  ScopedPrompter scope(&prompter_);
  EXPECT_EQ(
      ShowAppMessage(u"Line 1\r\nLine 2\r\n", PromptButtons::kOkCancel, PromptIcon::kInformation),
      kIdCancel);
  EXPECT_EQ(caption, QStringLiteral("Quenvar"));
  EXPECT_EQ(text, QStringLiteral("Line 1\nLine 2\n"));
  EXPECT_EQ(icon, QMessageBox::Information);
}

TEST_F(QtPrompterTest, CallsFromAWorkerThreadRunOnTheGuiThread) {
  ScopedPrompter scope(&prompter_);
  std::atomic<bool> shown_on_gui{false};
  OnModal([&](QWidget* modal) {
    shown_on_gui = QThread::currentThread() == QApplication::instance()->thread();
    ClickButton(modal, QStringLiteral("Yes"));
  });
  std::atomic<int> answer{0};
  std::atomic<bool> worker_sees_main{true};
  QWidget main_window;
  prompter_.SetMainWindow(&main_window);
  std::thread worker([&] {
    worker_sees_main = prompter_.MainWindow() != nullptr;
    answer =
        ShowAppMessage(LoadString(ids::kOnBattery), PromptButtons::kYesNo, PromptIcon::kWarning);
  });
  while (answer == 0) QApplication::processEvents(QEventLoop::AllEvents, 10);
  worker.join();
  EXPECT_EQ(answer, kIdYes);
  EXPECT_TRUE(shown_on_gui);
  EXPECT_FALSE(worker_sees_main) << "a worker thread has no main window";
  EXPECT_EQ(prompter_.MainWindow(), QtPrompter::WindowOf(&main_window));
}

TEST_F(QtPrompterTest, ErrorReportOwnedByAWindowHasTheDefaultCaption) {
  ScopedPrompter scope(&prompter_);
  QWidget owner;
  QString caption;
  QWidget* parent = nullptr;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  OnModal([&](QWidget* modal) {
    caption = modal->windowTitle();
    parent = modal->parentWidget();
    icon = qobject_cast<QMessageBox*>(modal)->icon();
    ClickButton(modal, QStringLiteral("OK"));
  });
  CErrorObject error(kModuleWrenCtrl, 1304, 0x0800001B, u"", 0, QtPrompter::WindowOf(&owner));
  EXPECT_EQ(caption, QStringLiteral("Error"));
  EXPECT_EQ(parent, &owner);
  EXPECT_EQ(icon, QMessageBox::Warning);
  EXPECT_TRUE(prompter_.IsWindow(&owner));
  int not_a_widget = 0;
  EXPECT_FALSE(prompter_.IsWindow(&not_a_widget));
  EXPECT_FALSE(prompter_.IsWindow(kInvalidWindow));
}

TEST_F(QtPrompterTest, SmallDialogsThroughThePrompter) {
  OnModal([&](QWidget* modal) { ClickButton(modal, QStringLiteral("Next")); });
  EXPECT_EQ(prompter_.SelectNextProcess(nullptr, u"Disc 1"), kIdNextMedia);
  OnModal([&](QWidget* modal) { modal->close(); });
  EXPECT_EQ(prompter_.ConfirmCancel(nullptr, u"Quenvar", u"Cancel?"), kIdCancel);
  OnModal([&](QWidget* modal) {
    modal->findChild<QComboBox*>(QStringLiteral("list"))->setCurrentIndex(1);
    ClickButton(modal, QStringLiteral("OK"));
  });
  EXPECT_EQ(prompter_.Choose({ids::kDlgSelectFlashMemory, nullptr, {u"a", u"b"}, true}), 1);
  OnModal([&](QWidget* modal) { ClickButton(modal, QStringLiteral("Cancel")); });
  EXPECT_EQ(prompter_.Choose({ids::kDlgSelectFlashMemory, nullptr, {u"a", u"b"}, true}), -1);
  EXPECT_EQ(prompter_.Choose({ids::kDlgSelectDrive, nullptr, {}, false}), -1);

  prompter_.ShowWaitNotice(LoadString(ids::kPleaseWait));
  ASSERT_NE(prompter_.wait_window(), nullptr);
  EXPECT_TRUE(prompter_.wait_window()->isVisible());
  EXPECT_NEAR(prompter_.wait_window()->windowOpacity(), 190.0 / 255.0, 0.01);
  prompter_.ShowWaitNotice(u"again");  // replaces the first
  EXPECT_EQ(prompter_.wait_window()->text(), QStringLiteral("again"));
  prompter_.CloseWaitNotice();
  EXPECT_EQ(prompter_.wait_window(), nullptr);
}

}  // namespace
}  // namespace quenvar::app
