// Orvex controllers: the file progress dialog (145, "Reading Files/Folders").
//
// Hands the entries of a file map to the engine's add worker one at a time and answers the
// worker's questions (the file progress protocol of quillden/datadisk.h) from a message window of
// its own: a duplicate of the boot image entry is refused with 15048 (the boot image stays), other
// duplicates replace the existing entry, long names are kept, unreadable sources are skipped.
// [Cancel] asks 15049; a confirmed cancel is told to the engine at its next question. The dialog
// ends with the number of entries added, or -1 after a cancel or a failure (reported, module 9).
// Logic only: a ControllerUi shows it.
#ifndef QUENVAR_APP_CONTROLLERS_FILE_PROGRESS_DLG_H_
#define QUENVAR_APP_CONTROLLERS_FILE_PROGRESS_DLG_H_

#include <cstdint>
#include <string>

#include "app/contents/disc_job_settings.h"
#include "app/prompting/controller_ui.h"
#include "quillden/types.h"

namespace quenvar::app {

// The window message of the file progress protocol.
inline constexpr uint32_t kFileProgressMessage = 0x8003;

class CFileProgressDlg : public ModalDialog {
 public:
  CFileProgressDlg(HANDLE disc, const FileMap* map) : disc_(disc), map_(map) {}

  int Run(PromptWindow owner);

  uint16_t dialog_id() const override;
  void OnOpen(ModalContext& context) override;
  void OnCancel(ModalContext& context) override;
  void OnDestroy(ModalContext& context) override;

 private:
  LRESULT OnEngineMessage(WPARAM code, LPARAM text);
  void AddNext();
  void Finish(int result);
  void Report(int location, int code, std::u16string_view text = {}) const;

  HANDLE disc_;
  int32_t files_added_ = 0;
  HANDLE file_progress_ = nullptr;
  int32_t cancel_requested_ = 0;
  const FileMap* map_;
  FileMap::const_iterator next_;
  bool adding_ = false;        // an entry is with the engine
  std::u16string boot_entry_;  // disc path of the boot image entry, empty when none
  HWND window_ = nullptr;
  ModalContext* context_ = nullptr;
};

}  // namespace quenvar::app

#endif  // QUENVAR_APP_CONTROLLERS_FILE_PROGRESS_DLG_H_
