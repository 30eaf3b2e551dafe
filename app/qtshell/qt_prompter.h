// Orvex Qt shell: the prompter of the Qt program.
//
// Message boxes, the small dialogs and the choice dialogs as Qt widgets, with the texts of the
// string tables. A call from another thread than the GUI thread is carried to the GUI thread and
// blocks its caller until the user answered (the GUI thread must be processing events, as it does
// while the creation loop polls). A PromptWindow of this prompter is a QWidget pointer; it is only
// dereferenced after it was found among the application's live widgets.
#ifndef QUENVAR_APP_QTSHELL_QT_PROMPTER_H_
#define QUENVAR_APP_QTSHELL_QT_PROMPTER_H_

#include <QPointer>
#include <QWidget>

#include "app/prompting/prompt.h"

namespace quenvar::app {

class CMsgDlg;

class QtPrompter : public Prompter {
 public:
  QtPrompter();
  ~QtPrompter() override;

  static PromptWindow WindowOf(QWidget* widget) { return widget; }

  // The main window of the GUI thread (none by default).
  void SetMainWindow(QWidget* window);

  int ShowMessage(const MessageRequest& request) override;
  int SelectNextProcess(PromptWindow owner, std::u16string_view disc_title) override;
  int ConfirmCancel(PromptWindow owner, std::u16string_view title,
                    std::u16string_view text) override;
  int Choose(const ChoiceRequest& request) override;
  void ShowWaitNotice(std::u16string_view text) override;
  void CloseWaitNotice() override;
  bool IsWindow(PromptWindow window) const override;
  PromptWindow MainWindow() const override;

  // The wait window while one is shown (tests).
  CMsgDlg* wait_window() const;

 private:
  QWidget* LiveWidget(PromptWindow window) const;

  QPointer<QWidget> main_window_;
  QPointer<CMsgDlg> wait_window_;
};

}  // namespace quenvar::app

#endif  // QUENVAR_APP_QTSHELL_QT_PROMPTER_H_
