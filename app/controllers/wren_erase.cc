// CWrenCtrl: erasing rewritable media after asking the user.
#include <cerrno>

#include "app/controllers/erase_progress_dlg.h"
#include "app/controllers/wren_ctrl.h"
#include "app/prompting/controller_ui.h"
#include "app/prompting/error_object.h"
#include "app/resources/string_ids.h"
#include "app/resources/string_table.h"
#include "quillden/progress.h"
#include "quillden/result.h"

namespace quenvar::app {

uint32_t CWrenCtrl::ConfirmErase(PromptWindow window, int32_t drive_number, int quick) {
  if (window == nullptr || window == kInvalidWindow) {
    Report(746, kErrorInternal);
    return QD_E_INVALID_ARGUMENT;
  }
  const uint32_t question = quick ? ids::kAskQuickErase : ids::kAskFullErase;
  if (ShowAppMessage(LoadString(question), PromptButtons::kOkCancel, PromptIcon::kWarning,
                     window) != kIdOk) {
    ReleaseAndEject(drive_number);
    return QD_E_NOT_READY;
  }
  if (EraseMedia(quick, drive_number)) return 0;
  ReleaseAndEject(drive_number);
  MessageRequest request;
  request.owner = window;
  request.text = std::u16string(LoadString(ids::kEraseFailed));
  request.caption = std::u16string(LoadString(ids::kErrorCaption));
  request.buttons = PromptButtons::kOk;
  request.icon = PromptIcon::kWarning;
  CurrentPrompter().ShowMessage(request);
  return QD_E_NOT_READY;
}

int CWrenCtrl::EraseMedia(int quick, int32_t drive_number) {
  ControllerUi& ui = CurrentControllerUi();
  HWND window = ui.EngineWindow();
  if (drive_number < 1 || drive_number > 25) return 0;
  HANDLE drive = DRV_OpenDrive(static_cast<DWORD>(drive_number));
  if (drive == nullptr) {
    Report(819, kErrorInternal, LoadString(ids::kNoRecorder));
    return 0;
  }
  if (drive == INVALID_HANDLE_VALUE) {
    Report(824, kErrorInvalidHandle);
    return 0;
  }
  busy_ = 1;
  ui.SetExecutionState(kEsKeepAwake);
  DRV_LockMedia(window, drive, TRUE, kEjectNoticeMessage);

  progress_ = PRG_CreateProgress();
  int result = -1;
  if (progress_ != nullptr) {
    CEraseProgressDlg dialog;
    result = dialog.Run(CurrentPrompter().MainWindow(), progress_, drive, quick);
    const uint32_t code = PRG_GetProgressErrorCode(progress_);
    PRG_DestroyProgress(progress_);
    progress_ = nullptr;
    // An erase that never started has no worker: its object answers 0x08000010, which is no news.
    if (code != 0 && code != QD_E_CANCELLED && code != QD_E_INVALID_HANDLE)
      Report(865, static_cast<int>(code));
  }
  int erased = 1;
  if (result != 0) {
    DRV_LockMedia(window, drive, FALSE, kEjectNoticeMessage);
    DRV_FlushDrive(drive);
    DRV_EjectMedia(drive, TRUE);
    DRV_FlushDrive(drive);
    erased = 0;
  }
  DRV_LockMedia(window, drive, FALSE, kEjectNoticeMessage);
  busy_ = 0;
  ui.SetExecutionState(kEsContinuous);
  DRV_CloseDrive(drive);
  return erased;
}

}  // namespace quenvar::app
