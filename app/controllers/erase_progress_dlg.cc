#include "app/controllers/erase_progress_dlg.h"

#include <cerrno>
#include <chrono>
#include <thread>

#include "app/controllers/wren_ctrl.h"
#include "app/prompting/error_object.h"
#include "app/resources/string_ids.h"
#include "app/resources/string_table.h"
#include "quillden/drive.h"
#include "quillden/progress.h"
#include "quillden/result.h"

namespace quenvar::app {

int CEraseProgressDlg::Run(PromptWindow owner, HANDLE progress, HANDLE drive, int quick) {
  progress_ = progress;
  drive_ = drive;
  quick_ = quick;
  start_timer_ = 0;
  poll_timer_ = 0;
  return CurrentControllerUi().RunModal(owner, *this);
}

uint16_t CEraseProgressDlg::dialog_id() const {
  return ids::kDlgErase;
}

void CEraseProgressDlg::Report(ModalContext& context, int location, int code) const {
  CErrorObject report(kModuleEraseProgressDlg, location, code, {}, static_cast<uint32_t>(errno),
                      context.window());
}

void CEraseProgressDlg::OnOpen(ModalContext& context) {
  context.SetProgressRange(0, 1000);
  if (!context.SetTimer(kEraseStartTimer, kEraseTimerPeriodMs)) {
    Report(context, 123, kErrorInternal);
    context.EndDialog(-1);
    return;
  }
  start_timer_ = kEraseStartTimer;
}

void CEraseProgressDlg::OnTimer(ModalContext& context, uint32_t id) {
  if (id == kEraseStartTimer) {
    StartErase(context);
  } else if (id == kErasePollTimer) {
    Poll(context);
  }
}

void CEraseProgressDlg::StartErase(ModalContext& context) {
  if (start_timer_ == 0) return;  // a tick that was already queued
  if (!context.KillTimer(start_timer_)) Report(context, 179, kErrorInternal);
  start_timer_ = 0;
  const uint32_t result = DRV_EraseMedia(drive_, progress_, quick_);
  if (result != 0) {
    context.EndDialog(static_cast<int>(result));
    return;
  }
  if (!context.SetTimer(kErasePollTimer, kEraseTimerPeriodMs)) {
    Report(context, 190, kErrorInternal);
    context.EndDialog(-1);
    return;
  }
  poll_timer_ = kErasePollTimer;
}

void CEraseProgressDlg::Poll(ModalContext& context) {
  if (poll_timer_ == 0 || progress_ == nullptr) return;
  if (progress_ == INVALID_HANDLE_VALUE) {
    Report(context, 210, kErrorInvalidHandle);
    return;
  }
  DWORD phase = 0, done = 0, end = 0;
  const uint32_t status = PRG_GetProgressStatus(progress_, &phase, &done, &end);
  if (phase == PRG_PHASE_ERASING) {
    _SESSIONTRACKPROGRESS track{};
    PRG_GetSessionTrackProgress(progress_, &track);
    context.SetProgressRange(0, static_cast<int32_t>(end));
    context.SetProgressPosition(static_cast<int32_t>(done));
  }
  if (status == PRG_STATUS_RUNNING || status == PRG_STATUS_NOT_STARTED ||
      status == PRG_STATUS_CANCEL_REQUESTED) {
    return;
  }
  uint32_t code = PRG_GetProgressErrorCode(progress_);
  if (!context.KillTimer(poll_timer_)) Report(context, 256, kErrorInternal);
  poll_timer_ = 0;
  if (code == QD_E_BUSY) code = SettledErrorCode(progress_);
  if (status == PRG_STATUS_SUCCEEDED) {
    context.SetProgressRange(0, static_cast<int32_t>(end));
    context.SetProgressPosition(static_cast<int32_t>(end) + 100);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  } else if (status == PRG_STATUS_FAILED) {
    if (code == QD_E_COMMAND_FAILED) {
      CErrorObject report(kModuleEraseProgressDlg, 293, static_cast<int>(code),
                          static_cast<uint32_t>(errno), DRV_GetLastCommandError(nullptr),
                          LoadString(ids::kEraseIssue), context.window());
    } else if (code != 0) {
      Report(context, 298, static_cast<int>(code));
    }
  }
  context.EndDialog(static_cast<int>(code));
}

void CEraseProgressDlg::OnCancel(ModalContext& context) {
  if (ShowAppMessage(LoadString(ids::kAskCancelErase), PromptButtons::kYesNo,
                     PromptIcon::kInformation, context.window()) != kIdYes) {
    return;
  }
  if (poll_timer_ == 0) {
    // The worker has not started yet: nothing to stop, the erase simply does not happen.
    if (start_timer_ != 0) context.KillTimer(start_timer_);
    start_timer_ = 0;
    context.EndDialog(static_cast<int>(QD_E_CANCELLED));
    return;
  }
  PRG_CancelProgress(progress_);
}

}  // namespace quenvar::app
