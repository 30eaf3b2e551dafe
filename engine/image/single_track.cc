#include "image/single_track.h"

#include "drive/drive_handle.h"
#include "drive/driver_control.h"
#include "drive/media_queries.h"
#include "drive/mmc_vocabulary.h"
#include "drive/profiles.h"
#include "drive/recording/recorder.h"
#include "image/layout_check.h"
#include "image/track_source.h"
#include "quillden/drive.h"
#include "quillden/result.h"

namespace quillden::image {

namespace mmc = drive::mmc;
namespace {

namespace rec = quillden::recording;

constexpr uint32_t kFinalizeClose = 2;  // the track and the session close as the write mode says

}  // namespace

uint32_t CheckSingleTrackMedia(HANDLE drive, uint32_t write_mode, uint32_t data_mode,
                               const _MEDIAINFORMATION& info) {
  const uint16_t profile = drive::CurrentProfile(drive);
  if (profile == mmc::kProfileDvdMinusRDlJump) return QD_E_MEDIA_UNSUPPORTED;
  // Mode 2 blocks exist only on CD; other media would get the raw bytes as user data.
  if (data_mode == kModeData2 && !drive::IsCdProfile(profile)) return QD_E_MEDIA_UNSUPPORTED;
  if (profile == mmc::kProfileDvdMinusRDlSequential && write_mode != rec::kWriteDiscAtOnce)
    return QD_E_INVALID_ARGUMENT;
  if (write_mode == rec::kWriteDiscAtOnce && info.dwNextWritable != 0) return QD_E_INVALID_ARGUMENT;
  return QD_OK;
}

uint32_t RecordSingleTrack(SingleTrackJob& job, const ProgressReporter& progress) {
  if (progress.CancelRequested()) return QD_E_CANCELLED;  // before the medium is touched
  drive::NotifyRecordingStart(drive::DriveNumberOf(job.drive));
  _MEDIAINFORMATION info{};
  uint32_t result = DRV_GetMediaInformation(job.drive, &info);
  if (result != QD_OK) return result;
  const uint16_t profile = drive::CurrentProfile(job.drive);
  std::unique_ptr<rec::Recorder> recorder =
      rec::CreateRecorder(job.drive, 1, 1, job.write_mode, progress);
  if (!recorder) return QD_E_OUT_OF_MEMORY;
  const bool raw_mode2 =
      job.track.mode == kModeData2 && job.track.bytes_per_sector == kRawSectorSize;
  recorder->set_raw_mode2_input(raw_mode2);
  const uint32_t header_sectors = static_cast<uint32_t>(job.header.size() / kCookedSectorSize);
  rec::LayerJumpInfo jump;
  result = rec::OpenRecording(*recorder, profile, job.track.mode, info.dwNextWritable,
                              job.track.sector_count, kFinalizeClose, &jump, header_sectors);
  if (result == QD_OK) {
    FileTrackSource source(job.file());
    const uint32_t block = raw_mode2 ? recorder->block_size() : job.track.bytes_per_sector;
    result = FeedTrack(
        source, job.track, block,
        [&](const uint8_t* data, size_t bytes) {
          return rec::WriteRecordingData(*recorder, data, bytes);
        },
        progress);
  }
  if (result == QD_OK && jump.used == 1 && jump.reservation > job.track.sector_count) {
    result = recorder->WriteZeros(jump.reservation - job.track.sector_count);
  }
  if (result == QD_OK) {
    result =
        rec::FinishRecording(*recorder, profile, job.header.empty() ? nullptr : job.header.data(),
                             header_sectors, kFinalizeClose, &jump);
  }
  rec::DestroyRecorder(std::move(recorder));
  job.own_file.reset();
  if (result != QD_OK) return result;
  // One closed track where the media's next writable address was, in a closed session.
  IntendedLayout intended;
  IntendedTrack track;
  track.sectors = job.track.sector_count;
  track.check_start = true;
  track.start = info.dwNextWritable;
  intended.tracks.push_back(track);
  intended.disc_closed = job.write_mode != rec::kWriteLeaveOpen;
  return CheckRecordedLayout(job.drive, intended);
}

}  // namespace quillden::image
