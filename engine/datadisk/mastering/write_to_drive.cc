#include "datadisk/mastering/write_to_drive.h"

#include <errno.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <optional>

#include "datadisk/datadisk.h"
#include "datadisk/datadisk_env.h"
#include "datadisk/exist_check.h"
#include "datadisk/mastering/image_stream.h"
#include "datadisk/mastering/layer_jump_plan.h"
#include "datadisk/mastering/session_layout.h"
#include "datadisk/mastering/write_job.h"
#include "drive/drive_handle.h"
#include "drive/driver_control.h"
#include "drive/media_queries.h"
#include "drive/mmc_commands.h"
#include "drive/mmc_vocabulary.h"
#include "drive/profiles.h"
#include "drive/recording/recorder.h"
#include "filesystems/iso9660_records.h"
#include "filesystems/iso_time.h"
#include "platform/unicode.h"
#include "quillden/drive.h"
#include "quillden/mastering.h"
#include "quillden/progress.h"
#include "quillden/result.h"

namespace quillden::mastering {

using quenvar::platform::Status;
namespace rec = quillden::recording;

namespace {

constexpr size_t kBlock = fs::kBlockSize;
constexpr int kTotalWord = 5;  // word 9 of the progress object: the blocks of the whole job
constexpr uint8_t kCloseSession = 2;
constexpr uint32_t kDvdPlusRDualLayerMinimum = 0x40000;  // blocks a minimally finalized disc holds

}  // namespace

// --- RecorderSink ---

Status RecorderSink::Fail(uint32_t code) {
  if (code_ == 0) code_ = code;
  return Status::FromErrno(EIO, "recording failed");
}

size_t RecorderSink::Skip(size_t n) {
  if (position_ >= skip_) return 0;
  const size_t take = static_cast<size_t>(std::min<uint64_t>(n, skip_ - position_));
  position_ += take;
  return take;
}

Status RecorderSink::Push(const uint8_t* data, size_t n) {
  if (code_ != 0) return Fail(code_);
  const size_t skipped = Skip(n);
  data += skipped;
  n -= skipped;
  if (!partial_.empty()) {
    size_t take = std::min(n, kBlock - partial_.size());
    partial_.insert(partial_.end(), data, data + take);
    data += take;
    n -= take;
    position_ += take;
    if (partial_.size() == kBlock) {
      uint32_t result = write_(partial_.data(), kBlock);
      partial_.clear();
      if (result != QD_OK) return Fail(result);
    }
  }
  size_t whole = n / kBlock * kBlock;
  if (whole > 0) {
    uint32_t result = write_(data, whole);
    if (result != QD_OK) return Fail(result);
    position_ += whole;
  }
  partial_.insert(partial_.end(), data + whole, data + n);
  position_ += n - whole;
  return Status::Ok();
}

Status RecorderSink::ZeroFill(uint64_t to) {
  if (to <= position_) return Status::Ok();
  static const uint8_t kZeros[kBlock] = {};
  // First complete the partial block, then whole zero blocks, then the start of the last one.
  if (!partial_.empty()) {
    size_t take = static_cast<size_t>(std::min<uint64_t>(to - position_, kBlock - partial_.size()));
    Status status = Push(kZeros, take);
    if (!status.ok()) return status;
  }
  if (position_ < skip_) position_ = std::min(to, skip_);
  uint64_t blocks = (to - position_) / kBlock;
  if (blocks > 0) {
    uint32_t result = zeros_(blocks);
    if (result != QD_OK) return Fail(result);
    position_ += blocks * kBlock;
  }
  return Push(kZeros, static_cast<size_t>(to - position_));
}

Status RecorderSink::WriteAt(uint64_t offset, const void* data, size_t n) {
  if (code_ != 0) return Fail(code_);
  if (offset < position_) return Fail(QD_E_WRITE_FILE);
  Status status = ZeroFill(offset);
  if (status.ok()) status = Push(static_cast<const uint8_t*>(data), n);
  if (status.ok() && progress_.CancelRequested()) return Fail(QD_E_CANCELLED);
  return status;
}

Status RecorderSink::Append(const void* data, size_t n) {
  return WriteAt(position_, data, n);
}

uint32_t RecorderSink::ReserveBlocks(uint64_t offset, uint32_t max_blocks, uint8_t** room,
                                     uint32_t* blocks) {
  *room = nullptr;
  *blocks = 0;
  lent_ = 0;
  if (code_ != 0) return code_;
  if (offset < position_ || offset % kBlock != 0) {
    Fail(QD_E_WRITE_FILE);
    return code_;
  }
  if (!reserve_ || offset < skip_) return QD_OK;
  if (!ZeroFill(offset).ok()) return code_ != 0 ? code_ : QD_E_WRITE_FILE;
  if (!partial_.empty()) return QD_OK;  // the stream hands on whole blocks; keep to Push if not
  const uint32_t result = reserve_(max_blocks, room, blocks);
  if (result != QD_OK) {
    *room = nullptr;
    *blocks = 0;
    Fail(result);
    return code_;
  }
  lent_ = *blocks;
  return QD_OK;
}

uint32_t RecorderSink::CommitBlocks(uint32_t blocks) {
  if (code_ != 0) return code_;
  if (blocks > lent_) {
    Fail(QD_E_WRITE_FILE);
    return code_;
  }
  lent_ = 0;
  const uint32_t result = commit_(blocks);
  if (result != QD_OK) {
    Fail(result);
    return code_;
  }
  position_ += uint64_t{blocks} * kBlock;
  if (progress_.CancelRequested()) {
    Fail(QD_E_CANCELLED);
    return code_;
  }
  return QD_OK;
}

Status RecorderSink::Truncate(uint64_t size) {
  if (code_ != 0) return Fail(code_);
  return ZeroFill(size);
}

Status RecorderSink::Sync() {
  return code_ != 0 ? Fail(code_) : Status::Ok();
}

Status RecorderSink::Close() {
  if (code_ != 0) return Fail(code_);
  if (partial_.empty()) return Status::Ok();
  return ZeroFill((position_ + kBlock - 1) / kBlock * kBlock);
}

// --- the job ---

namespace {

struct DriveJob {
  std::shared_ptr<Datadisk> disc;
  HANDLE drive = nullptr;
  uint16_t profile = 0;
  uint32_t write_type = 0;
  uint32_t close_mode = 0;
  uint32_t data_mode = rec::kDataMode1;
  uint32_t start = 0;    // N: where the recorder starts
  uint32_t length = 0;   // blocks pushed to the recorder
  uint32_t padding = 0;  // zero blocks after the session (minimally finalized DVD+R dual layer)
  bool file_dates = false;
  bool header_at_zero = false;  // overwritable media appended to: the header goes to block 0 last
  uint32_t header_unit = 16;    // blocks the media records as one unit
  std::vector<uint8_t> volume_header;  // what goes to block 0 (header_at_zero)
  SessionLayout layout;
  fs::IsoTime volume_time{};
  // Set when the session crosses a layer jump: the files behind it are recorded elsewhere than
  // where the stream carries them.
  std::optional<LayerJumpMap> jump;
};

// The stream of one session into the sink: header, structures, boot image, files, the UDF tail
// and the run-out. The failing code is the sink's when the recorder or a cancel request ended it.
uint32_t StreamSession(DriveJob& job, RecorderSink& sink) {
  Datadisk& disc = *job.disc;
  SessionLayout& layout = job.layout;
  const ProgressReporter quiet;  // the recorder counts the blocks it wrote itself
  ImageStream stream(&sink, quiet);
  stream.set_allow_kernel_copy(false);
  stream.set_block_room(&sink);
  auto sink_code = [&sink](uint32_t result) {
    return result == QD_E_WRITE_FILE && sink.code() != 0 ? sink.code() : result;
  };

  uint32_t result = layout.WriteHeader(StreamSink(stream));
  if (result == QD_OK) result = layout.WriteStructures(StreamSink(stream));
  if (result == QD_OK) result = StreamBootImages(disc, stream);
  if (result != QD_OK) return sink_code(result);

  quenvar::platform::Env* env = DatadiskEnv();
  for (DatadiskEntry* entry : layout.level_order()) {
    if (entry->is_folder() || entry->is_engine_entry()) continue;
    uint64_t linear = entry->location;
    if (job.jump && !job.jump->Linear(entry->location, &linear)) return QD_E_WRITE_FILE;
    if (linear < layout.session_start()) return QD_E_WRITE_FILE;
    const uint64_t expected = (linear - layout.session_start()) * kBlock;
    if (stream.offset() != expected) return QD_E_WRITE_FILE;  // the layout and the stream disagree
    if (entry->length + entry->second_length == 0) continue;  // takes no block: nothing to open
    std::unique_ptr<quenvar::platform::ReadableFile> source;
    const std::u16string source_path = entry->SourcePath();
    if (!env->OpenReadable(quenvar::platform::Utf16ToUtf8(source_path), &source).ok()) {
      // Dropped from the tree, so that the next attempt writes the disc without it.
      disc.SetErrorPaths(source_path, entry->DiscPath());
      DeleteEntry(disc, entry);
      return QD_E_SOURCE_MISSING;
    }
    // A file split at a layer jump is still one run of the stream: both pieces.
    if ((result = stream.CopyFile(source.get(), entry->length + entry->second_length)) != QD_OK) {
      result = sink_code(result);
      if (result == QD_E_READ_FILE) disc.SetErrorPaths(source_path, entry->DiscPath());
      return result;
    }
  }
  if ((result = layout.WriteTail(StreamSink(stream))) != QD_OK) return sink_code(result);
  result = stream.WriteZeroBlocks(uint64_t{layout.total() - layout.end()} + job.padding);
  if (result == QD_OK) result = stream.Finish();
  if (result == QD_OK && !sink.Close().ok()) result = QD_E_WRITE_FILE;
  if (result != QD_OK) return sink_code(result);
  if (sink.handed_on() != uint64_t{job.length} * kBlock) return QD_E_WRITE_FILE;
  return QD_OK;
}

// The session crosses the layer jump the recorder named: the file across it is split, the later
// files move to where the recorder puts them, and the UDF structures are built again, all before
// a block is written.
uint32_t ReplanAroundJump(DriveJob& job, const rec::LayerJumpInfo& jump) {
  SessionLayout& layout = job.layout;
  const LayerJumpMap map(jump.jump_address, jump.target);
  // The boot images are read by the firmware as runs from the catalog's positions: they may no
  // more move than the structures before them.
  const uint64_t structures_end = layout.first_file_block();
  LayerJumpPlan plan;
  uint32_t result = ReplanAroundLayerJump(map, layout.session_start(), structures_end,
                                          uint64_t{layout.session_start()} + layout.end(),
                                          layout.level_order(), &plan);
  if (result == QD_OK) result = layout.ApplyLayerJump(map);
  if (result != QD_OK) return result;
  layout.Build(*job.disc, job.volume_time, job.file_dates);
  job.jump = map;
  return QD_OK;
}

uint32_t RecordSession(DriveJob& job, const ProgressReporter& reporter) {
  Datadisk& disc = *job.disc;
  // Cancelled before the worker ran: the medium has not been touched, and stays so.
  if (reporter.CancelRequested()) return QD_E_CANCELLED;
  drive::NotifyRecordingStart(drive::DriveNumberOf(job.drive));
  job.volume_time = fs::VolumeTimeNow(DatadiskEnv());
  job.layout.Build(disc, job.volume_time, job.file_dates);
  if (job.header_at_zero) {
    // Read before anything is written: the blocks behind the header keep the disc's old content.
    const uint32_t result =
        ReadVolumeHeader(job.drive, job.layout, job.header_unit, &job.volume_header);
    if (result != QD_OK) return result;
  }

  std::unique_ptr<rec::Recorder> recorder =
      rec::CreateRecorder(job.drive, 1, 1, job.write_type, reporter);
  if (!recorder) return QD_E_OUT_OF_MEMORY;
  rec::LayerJumpInfo jump;
  const uint32_t header_blocks = job.layout.header_blocks() + job.layout.structure_blocks();
  uint32_t result = rec::OpenRecording(*recorder, job.profile, job.data_mode, job.start, job.length,
                                       job.close_mode, &jump, header_blocks);
  uint64_t reserved_tail = 0;
  if (result == QD_OK && jump.used == 1) {
    // The recorder moves every block after the jump address to the other layer. A session that
    // ends before the jump needs no new positions.
    if (uint64_t{job.start} + job.length - 1 > jump.jump_address)
      result = ReplanAroundJump(job, jump);
    if (result == QD_OK) {
      reserved_tail = jump.reservation > job.length ? jump.reservation - job.length : 0;
      reporter.SetSessionTrack(kTotalWord, std::max(jump.reservation, job.length));
    }
  }
  if (result == QD_OK) {
    RecorderSink sink(
        [&](const uint8_t* data, size_t bytes) {
          return rec::WriteRecordingData(*recorder, data, bytes);
        },
        [&](uint64_t blocks) { return recorder->WriteZeros(blocks); }, reporter,
        job.header_at_zero ? uint64_t{job.layout.rewritten_header_blocks()} * kBlock : 0);
    if (recorder->takes_data_blocks_in_place()) {
      // File contents are read into the ring, where the drive's commands take them from.
      sink.LendBlocks([&](uint32_t max_blocks, uint8_t** room,
                          uint32_t* blocks) { return recorder->Reserve(max_blocks, room, blocks); },
                      [&](uint32_t blocks) { return recorder->Commit(blocks); });
    }
    result = StreamSession(job, sink);
    if (result == QD_OK && reserved_tail > 0) result = recorder->WriteZeros(reserved_tail);
    // On overwritable media the new volume header replaces the old one only now, after the data.
    const uint8_t* header = job.header_at_zero ? job.volume_header.data() : nullptr;
    const uint32_t header_sectors = static_cast<uint32_t>(job.volume_header.size() / kBlock);
    if (result == QD_OK) {
      result = rec::FinishRecording(*recorder, job.profile, header, header_sectors, job.close_mode,
                                    &jump);
    }
  }
  rec::DestroyRecorder(std::move(recorder));
  if (result == QD_E_CANCELLED && job.profile == drive::mmc::kProfileDvdPlusRw) {
    // A DVD+RW left in the middle of a write is closed, so that it reads as a disc again.
    drive::CloseTrackSession(job.drive, false, kCloseSession, 0);
  }
  return result;
}

bool IsDvdMinusRDualLayer(uint16_t profile) {
  return profile == drive::mmc::kProfileDvdMinusRDlSequential ||
         profile == drive::mmc::kProfileDvdMinusRDlJump;
}

uint32_t StartWrite(HANDLE drive, const std::shared_ptr<Datadisk>& shared, uint32_t write_type,
                    HANDLE progress, bool file_dates, uint32_t close_mode, bool exist_check) {
  Datadisk& disc = *shared;
  if (write_type < 1 || write_type > 3) return disc.Fail(QD_E_INVALID_ARGUMENT);
  if (!disc.first_root()) return disc.Fail(QD_E_NOT_FOUND);
  if (progress) {
    std::shared_ptr<ProgressRecord> record = ProgressRecord::FromHandle(progress);
    if (!record) return disc.Fail(QD_E_INVALID_HANDLE);
    if (quillden::ProgressBusy(record->status.load())) return disc.Fail(QD_E_BUSY);
  }
  if (drive::IsBadHandle(drive)) return disc.Fail(QD_E_INVALID_DRIVE);
  _MEDIAINFORMATION info{};
  uint32_t result = DRV_GetMediaInformation(drive, &info);
  if (result != QD_OK) return disc.Fail(result);
  const uint16_t profile = drive::CurrentProfile(drive);
  // Layer jump media take only UDF 1.02 alone when not written at once: only its structures can
  // be rebuilt around the jump.
  if (IsDvdMinusRDualLayer(profile) && write_type != 3 && disc.file_system != kFsUdf102) {
    return disc.Fail(QD_E_INVALID_ARGUMENT);
  }
  if (exist_check && profile == drive::mmc::kProfileHdDvdRDl && write_type == 1 &&
      disc.file_system != kFsUdf250) {
    return disc.Fail(QD_E_INVALID_ARGUMENT);
  }
  if (info.dwStatus == MEDIA_STATUS_CLOSED) return disc.Fail(QD_E_MEDIA_NOT_WRITABLE);
  const bool imported = disc.imported_drive != nullptr && disc.next_session_start > 0 &&
                        disc.next_session_start != 0xFFFFFFFFu;
  if (info.dwStatus == MEDIA_STATUS_APPENDABLE && !imported)
    return disc.Fail(QD_E_MEDIA_NOT_WRITABLE);
  if (imported) {
    if (drive::DriveNumberOf(disc.imported_drive) != drive::DriveNumberOf(drive) ||
        disc.next_session_start != info.dwNextWritable) {
      return disc.Fail(QD_E_NOT_READY);
    }
  }
  SessionPlacement placement;
  if ((result = PlaceSession(disc, profile, &placement)) != QD_OK) return disc.Fail(result);
  if (exist_check && (result = RunExistCheck(disc, FileProgressAsker())) != QD_OK)
    return disc.Fail(result);

  auto job = std::make_shared<DriveJob>();
  job->disc = shared;
  job->drive = drive;
  job->profile = profile;
  job->write_type = write_type;
  job->close_mode = close_mode;
  job->data_mode = disc.data_mode == 2 ? rec::kDataMode2 : rec::kDataMode1;
  job->file_dates = file_dates;
  job->start = placement.next_writable;
  job->header_at_zero = placement.header_at_zero;
  job->header_unit = drive::IsOverwritableHdDvdProfile(profile) ? 32 : 16;
  job->layout.SetMedia(profile, write_type);
  result = PlanPlacedSession(disc, placement, drive::IsCdProfile(profile), &job->layout);
  if (result != QD_OK) return disc.Fail(result);

  // With the header going to block 0 separately, the recorder gets the session without it.
  const uint32_t skipped = job->header_at_zero ? job->layout.rewritten_header_blocks() : 0;
  const uint32_t session = std::max(job->layout.end(), job->layout.total()) - skipped;
  if (info.dwFree < session) return disc.Fail(QD_E_NO_SPACE);
  job->length = session;
  if (profile == drive::mmc::kProfileDvdPlusRDl && close_mode == 4 &&
      job->start + job->layout.end() < kDvdPlusRDualLayerMinimum) {
    // A minimally finalized DVD+R dual layer disc holds at least this much; the zeros go after the
    // whole session so that no structure moves.
    job->padding = kDvdPlusRDualLayerMinimum - job->start - session;
    job->length = kDvdPlusRDualLayerMinimum - job->start;
  }
  uint32_t total = job->length;
  if (profile == drive::mmc::kProfileDvdMinusRwOverwrite ||
      profile == drive::mmc::kProfileDvdMinusRwSequential)
    total = (total + 15) / 16 * 16;
  if (exist_check &&
      (profile == drive::mmc::kProfileHdDvdRw || profile == drive::mmc::kProfileHdDvdRwDl))
    total = (total + 31) / 32 * 32;

  result = RunOperation(progress, PRG_PHASE_WRITING, total,
                        [job, total](const ProgressReporter& reporter) -> uint32_t {
                          uint32_t code;
                          reporter.SetSessionTrack(kTotalWord, total);
                          try {
                            code = RecordSession(*job, reporter);
                          } catch (const std::bad_alloc&) {
                            code = QD_E_OUT_OF_MEMORY;
                          }
                          return code == QD_OK ? QD_OK : job->disc->Fail(code);
                        });
  if (result != QD_OK && progress) disc.Fail(result);
  return result;
}

}  // namespace

uint32_t WriteDatadisk(HANDLE drive, HANDLE disc_handle, uint32_t write_type, HANDLE progress,
                       bool file_dates, uint32_t close_mode, bool exist_check) {
  std::shared_ptr<Datadisk> disc = Datadisk::FromHandle(disc_handle);
  if (!disc) return QD_E_INVALID_HANDLE;
  try {
    return StartWrite(drive, disc, write_type, progress, file_dates, close_mode, exist_check);
  } catch (const std::bad_alloc&) {
    return disc->Fail(QD_E_OUT_OF_MEMORY);
  }
}

}  // namespace quillden::mastering

QUILLDEN_EXTERN_C QUILLDEN_API DWORD MST_WriteDatadisk(HANDLE drive, HANDLE disc, DWORD write_type,
                                                       HANDLE progress, BOOL file_dates,
                                                       DWORD close_mode) {
  return quillden::mastering::WriteDatadisk(drive, disc, write_type, progress, file_dates != 0,
                                            close_mode, true);
}

QUILLDEN_EXTERN_C QUILLDEN_API DWORD MST_WriteDatadiskNoExistCheck(HANDLE drive, HANDLE disc,
                                                                   DWORD write_type,
                                                                   HANDLE progress, BOOL file_dates,
                                                                   DWORD close_mode) {
  return quillden::mastering::WriteDatadisk(drive, disc, write_type, progress, file_dates != 0,
                                            close_mode, false);
}
