// Data disc settings (file systems, data mode, label, file version flag) and the size forecast.
#include <algorithm>
#include <new>

#include "datadisk/datadisk.h"
#include "datadisk/mastering/media_query.h"
#include "datadisk/mastering/session_layout.h"
#include "filesystems/ansi_code_page.h"
#include "filesystems/iso9660_records.h"
#include "platform/unicode.h"
#include "quillden/mastering.h"
#include "quillden/result.h"

namespace quillden::mastering {
namespace {

bool SessionImported(const Datadisk& disc) {
  return disc.imported_drive && disc.imported_drive != INVALID_HANDLE_VALUE &&
         disc.next_session_start > 0;
}

// Upper-case letters, digits, "_" and double-byte characters of the code page.
bool LabelPassesCharacterTest(std::u16string_view label) {
  const fs::AnsiCodePage& code_page = fs::AnsiCodePage::System();
  std::string bytes = fs::ToAnsiName(code_page, label);
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (code_page.IsPairAt(bytes, i)) {
      ++i;
      continue;
    }
    char c = bytes[i];
    if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_')) return false;
  }
  return true;
}

}  // namespace
}  // namespace quillden::mastering

using quillden::Datadisk;
using namespace quillden::mastering;

QUILLDEN_EXTERN_C QUILLDEN_API DWORD MST_SetFileSystem(HANDLE handle, DWORD value) {
  std::shared_ptr<Datadisk> disc = Datadisk::FromHandle(handle);
  if (!disc) return QD_E_INVALID_HANDLE;
  ClearBlockPositions(*disc);
  static const uint32_t kBits[] = {0, 3, 4, 7, 8, 11};
  if (value < 1 || value > 5) return disc->Fail(QD_E_INVALID_ARGUMENT);
  if (SessionImported(*disc)) return disc->Fail(QD_E_INVALID_SETTING);
  disc->file_system = kBits[value];
  return QD_OK;
}

QUILLDEN_EXTERN_C QUILLDEN_API DWORD MST_GetFileSystem(HANDLE handle) {
  std::shared_ptr<Datadisk> disc = Datadisk::FromHandle(handle);
  if (!disc) return QD_E_INVALID_HANDLE;
  switch (disc->file_system) {
    case 1:
    case 2:
    case 3:
      return MST_FS_ISO9660_JOLIET;
    case 4:
      return MST_FS_UDF102;
    case 5:
    case 6:
    case 7:
      return MST_FS_ISO9660_JOLIET_UDF102;
    case 8:
      return MST_FS_UDF250;
    case 11:
      return MST_FS_ISO9660_JOLIET_UDF250;
    default:
      disc->Fail(QD_E_DRIVER_REQUEST);
      return 0;
  }
}

QUILLDEN_EXTERN_C QUILLDEN_API DWORD MST_SetDataMode(HANDLE handle, DWORD mode) {
  std::shared_ptr<Datadisk> disc = Datadisk::FromHandle(handle);
  if (!disc) return QD_E_INVALID_HANDLE;
  if (mode != 1 && mode != 2) return disc->Fail(QD_E_INVALID_ARGUMENT);
  if (SessionImported(*disc)) return disc->Fail(QD_E_INVALID_SETTING);
  disc->data_mode = mode;
  return QD_OK;
}

QUILLDEN_EXTERN_C QUILLDEN_API DWORD MST_GetDataMode(HANDLE handle) {
  std::shared_ptr<Datadisk> disc = Datadisk::FromHandle(handle);
  if (!disc) return 0;
  if (disc->data_mode != 1 && disc->data_mode != 2) {
    disc->Fail(QD_E_DRIVER_REQUEST);
    return 0;
  }
  return disc->data_mode;
}

QUILLDEN_EXTERN_C QUILLDEN_API DWORD MST_SetVolumeLabel(HANDLE handle, const WCHAR* label) {
  std::shared_ptr<Datadisk> disc = Datadisk::FromHandle(handle);
  if (!disc) return QD_E_INVALID_HANDLE;
  if (!label) return disc->Fail(QD_E_INVALID_ARGUMENT);
  try {
    size_t length = quenvar::platform::Utf16Length(label, 33);
    if (length > 32) return disc->Fail(QD_E_NAME_TOO_LONG);
    std::u16string_view text(label, length);
    if (!LabelPassesCharacterTest(text)) return disc->Fail(QD_E_INVALID_ARGUMENT);
    std::copy_n(text.data(), length, disc->volume_label);
    disc->volume_label[length] = 0;
    return QD_OK;
  } catch (const std::bad_alloc&) {
    return disc->Fail(QD_E_OUT_OF_MEMORY);
  }
}

QUILLDEN_EXTERN_C QUILLDEN_API DWORD MST_GetVolumeLabel(HANDLE handle, WCHAR* buffer) {
  std::shared_ptr<Datadisk> disc = Datadisk::FromHandle(handle);
  if (!disc) return QD_E_INVALID_HANDLE;
  if (!buffer) return disc->Fail(QD_E_INVALID_ARGUMENT);
  quenvar::platform::CopyUtf16(quenvar::platform::Utf16View(disc->volume_label), buffer, 33);
  return QD_OK;
}

QUILLDEN_EXTERN_C QUILLDEN_API DWORD MST_SetFileVersionNumber(HANDLE handle, DWORD flag) {
  std::shared_ptr<Datadisk> disc = Datadisk::FromHandle(handle);
  if (!disc) return QD_E_INVALID_HANDLE;
  disc->file_version_flag = static_cast<int32_t>(flag);
  return QD_OK;
}

QUILLDEN_EXTERN_C QUILLDEN_API ULONGLONG MST_GetDatadiskSize(HANDLE handle, HANDLE drive) {
  constexpr ULONGLONG kFailure = ~0ull;
  std::shared_ptr<Datadisk> disc = Datadisk::FromHandle(handle);
  if (!disc) return kFailure;
  try {
    ClearBlockPositions(*disc);
    if (!disc->first_root()) {
      disc->Fail(QD_E_NOT_FOUND);
      return kFailure;
    }
    LayoutRequest request;
    request.file_system = disc->file_system;
    request.file_version = disc->file_version_flag != 0;
    request.refuse_large_files = false;
    // Without a drive the size assumes CD media; a drive whose media cannot be read adds nothing.
    // The forecast does not know the write type, so dual layer media count with their larger
    // header.
    SessionLayout layout;
    const bool no_drive = !drive || drive == INVALID_HANDLE_VALUE;
    const DriveMedia media = no_drive ? DriveMedia{} : QueryDriveMedia(drive);
    request.cd_media = no_drive || media.cd;
    layout.SetMedia(media.profile, kWriteTypeUnknown);
    uint32_t result = layout.Plan(*disc, request);
    if (result != QD_OK) {
      disc->Fail(result == QD_E_NOT_FOUND && disc->first_root() ? QD_E_INVALID_ARGUMENT : result);
      return kFailure;
    }
    uint64_t blocks = (uint64_t{layout.total()} + 15) / 16 * 16;
    return blocks * quillden::fs::kBlockSize;
  } catch (const std::bad_alloc&) {
    disc->Fail(QD_E_OUT_OF_MEMORY);
    return kFailure;
  }
}
