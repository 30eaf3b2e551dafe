// DRV_RippingTrack: one track of a disc copied into a file: a WAVE file for audio tracks, the raw
// 2352-byte sectors of mode 2 tracks, the 2048-byte user data of mode 1 tracks.
#include <algorithm>
#include <memory>
#include <new>
#include <vector>

#include "audio/audio_disc.h"
#include "audio/wave_file.h"
#include "datadisk/datadisk.h"
#include "drive/drive_handle.h"
#include "drive/driver_control.h"
#include "drive/media_queries.h"
#include "drive/mmc_commands.h"
#include "drive/profiles.h"
#include "platform/env.h"
#include "platform/unicode.h"
#include "progress/progress_record.h"
#include "quillden/drive.h"
#include "quillden/progress.h"
#include "quillden/result.h"

namespace quillden::audio {
namespace {

using quenvar::platform::WritableFile;

constexpr uint32_t kBlocksPerRead = 16;
constexpr uint8_t kSectorTypeAny = 0;
constexpr uint8_t kSectorTypeCdda = 1;
constexpr uint32_t kRunOutBlocks = 2;
constexpr uint8_t kHardwareError = 4;

struct RipJob {
  HANDLE drive = nullptr;
  std::string path;
  std::unique_ptr<WritableFile> file;
  uint32_t start = 0;
  uint32_t sectors = 0;
  uint32_t mode = 0;     // 1 data mode 1, 2 mode 2, 3 audio
  bool cd_data = false;  // a data track of a CD: may end in unreadable run-out blocks
};

// One read of count blocks from lba into out, in the sense form (0, the sense triple, or
// 0xFFFFFFFF without sense).
uint32_t ReadSense(const RipJob& job, uint32_t lba, uint32_t count, uint8_t* out) {
  if (job.mode == 1) return drive::ReadWithRetrySense(job.drive, lba, out, count * 2048, true);
  return drive::ReadCdWithRetrySense(job.drive, job.mode == 3 ? kSectorTypeCdda : kSectorTypeAny,
                                     lba, out, count * kCdSectorBytes, kCdSectorBytes, 0, true);
}

// Reads count blocks of the track from block index done. *readable gets count, or fewer when the
// reading ran into the run-out of a CD data track recorded track at once: the drive counts two
// blocks into the track that hold no user data. A failure that is not a hardware error and reaches
// into those blocks makes the blocks be read one by one; the first unreadable one ends the track,
// provided it lies in the run-out. Everything before the run-out must read.
uint32_t ReadTrackBlocks(const RipJob& job, uint32_t done, uint32_t count, uint8_t* out,
                         uint32_t* readable) {
  const uint32_t block = job.mode == 1 ? 2048 : kCdSectorBytes;
  *readable = count;
  if (!job.cd_data) {
    return job.mode == 1
               ? drive::ReadWithRetry(job.drive, job.start + done, out, count * block, true)
               : drive::ReadCdWithRetry(job.drive, job.mode == 3 ? kSectorTypeCdda : kSectorTypeAny,
                                        job.start + done, out, count * block, block, 0, true);
  }
  const uint32_t run_out_from = job.sectors > kRunOutBlocks ? job.sectors - kRunOutBlocks : 0;
  const uint32_t sense = ReadSense(job, job.start + done, count, out);
  if (sense == 0) return QD_OK;
  const bool reaches_run_out = done + count > run_out_from;
  if (!reaches_run_out || (sense != 0xFFFFFFFFu && (sense >> 16) == kHardwareError))
    return QD_E_COMMAND_FAILED;
  for (uint32_t i = 0; i < count; ++i) {
    if (ReadSense(job, job.start + done + i, 1, out + size_t{i} * block) != 0) {
      if (done + i < run_out_from) return QD_E_COMMAND_FAILED;
      *readable = i;
      return QD_OK;
    }
  }
  return QD_OK;
}

uint32_t CopyTrack(RipJob& job, const ProgressReporter& progress) {
  const uint32_t block = job.mode == 1 ? 2048 : kCdSectorBytes;
  std::vector<uint8_t> buffer(static_cast<size_t>(kBlocksPerRead) * block);
  for (uint32_t done = 0; done < job.sectors;) {
    if (progress.CancelRequested()) return QD_E_CANCELLED;
    const uint32_t count = std::min(kBlocksPerRead, job.sectors - done);
    uint32_t readable = 0;
    const uint32_t result = ReadTrackBlocks(job, done, count, buffer.data(), &readable);
    if (result != QD_OK) return result;
    if (readable > 0 && !job.file->Append(buffer.data(), size_t{readable} * block).ok())
      return QD_E_WRITE_FILE;
    done += readable;
    progress.AddDone(readable);
    if (readable < count) break;  // the rest is run-out
  }
  return QD_OK;
}

// Runs the copy, closes the file and removes it unless everything went well.
uint32_t FinishRip(RipJob& job, const ProgressReporter& progress) {
  uint32_t result = QD_OK;
  try {
    result = CopyTrack(job, progress);
  } catch (const std::bad_alloc&) {
    result = QD_E_OUT_OF_MEMORY;
  }
  if (!job.file->Close().ok() && result == QD_OK) result = QD_E_WRITE_FILE;
  job.file.reset();
  if (result != QD_OK) AudioEnv()->RemoveFile(job.path);
  return result;
}

uint32_t Rip(HANDLE drive, WORD track, HANDLE progress, const WCHAR* path) {
  if (!drive::DriveFromHandle(drive)) return QD_E_INVALID_HANDLE;
  if (path == nullptr) return QD_E_INVALID_ARGUMENT;
  const std::u16string text(quenvar::platform::Utf16View(path));
  std::u16string_view name(text);
  const size_t slash = name.rfind(u'/');
  if (slash != std::u16string_view::npos) name.remove_prefix(slash + 1);
  if (HasBadCharacter(name)) return QD_E_BAD_CHARACTER;
  if (progress != nullptr) {
    std::shared_ptr<ProgressRecord> record = ProgressRecord::FromHandle(progress);
    if (!record) return QD_E_INVALID_HANDLE;
    if (quillden::ProgressBusy(record->status.load())) return QD_E_BUSY;
  }
  drive::NotifyRecordingStart(drive::DriveNumberOf(drive));
  _TRACKINFORMATION info{};
  // A blank track (nothing recorded yet) is no track to copy.
  if (track == 0 || DRV_GetTrackInformation(drive, track, &info, TRUE) == 0 || info.dwSize == 0) {
    return QD_E_COMMAND_FAILED;
  }
  if (info.bLayerJumpStatus != 0) return QD_E_MEDIA_UNSUPPORTED;
  auto job = std::make_shared<RipJob>();
  job->drive = drive;
  job->path = quenvar::platform::Utf16ToUtf8(text);
  job->start = info.dwStart;
  job->sectors = info.dwSize;
  job->mode = info.dwMode;
  job->cd_data = job->mode != 3 && drive::IsCdProfile(drive::CurrentProfile(drive));
  if (!AudioEnv()
           ->OpenWritable(job->path, quenvar::platform::WriteMode::kCreateOrTruncate, &job->file)
           .ok()) {
    return QD_E_FILE_OPEN;
  }
  if (job->mode == 3) {
    const auto header = BuildWaveHeader(job->sectors * kCdSectorBytes);
    if (!job->file->Append(header.data(), header.size()).ok()) {
      job->file.reset();
      AudioEnv()->RemoveFile(job->path);
      return QD_E_WRITE_FILE;
    }
  }
  const uint32_t result =
      RunOperation(progress, PRG_PHASE_RIPPING, job->sectors,
                   [job](const ProgressReporter& reporter) { return FinishRip(*job, reporter); });
  if (result != QD_OK && progress != nullptr && job->file) {
    // The worker never started: the file it would have filled goes again.
    job->file.reset();
    AudioEnv()->RemoveFile(job->path);
  }
  return result;
}

}  // namespace
}  // namespace quillden::audio

QUILLDEN_EXTERN_C QUILLDEN_API DWORD DRV_RippingTrack(HANDLE drive, WORD track, HANDLE progress,
                                                      const WCHAR* path) {
  try {
    return quillden::audio::Rip(drive, track, progress, path);
  } catch (const std::bad_alloc&) {
    return QD_E_OUT_OF_MEMORY;
  }
}
