#include "image/compare.h"

#include <algorithm>
#include <cstring>
#include <future>
#include <new>
#include <system_error>
#include <vector>

#include "drive/media_queries.h"
#include "drive/mmc_commands.h"
#include "drive/profiles.h"
#include "quillden/drive.h"
#include "quillden/result.h"

namespace quillden::image {
namespace {

constexpr uint32_t kBlocksPerRead = 16;
constexpr uint32_t kUserBytes = 2048;
constexpr uint8_t kAnySectorType = 0;
constexpr uint32_t kRunOutBlocks = 2;
constexpr uint32_t kNoLimit = 0xFFFFFFFFu;
constexpr uint8_t kHardwareError = 4;
constexpr uint64_t kReadAhead = 2 << 20;  // bytes of the file read at a time

// One of the two discs of a comparison, with what the CD rules need to know of its tracks.
struct DiscSide {
  HANDLE drive = nullptr;
  bool cd = false;
  std::vector<_TRACKINFORMATION> tracks;  // CD only, in track order

  uint32_t Load(HANDLE handle) {
    drive = handle;
    cd = drive::IsCdProfile(drive::CurrentProfile(handle));
    if (!cd) return QD_OK;
    const WORD last = DRV_GetTrackInformation(handle, 0, nullptr, FALSE);
    if (last == 0) return QD_E_COMMAND_FAILED;
    for (WORD number = 1; number <= last; ++number) {
      _TRACKINFORMATION info{};
      // A track the drive cannot describe (the blank track of an open session) holds nothing to
      // compare; leaving it out only means no stretch can start there.
      if (DRV_GetTrackInformation(handle, number, &info, FALSE) != 0) tracks.push_back(info);
    }
    return QD_OK;
  }
};

// How far a stretch may be read on one disc: the track holds size blocks from its start, of which
// the first limit are compared and the blocks from run_out_from on may be unreadable run-out.
struct Extent {
  uint32_t size = kNoLimit;
  uint32_t limit = kNoLimit;
  uint32_t run_out_from = kNoLimit;
};

// The extent of the disc's track that starts at start (or has number track_number). On CD the
// track ends where the drive says; when an audio track follows, at its exact end, so the pregap
// of the audio track is left out. False when the disc has no such track.
bool TrackExtent(const DiscSide& side, uint32_t start, uint16_t track_number, Extent* extent) {
  *extent = Extent{};
  if (!side.cd) return true;
  for (size_t i = 0; i < side.tracks.size(); ++i) {
    const _TRACKINFORMATION& track = side.tracks[i];
    if (track_number != 0 ? track.wTrack != track_number : track.dwStart != start) continue;
    extent->size = extent->limit = track.dwSize;
    if (i + 1 < side.tracks.size() && side.tracks[i + 1].dwMode == kModeAudio &&
        track.dwMode != kModeAudio) {
      _TRACKINFORMATION exact{};
      if (DRV_GetTrackInformation(side.drive, track.wTrack, &exact, TRUE) != 0 &&
          exact.dwSize != 0) {
        extent->limit = std::min(extent->limit, exact.dwSize);
      }
    }
    extent->run_out_from = extent->limit > kRunOutBlocks ? extent->limit - kRunOutBlocks : 0;
    return true;
  }
  return false;
}

// Reads count blocks of a stretch, starting at its block index, into buffer. *readable gets the
// number of blocks that were read: count, or fewer when the reading ran into the run-out of a CD
// track. A failure that is not a hardware error and reaches into the run-out makes the blocks be
// read one by one; the first one that cannot be read ends the stretch, provided it lies in the
// run-out. Any other failure is 0x08000026 (on other media: the read's own result).
uint32_t ReadBlocks(const DiscSide& side, bool raw, uint32_t lba, uint32_t index, uint32_t count,
                    const Extent& extent, uint8_t* buffer, uint32_t* readable) {
  const uint32_t block = raw ? kRawSectorSize : kUserBytes;
  *readable = count;
  if (!side.cd) {
    return drive::ReadWithRetry(side.drive, lba, buffer, count * block, /*retry=*/true);
  }
  auto read = [&](uint32_t at, uint32_t blocks, uint8_t* out) {
    return raw ? drive::ReadCdWithRetrySense(side.drive, kAnySectorType, at, out, blocks * block,
                                             block, 0, true)
               : drive::ReadWithRetrySense(side.drive, at, out, blocks * block, true);
  };
  const uint32_t sense = read(lba, count, buffer);
  if (sense == 0) return QD_OK;
  const bool reaches_run_out =
      extent.run_out_from != kNoLimit && index + count > extent.run_out_from;
  if (!reaches_run_out || (sense != 0xFFFFFFFFu && (sense >> 16) == kHardwareError))
    return QD_E_COMMAND_FAILED;
  std::memset(buffer, 0, size_t{count} * block);
  for (uint32_t i = 0; i < count; ++i) {
    if (read(lba + i, 1, buffer + size_t{i} * block) != 0) {
      if (index + i < extent.run_out_from) return QD_E_COMMAND_FAILED;
      *readable = i;
      return QD_OK;
    }
  }
  return QD_OK;
}

// Where the 2048 bytes of user data lie in a block of block_size bytes of a track of mode.
const uint8_t* UserData(const uint8_t* block, uint32_t block_size, uint32_t mode) {
  if (block_size == kUserBytes) return block;
  return block + (mode == kModeData2 ? 24 : 16);
}

// Reads a file front to back in pieces, the next piece on a helper thread while the current one is
// compared, so that reading the file overlaps reading the disc.
class FileReadAhead {
 public:
  explicit FileReadAhead(quenvar::platform::ReadableFile* file) : file_(file) {}
  FileReadAhead(const FileReadAhead&) = delete;
  FileReadAhead& operator=(const FileReadAhead&) = delete;
  ~FileReadAhead() {
    if (next_.valid()) next_.wait();
  }

  // The bytes [offset, offset + bytes) of the file, or null when they cannot be read. Nothing at
  // or after end is read ahead.
  const uint8_t* Get(uint64_t offset, size_t bytes, uint64_t end) {
    if (!Covers(current_, offset, bytes)) {
      // The buffers go round: the piece done with becomes the buffer of the next read.
      std::vector<uint8_t> spare = std::move(current_.data);
      current_ = Piece();
      Piece piece;
      if (next_.valid()) piece = next_.get();
      if (!Covers(piece, offset, bytes)) {
        // Nothing read ahead, or not this (a track elsewhere in the file): read it here.
        const size_t size =
            static_cast<size_t>(std::max<uint64_t>(bytes, std::min(kReadAhead, end - offset)));
        std::vector<uint8_t> unused = std::move(piece.data);
        piece = Read(offset, size, std::move(spare));
        spare = std::move(unused);
      }
      if (!piece.ok) return nullptr;
      current_ = std::move(piece);
      const uint64_t next_offset = current_.offset + current_.data.size();
      if (next_offset < end) {
        const size_t size = static_cast<size_t>(std::min(kReadAhead, end - next_offset));
        try {
          next_ = std::async(std::launch::async,
                             [this, next_offset, size, buffer = std::move(spare)]() mutable {
                               return Read(next_offset, size, std::move(buffer));
                             });
        } catch (const std::system_error&) {
          // No helper thread: the next piece is read when it is needed.
        }
      }
    }
    return current_.data.data() + (offset - current_.offset);
  }

 private:
  struct Piece {
    uint64_t offset = 0;
    std::vector<uint8_t> data;
    bool ok = false;
  };

  static bool Covers(const Piece& piece, uint64_t offset, size_t bytes) {
    return piece.ok && offset >= piece.offset && offset + bytes <= piece.offset + piece.data.size();
  }

  Piece Read(uint64_t offset, size_t size, std::vector<uint8_t> buffer) const {
    Piece piece;
    piece.offset = offset;
    piece.data = std::move(buffer);
    piece.data.resize(size);  // zero-fills only what the buffer never held
    size_t got = 0;
    piece.ok = file_ != nullptr && file_->ReadAt(offset, size, piece.data.data(), &got).ok() &&
               got == size;
    return piece;
  }

  quenvar::platform::ReadableFile* file_;
  Piece current_;
  std::future<Piece> next_;
};

class StretchComparer {
 public:
  StretchComparer(CompareJob& job, const DiscSide& target, const DiscSide& source,
                  const ProgressReporter& progress)
      : job_(job), target_(target), source_(source), progress_(progress), file_(job.file) {}

  uint32_t Compare(const CompareTrack& track) {
    const bool from_source = track.file_offset == kFromSourceDrive;
    if (from_source && source_.drive == nullptr) return QD_E_INVALID_HANDLE;
    if (!from_source && job_.file == nullptr) return QD_E_READ_FILE;

    Extent target_extent;
    if (!TrackExtent(target_, track.start, track.disc_track, &target_extent)) {
      return QD_E_COMPARE_DIFFERS;  // no track starts there: the disc is laid out differently
    }
    uint32_t sectors = track.sectors;
    // Data beyond the end of the disc's track did not make it onto the disc. What lies beyond the
    // exact end before a following audio track is that track's pregap and is left out.
    if (sectors > target_extent.size) return QD_E_COMPARE_DIFFERS;
    sectors = std::min(sectors, target_extent.limit);
    Extent source_extent;
    if (from_source && !TrackExtent(source_, track.start, 0, &source_extent))
      return QD_E_COMMAND_FAILED;

    const bool disc_raw = target_.cd && track.mode == kModeData2;
    const uint32_t disc_block = disc_raw ? kRawSectorSize : kUserBytes;
    const bool source_raw = from_source && source_.cd && track.mode == kModeData2;
    const uint32_t reference_block =
        from_source ? (source_raw ? kRawSectorSize : kUserBytes) : track.reference_sector_size;
    disc_buffer_.resize(size_t{kBlocksPerRead} * disc_block);
    reference_buffer_.resize(size_t{kBlocksPerRead} * reference_block);
    // Both discs are read in the order their tracks were recorded: a track recorded with a layer
    // jump goes on on layer 1, at a place of its own on each disc.
    std::vector<drive::BlockRun> target_runs, source_runs;
    uint32_t result = drive::TrackBlockRuns(target_.drive, track.start, sectors, &target_runs);
    if (result == QD_OK && from_source)
      result = drive::TrackBlockRuns(source_.drive, track.start, sectors, &source_runs);
    if (result != QD_OK) return result;

    for (uint32_t index = 0; index < sectors;) {
      uint32_t count = std::min(kBlocksPerRead, sectors - index);
      uint32_t lba = 0, source_lba = 0, in_row = 0;
      if (!drive::BlockOfRuns(target_runs, index, &lba, &in_row)) return QD_E_COMPARE_DIFFERS;
      count = std::min(count, in_row);
      if (from_source) {
        if (!drive::BlockOfRuns(source_runs, index, &source_lba, &in_row))
          return QD_E_COMPARE_DIFFERS;
        count = std::min(count, in_row);
      }
      reference_ = reference_buffer_.data();
      uint32_t readable = 0;
      result = ReadBlocks(target_, disc_raw, lba, index, count, target_extent, disc_buffer_.data(),
                          &readable);
      if (result != QD_OK) return result;
      if (from_source && readable != 0) {
        uint32_t source_readable = 0;
        result = ReadBlocks(source_, source_raw, source_lba, index, readable, source_extent,
                            reference_buffer_.data(), &source_readable);
        if (result != QD_OK) return result;
        readable = source_readable;
      } else if (!from_source) {
        reference_ = file_.Get(track.file_offset + uint64_t{index} * reference_block,
                               size_t{readable} * reference_block,
                               track.file_offset + uint64_t{sectors} * reference_block);
        if (reference_ == nullptr) return QD_E_READ_FILE;
      }
      if (!Same(track, lba, readable, disc_block, reference_block, !from_source))
        return QD_E_COMPARE_DIFFERS;
      if (readable < count) break;  // the rest is run-out
      if (progress_.CancelRequested()) return QD_E_CANCELLED;
      progress_.AddDone(count);
      index += count;
    }
    return QD_OK;
  }

 private:
  // The reference block for lba: the volume header where it covers lba, else the block read.
  const uint8_t* Reference(uint32_t lba, uint32_t i, uint32_t reference_block, uint32_t mode,
                           bool from_file) const {
    if (from_file && reference_block == kUserBytes &&
        (uint64_t{lba} + 1) * kUserBytes <= job_.volume_header.size()) {
      return job_.volume_header.data() + size_t{lba} * kUserBytes;
    }
    return UserData(reference_ + size_t{i} * reference_block, reference_block, mode);
  }

  bool Same(const CompareTrack& track, uint32_t lba, uint32_t blocks, uint32_t disc_block,
            uint32_t reference_block, bool from_file) const {
    const bool header_here = from_file && uint64_t{lba} * kUserBytes < job_.volume_header.size();
    if (disc_block == kUserBytes && reference_block == kUserBytes && !header_here) {
      return std::memcmp(disc_buffer_.data(), reference_, size_t{blocks} * kUserBytes) == 0;
    }
    for (uint32_t i = 0; i < blocks; ++i) {
      const uint8_t* disc =
          UserData(disc_buffer_.data() + size_t{i} * disc_block, disc_block, track.mode);
      if (std::memcmp(disc, Reference(lba + i, i, reference_block, track.mode, from_file),
                      kUserBytes) != 0) {
        return false;
      }
    }
    return true;
  }

  CompareJob& job_;
  const DiscSide& target_;
  const DiscSide& source_;
  const ProgressReporter& progress_;
  std::vector<uint8_t> disc_buffer_;
  std::vector<uint8_t> reference_buffer_;
  FileReadAhead file_;
  const uint8_t* reference_ = nullptr;  // this step's reference: read from the file or the source
};

uint32_t Run(CompareJob& job, const ProgressReporter& progress) {
  DiscSide target;
  uint32_t result = target.Load(job.drive);
  if (result != QD_OK) return result;
  DiscSide source;
  if (job.source_drive != nullptr) {
    result = source.Load(job.source_drive);
    if (result != QD_OK) return result;
  }
  StretchComparer comparer(job, target, source, progress);
  uint64_t counted = 0;
  for (const CompareTrack& track : job.tracks) {
    // Audio tracks are not compared; they count as equal.
    if (track.mode != kModeAudio && track.sectors != 0) {
      result = comparer.Compare(track);
      if (result != QD_OK) return result;
    }
    counted += track.sectors;
    progress.RaiseDone(static_cast<uint32_t>(std::min<uint64_t>(counted, 0xFFFFFFFFu)));
  }
  return QD_OK;
}

}  // namespace

uint64_t CompareJob::TotalSectors() const {
  uint64_t total = 0;
  for (const CompareTrack& track : tracks) total += track.sectors;
  return total;
}

uint32_t RunCompare(CompareJob& job, const ProgressReporter& progress) {
  try {
    return Run(job, progress);
  } catch (const std::bad_alloc&) {
    return QD_E_OUT_OF_MEMORY;
  }
}

}  // namespace quillden::image
