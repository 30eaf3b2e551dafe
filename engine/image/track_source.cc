#include "image/track_source.h"

#include <algorithm>
#include <vector>

#include "drive/mmc_commands.h"
#include "quillden/result.h"

namespace quillden::image {

uint32_t FileTrackSource::Read(const TrackEntry& track, uint32_t first, uint32_t count,
                               uint8_t* out) {
  const size_t bytes = size_t{count} * track.bytes_per_sector;
  size_t got = 0;
  if (!file_->ReadAt(track.data_offset + uint64_t{first} * track.bytes_per_sector, bytes, out, &got)
           .ok() ||
      got != bytes) {
    return QD_E_READ_FILE;
  }
  return QD_OK;
}

uint32_t DriveTrackSource::Read(const TrackEntry& track, uint32_t first, uint32_t count,
                                uint8_t* out) {
  if (runs_.empty() || runs_start_ != track.start || runs_count_ != track.sector_count) {
    const uint32_t result = drive::TrackBlockRuns(drive_, track.start, track.sector_count, &runs_);
    if (result != QD_OK) {
      runs_.clear();
      return result;
    }
    runs_start_ = track.start;
    runs_count_ = track.sector_count;
  }
  for (uint32_t done = 0; done < count;) {
    uint32_t lba = 0, in_row = 0;
    if (!drive::BlockOfRuns(runs_, first + done, &lba, &in_row)) return QD_E_INVALID_ARGUMENT;
    const uint32_t n = std::min(in_row, count - done);
    const uint32_t bytes = n * track.bytes_per_sector;
    uint8_t* at = out + size_t{done} * track.bytes_per_sector;
    const uint32_t result =
        track.bytes_per_sector == kCookedSectorSize
            ? drive::ReadWithRetry(drive_, lba, at, bytes, true)
            : drive::ReadCdWithRetry(drive_, 0, lba, at, bytes, kRawSectorSize, 0, true);
    if (result != QD_OK) return result;
    done += n;
  }
  return QD_OK;
}

uint32_t CheckTrackForm(const TrackEntry& track) {
  switch (track.mode) {
    case kModeData1:
      return track.bytes_per_sector == kCookedSectorSize ? QD_OK : QD_E_WRONG_FORM;
    case kModeData2:
      return track.bytes_per_sector == kCookedSectorSize || track.bytes_per_sector == kRawSectorSize
                 ? QD_OK
                 : QD_E_WRONG_FORM;
    case kModeAudio:
      return track.bytes_per_sector == kRawSectorSize ? QD_OK : QD_E_WRONG_FORM;
    default:
      return QD_E_WRONG_FORM;
  }
}

uint32_t FeedTrack(TrackSource& source, const TrackEntry& track, uint32_t block_size,
                   const BlockSink& sink, const ProgressReporter& progress) {
  // Raw mode 2 sectors are cut to the recorded block (from the subheader on) when a recorder takes
  // them; an image file keeps them whole.
  const bool strip_raw = track.mode == kModeData2 && track.bytes_per_sector == kRawSectorSize &&
                         block_size != kRawSectorSize;
  if (strip_raw ? block_size > kRawSectorSize - 16 : block_size != track.bytes_per_sector) {
    return QD_E_INVALID_ARGUMENT;
  }
  std::vector<uint8_t> sectors(size_t{kSectorsPerPiece} * track.bytes_per_sector);
  std::vector<uint8_t> blocks(strip_raw ? size_t{kSectorsPerPiece} * block_size : 0);
  for (uint32_t done = 0; done < track.sector_count;) {
    if (progress.CancelRequested()) return QD_E_CANCELLED;
    const uint32_t count = std::min(kSectorsPerPiece, track.sector_count - done);
    uint32_t result = source.Read(track, done, count, sectors.data());
    if (result != QD_OK) return result;
    if (strip_raw) {
      for (uint32_t i = 0; i < count; ++i) {
        std::copy_n(sectors.data() + size_t{i} * kRawSectorSize + 16, block_size,
                    blocks.data() + size_t{i} * block_size);
      }
      result = sink(blocks.data(), size_t{count} * block_size);
    } else {
      result = sink(sectors.data(), size_t{count} * track.bytes_per_sector);
    }
    if (result != QD_OK) return result;
    done += count;
  }
  return QD_OK;
}

}  // namespace quillden::image
