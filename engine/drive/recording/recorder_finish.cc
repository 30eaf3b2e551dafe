// The recorder's finishing half: drain the writer, flush, write the volume header of overwritable
// media at block 0, and close what each method closes.
#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "drive/mmc_commands.h"
#include "drive/mmc_vocabulary.h"
#include "drive/recording/close_wait.h"
#include "drive/recording/recorder.h"
#include "quillden/result.h"
#include "util/byte_order.h"

namespace quillden::recording {
namespace {

constexpr uint8_t kCloseTrack = 1;             // 001b
constexpr uint8_t kCloseSession = 2;           // 010b
constexpr uint8_t kFinalizeMinimal = 4;        // 100b
constexpr uint8_t kCloseSessionFinalize = 5;   // 101b
constexpr uint8_t kFinalizeHdDvd = 6;          // 110b

// SEND DISC STRUCTURE format 0x24: one layer jump anchor (number and address).
uint32_t SendJumpAnchor(HANDLE drive, uint8_t number, uint32_t address) {
  uint8_t data[12] = {};
  PutBe16(data, 10);
  data[4] = number;
  PutBe32(data + 8, address);
  return drive::SendDiscStructure(drive, drive::mmc::kStructureRemappingAddress, data,
                                  sizeof(data));
}

bool DiscIncomplete(HANDLE drive) {
  drive::DiscInformation disc;
  return drive::ReadDiscInformation(drive, &disc) == QD_OK && disc.disc_status == 1;
}

}  // namespace

uint32_t Recorder::WriteHeader(const uint8_t* header, uint32_t header_sectors, uint32_t unit) {
  if (header == nullptr || header_sectors == 0) return QD_OK;
  const uint32_t units = (header_sectors + unit - 1) / unit;
  std::vector<uint8_t> block;
  try {
    block.resize(static_cast<size_t>(unit) * 2048);
  } catch (const std::bad_alloc&) {
    return QD_E_OUT_OF_MEMORY;
  }
  for (uint32_t i = 0; i < units; ++i) {
    // The caller's buffer may end inside the last unit; the rest of that unit is zero.
    const uint32_t first = i * unit;
    const uint32_t count = std::min(unit, header_sectors - first);
    std::memcpy(block.data(), header + static_cast<size_t>(first) * 2048, static_cast<size_t>(count) * 2048);
    std::memset(block.data() + static_cast<size_t>(count) * 2048, 0, static_cast<size_t>(unit - count) * 2048);
    const uint32_t result =
        drive::Write10(drive_, first, static_cast<uint16_t>(unit), block.data(), unit * 2048, &progress_);
    if (result != QD_OK) return result;
  }
  return QD_OK;
}

uint32_t Recorder::Finish(uint16_t profile, const uint8_t* header, uint32_t header_sectors, uint32_t finalize_kind,
                          const LayerJumpInfo* jump) {
  (void)profile;  // the method was chosen when the track was opened
  if (!writer_) return QD_E_INVALID_ARGUMENT;
  const uint32_t result = EndWriter();
  if (result != QD_OK) return result;
  return FinishMethod(header, header_sectors, finalize_kind, jump);
}

uint32_t Recorder::FinishLeavingOpen() {
  if (!writer_) return QD_E_INVALID_ARGUMENT;
  const uint32_t result = EndWriter();
  if (result != QD_OK) return result;
  return SynchronizeCacheWait(drive_, progress_);
}

uint32_t Recorder::FinishMethod(const uint8_t* header, uint32_t header_sectors, uint32_t finalize_kind,
                                const LayerJumpInfo* jump) {
  const uint16_t this_track = static_cast<uint16_t>(last_track_ + tracks_opened_);
  const bool last_of_job = tracks_opened_ >= track_count_;
  uint32_t result = SynchronizeCacheWait(drive_, progress_);
  if (result != QD_OK) return result;
  switch (method_) {
    case Method::kCd:
      if (session_at_once_) return QD_OK;  // the drive closes the session it was given
      // Track at once: the session closes after the job's last track; earlier tracks only close
      // themselves, so that all tracks of the job share one session.
      if (!last_of_job) return CloseWithFunction(drive_, progress_, kCloseTrack, this_track);
      return CloseWithFunction(drive_, progress_, kCloseSession, 0);

    case Method::kDvdMinusR:
      if (effective_mode_ == kEffectiveDiscAtOnce) return QD_OK;
      result = CloseWithFunction(drive_, progress_, kCloseTrack, this_track);
      if (result != QD_OK) return result;
      return CloseWithFunction(drive_, progress_, kCloseSession, 0);

    case Method::kDvdMinusRwOverwrite:
    case Method::kHdDvdRw:
    case Method::kHdDvdRwDualLayer: {
      const bool hd = method_ != Method::kDvdMinusRwOverwrite;
      if (header != nullptr && header_sectors > 0) {
        result = WriteHeader(header, header_sectors, hd ? 32 : 16);
        if (result == QD_OK) result = SynchronizeCacheWait(drive_, progress_);
        if (result != QD_OK) return result;
      }
      if (!hd || effective_mode_ == kEffectiveIncremental) {
        return CloseWithFunction(drive_, progress_, kCloseSession, 0);
      }
      if (DiscIncomplete(drive_)) return CloseWithFunction(drive_, progress_, kFinalizeHdDvd, 0);
      return QD_OK;
    }

    case Method::kDvdPlusRw:
      if (header != nullptr && header_sectors > 0) {
        result = WriteHeader(header, header_sectors, 16);
        if (result == QD_OK) result = SynchronizeCacheWait(drive_, progress_);
        if (result != QD_OK) return result;
      }
      return CloseWithFunction(drive_, progress_, kCloseSession, 0);

    case Method::kDvdPlusR:
      result = CloseWithFunction(drive_, progress_, kCloseTrack, this_track);
      if (result != QD_OK) return result;
      // A disc asked to be written at once is closed like a closing job: DVD+R has no disc at
      // once mode, and an open session would leave the disc unreadable in many players.
      if (effective_mode_ == kEffectiveIncremental) return CloseWithFunction(drive_, progress_, kCloseSession, 0);
      return CloseWithFunction(drive_, progress_, kCloseSessionFinalize, 0);

    case Method::kDvdPlusRDualLayer:
      result = CloseWithFunction(drive_, progress_, kCloseTrack, this_track);
      if (result != QD_OK) return result;
      if (effective_mode_ != kEffectiveIncremental) {
        return CloseWithFunction(drive_, progress_, kCloseSessionFinalize, 0);
      }
      return CloseWithFunction(drive_, progress_, finalize_kind == 4 ? kFinalizeMinimal : kCloseSession, 0);

    case Method::kDvdMinusRDualLayer: {
      if (effective_mode_ == kEffectiveDiscAtOnce) return QD_OK;
      if (last_track_ > 0 && jump != nullptr && jump->used == 1) {
        // Anchors tell a reader where the recorded area of a disc with several tracks lies.
        const uint32_t rounded_end = (track_start_ + track_length_ + 15) / 16 * 16;
        const uint32_t anchors[3] = {jump->last_recorded + 16, jump->last_recorded + 256, rounded_end - 16};
        for (uint8_t i = 0; i < 3; ++i) {
          result = SendJumpAnchor(drive_, i, anchors[i]);
          if (result != QD_OK) return result;
        }
      }
      result = CloseWithFunction(drive_, progress_, kCloseTrack, this_track);
      if (result != QD_OK) return result;
      const uint16_t session = static_cast<uint16_t>(last_session_ + 1);
      return CloseWithFunction(drive_, progress_, kCloseSession,
                               effective_mode_ == kEffectiveLastTrack ? session : 0);
    }

    case Method::kHdDvdR:
      result = CloseWithFunction(drive_, progress_, kCloseTrack, this_track);
      if (result != QD_OK) return result;
      if (effective_mode_ == kEffectiveDiscAtOnce) return QD_OK;
      result = CloseWithFunction(drive_, progress_, kCloseSession, 0);
      if (result != QD_OK) return result;
      if (last_of_job && effective_mode_ == kEffectiveLastTrack && DiscIncomplete(drive_)) {
        return CloseWithFunction(drive_, progress_, kFinalizeHdDvd, 0);
      }
      return QD_OK;

    case Method::kHdDvdRDualLayer:
      result = CloseWithFunction(drive_, progress_, kCloseTrack, this_track);
      if (result != QD_OK) return result;
      DiscIncomplete(drive_);
      return CloseWithFunction(drive_, progress_, kFinalizeHdDvd, 0);
  }
  return QD_OK;
}

}  // namespace quillden::recording
