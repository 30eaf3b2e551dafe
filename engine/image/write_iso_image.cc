// CPY_WriteISOImage: a plain image of 2048-byte sectors recorded as one data track, read from the
// file in pieces of 16 sectors and fed to the recorder as they come.
#include <algorithm>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "datadisk/datadisk.h"
#include "datadisk/datadisk_env.h"
#include "drive/drive_handle.h"
#include "drive/driver_control.h"
#include "drive/media_queries.h"
#include "drive/recording/recorder.h"
#include "platform/env.h"
#include "platform/unicode.h"
#include "progress/progress_record.h"
#include "quillden/drive.h"
#include "quillden/image.h"
#include "quillden/progress.h"
#include "quillden/result.h"

namespace quillden::image {
namespace {

namespace rec = quillden::recording;

constexpr uint32_t kSectorBytes = 2048;
constexpr uint32_t kSectorsPerRead = 16;
constexpr uint32_t kFinalizeClose = 2;  // the track and the session are closed as the write mode says

struct IsoJob {
  HANDLE drive = nullptr;
  uint32_t write_mode = 0;
  uint32_t sectors = 0;
  std::unique_ptr<quenvar::platform::ReadableFile> file;
};

uint32_t FeedFile(IsoJob& job, rec::Recorder& recorder, const ProgressReporter& reporter) {
  std::vector<uint8_t> buffer(size_t{kSectorsPerRead} * kSectorBytes);
  uint64_t offset = 0;
  const uint64_t size = uint64_t{job.sectors} * kSectorBytes;
  while (offset < size) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(buffer.size(), size - offset));
    size_t got = 0;
    // A file that became shorter since it was measured cannot fill the track it opened.
    if (!job.file->ReadAt(offset, want, buffer.data(), &got).ok() || got != want) return QD_E_READ_FILE;
    uint32_t result = rec::WriteRecordingData(recorder, buffer.data(), want);
    if (result != QD_OK) return result;
    offset += want;
    if (reporter.CancelRequested()) return QD_E_CANCELLED;
  }
  return QD_OK;
}

uint32_t RecordIso(IsoJob& job, const ProgressReporter& reporter) {
  drive::NotifyRecordingStart(drive::DriveNumberOf(job.drive));
  _MEDIAINFORMATION info{};
  uint32_t result = DRV_GetMediaInformation(job.drive, &info);
  if (result != QD_OK) return result;
  const uint16_t profile = drive::CurrentProfile(job.drive);
  std::unique_ptr<rec::Recorder> recorder = rec::CreateRecorder(job.drive, 1, 1, job.write_mode, reporter);
  if (!recorder) return QD_E_OUT_OF_MEMORY;
  rec::LayerJumpInfo jump;
  result = rec::OpenRecording(*recorder, profile, rec::kDataMode1, info.dwNextWritable, job.sectors, kFinalizeClose,
                              &jump, 0);
  if (result == QD_OK) result = FeedFile(job, *recorder, reporter);
  if (result == QD_OK) result = rec::FinishRecording(*recorder, profile, nullptr, 0, kFinalizeClose, &jump);
  rec::DestroyRecorder(std::move(recorder));
  job.file.reset();
  return result;
}

bool HasBadLocalName(std::u16string_view path) {
  size_t slash = path.rfind(u'/');
  return HasBadCharacter(slash == std::u16string_view::npos ? path : path.substr(slash + 1));
}

uint32_t WriteIsoImage(HANDLE drive, uint32_t write_mode, uint32_t data_mode, const WCHAR* path, HANDLE progress) {
  if (drive::IsBadHandle(drive)) return QD_E_INVALID_HANDLE;
  // Raw 2352-byte mode 2 images are not recorded yet.
  if (write_mode < 1 || write_mode > 3 || data_mode != 1) return QD_E_INVALID_ARGUMENT;
  if (progress) {
    std::shared_ptr<ProgressRecord> record = ProgressRecord::FromHandle(progress);
    if (!record) return QD_E_INVALID_HANDLE;
    if (record->status.load() == PRG_STATUS_RUNNING) return QD_E_BUSY;
  }
  _MEDIAINFORMATION info{};
  uint32_t result = DRV_GetMediaInformation(drive, &info);
  if (result != QD_OK) return result;
  const uint16_t profile = drive::CurrentProfile(drive);
  if (info.dwStatus == MEDIA_STATUS_CLOSED) return QD_E_MEDIA_UNSUPPORTED;
  if (profile == 0x16) return QD_E_MEDIA_UNSUPPORTED;
  if (profile == 0x15 && write_mode != rec::kWriteDiscAtOnce) return QD_E_INVALID_ARGUMENT;
  if (write_mode == rec::kWriteDiscAtOnce && info.dwNextWritable != 0) return QD_E_INVALID_ARGUMENT;

  const std::u16string_view path_text = path ? quenvar::platform::Utf16View(path) : std::u16string_view();
  if (path_text.empty()) return QD_E_INVALID_ARGUMENT;
  if (HasBadLocalName(path_text)) return QD_E_BAD_CHARACTER;
  auto job = std::make_shared<IsoJob>();
  if (!DatadiskEnv()->OpenReadable(quenvar::platform::Utf16ToUtf8(path_text), &job->file).ok()) {
    return QD_E_FILE_OPEN;
  }
  const uint64_t size = job->file->Size();
  // An empty file would open a track of no blocks, which no media takes.
  if (size == 0 || size % kSectorBytes != 0) return QD_E_WRONG_FORM;
  if (size / kSectorBytes > info.dwFree) return QD_E_NO_SPACE;
  job->drive = drive;
  job->write_mode = write_mode;
  job->sectors = static_cast<uint32_t>(size / kSectorBytes);
  return RunOperation(progress, PRG_PHASE_WRITING, job->sectors, [job](const ProgressReporter& reporter) -> uint32_t {
    try {
      return RecordIso(*job, reporter);
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
