// DRV_GetFileSystemInformation: which file systems a session of a disc holds, and its label.
#include <algorithm>
#include <memory>
#include <new>

#include "drive/drive_handle.h"
#include "filesystems/reader/block_source.h"
#include "filesystems/reader/disc_reader.h"
#include "quillden/drive.h"
#include "quillden/export.h"
#include "quillden/result.h"

using quillden::reader::BlockSource;
using quillden::reader::DiscReader;

QUILLDEN_EXTERN_C QUILLDEN_API DWORD DRV_GetFileSystemInformation(HANDLE drive, WORD session,
                                                                 _FILESYSTEMINFORMATION* info) {
  if (!quillden::drive::DriveFromHandle(drive)) return QD_E_INVALID_HANDLE;
  if (info == nullptr || static_cast<HANDLE>(info) == INVALID_HANDLE_VALUE) return QD_E_INVALID_ARGUMENT;
  try {
    uint32_t start = 0;
    uint32_t result = quillden::reader::FindSessionStart(drive, session, &start);
    if (result != QD_OK) return QD_E_INVALID_ARGUMENT;
    BlockSource source(drive);
    DiscReader reader(&source);
    result = reader.Recognize(start);
    if (result != QD_OK) return result;
    if (reader.udf_unreadable()) return QD_E_UNKNOWN_FILE_SYSTEM;
    const uint32_t bits = reader.bits();
    _FILESYSTEMINFORMATION filled{};
    const std::u16string& label = reader.label();
    std::copy_n(label.data(), std::min<size_t>(label.size(), 32), filled.szVolumeLabel);
    filled.dwFileSystems = ((bits & (quillden::reader::kSeenIso9660 | quillden::reader::kSeenJoliet)) ? FILESYSTEM_ISO9660 : 0) |
                           ((bits & quillden::reader::kSeenUdf) ? FILESYSTEM_UDF : 0) |
                           ((bits & quillden::reader::kSeenUdf250) ? FILESYSTEM_UDF250 : 0);
    *info = filled;
    return QD_OK;
  } catch (const std::bad_alloc&) {
    return QD_E_OUT_OF_MEMORY;
  }
}
