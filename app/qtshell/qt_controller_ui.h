// Orvex Qt shell: the ControllerUi of the Qt program.
//
// Modal dialogs become QDialogs with the template's title and texts, a progress bar (control 1020)
// when the dialog has one, and [Cancel]; their timers are QTimers, and platform messages (the
// engine's questions to a dialog's message window) are dispatched while they run. The progress
// display, the keep-awake request and the engine's message window are the main window's: its run
// wraps this ControllerUi with them (OrvexControllerUi), so here they do nothing. Call everything
// on the GUI thread.
#ifndef QUENVAR_APP_QTSHELL_QT_CONTROLLER_UI_H_
#define QUENVAR_APP_QTSHELL_QT_CONTROLLER_UI_H_

#include <QWidget>

#include "app/prompting/controller_ui.h"

namespace quenvar::app {

class QtControllerUi : public ControllerUi {
 public:
  // The dialog currently run by RunModal (tests), or null.
  QWidget* active_dialog() const { return active_; }

  int RunModal(PromptWindow owner, ModalDialog& dialog) override;
  void ProcessPendingMessages() override;
  void StartProgressDisplay(int) override {}
  void StopProgressDisplay() override {}
  void SetExecutionState(uint32_t) override {}
  HWND EngineWindow() override { return nullptr; }

 private:
  QWidget* active_ = nullptr;
};

}  // namespace quenvar::app

#endif  // QUENVAR_APP_QTSHELL_QT_CONTROLLER_UI_H_
