// Orvex controllers: the ControllerUi of the Qt program.
//
// Modal dialogs become QDialogs with the template's title and texts, a progress bar (control 1020)
// when the dialog has one, and [Cancel]; their timers are QTimers, and platform messages (the
// engine's questions to a dialog's message window) are dispatched while they run. The main window
// plugs its progress display, keep-awake guard and message window in through the setters. Call
// everything on the GUI thread.
#ifndef QUENVAR_APP_CONTROLLERS_QT_CONTROLLER_UI_H_
#define QUENVAR_APP_CONTROLLERS_QT_CONTROLLER_UI_H_

#include <QWidget>
#include <functional>

#include "app/prompting/controller_ui.h"

namespace quenvar::app {

class QtControllerUi : public ControllerUi {
 public:
  void set_progress_display(std::function<void(int mode)> start, std::function<void()> stop) {
    start_display_ = std::move(start);
    stop_display_ = std::move(stop);
  }
  void set_execution_state(std::function<void(uint32_t)> set) { set_state_ = std::move(set); }
  void set_engine_window(HWND window) { engine_window_ = window; }

  // The dialog currently run by RunModal (tests), or null.
  QWidget* active_dialog() const { return active_; }

  int RunModal(PromptWindow owner, ModalDialog& dialog) override;
  void ProcessPendingMessages() override;
  void StartProgressDisplay(int mode) override;
  void StopProgressDisplay() override;
  void SetExecutionState(uint32_t flags) override;
  HWND EngineWindow() override { return engine_window_; }

 private:
  std::function<void(int)> start_display_;
  std::function<void()> stop_display_;
  std::function<void(uint32_t)> set_state_;
  HWND engine_window_ = nullptr;
  QWidget* active_ = nullptr;
};

}  // namespace quenvar::app

#endif  // QUENVAR_APP_CONTROLLERS_QT_CONTROLLER_UI_H_
