// Orvex prompting: what the controllers need from the user interface besides prompts.
//
// Controllers never create widgets. Their modal dialogs with timers and a progress bar (erase
// progress 143, file progress 145) are ModalDialog objects: pure logic that a ControllerUi runs in
// a window of its own and drives through ModalContext (timers, the progress bar, ending the dialog)
// and the dialog's Cancel button. The Qt program installs QtControllerUi
// (app/qtshell/qt_controller_ui.h); tests and the headless front end install
// ScriptedControllerUi (scripted_controller_ui.h), which runs the same dialogs without windows and
// presses Cancel on script.
//
// ControllerUi also carries the main window's side of a job: processing pending messages while a
// controller polls, the progress display that the panel's timer feeds, the keep-awake request, and
// the message window that receives the engine's eject-button notices. All calls are made on the
// main thread. The installed ControllerUi is process-wide and must outlive its callers.
#ifndef QUENVAR_APP_PROMPTING_CONTROLLER_UI_H_
#define QUENVAR_APP_PROMPTING_CONTROLLER_UI_H_

#include <cstdint>

#include "app/prompting/prompt.h"
#include "quillden/types.h"

namespace quenvar::app {

// Keep-awake flags of SetExecutionState.
inline constexpr uint32_t kEsContinuous = 0x80000000u;
inline constexpr uint32_t kEsKeepAwake = 0x80000041u;  // continuous, system and away mode required

class ModalContext {
 public:
  virtual ~ModalContext() = default;
  // The dialog as the owner of the questions it asks.
  virtual PromptWindow window() const = 0;
  // A repeating timer; false when it cannot be set. Setting an existing id restarts it.
  virtual bool SetTimer(uint32_t id, uint32_t period_ms) = 0;
  // False when no such timer runs.
  virtual bool KillTimer(uint32_t id) = 0;
  virtual void SetProgressRange(int32_t low, int32_t high) = 0;
  virtual void SetProgressPosition(int32_t position) = 0;
  // Ends the modal run with result once the current handler returns.
  virtual void EndDialog(int result) = 0;
};

class ModalDialog {
 public:
  virtual ~ModalDialog() = default;
  // The dialog template (title and texts come from the tables).
  virtual uint16_t dialog_id() const = 0;
  virtual bool has_progress_bar() const { return false; }
  // The window exists; a dialog that cannot start calls EndDialog here.
  virtual void OnOpen(ModalContext& context) = 0;
  virtual void OnTimer(ModalContext& context, uint32_t id) { (void)context, (void)id; }
  // The [Cancel] button (also the close box and Escape).
  virtual void OnCancel(ModalContext& context) = 0;
  // The window is being destroyed, whatever ended it.
  virtual void OnDestroy(ModalContext& context) { (void)context; }
};

class ControllerUi {
 public:
  virtual ~ControllerUi() = default;
  // Runs dialog modally over owner; returns the value given to EndDialog, -1 when the dialog
  // could not be shown.
  virtual int RunModal(PromptWindow owner, ModalDialog& dialog) = 0;
  // Lets the user interface process what is pending (window events and platform messages).
  virtual void ProcessPendingMessages() = 0;
  // The main window's progress display reads the running job through the controller (mode 0
  // writing, 1 verifying) until StopProgressDisplay.
  virtual void StartProgressDisplay(int mode) = 0;
  virtual void StopProgressDisplay() = 0;
  // The keep-awake request of a running job (kEsKeepAwake), and its end (kEsContinuous).
  virtual void SetExecutionState(uint32_t flags) = 0;
  // The message window that receives the engine's eject-button notice of a locked drive; may be
  // null.
  virtual HWND EngineWindow() = 0;
};

// The installed ControllerUi. Before any is installed a ScriptedControllerUi with its defaults
// stands in, so nothing ever blocks on a missing user interface.
ControllerUi& CurrentControllerUi();
void SetControllerUi(ControllerUi* ui);

class ScopedControllerUi {
 public:
  explicit ScopedControllerUi(ControllerUi* ui);
  ~ScopedControllerUi();
  ScopedControllerUi(const ScopedControllerUi&) = delete;
  ScopedControllerUi& operator=(const ScopedControllerUi&) = delete;

 private:
  ControllerUi* previous_;
};

}  // namespace quenvar::app

#endif  // QUENVAR_APP_PROMPTING_CONTROLLER_UI_H_
