// The recorder: method selection, opening tracks per media and the ring writer around them.
// Finishing lives in recorder_finish.cc.
#include "drive/recording/recorder.h"

#include <algorithm>
#include <new>
#include <vector>

#include "drive/media_queries.h"
#include "drive/mmc_commands.h"
#include "drive/mmc_vocabulary.h"
#include "drive/recording/write_parameters.h"
#include "quillden/result.h"
#include "util/byte_order.h"

namespace quillden::recording {
namespace {

constexpr uint32_t kPhaseWriting = 1;
constexpr uint32_t kCdPregapBlocks = 150;
constexpr uint32_t kDvdPlusRDlMinimumLayer0 = 0x40000;
constexpr uint32_t kLayerJumpMinimumTrack = 14576;

// Session/track block of the progress object (_SESSIONTRACKPROGRESS order).
constexpr int kCurrentSession = 0;
constexpr int kCurrentTrack = 1;
constexpr int kSessionCount = 3;
constexpr int kTrackCount = 4;

uint32_t RoundUp(uint64_t value, uint32_t unit) {
  return static_cast<uint32_t>((value + unit - 1) / unit * unit);
}

uint32_t QuickFormat(HANDLE drive, uint32_t start_lba) {
  drive::FormatList list;
  list.options = 0x82;  // format options valid, immediate
  list.list_length = 8;
  list.block_count = 0;
  // Quick: grow the last session when appending, else the whole disc.
  list.format_type =
      start_lba > 0 ? drive::mmc::kFormatDvdRwQuickGrow : drive::mmc::kFormatDvdRwQuick;
  list.type_parameter = 16;
  return drive::FormatUnit(drive, list);
}

uint32_t WaitAfterFormat(HANDLE drive) {
  uint32_t result = drive::WaitUntilReady(drive, 0);
  if (result != QD_OK) return result;
  drive::DiscInformation info;
  return drive::WaitWhileDiscBusy(drive, &info, 0);
}

// SEND DISC STRUCTURE format 0x20: the layer boundary (MMC 6.30, layer boundary information).
uint32_t SetLayerBoundary(HANDLE drive, uint32_t layer0_blocks) {
  uint8_t data[12] = {};
  PutBe16(data, 10);
  PutBe32(data + 8, layer0_blocks);
  return drive::SendDiscStructure(drive, drive::mmc::kStructureLayerBoundary, data, sizeof(data));
}

}  // namespace

bool SelectMethod(uint16_t profile, uint32_t start_lba, uint32_t write_mode, Method* method) {
  switch (profile) {
    case drive::mmc::kProfileCdR:
    case drive::mmc::kProfileCdRw:
      *method = Method::kCd;
      return true;
    case drive::mmc::kProfileDvdMinusR:
      *method = Method::kDvdMinusR;
      return true;
    case drive::mmc::kProfileDvdMinusRwSequential:
      *method =
          (start_lba != 0 || write_mode >= 10) ? Method::kDvdMinusR : Method::kDvdMinusRwOverwrite;
      return true;
    case drive::mmc::kProfileDvdMinusRwOverwrite:
      *method = Method::kDvdMinusRwOverwrite;
      return true;
    case drive::mmc::kProfileDvdMinusRDlSequential:
    case drive::mmc::kProfileDvdMinusRDlJump:
      *method = Method::kDvdMinusRDualLayer;
      return true;
    case drive::mmc::kProfileDvdPlusRw:
      *method = Method::kDvdPlusRw;
      return true;
    case drive::mmc::kProfileDvdPlusR:
      *method = Method::kDvdPlusR;
      return true;
    case drive::mmc::kProfileDvdPlusRDl:
      *method = Method::kDvdPlusRDualLayer;
      return true;
    case drive::mmc::kProfileHdDvdR:
      *method = Method::kHdDvdR;
      return true;
    case drive::mmc::kProfileHdDvdRw:
      *method = Method::kHdDvdRw;
      return true;
    case drive::mmc::kProfileHdDvdRDl:
      *method = Method::kHdDvdRDualLayer;
      return true;
    case drive::mmc::kProfileHdDvdRwDl:
      *method = Method::kHdDvdRwDualLayer;
      return true;
    default:
      return false;
  }
}

Recorder::Recorder(HANDLE drive, uint32_t session_count, uint32_t track_count, uint32_t write_mode,
                   const ProgressReporter& progress)
    : drive_(drive),
      write_mode_(write_mode),
      session_count_(session_count),
      track_count_(track_count),
      progress_(progress) {}

Recorder::~Recorder() {
  EndWriter();
}

std::unique_ptr<Recorder> Recorder::Create(HANDLE drive, uint32_t session_count,
                                           uint32_t track_count, uint32_t write_mode,
                                           const ProgressReporter& progress) {
  std::unique_ptr<Recorder> recorder;
  try {
    recorder.reset(new Recorder(drive, session_count, track_count, write_mode, progress));
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  // The last track already on the disc; the invisible (blank) track does not count.
  drive::DiscInformation disc;
  if (drive::ReadDiscInformation(drive, &disc) == QD_OK) {
    uint16_t last = disc.last_track_last_session;
    drive::TrackInformation track;
    if (last > 0 &&
        drive::ReadTrackInformation(drive, drive::mmc::kTrackAddressTrack, last, &track) == QD_OK &&
        drive::ClassifyTrack(track, disc) == drive::TrackState::kBlank) {
      --last;
      track = drive::TrackInformation();
      if (last > 0)
        drive::ReadTrackInformation(drive, drive::mmc::kTrackAddressTrack, last, &track);
    }
    recorder->last_track_ = last;
    recorder->last_session_ = last > 0 ? track.session : 0;
  }
  // A job that records several sessions through several recorders has set its own counts.
  progress.RaiseSessionTrack(kSessionCount, session_count);
  progress.RaiseSessionTrack(kTrackCount, track_count);
  return recorder;
}

uint32_t Recorder::EffectiveMode(Method method, uint32_t start_lba) const {
  const bool last_track = tracks_opened_ >= track_count_;
  const bool one_session = session_count_ == 1;
  const bool closing = write_mode_ == kWriteCloseDisc || write_mode_ == kWriteCloseDiscSequential ||
                       write_mode_ == kWriteDiscAtOnce;
  switch (method) {
    case Method::kDvdMinusR:
      if (one_session &&
          (write_mode_ == kWriteDiscAtOnce || (write_mode_ == kWriteCloseDisc && start_lba == 0))) {
        return kEffectiveDiscAtOnce;
      }
      break;
    case Method::kDvdPlusRDualLayer:
      if (one_session && write_mode_ == kWriteDiscAtOnce) return kEffectiveDiscAtOnce;
      break;
    case Method::kDvdMinusRDualLayer:
      if (one_session && write_mode_ == kWriteDiscAtOnce) return kEffectiveDiscAtOnce;
      return write_mode_ == kWriteCloseDisc && last_track ? kEffectiveLastTrack
                                                          : kEffectiveIncremental;
    default:
      if (write_mode_ == kWriteDiscAtOnce) return kEffectiveDiscAtOnce;
      break;
  }
  return closing && last_track ? kEffectiveLastTrack : kEffectiveIncremental;
}

uint32_t Recorder::StartWriter(uint32_t start_lba, uint32_t end, bool pad, BlockFormat format,
                               const LayerJumpInfo* jump) {
  progress_.BeginPhase(kPhaseWriting, end);
  RingWriterOptions options;
  options.drive = drive_;
  options.block_size = block_size_;
  options.format = format;
  options.start_lba = start_lba;
  options.pad_to_unit = pad;
  options.progress = progress_;
  if (jump != nullptr && jump->used == 1) {
    options.layer_jump = true;
    options.jump_address = jump->jump_address;
    options.jump_target = jump->target;
  }
  uint32_t result = QD_OK;
  writer_ = RingWriter::Start(options, &result);
  return result;
}

uint32_t Recorder::EndWriter() {
  if (!writer_) return QD_OK;
  const uint32_t result = writer_->End();
  progress_.AddSessionTrack(2, static_cast<uint32_t>(writer_->blocks_done()));
  writer_.reset();
  return result;
}

uint32_t Recorder::Open(uint16_t profile, uint32_t data_type, uint32_t start_lba, uint32_t sectors,
                        uint32_t finalize_kind, LayerJumpInfo* jump, uint32_t header_sectors,
                        uint32_t reservation) {
  (void)finalize_kind;
  Method method;
  if (!SelectMethod(profile, start_lba, write_mode_, &method)) return QD_E_INVALID_ARGUMENT;
  if (data_type < kDataMode1 || data_type > kDataAudio) return QD_E_INVALID_ARGUMENT;
  if (writer_) return QD_E_BUSY;  // the previous track was not finished
  if (jump != nullptr) *jump = LayerJumpInfo();
  const bool first_of_job = tracks_opened_ == 0;
  if (first_of_job) job_start_ = start_lba;
  // Sessions count from 1 while anything is recorded, on every kind of media.
  progress_.RaiseSessionTrack(kCurrentSession, 1);
  method_ = method;
  data_type_ = data_type;
  track_start_ = start_lba;
  track_length_ = sectors;
  block_size_ = 2048;
  try {
    switch (method) {
      case Method::kCd:
        return OpenCd(data_type, start_lba, sectors);
      case Method::kDvdMinusR:
        return OpenDvdMinusR(start_lba, sectors, reservation);
      case Method::kDvdMinusRwOverwrite:
      case Method::kHdDvdRw:
      case Method::kHdDvdRwDualLayer:
        return OpenOverwrite(method, start_lba, sectors);
      case Method::kDvdMinusRDualLayer:
        return OpenDvdMinusRDualLayer(start_lba, sectors, jump, header_sectors, reservation);
      case Method::kDvdPlusRw:
        return OpenDvdPlusRw(start_lba, sectors);
      case Method::kDvdPlusR:
      case Method::kDvdPlusRDualLayer: {
        ++tracks_opened_;
        progress_.SetSessionTrack(kCurrentTrack, tracks_opened_);
        effective_mode_ = EffectiveMode(method, start_lba);
        uint32_t result = StreamAtMaximum(drive_, start_lba, start_lba + sectors);
        if (result != QD_OK) return result;
        if (method == Method::kDvdPlusRDualLayer && effective_mode_ == kEffectiveDiscAtOnce) {
          // The job is split evenly over the layers, but layer 0 keeps at least its minimum.
          const uint32_t even = sectors + (sectors & 1);
          const uint32_t layer0 = std::max(RoundUp(even / 2, 16), kDvdPlusRDlMinimumLayer0);
          result = SetLayerBoundary(drive_, layer0);
          if (result != QD_OK) return result;
        }
        return StartWriter(start_lba, sectors, false, BlockFormat::kPlain, nullptr);
      }
      case Method::kHdDvdR: {
        ++tracks_opened_;
        progress_.SetSessionTrack(kCurrentTrack, tracks_opened_);
        effective_mode_ = EffectiveMode(method, start_lba);
        uint32_t result = StreamAtMaximum(drive_, start_lba, start_lba + sectors);
        if (result == QD_OK) result = drive::ReserveTrack(drive_, std::max(sectors, reservation));
        if (result != QD_OK) return result;
        return StartWriter(start_lba, sectors, false, BlockFormat::kPlain, nullptr);
      }
      case Method::kHdDvdRDualLayer: {
        ++tracks_opened_;
        progress_.SetSessionTrack(kCurrentTrack, tracks_opened_);
        effective_mode_ = EffectiveMode(method, start_lba);
        uint32_t result = QD_OK;
        if (first_of_job) {
          drive::FormatList list;
          list.options = 0x82;
          // A full format: the drive lays out both layers.
          list.format_type = drive::mmc::kFormatFull;
          result = drive::FormatUnit(drive_, list);
          if (result == QD_OK) result = WaitAfterFormat(drive_);
        }
        if (result == QD_OK) result = StreamAtMaximum(drive_, start_lba, start_lba + sectors);
        if (result == QD_OK && first_of_job) {
          const uint32_t even = sectors + (sectors & 1);
          result = SetLayerBoundary(drive_, RoundUp(even / 2, 32));
        }
        if (result != QD_OK) return result;
        return StartWriter(start_lba, sectors, false, BlockFormat::kPlain, nullptr);
      }
    }
  } catch (const std::bad_alloc&) {
    return QD_E_OUT_OF_MEMORY;
  }
  return QD_E_INVALID_ARGUMENT;
}

uint32_t Recorder::OpenCd(uint32_t data_type, uint32_t start_lba, uint32_t sectors) {
  session_at_once_ = write_mode_ == kWriteDiscAtOnce;
  const bool first_track_of_session = tracks_opened_ == 0;
  ++tracks_opened_;
  progress_.SetSessionTrack(kCurrentTrack, tracks_opened_);
  effective_mode_ = EffectiveMode(Method::kCd, start_lba);
  const bool mode2 = data_type == kDataMode2;
  const bool audio = data_type == kDataAudio;
  block_size_ = audio ? 2352u : mode2 ? (session_at_once_ ? 2336u : 2332u) : 2048u;

  WritePage page;
  page.track_mode = audio ? 0 : 4;
  page.data_block_type = audio ? 0 : mode2 ? 13 : 8;
  page.session_format = mode2 ? 0x20 : 0;
  uint32_t result = QD_OK;
  if (first_track_of_session) {
    ++sessions_opened_;
    progress_.RaiseSessionTrack(kCurrentSession, sessions_opened_);
    if (session_at_once_) {
      page.write_type = kWriteTypeSessionAtOnce;
      page.multi_session = sessions_opened_ < session_count_ ? 3 : 0;
      const std::vector<uint8_t> sheet = BuildDataCueSheet(data_type, start_lba, sectors);
      result = SelectWritePage(drive_, page);
      if (result == QD_OK)
        result = drive::SendCueSheet(drive_, sheet.data(), static_cast<uint32_t>(sheet.size()));
      if (result != QD_OK) return result;
    }
    result = drive::SetCdSpeed(drive_, 0xFFFF, 0xFFFF);
    if (result != QD_OK) return result;
  }
  if (!session_at_once_) {
    page.write_type = kWriteTypeTrackAtOnce;
    page.multi_session = effective_mode_ == kEffectiveIncremental ? 3 : 0;
    result = SelectWritePage(drive_, page);
    if (result != QD_OK) return result;
    drive::TrackInformation invisible;
    result = drive::ReadTrackInformation(drive_, drive::mmc::kTrackAddressTrack,
                                         drive::mmc::kInvisibleTrack, &invisible);
    if (result != QD_OK) return result;
    // Later tracks go where the drive says the invisible track starts, not where the caller
    // computed it: the run-out of the track before is the drive's business.
    if (tracks_opened_ > 1 && invisible.next_writable > 0) start_lba = invisible.next_writable;
  } else {
    // The pregap of the session's first track, written through the same command as the data.
    const uint32_t per_command = 16;
    std::vector<uint8_t> zeros(static_cast<size_t>(per_command) * block_size_, 0);
    for (uint32_t done = 0; done < kCdPregapBlocks; done += per_command) {
      const uint32_t count = std::min(per_command, kCdPregapBlocks - done);
      result =
          drive::Write10(drive_, start_lba - kCdPregapBlocks + done, static_cast<uint16_t>(count),
                         zeros.data(), count * block_size_, &progress_);
      if (result != QD_OK) return result;
    }
  }
  track_start_ = start_lba;
  return StartWriter(start_lba, sectors, false,
                     mode2 && !raw_mode2_input_ ? BlockFormat::kMode2 : BlockFormat::kPlain,
                     nullptr);
}

uint32_t Recorder::OpenDvdMinusR(uint32_t start_lba, uint32_t sectors, uint32_t reservation) {
  ++tracks_opened_;
  progress_.SetSessionTrack(kCurrentTrack, tracks_opened_);
  effective_mode_ = EffectiveMode(Method::kDvdMinusR, start_lba);
  WritePage page;
  page.write_type =
      effective_mode_ == kEffectiveDiscAtOnce ? kWriteTypeSessionAtOnce : kWriteTypeIncremental;
  page.multi_session = effective_mode_ == kEffectiveIncremental ? 3 : 0;
  page.track_mode = 5;
  page.data_block_type = 8;
  uint32_t result = SelectWritePage(drive_, page);
  if (result == QD_OK) result = drive::ReserveTrack(drive_, std::max(sectors, reservation));
  if (result == QD_OK) result = StreamAtMaximum(drive_, start_lba, start_lba + sectors);
  if (result != QD_OK) return result;
  return StartWriter(start_lba, sectors, false, BlockFormat::kPlain, nullptr);
}

uint32_t Recorder::OpenOverwrite(Method method, uint32_t start_lba, uint32_t sectors) {
  const bool hd = method != Method::kDvdMinusRwOverwrite;
  const uint32_t unit = hd ? 32 : 16;  // blocks recorded as one unit
  const bool first_of_job = tracks_opened_ == 0;
  ++tracks_opened_;
  progress_.SetSessionTrack(kCurrentTrack, tracks_opened_);
  effective_mode_ = EffectiveMode(method, start_lba);
  const uint32_t lead = start_lba % unit;
  uint32_t result = QD_OK;
  if (first_of_job) {
    if (!hd) {
      WritePage page;
      page.write_type = kWriteTypeIncremental;
      page.multi_session = effective_mode_ == kEffectiveIncremental ? 3 : 0;
      page.track_mode = 5;
      page.data_block_type = 8;
      result = SelectWritePage(drive_, page);
      if (result != QD_OK) return result;
    }
    result = StreamAtMaximum(drive_, start_lba, start_lba + RoundUp(sectors, unit));
    if (result == QD_OK) result = QuickFormat(drive_, start_lba);
    if (result == QD_OK) result = WaitAfterFormat(drive_);
    if (result == QD_OK && method == Method::kHdDvdRwDualLayer) {
      const uint32_t even = sectors + (sectors & 1);
      result = SetLayerBoundary(drive_, RoundUp(even / 2, 32));
    }
    if (result != QD_OK) return result;
  }
  // Writing starts on a unit boundary: the blocks before the track's start in its first unit
  // are recorded as zeros.
  result = StartWriter(start_lba - lead, RoundUp(static_cast<uint64_t>(lead) + sectors, unit), true,
                       BlockFormat::kPlain, nullptr);
  if (result == QD_OK && lead > 0) result = writer_->WriteZeros(lead);
  return result;
}

uint32_t Recorder::OpenDvdPlusRw(uint32_t start_lba, uint32_t sectors) {
  const bool first_of_job = tracks_opened_ == 0;
  ++tracks_opened_;
  progress_.SetSessionTrack(kCurrentTrack, tracks_opened_);
  effective_mode_ = EffectiveMode(Method::kDvdPlusRw, start_lba);
  if (first_of_job) {
    drive::FormatCapacity current;
    std::vector<drive::FormatCapacity> formattable;
    uint32_t result = drive::ReadAllFormatCapacities(drive_, &current, &formattable);
    if (result != QD_OK) return result;
    uint32_t blocks = 0;
    for (const drive::FormatCapacity& c : formattable) {
      if (c.type == drive::mmc::kFormatDvdPlusRw) blocks = c.block_count;  // the type comes unshifted
    }
    drive::DiscInformation disc;
    result = drive::WaitWhileDiscBusy(drive_, &disc, 0);
    if (result == QD_OK) result = StreamAtMaximum(drive_, start_lba, start_lba + sectors);
    if (result != QD_OK) return result;
    const uint8_t background =
        disc.raw[drive::mmc::kDiscInfoFlags] & drive::mmc::kBackgroundFormatMask;
    if (background <= 1) {
      drive::FormatList list;
      list.options = 0x82;
      list.block_count = blocks;
      list.format_type = drive::mmc::kFormatDvdPlusRw;
      list.type_parameter = background;  // restart a stopped format
      result = drive::FormatUnit(drive_, list);
      if (result == QD_OK) result = drive::WaitWhileDiscBusy(drive_, &disc, 0);
      if (result != QD_OK) return result;
    }
  }
  return StartWriter(start_lba, sectors, false, BlockFormat::kPlain, nullptr);
}

uint32_t Recorder::OpenDvdMinusRDualLayer(uint32_t start_lba, uint32_t sectors, LayerJumpInfo* jump,
                                          uint32_t header_sectors, uint32_t reservation) {
  const bool layer_jump = write_mode_ != kWriteDiscAtOnce && !dual_layer_incremental_;
  ++tracks_opened_;
  progress_.SetSessionTrack(kCurrentTrack, tracks_opened_);
  LayerJumpInfo info;
  uint32_t result = QD_OK;
  if (layer_jump) {
    uint32_t last_lba = 0;
    result = drive::ReadCapacity(drive_, &last_lba);
    if (result != QD_OK) return result;
    if (last_lba == 0) {
      drive::TrackInformation next;
      result = drive::ReadTrackInformation(drive_, drive::mmc::kTrackAddressTrack,
                                           drive::mmc::kInvisibleTrack, &next);
      if (result != QD_OK) return result;
      last_lba = next.next_writable + next.free_blocks - 1;
    }
    info.last_recorded = last_lba;
  }
  effective_mode_ = EffectiveMode(Method::kDvdMinusRDualLayer, start_lba);
  WritePage page;
  page.track_mode = 5;
  page.data_block_type = 8;
  page.write_type = layer_jump ? kWriteTypeLayerJump : kWriteTypeIncremental;
  if (effective_mode_ == kEffectiveDiscAtOnce) page.write_type = kWriteTypeSessionAtOnce;
  page.multi_session = effective_mode_ == kEffectiveIncremental ? 3 : 0;

  uint8_t boundary[12] = {};
  result = drive::ReadDiscStructure(drive_, drive::mmc::kStructureLayerBoundary, boundary,
                                    sizeof(boundary));
  if (result != QD_OK) return result;
  layer0_capacity_ = GetBe32(boundary + 8);

  result = SelectWritePage(drive_, page);
  if (result != QD_OK) return result;
  // A given reservation decides where the drive places the jump: a copy's track takes its
  // source's places on both layers. Without one the track is sized for the job's data.
  uint32_t length = std::max(sectors, reservation);
  if (layer_jump && reservation == 0) {
    uint64_t size = sectors;
    if (start_lba == 0) size = std::max<uint64_t>(size, kLayerJumpMinimumTrack);
    if (start_lba != 0 && header_sectors > size - std::min<uint64_t>(size, header_sectors)) {
      size = 2ull * header_sectors;
    }
    const uint32_t lead = start_lba % 16;
    const uint64_t units = (size + lead + 15) / 16 + (start_lba > layer0_capacity_ ? 2 : 1);
    length = static_cast<uint32_t>(units * 16 - lead);
  }
  result = drive::ReserveTrack(drive_, length);
  if (result != QD_OK) return result;
  track_length_ = length;
  if (layer_jump) {
    drive::TrackInformation track;
    result = drive::ReadTrackInformation(drive_, drive::mmc::kTrackAddressLba, start_lba, &track);
    if (result != QD_OK) return result;
    // The drive names the last block the track records on layer 0 before it goes on at the block
    // opposite it on layer 1 (opposite track path: block x of layer 0 faces 2 * L0 - 1 - x). A
    // jump outside the track, or no layer 0 capacity, leaves the track in one piece.
    const uint64_t jump_at = track.next_layer_jump;
    const uint64_t opposite =
        2ull * layer0_capacity_ - 1 - std::min<uint64_t>(jump_at, 2ull * layer0_capacity_ - 1);
    info.used = 1;
    if (layer0_capacity_ != 0 && jump_at >= start_lba &&
        jump_at + 1 < uint64_t{start_lba} + length && jump_at < layer0_capacity_ &&
        opposite > jump_at) {
      info.jump_address = static_cast<uint32_t>(jump_at);
      info.target = static_cast<uint32_t>(opposite);
    } else {
      info.jump_address = start_lba + length - 1;
      info.target = start_lba + length;
    }
    info.track_start = start_lba;
    info.track_size = track.size;
    info.reservation = length;
    if (jump != nullptr) *jump = info;
  }
  result = StreamAtMaximum(drive_, start_lba, start_lba + length);
  if (result != QD_OK) return result;
  return StartWriter(start_lba, length, false, BlockFormat::kPlain, layer_jump ? &info : nullptr);
}

uint32_t Recorder::Write(const void* data, size_t bytes) {
  if (!writer_) return QD_E_INVALID_ARGUMENT;
  return writer_->Write(data, bytes);
}

uint32_t Recorder::WriteZeros(uint64_t blocks) {
  if (!writer_) return QD_E_INVALID_ARGUMENT;
  return writer_->WriteZeros(blocks);
}

uint32_t Recorder::Reserve(uint32_t max_blocks, uint8_t** room, uint32_t* blocks) {
  *room = nullptr;
  *blocks = 0;
  if (!writer_) return QD_E_INVALID_ARGUMENT;
  return writer_->Reserve(max_blocks, room, blocks);
}

uint32_t Recorder::Commit(uint32_t blocks) {
  if (!writer_) return QD_E_INVALID_ARGUMENT;
  return writer_->Commit(blocks);
}

std::unique_ptr<Recorder> CreateRecorder(HANDLE drive, uint32_t session_count, uint32_t track_count,
                                         uint32_t write_mode, const ProgressReporter& progress) {
  return Recorder::Create(drive, session_count, track_count, write_mode, progress);
}

uint32_t OpenRecording(Recorder& recorder, uint16_t profile, uint32_t data_type, uint32_t start_lba,
                       uint32_t sectors, uint32_t finalize_kind, LayerJumpInfo* jump,
                       uint32_t header_sectors) {
  return recorder.Open(profile, data_type, start_lba, sectors, finalize_kind, jump, header_sectors);
}

uint32_t WriteRecordingData(Recorder& recorder, const void* data, size_t bytes) {
  return recorder.Write(data, bytes);
}

uint32_t FinishRecording(Recorder& recorder, uint16_t profile, const uint8_t* header,
                         uint32_t header_sectors, uint32_t finalize_kind,
                         const LayerJumpInfo* jump) {
  return recorder.Finish(profile, header, header_sectors, finalize_kind, jump);
}

void DestroyRecorder(std::unique_ptr<Recorder> recorder) {
  recorder.reset();
}

}  // namespace quillden::recording
