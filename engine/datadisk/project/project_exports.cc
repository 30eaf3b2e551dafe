// MST_SaveProjectDatadisk and MST_LoadProjectDatadisk: the checks at the boundary.
#include "datadisk/project/project_file.h"
#include "platform/message_window.h"
#include "platform/unicode.h"
#include "quillden/datadisk.h"
#include "quillden/result.h"

namespace quillden::project {
namespace {

// The last component of a local path: the text after the last "/".
bool PathHasBadName(std::u16string_view path) {
  size_t slash = path.rfind(u'/');
  return HasBadCharacter(slash == std::u16string_view::npos ? path : path.substr(slash + 1));
}

template <typename Body>
DWORD Guard(Datadisk& disc, Body&& body) {
  try {
    DWORD code = body();
    return code == QD_OK ? QD_OK : disc.Fail(code);
  } catch (const std::bad_alloc&) {
    return disc.Fail(QD_E_OUT_OF_MEMORY);
  }
}

}  // namespace
}  // namespace quillden::project

QUILLDEN_EXTERN_C QUILLDEN_API DWORD MST_SaveProjectDatadisk(HANDLE disc_handle, HANDLE file_progress,
                                                           const WCHAR* path) {
  auto disc = quillden::Datadisk::FromHandle(disc_handle);
  if (!disc) return QD_E_INVALID_HANDLE;
  return quillden::project::Guard(*disc, [&]() -> DWORD {
    std::u16string_view text = quenvar::platform::Utf16View(path);
    if (quillden::project::PathHasBadName(text)) return QD_E_BAD_CHARACTER;
    auto record = quillden::FileProgressRecord::FromHandle(file_progress);
    if (!record) return QD_E_INVALID_HANDLE;
    // The save announces its end through the object's result word: not while a worker owns it.
    if (record->Busy()) return QD_E_BUSY;
    if (text.empty()) return QD_E_FILE_OPEN;
    uint32_t result = quillden::project::SaveProject(*disc, text);
    // The save runs on the caller's thread; its end is announced as a worker's would be.
    record->result.store(result);
    HWND window = record->window.load();
    if (quenvar::platform::IsWindow(window)) {
      quenvar::platform::PostMessage(window, record->message.load(), FP_FINISHED, 0);
    }
    return result;
  });
}

QUILLDEN_EXTERN_C QUILLDEN_API DWORD MST_LoadProjectDatadisk(HANDLE disc_handle, HANDLE file_progress,
                                                           const WCHAR* path) {
  auto disc = quillden::Datadisk::FromHandle(disc_handle);
  if (!disc) return QD_E_INVALID_HANDLE;
  return quillden::project::Guard(*disc, [&]() -> DWORD {
    std::u16string_view text = quenvar::platform::Utf16View(path);
    if (quillden::project::PathHasBadName(text)) return QD_E_BAD_CHARACTER;
    auto record = quillden::FileProgressRecord::FromHandle(file_progress);
    if (!record) return QD_E_INVALID_HANDLE;
    if (auto running = record->worker(); running && !running->Ended()) return QD_E_BUSY;
    if (text.empty()) return QD_E_FILE_OPEN;
    return quillden::project::LoadProject(disc, record, text);
  });
}
