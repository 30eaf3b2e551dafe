// CPY_CompareDiskISO, CPY_CompareDiskImage, CPY_CompareDrive: the checks at the boundary and the
// setting up of a CompareJob; the comparison itself is compare.cc's.
#include <cstdint>
#include <memory>
#include <new>

#include "drive/drive_handle.h"
#include "drive/driver_control.h"
#include "drive/media_queries.h"
#include "drive/mmc_vocabulary.h"
#include "image/compare.h"
#include "image/disc_description.h"
#include "image/disc_image.h"
#include "platform/env.h"
#include "progress/progress_record.h"
#include "quillden/drive.h"
#include "quillden/image.h"
#include "quillden/progress.h"
#include "quillden/result.h"

namespace quillden::image {

namespace mmc = drive::mmc;
namespace {

using quenvar::platform::ReadableFile;

bool IsBadObject(HANDLE handle) {
  return handle == nullptr || handle == INVALID_HANDLE_VALUE;
}

// DVD-RW in restricted overwrite mode, DVD+RW, HD DVD-RW and its dual layer kind: the media whose
// recording writes an image's volume header over block 0.
bool TakesVolumeHeader(uint16_t profile) {
  return profile == mmc::kProfileDvdMinusRwOverwrite || profile == mmc::kProfileDvdPlusRw ||
         profile == mmc::kProfileHdDvdRw || profile == mmc::kProfileHdDvdRwDl;
}

// The progress object may not be running a job already (checked before any drive is touched).
uint32_t CheckProgress(HANDLE progress) {
  if (progress == nullptr) return QD_OK;
  std::shared_ptr<ProgressRecord> record = ProgressRecord::FromHandle(progress);
  if (!record) return QD_E_INVALID_HANDLE;
  return quillden::ProgressBusy(record->status.load()) ? QD_E_BUSY : QD_OK;
}

uint32_t Start(HANDLE progress, std::shared_ptr<CompareJob> job) {
  drive::NotifyRecordingStart(drive::DriveNumberOf(job->drive));
  if (job->source_drive != nullptr)
    drive::NotifyRecordingStart(drive::DriveNumberOf(job->source_drive));
  const uint64_t total = job->TotalSectors();
  const uint32_t end = total > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(total);
  return RunOperation(progress, PRG_PHASE_COMPARING, end, [job](const ProgressReporter& reporter) {
    return RunCompare(*job, reporter);
  });
}

// Takes a duplicate of the descriptor behind file; null when it is not an open descriptor.
std::unique_ptr<ReadableFile> DuplicateDescriptor(HANDLE file) {
  const intptr_t value = reinterpret_cast<intptr_t>(file);
  if (value < 0 || value > INT32_MAX) return nullptr;
  std::unique_ptr<ReadableFile> duplicate;
  if (!quenvar::platform::DuplicateReadableDescriptor(static_cast<int>(value), &duplicate).ok())
    return nullptr;
  return duplicate;
}

uint32_t CompareIso(HANDLE drive, WORD track, DWORD data_mode, HANDLE file, HANDLE progress) {
  if (!drive::DriveFromHandle(drive) || IsBadObject(file)) return QD_E_INVALID_HANDLE;
  uint32_t result = CheckProgress(progress);
  if (result != QD_OK) return result;
  if (data_mode != 1 && data_mode != 2) return QD_E_INVALID_ARGUMENT;
  auto job = std::make_shared<CompareJob>();
  job->owned_file = DuplicateDescriptor(file);
  if (!job->owned_file) return QD_E_INVALID_HANDLE;
  job->file = job->owned_file.get();

  const WORD last = DRV_GetTrackInformation(drive, 0, nullptr, FALSE);
  if (last == 0) return QD_E_COMMAND_FAILED;
  if (track == 0 || track > last) return QD_E_INVALID_ARGUMENT;
  _TRACKINFORMATION info{};
  if (DRV_GetTrackInformation(drive, track, &info, FALSE) == 0) return QD_E_COMMAND_FAILED;
  _MEDIAINFORMATION media{};
  result = DRV_GetMediaInformation(drive, &media);
  if (result != QD_OK) return result;

  const uint32_t file_block = data_mode == 2 ? kRawSectorSize : kCookedSectorSize;
  const uint64_t size = job->file->Size();
  // A file of no sectors, or with a piece of a sector at its end, cannot be what a disc holds.
  if (size == 0 || size % file_block != 0) return QD_E_WRONG_FORM;
  const uint64_t sectors = size / file_block;
  // A DVD+RW has no track end of its own: its one track reaches to the end of the formatted area.
  if (sectors > info.dwSize && media.dwMedia != MEDIA_DVDPRW) return QD_E_COMPARE_DIFFERS;
  if (sectors > 0xFFFFFFFFu) return QD_E_COMPARE_DIFFERS;
  if (data_mode != info.dwMode) return QD_E_INVALID_ARGUMENT;

  CompareTrack stretch;
  stretch.start = info.dwStart;
  stretch.sectors = static_cast<uint32_t>(sectors);
  stretch.mode = info.dwMode;
  stretch.reference_sector_size = file_block;
  stretch.file_offset = 0;
  stretch.disc_track = track;
  job->drive = drive;
  job->tracks.push_back(stretch);
  return Start(progress, std::move(job));
}

uint32_t CompareImage(HANDLE drive, HANDLE image_handle, HANDLE progress) {
  std::shared_ptr<DiscImage> image = DiscImage::FromHandle(image_handle);
  if (!drive::DriveFromHandle(drive) || !image) return QD_E_INVALID_HANDLE;
  uint32_t result = CheckProgress(progress);
  if (result != QD_OK) return result;
  auto job = std::make_shared<CompareJob>();
  job->drive = drive;
  job->file = image->file();
  for (const TrackEntry& entry : image->tracks()) {
    CompareTrack stretch;
    stretch.start = entry.start;
    stretch.sectors = entry.sector_count;
    stretch.mode = entry.mode;
    stretch.reference_sector_size = entry.bytes_per_sector;
    stretch.file_offset = entry.data_offset;
    job->tracks.push_back(stretch);
  }
  // Only overwritable media get the volume header written at block 0; on write-once media the
  // blocks there hold the track's own data.
  if ((image->flags() & kFlagRow) && TakesVolumeHeader(drive::CurrentProfile(drive))) {
    uint32_t header_sectors = 0;
    result = image->ReadRowData(&header_sectors, &job->volume_header);
    if (result != QD_OK) return result;
  }
  job->image = std::move(image);
  return Start(progress, std::move(job));
}

uint32_t CompareDrives(HANDLE drive, HANDLE source_drive, HANDLE progress) {
  if (!drive::DriveFromHandle(drive) || !drive::DriveFromHandle(source_drive))
    return QD_E_INVALID_HANDLE;
  uint32_t result = CheckProgress(progress);
  if (result != QD_OK) return result;
  ImageDescription description;
  result = DescribeDisc(source_drive, &description);
  if (result != QD_OK) return result;
  auto job = std::make_shared<CompareJob>();
  job->drive = drive;
  job->source_drive = source_drive;
  for (const TrackEntry& entry : description.tracks) {
    CompareTrack stretch;
    stretch.start = entry.start;
    stretch.sectors = entry.sector_count;
    stretch.mode = entry.mode;
    stretch.file_offset = kFromSourceDrive;
    job->tracks.push_back(stretch);
  }
  return Start(progress, std::move(job));
}

template <typename Body>
DWORD Guarded(Body body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return QD_E_OUT_OF_MEMORY;
  }
}

}  // namespace
}  // namespace quillden::image

QUILLDEN_EXTERN_C QUILLDEN_API DWORD CPY_CompareDiskISO(HANDLE drive, WORD track, DWORD dataMode,
                                                        HANDLE file, HANDLE progress) {
  return quillden::image::Guarded(
      [&] { return quillden::image::CompareIso(drive, track, dataMode, file, progress); });
}

QUILLDEN_EXTERN_C QUILLDEN_API DWORD CPY_CompareDiskImage(HANDLE drive, HANDLE image,
                                                          HANDLE progress) {
  return quillden::image::Guarded(
      [&] { return quillden::image::CompareImage(drive, image, progress); });
}

QUILLDEN_EXTERN_C QUILLDEN_API DWORD CPY_CompareDrive(HANDLE drive, HANDLE sourceDrive,
                                                      HANDLE progress) {
  return quillden::image::Guarded(
      [&] { return quillden::image::CompareDrives(drive, sourceDrive, progress); });
}
