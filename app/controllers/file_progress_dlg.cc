#include "app/controllers/file_progress_dlg.h"

#include <cerrno>

#include "app/prompting/error_object.h"
#include "app/resources/string_ids.h"
#include "app/resources/string_table.h"
#include "platform/message_window.h"
#include "quillden/datadisk.h"
#include "quillden/mastering.h"
#include "quillden/progress.h"
#include "quillden/result.h"

namespace quenvar::app {
namespace {

bool IsEntry(HANDLE entry) {
  return entry != nullptr && entry != INVALID_HANDLE_VALUE;
}

// Names on a disc compare without regard to the case of ASCII letters.
bool SameDiscPath(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char16_t x = a[i], y = b[i];
    if (x >= u'a' && x <= u'z') x = static_cast<char16_t>(x - 32);
    if (y >= u'a' && y <= u'z') y = static_cast<char16_t>(y - 32);
    if (x != y) return false;
  }
  return true;
}

// The disc path of the boot image entry below first (and its siblings), empty when there is none.
std::u16string FindBootEntry(HANDLE disc, HANDLE first, int depth) {
  for (HANDLE entry = first; IsEntry(entry) && depth < 128;
       entry = MST_GetNextDatadiskFile(disc, entry)) {
    WIN32_FIND_DATAW find{};
    if (MST_GetFindDataDatadiskFile(disc, entry, &find) != 0) break;
    if (find.dwFileAttributes & DDF_ATTR_BOOT_IMAGE) {
      WCHAR path[260] = {};
      if (MST_GetDatadiskFilename(disc, entry, path, 260) == 0) return path;
      return {};
    }
    if (find.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      std::u16string found = FindBootEntry(disc, MST_GetChildDatadiskFile(disc, entry), depth + 1);
      if (!found.empty()) return found;
    }
  }
  return {};
}

}  // namespace

int CFileProgressDlg::Run(PromptWindow owner) {
  return CurrentControllerUi().RunModal(owner, *this);
}

uint16_t CFileProgressDlg::dialog_id() const {
  return ids::kDlgFileProgress;
}

void CFileProgressDlg::Report(int location, int code, std::u16string_view text) const {
  CErrorObject report(kModuleFileProgressDlg, location, code, text, static_cast<uint32_t>(errno),
                      context_ ? context_->window() : nullptr);
}

void CFileProgressDlg::OnOpen(ModalContext& context) {
  context_ = &context;
  files_added_ = 0;
  cancel_requested_ = 0;
  if (map_ == nullptr || map_->empty()) {
    context.EndDialog(0);
    return;
  }
  next_ = map_->begin();
  // Known before the worker runs, so that its questions are answered without touching the disc.
  if (MST_IsBootImageFile(disc_))
    boot_entry_ = FindBootEntry(disc_, MST_GetRootDatadiskFile(disc_), 0);
  window_ = platform::CreateMessageWindow(
      [this](HWND, UINT message, WPARAM wparam, LPARAM lparam) -> LRESULT {
        if (message != kFileProgressMessage) return 0;
        return OnEngineMessage(wparam, lparam);
      });
  AddNext();
}

void CFileProgressDlg::Finish(int result) {
  if (file_progress_ != nullptr) {
    PRG_DestroyFileProgress(file_progress_);
    file_progress_ = nullptr;
  }
  adding_ = false;
  context_->EndDialog(result);
}

void CFileProgressDlg::AddNext() {
  if (file_progress_ != nullptr) {
    PRG_DestroyFileProgress(file_progress_);  // its worker has ended: FP_FINISHED came first
    file_progress_ = nullptr;
  }
  if (next_ == map_->end()) {
    Finish(cancel_requested_ ? -1 : files_added_);
    return;
  }
  file_progress_ = PRG_CreateFileProgress();
  if (file_progress_ == nullptr) {
    Finish(-1);
    return;
  }
  if (file_progress_ == INVALID_HANDLE_VALUE) {
    file_progress_ = nullptr;
    Report(81, kErrorInvalidHandle);
    Finish(-1);
    return;
  }
  const std::u16string& source = next_->first;
  const std::u16string& target = next_->second;
  ++next_;
  const uint32_t set = PRG_SetFileProgressMessage(file_progress_, window_, kFileProgressMessage);
  if (set != 0) {
    Report(104, static_cast<int>(set));
    Finish(-1);
    return;
  }
  const uint32_t result =
      MST_AddDatadiskFileProgress(disc_, source.c_str(), target.c_str(), file_progress_);
  if (result == 0) {
    adding_ = true;
    return;
  }
  if (result == QD_E_SOURCE_MISSING || result == QD_E_FILE_OPEN || result == QD_E_READ_FILE) {
    WCHAR path[260] = {};
    MST_GetErrorTargetPath(disc_, path);
    const std::u16string shown = path[0] != 0 ? std::u16string(path) : source;
    Report(137, static_cast<int>(result), FormatString(ids::kOpenFileFailed, {shown}));
  } else {
    Report(141, static_cast<int>(result));
  }
  Finish(-1);
}

LRESULT CFileProgressDlg::OnEngineMessage(WPARAM code, LPARAM text) {
  if (code == FP_FINISHED) {
    adding_ = false;
    ++files_added_;
    AddNext();
    return 0;
  }
  if (cancel_requested_) return static_cast<LRESULT>(FP_REPLY_CANCEL);
  const char16_t* string = reinterpret_cast<const char16_t*>(text);
  switch (code) {
    case FP_ASK_DUPLICATE:
      if (string != nullptr && !boot_entry_.empty() && SameDiscPath(string, boot_entry_)) {
        ShowAppMessage(std::u16string(LoadString(ids::kBootImageNameClash)) + string,
                       PromptButtons::kOk, PromptIcon::kWarning, context_->window());
        return 0;  // keep the boot image
      }
      return 1;  // replace
    case FP_ASK_NAME:
      return 0;
    case FP_ASK_UNREADABLE:
      return 1;  // skip
    default:
      return 0;
  }
}

void CFileProgressDlg::OnCancel(ModalContext& context) {
  if (ShowAppMessage(LoadString(ids::kAskCancelThisProcess), PromptButtons::kYesNo,
                     PromptIcon::kWarning, context.window()) != kIdYes) {
    return;
  }
  if (adding_) {
    cancel_requested_ = 1;  // the engine hears of it at its next question
  } else {
    Finish(-1);
  }
}

void CFileProgressDlg::OnDestroy(ModalContext& context) {
  (void)context;
  // The window goes first: a worker still blocked on a question then gets its answer (0) and ends.
  if (window_ != nullptr) platform::DestroyMessageWindow(window_);
  window_ = nullptr;
  if (file_progress_ != nullptr) {
    PRG_DestroyFileProgress(file_progress_);  // only when the dialog was ended while a worker ran
    file_progress_ = nullptr;
  }
  context_ = nullptr;
}

}  // namespace quenvar::app
