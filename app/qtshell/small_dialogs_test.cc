#include "app/qtshell/small_dialogs.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QTextLayout>
#include <QTimer>
#include <cstdlib>
#include <vector>

#include "app/qtshell/qt_text.h"
#include "app/resources/string_ids.h"
#include "app/resources/string_table.h"
#include "app/testing/qt_test_app.h"

namespace quenvar::app {
namespace {

class SmallDialogsTest : public testing::Test {
 protected:
  static void SetUpTestSuite() { test_support::EnsureQtApplication(); }
  void SetUp() override { SetUiLanguage(kLangEnglish); }
  void TearDown() override { SetUiLanguage(kLangEnglish); }

  // Once the dialog runs its loop, act on it.
  static void WhenShown(QDialog* dialog, std::function<void()> action) {
    auto* timer = new QTimer(dialog);
    QObject::connect(timer, &QTimer::timeout, dialog, [dialog, timer, action] {
      if (!dialog->isVisible()) return;
      timer->stop();
      action();
    });
    timer->start(5);
  }

  static void Click(QDialog* dialog, int id) {
    auto* button = dialog->findChild<QPushButton*>(QString::number(id));
    ASSERT_NE(button, nullptr) << id;
    button->click();
  }
};

// The lines a word-wrapped label shows its text in, at the label's present width.
std::vector<QString> WrappedLines(const QLabel& label) {
  QTextLayout layout(label.text(), label.font());
  QTextOption option;
  option.setWrapMode(QTextOption::WordWrap);
  layout.setTextOption(option);
  std::vector<QString> lines;
  layout.beginLayout();
  for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
    line.setLineWidth(label.contentsRect().width());
    lines.push_back(label.text().mid(line.textStart(), line.textLength()));
  }
  layout.endLayout();
  return lines;
}

// In every language, and however narrow the box, a "[Retry]" is never split across two lines.
TEST_F(SmallDialogsTest, SelNextProcNeverWrapsInsideAButtonName) {
  for (const LangId language : SupportedLanguages()) {
    SetUiLanguage(language);
    for (const int width : {0, 220, 280, 360}) {
      CSelNextProcDlg dialog;
      dialog.Prepare(u"Recovery Disc 1");
      dialog.show();
      if (width != 0) dialog.resize(width, dialog.heightForWidth(width));
      QApplication::processEvents();
      // QUENVAR_SCREENSHOT_DIR keeps a picture of each box for a look by eye.
      if (const char* shots = std::getenv("QUENVAR_SCREENSHOT_DIR")) {
        dialog.grab().save(QString("%1/selnextproc-%2-%3.png").arg(shots).arg(language).arg(width));
      }
      for (const int item : {ids::kStaticText1, ids::kStaticText2, ids::kStaticText3}) {
        auto* label = dialog.findChild<QLabel*>(QString::number(item));
        ASSERT_NE(label, nullptr);
        for (const QString& line : WrappedLines(*label)) {
          EXPECT_EQ(line.count(u'['), line.count(u']'))
              << language << " at " << width << ": " << line.toStdString();
        }
      }
    }
  }
}

TEST_F(SmallDialogsTest, SelNextProcReturnsTheButtonAndCloseMeansAbort) {
  for (int id : {ids::kItemRetry, ids::kItemNext, ids::kItemCancel}) {
    CSelNextProcDlg dialog;
    WhenShown(&dialog, [&dialog, id] { Click(&dialog, id); });
    EXPECT_EQ(dialog.Run(u"Recovery Disc 1"), id);
  }
  {
    CSelNextProcDlg dialog;
    WhenShown(&dialog, [&dialog] { dialog.close(); });
    EXPECT_EQ(dialog.Run(u"Recovery Disc 1"), 2) << "close box acts as Abort";
  }
  {
    CSelNextProcDlg dialog;
    WhenShown(&dialog, [&dialog] {
      QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
      QApplication::sendEvent(&dialog, &escape);
    });
    EXPECT_EQ(dialog.Run(u"Recovery Disc 1"), 2);
  }
}

TEST_F(SmallDialogsTest, SelNextProcTexts) {
  SetUiLanguage(kLangJapanese);
  CSelNextProcDlg dialog;
  dialog.Prepare(u"ディスク 2");
  EXPECT_EQ(dialog.windowTitle(), QString::fromUtf8("ディスク 2 を作成しています"));
  EXPECT_EQ(dialog.first_line(), QString::fromUtf8("ディスク 2 の作成に失敗しました。"));
  auto* next = dialog.findChild<QPushButton*>(QStringLiteral("1022"));
  ASSERT_NE(next, nullptr);
  EXPECT_EQ(next->text(), QString::fromUtf8("次へ"));
  auto* hint = dialog.findChild<QLabel*>(QStringLiteral("1103"));
  ASSERT_NE(hint, nullptr);
  EXPECT_EQ(hint->text().remove(QChar(0x2060)),  // the word joiners only bind "[中止]"
            ToQString(DialogText(ids::kDlgSelNextProc, ids::kStaticText3, kLangJapanese)));
}

TEST_F(SmallDialogsTest, CancelDlgReturnsOkOrCancel) {
  struct Case {
    int press;  // 0: close box
    int expected;
  } cases[] = {{ids::kItemOk, 1}, {ids::kItemCancel, 2}, {0, 2}};
  for (const Case& c : cases) {
    CCancelDlg dialog;
    dialog.SetTitle(u"Quenvar");
    dialog.SetText(LoadString(ids::kAskCancelProcess));
    WhenShown(&dialog, [&dialog, c] {
      if (c.press)
        Click(&dialog, c.press);
      else
        dialog.close();
    });
    EXPECT_EQ(dialog.Run(), c.expected);
    EXPECT_EQ(dialog.last_command(), c.expected);
    EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Quenvar"));
    EXPECT_EQ(dialog.text(), QStringLiteral("Do you want to cancel the current process?"));
  }
}

TEST_F(SmallDialogsTest, WaitWindowIsTranslucentAndShowsItsText) {
  CMsgDlg window;
  window.ShowText(LoadString(ids::kPleaseWait));
  EXPECT_TRUE(window.isVisible());
  EXPECT_FALSE(window.isModal());
  EXPECT_NEAR(window.windowOpacity(), 190.0 / 255.0, 0.01);
  EXPECT_EQ(window.text(), QStringLiteral("Please wait.\n"));
  window.close();
  MakeTranslucent(nullptr, 10);  // no window: nothing happens
}

}  // namespace
}  // namespace quenvar::app
