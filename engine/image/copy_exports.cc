// The CPY_ exports that record images, copy discs, create image files and judge copies.
#include <atomic>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "datadisk/datadisk_env.h"
#include "drive/drive_handle.h"
#include "drive/driver_control.h"
#include "drive/media_queries.h"
#include "drive/mmc_commands.h"
#include "drive/mmc_vocabulary.h"
#include "drive/profiles.h"
#include "image/copy_job.h"
#include "image/copy_status.h"
#include "image/disc_description.h"
#include "image/disc_image.h"
#include "image/image_writer.h"
#include "image/single_track.h"
#include "image/track_source.h"
#include "platform/env.h"
#include "platform/unicode.h"
#include "progress/progress_record.h"
#include "quillden/drive.h"
#include "quillden/image.h"
#include "quillden/progress.h"
#include "quillden/result.h"
#include "util/byte_order.h"

namespace quillden::image {
namespace {

bool LiveDrive(HANDLE drive) {
  return !drive::IsBadHandle(drive) && drive::DriveFromHandle(drive) != nullptr;
}

// 0 when the progress object may start a job (or there is none).
uint32_t CheckProgress(HANDLE progress) {
  if (progress == nullptr) return QD_OK;
  std::shared_ptr<ProgressRecord> record = ProgressRecord::FromHandle(progress);
  if (!record) return QD_E_INVALID_HANDLE;
  return quillden::ProgressBusy(record->status.load()) ? QD_E_BUSY : QD_OK;
}

uint32_t StartCopy(std::shared_ptr<CopyJob> job, HANDLE progress) {
  const uint32_t result = PrepareCopy(job.get());
  if (result != QD_OK) return result;
  return RunOperation(progress, PRG_PHASE_WRITING, static_cast<uint32_t>(job->total_sectors),
                      [job](const ProgressReporter& reporter) -> uint32_t {
                        try {
                          return RunCopy(*job, reporter);
                        } catch (const std::bad_alloc&) {
                          return QD_E_OUT_OF_MEMORY;
                        }
                      });
}

// A single data track image: one track recorded at the media's next writable address, which must
// be where the image's track starts.
uint32_t WriteSingleTrackImage(HANDLE drive, const std::shared_ptr<DiscImage>& image,
                               uint32_t write_mode, HANDLE progress) {
  _MEDIAINFORMATION info{};
  uint32_t result = DRV_GetMediaInformation(drive, &info);
  if (result != QD_OK) return result;
  if (info.dwStatus == MEDIA_STATUS_CLOSED) return QD_E_MEDIA_NOT_WRITABLE;
  const TrackEntry& track = image->tracks().front();
  // The one track of such an image holds data; an audio track here is a damaged file.
  if (track.mode == kModeAudio || CheckTrackForm(track) != QD_OK) return QD_E_WRONG_FORM;
  result = CheckSingleTrackMedia(drive, write_mode, track.mode, info);
  if (result != QD_OK) return result;
  if (drive::CurrentProfile(drive) == 0x15 && info.dwNextWritable != 0)
    return QD_E_INVALID_ARGUMENT;
  if (info.dwNextWritable != track.start) return QD_E_MEDIA_UNSUPPORTED;
  if (track.sector_count > info.dwFree) return QD_E_NO_SPACE;
  auto job = std::make_shared<SingleTrackJob>();
  if (image->flags() & kFlagRow) {
    uint32_t sectors = 0;
    result = image->ReadRowData(&sectors, &job->header);
    if (result != QD_OK) return result;
    job->header.resize(size_t{sectors} * kCookedSectorSize);
  }
  job->drive = drive;
  job->write_mode = write_mode;
  job->track = track;
  job->image = image;
  return RunOperation(progress, PRG_PHASE_WRITING, track.sector_count,
                      [job](const ProgressReporter& reporter) -> uint32_t {
                        try {
                          return RecordSingleTrack(*job, reporter);
                        } catch (const std::bad_alloc&) {
                          return QD_E_OUT_OF_MEMORY;
                        }
                      });
}

uint32_t WriteDiskImage(HANDLE drive, HANDLE image_handle, uint32_t write_mode, HANDLE progress,
                        uint32_t finalize_kind) {
  std::shared_ptr<DiscImage> image = DiscImage::FromHandle(image_handle);
  if (!LiveDrive(drive) || !image) return QD_E_INVALID_HANDLE;
  if (write_mode < 1 || write_mode > 3) return QD_E_INVALID_ARGUMENT;
  uint32_t result = CheckProgress(progress);
  if (result != QD_OK) return result;
  if (image->tracks().empty()) return QD_E_MEDIA_UNSUPPORTED;
  if (image->is_single_data_track())
    return WriteSingleTrackImage(drive, image, write_mode, progress);

  auto job = std::make_shared<CopyJob>();
  job->target = drive;
  job->image = image;
  job->description.profile = image->profile();
  job->description.flags = image->flags();
  job->description.tracks = image->tracks();
  job->description.measured = image->measured();
  result = image->ReadCdText(&job->description.cd_text);
  if (result != QD_OK) return result;
  job->source = std::make_unique<FileTrackSource>(image->file());
  job->write_mode = write_mode;
  job->finalize_kind = finalize_kind;
  return StartCopy(std::move(job), progress);
}

uint32_t WriteDrive(HANDLE target, HANDLE source, uint32_t write_mode, HANDLE progress,
                    uint32_t finalize_kind) {
  if (!LiveDrive(target) || !LiveDrive(source)) return QD_E_INVALID_HANDLE;
  if (write_mode < 1 || write_mode > 3) return QD_E_INVALID_ARGUMENT;
  uint32_t result = CheckProgress(progress);
  if (result != QD_OK) return result;
  auto job = std::make_shared<CopyJob>();
  result = DescribeDisc(source, &job->description);
  if (result != QD_OK) return result;
  // Every track's data comes from the source drive, not from a file.
  for (TrackEntry& t : job->description.tracks) t.data_offset = ~uint64_t{0};
  job->target = target;
  job->source_drive = source;
  job->source = std::make_unique<DriveTrackSource>(source);
  job->write_mode = write_mode;
  job->finalize_kind = finalize_kind;
  return StartCopy(std::move(job), progress);
}

struct CreateJob {
  HANDLE drive = nullptr;
  std::string path;
  quenvar::platform::Env* env = nullptr;
  std::unique_ptr<quenvar::platform::WritableFile> file;
  ImageDescription description;
  std::atomic<bool> started{false};  // the body ran; it removes a file it did not finish itself
};

uint32_t WriteImageFile(CreateJob& job, const ProgressReporter& progress) {
  ImageFileWriter writer(job.file.get());
  uint32_t result = writer.Begin(job.description);
  if (result != QD_OK) return result;
  DriveTrackSource source(job.drive);
  for (const TrackEntry& track : job.description.tracks) {
    result = FeedTrack(
        source, track, track.bytes_per_sector,
        [&](const uint8_t* data, size_t bytes) {
          const uint32_t appended = writer.Append(data, bytes);
          progress.AddDone(static_cast<uint32_t>(bytes / track.bytes_per_sector));
          return appended;
        },
        progress);
    if (result != QD_OK) return result;
  }
  result = writer.Finish();
  if (result == QD_OK && !job.file->Sync().ok()) result = QD_E_WRITE_FILE;
  return result;
}

uint32_t CreateImage(CreateJob& job, const ProgressReporter& progress) {
  uint32_t result = WriteImageFile(job, progress);
  const bool closed = job.file->Close().ok();
  job.file.reset();
  if (result == QD_OK && !closed) result = QD_E_WRITE_FILE;
  // An unfinished file would claim a size it does not have; it goes.
  if (result != QD_OK) job.env->RemoveFile(job.path);
  return result;
}

uint32_t CreateDiskImage(HANDLE drive, const WCHAR* path, HANDLE progress) {
  if (!LiveDrive(drive)) return QD_E_INVALID_HANDLE;
  uint32_t result = CheckProgress(progress);
  if (result != QD_OK) return result;
  if (path == nullptr || path[0] == 0) return QD_E_INVALID_ARGUMENT;
  auto job = std::make_shared<CreateJob>();
  job->drive = drive;
  job->env = DatadiskEnv();
  job->path = quenvar::platform::Utf16ToUtf8(quenvar::platform::Utf16View(path));
  // The disc is described before the file is created: a disc that cannot be read into an image
  // (blank, unknown media) must not cost the caller an existing file of that name.
  result = DescribeDisc(drive, &job->description);
  if (result == QD_OK && !PlanMultiTrackImage(&job->description)) result = QD_E_MEDIA_UNSUPPORTED;
  if (result != QD_OK) return result;
  if (!job->env
           ->OpenWritable(job->path, quenvar::platform::WriteMode::kCreateOrTruncate, &job->file)
           .ok()) {
    return QD_E_FILE_OPEN;
  }
  uint64_t total = 0;
  for (const TrackEntry& t : job->description.tracks) total += t.sector_count;
  result = RunOperation(progress, PRG_PHASE_CREATING_IMAGE, static_cast<uint32_t>(total),
                        [job](const ProgressReporter& reporter) -> uint32_t {
                          job->started = true;
                          try {
                            return CreateImage(*job, reporter);
                          } catch (const std::bad_alloc&) {
                            job->file.reset();
                            job->env->RemoveFile(job->path);
                            return QD_E_OUT_OF_MEMORY;
                          }
                        });
  // No worker could be started (no thread, or the progress object was claimed meanwhile): the
  // empty file just created must not stay behind.
  if (result != QD_OK && !job->started) {
    job->file.reset();
    job->env->RemoveFile(job->path);
  }
  return result;
}

// A multi-session CD whose data is recorded in mode 2: its sessions do not read back as tracks of
// one disc.
bool IsMultiSessionMode2Cd(const ImageDescription& description) {
  for (const TrackEntry& t : description.tracks) {
    if (t.mode == kModeData2 && t.session_number != t.track_number) return true;
  }
  return false;
}

// The implementation identifier that a packet-writing driver leaves in the discs it formats.
constexpr char kPacketWriterId[] = "*Microsoft Windows";

uint32_t BackupSupport(HANDLE drive) {
  if (!LiveDrive(drive)) return QD_E_INVALID_HANDLE;
  _MEDIAINFORMATION media{};
  uint32_t result = DRV_GetMediaInformation(drive, &media);
  if (result != QD_OK) return result;
  const uint16_t profile = drive::CurrentProfile(drive);
  if (drive::IsCdProfile(profile) && media.dwDataMode == 2) {
    ImageDescription description;
    result = DescribeDisc(drive, &description);
    if (result != QD_OK) return result;
    if (IsMultiSessionMode2Cd(description)) return QD_E_MEDIA_UNSUPPORTED;
  }
  // A disc written by a packet-writing driver: its last track holds such a driver's UDF.
  const WORD last = DRV_GetLastTrack(drive);
  if (last > 0) {
    _TRACKINFORMATION track{};
    if (DRV_GetTrackInformation(drive, last, &track, FALSE) != 0) {
      std::vector<uint8_t> block(2048);
      // ECMA-167 3/10.5: the implementation identifier of the partition descriptor is the regid
      // at offset 196 (a flags byte, then the identifier from 197); the anchor at 256 leads to
      // the main volume descriptor sequence.
      if (drive::Read10(drive, track.dwStart + 256, block.data(), 2048) == QD_OK && block[0] == 2 &&
          block[1] == 0) {
        const uint32_t sequence =
            block[20] | (block[21] << 8) | (block[22] << 16) | (uint32_t{block[23]} << 24);
        const uint32_t length =
            block[16] | (block[17] << 8) | (block[18] << 16) | (uint32_t{block[19]} << 24);
        for (uint32_t i = 0; i < length / 2048 && i < 32; ++i) {
          if (drive::Read10(drive, sequence + i, block.data(), 2048) != QD_OK) break;
          const uint16_t tag = static_cast<uint16_t>(block[0] | (block[1] << 8));
          if (tag == 8) break;  // terminating descriptor
          if (tag == 5 &&
              std::memcmp(block.data() + 197, kPacketWriterId, sizeof(kPacketWriterId) - 1) == 0) {
            return QD_E_MEDIA_UNSUPPORTED;
          }
        }
      }
    }
  }
  // Background formatting that has not completed.
  namespace mmc = drive::mmc;
  uint8_t config[16] = {};
  const uint8_t* feature = config + mmc::kConfigFirstFeature;
  if (drive::GetConfiguration(drive, mmc::kFeatureBackgroundFormatting, config, sizeof(config)) ==
          QD_OK &&
      GetBe16(feature + mmc::kFeatureCode) == mmc::kFeatureBackgroundFormatting &&
      (feature[mmc::kFeatureFlags] & mmc::kFeatureCurrent)) {
    drive::DiscInformation disc;
    result = drive::ReadDiscInformation(drive, &disc);
    if (result != QD_OK) return result;
    if ((disc.raw[mmc::kDiscInfoFlags] & mmc::kBackgroundFormatMask) !=
        mmc::kBackgroundFormatComplete)
      return QD_E_MEDIA_UNSUPPORTED;
  }
  return QD_OK;
}

}  // namespace
}  // namespace quillden::image

using namespace quillden::image;

QUILLDEN_EXTERN_C QUILLDEN_API DWORD CPY_WriteDiskImage(HANDLE drive, HANDLE image, DWORD writeMode,
                                                        HANDLE progress, DWORD finalizeKind) {
  try {
    return WriteDiskImage(drive, image, writeMode, progress, finalizeKind);
  } catch (const std::bad_alloc&) {
    return QD_E_OUT_OF_MEMORY;
  }
}

QUILLDEN_EXTERN_C QUILLDEN_API DWORD CPY_WriteDrive(HANDLE targetDrive, HANDLE sourceDrive,
                                                    DWORD writeMode, HANDLE progress,
                                                    DWORD finalizeKind) {
  try {
    return WriteDrive(targetDrive, sourceDrive, writeMode, progress, finalizeKind);
  } catch (const std::bad_alloc&) {
    return QD_E_OUT_OF_MEMORY;
  }
}

QUILLDEN_EXTERN_C QUILLDEN_API DWORD CPY_CreateDiskImage(HANDLE drive, const WCHAR* path,
                                                         HANDLE progress) {
  try {
    return CreateDiskImage(drive, path, progress);
  } catch (const std::bad_alloc&) {
    return QD_E_OUT_OF_MEMORY;
  }
}

QUILLDEN_EXTERN_C QUILLDEN_API DWORD CPY_GetCopyableStatusFileToDrive(HANDLE image,
                                                                      DWORD targetMediaFlag,
                                                                      DWORD writeMode) {
  std::shared_ptr<DiscImage> disc_image = DiscImage::FromHandle(image);
  if (!disc_image) return QD_E_INVALID_HANDLE;
  const int kind = SourceKind(disc_image->profile(), disc_image->flags(), disc_image->tracks());
  return CopyableStatus(kind, quillden::drive::MediaFlagToProfile(targetMediaFlag), writeMode);
}

QUILLDEN_EXTERN_C QUILLDEN_API DWORD CPY_GetCopyableStatusDriveToDrive(HANDLE sourceDrive,
                                                                       DWORD targetMediaFlag,
                                                                       DWORD writeMode) {
  if (!LiveDrive(sourceDrive)) return 0;
  try {
    ImageDescription description;
    if (DescribeDisc(sourceDrive, &description) != QD_OK) return 0;
    const int kind = SourceKind(description.profile, description.flags, description.tracks);
    return CopyableStatus(kind, quillden::drive::MediaFlagToProfile(targetMediaFlag), writeMode);
  } catch (const std::bad_alloc&) {
    return 0;
  }
}

QUILLDEN_EXTERN_C QUILLDEN_API DWORD CPY_GetBackupSupportMedia(HANDLE drive) {
  try {
    return BackupSupport(drive);
  } catch (const std::bad_alloc&) {
    return QD_E_OUT_OF_MEMORY;
  }
}
