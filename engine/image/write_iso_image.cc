// CPY_WriteISOImage: a plain image of 2048-byte sectors, or of 2352-byte raw sectors recorded as
// CD mode 2, recorded as one data track.
#include <memory>
#include <new>
#include <string>

#include "datadisk/datadisk.h"
#include "datadisk/datadisk_env.h"
#include "drive/drive_handle.h"
#include "image/single_track.h"
#include "platform/env.h"
#include "platform/unicode.h"
#include "progress/progress_record.h"
#include "quillden/drive.h"
#include "quillden/image.h"
#include "quillden/progress.h"
#include "quillden/result.h"

namespace quillden::image {
namespace {

bool HasBadLocalName(std::u16string_view path) {
  size_t slash = path.rfind(u'/');
  return HasBadCharacter(slash == std::u16string_view::npos ? path : path.substr(slash + 1));
}

uint32_t WriteIsoImage(HANDLE drive, uint32_t write_mode, uint32_t data_mode, const WCHAR* path, HANDLE progress) {
  if (drive::IsBadHandle(drive) || !drive::DriveFromHandle(drive)) return QD_E_INVALID_HANDLE;
  if (write_mode < 1 || write_mode > 3 || data_mode < 1 || data_mode > 2) return QD_E_INVALID_ARGUMENT;
  if (progress) {
    std::shared_ptr<ProgressRecord> record = ProgressRecord::FromHandle(progress);
    if (!record) return QD_E_INVALID_HANDLE;
    if (quillden::ProgressBusy(record->status.load())) return QD_E_BUSY;
  }
  _MEDIAINFORMATION info{};
  uint32_t result = DRV_GetMediaInformation(drive, &info);
  if (result != QD_OK) return result;
  if (info.dwStatus == MEDIA_STATUS_CLOSED) return QD_E_MEDIA_UNSUPPORTED;
  result = CheckSingleTrackMedia(drive, write_mode, data_mode, info);
  if (result != QD_OK) return result;

  const std::u16string_view path_text = path ? quenvar::platform::Utf16View(path) : std::u16string_view();
  if (path_text.empty()) return QD_E_INVALID_ARGUMENT;
  if (HasBadLocalName(path_text)) return QD_E_BAD_CHARACTER;
  auto job = std::make_shared<SingleTrackJob>();
  if (!DatadiskEnv()->OpenReadable(quenvar::platform::Utf16ToUtf8(path_text), &job->own_file).ok()) {
    return QD_E_FILE_OPEN;
  }
  const uint32_t sector_bytes = data_mode == 1 ? kCookedSectorSize : kRawSectorSize;
  const uint64_t size = job->own_file->Size();
  // An empty file would open a track of no blocks, which no media takes.
  if (size == 0 || size % sector_bytes != 0) return QD_E_WRONG_FORM;
  if (size / sector_bytes > info.dwFree) return QD_E_NO_SPACE;
  job->drive = drive;
  job->write_mode = write_mode;
  job->track.mode = data_mode;
  job->track.bytes_per_sector = sector_bytes;
  job->track.sector_count = static_cast<uint32_t>(size / sector_bytes);
  job->track.data_offset = 0;
  return RunOperation(progress, PRG_PHASE_WRITING, job->track.sector_count,
                      [job](const ProgressReporter& reporter) -> uint32_t {
                        try {
                          return RecordSingleTrack(*job, reporter);
                        } catch (const std::bad_alloc&) {
                          return QD_E_OUT_OF_MEMORY;
                        }
                      });
}

}  // namespace
}  // namespace quillden::image

QUILLDEN_EXTERN_C QUILLDEN_API DWORD CPY_WriteISOImage(HANDLE drive, DWORD writeMode, DWORD dataMode,
                                                       const WCHAR* path, HANDLE progress) {
  try {
    return quillden::image::WriteIsoImage(drive, writeMode, dataMode, path, progress);
  } catch (const std::bad_alloc&) {
    return QD_E_OUT_OF_MEMORY;
  }
}
