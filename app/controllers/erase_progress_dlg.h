// Orvex controllers: the erase progress dialog (143, "Erasing Rewritable Media").
//
// A start timer (513) starts the engine's erase worker once the dialog shows; a poll timer (512)
// reads the progress object once a second, moves the bar (range 0..1000 until the engine reports
// its own end) and ends the dialog with the erase's result code when the worker is done. [Cancel]
// asks 15030 and, on Yes, asks the engine to stop; the dialog still waits for the worker's end.
// Failures are reported with module 7. Logic only: a ControllerUi shows it.
#ifndef QUENVAR_APP_CONTROLLERS_ERASE_PROGRESS_DLG_H_
#define QUENVAR_APP_CONTROLLERS_ERASE_PROGRESS_DLG_H_

#include <cstdint>

#include "app/prompting/controller_ui.h"
#include "quillden/types.h"

namespace quenvar::app {

inline constexpr uint32_t kErasePollTimer = 512;
inline constexpr uint32_t kEraseStartTimer = 513;
inline constexpr uint32_t kEraseTimerPeriodMs = 1000;

class CEraseProgressDlg : public ModalDialog {
 public:
  // Runs the dialog over owner; the erase's result code (0 erased), -1 when it could not start.
  int Run(PromptWindow owner, HANDLE progress, HANDLE drive, int quick);

  uint16_t dialog_id() const override;
  bool has_progress_bar() const override { return true; }
  void OnOpen(ModalContext& context) override;
  void OnTimer(ModalContext& context, uint32_t id) override;
  void OnCancel(ModalContext& context) override;

 private:
  void Report(ModalContext& context, int location, int code) const;
  void StartErase(ModalContext& context);
  void Poll(ModalContext& context);

  HANDLE progress_ = nullptr;
  int32_t quick_ = 1;
  HANDLE drive_ = nullptr;
  uint32_t start_timer_ = 0;
  uint32_t poll_timer_ = 0;
};

}  // namespace quenvar::app

#endif  // QUENVAR_APP_CONTROLLERS_ERASE_PROGRESS_DLG_H_
