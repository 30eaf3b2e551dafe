// The virtual device's closing, formatting and blanking: CLOSE TRACK/SESSION, FORMAT UNIT, BLANK
// and SEND DISC STRUCTURE (the layer boundary of dual layer media).
#include <algorithm>
#include <cstring>

#include "drive/virtual/device_internal.h"

namespace quillden::drive::virt {

using Answer = VirtualDevice::Answer;

Answer VirtualDevice::CloseSession(bool finalize) {
  const uint32_t session = OpenSession(state_);
  bool has_tracks = false;
  for (TrackState& t : state_.tracks) {
    if (t.session != session) continue;
    if (!t.closed && !t.reserved && t.written == 0) return SequenceError();
    has_tracks = true;
  }
  if (!has_tracks) {
    if (finalize && state_.closed_sessions > 0) {
      state_.finalized = true;
      dirty_ = true;
      return Answer::Ok(0);
    }
    return SequenceError();
  }
  int64_t end = 0;
  for (TrackState& t : state_.tracks) {
    if (t.session != session) continue;
    CloseTrack(state_, &t);
    end = t.start + (t.layer0_blocks != 0 ? t.layer0_blocks : t.size);
  }
  ++state_.closed_sessions;
  bool next_allowed = !finalize;
  if (state_.is_cd() || state_.is_dvd_minus_sequential()) {
    next_allowed = next_allowed && (write_page_[3] >> 6) == 3;  // multi-session field
  }
  int64_t next = end;
  if (state_.is_cd()) {
    next += state_.closed_sessions == 1 ? kCdFirstSessionOverhead : kCdLaterSessionOverhead;
  } else if (state_.is_dvd_minus_sequential()) {
    next += kDvdMinusBorderBlocks;
  } else {
    next += kDvdPlusSessionGap;
  }
  // On a layer jump disc the border takes as much of layer 1 as of layer 0.
  const int64_t limit = HasLayerJumpTracks(state_) ? state_.layer0_capacity : state_.capacity;
  if (next_allowed && next < limit && state_.tracks.size() < 99) {
    state_.next_session_start = next;
  } else {
    state_.finalized = true;
  }
  dirty_ = true;
  return Answer::Ok(0);
}

// DVD+RW: closing stops background formatting, or notes that it has finished.
void VirtualDevice::StopBackgroundFormat() {
  if (state_.background_format != 2) return;
  const bool complete =
      Now() - state_.background_format_started_ms >= state_.timing.background_format_ms;
  state_.background_format = complete ? 3 : 1;
  dirty_ = true;
}

Answer VirtualDevice::CloseTrackSession(const Cdb& c, uint8_t* /*d*/, uint32_t /*n*/) {
  const bool immediate = (c.b[1] & 0x01) != 0;
  const uint8_t function = c.b[2] & 0x07;
  const uint32_t number = GetBe16(c.b + 4);
  if (state_.is_pressed()) return CannotWrite();
  Answer answer = Answer::Ok(0);
  switch (function) {
    case 0:
      if (state_.profile != mmc::kProfileDvdPlusRw) return InvalidField();
      StopBackgroundFormat();
      break;
    case 1: {
      if (state_.is_random_writable()) break;
      if (number == 0 || number > state_.tracks.size()) return InvalidField();
      TrackState& t = state_.tracks[number - 1];
      if (!t.closed && !t.reserved && t.written == 0) return SequenceError();
      CloseTrack(state_, &t);
      dirty_ = true;
      break;
    }
    case 2:
      if (state_.profile == mmc::kProfileDvdPlusRw) {
        StopBackgroundFormat();
      } else if (state_.is_sequential()) {
        if (state_.finalized) return SequenceError();
        answer = CloseSession(false);
      }
      break;
    case 4:
    case 5:
    case 6:
      if (!state_.is_dvd_plus_sequential() || state_.finalized) return InvalidField();
      answer = CloseSession(true);
      break;
    default:
      return InvalidField();
  }
  if (answer.ok() && immediate) StartBusy(Busy::kClose, state_.timing.close_ms);
  return answer;
}

Answer VirtualDevice::FormatUnit(const Cdb& c, uint8_t* d, uint32_t n) {
  if ((c.b[1] & mmc::kFormatData) == 0 || (c.b[1] & 0x07) != mmc::kFormatCodeList)
    return InvalidField();
  if (n < 12) return ParameterLengthError();
  const bool immediate = (d[1] & 0x02) != 0;
  if (GetBe16(d + 2) != 8) return InvalidParameter();
  const uint32_t blocks = GetBe32(d + 4);
  const uint8_t type = d[8] >> mmc::kFormatTypeShift;
  const uint16_t p = state_.profile;
  uint32_t busy_ms = 0;
  if (p == mmc::kProfileDvdPlusRw) {
    if (type != mmc::kFormatDvdPlusRw) return InvalidParameter();
    if (!state_.drive_writes_dvd_plus_rw) return CannotWrite();
    if (blocks > state_.capacity && blocks != 0xFFFFFFFF) return InvalidParameter();
    // Background formatting: the disc is usable at once while the drive de-ices the rest.
    state_.background_format = 2;
    state_.background_format_started_ms = std::max<uint64_t>(Now(), 1);
  } else if (p == mmc::kProfileDvdMinusRwSequential || p == mmc::kProfileDvdMinusRwOverwrite) {
    switch (type) {
      case mmc::kFormatFull:
      case mmc::kFormatDvdRwFull:
        TruncateData();
        state_.tracks.clear();
        state_.formatted_blocks = state_.capacity;
        busy_ms = state_.timing.format_ms;
        break;
      case mmc::kFormatDvdRwQuick:  // the formatted zone grows as data is written
        if (blocks > state_.capacity) return InvalidParameter();
        TruncateData();
        state_.tracks.clear();
        state_.formatted_blocks = std::min(RoundUp16(blocks), state_.capacity);
        busy_ms = state_.timing.format_ms / 4;
        break;
      case mmc::kFormatDvdRwGrowSession:
      case mmc::kFormatDvdRwQuickGrow:
        if (p != mmc::kProfileDvdMinusRwOverwrite) return InvalidParameter();
        busy_ms = state_.timing.format_ms / 8;
        break;
      default:
        return InvalidParameter();
    }
    state_.profile = mmc::kProfileDvdMinusRwOverwrite;
    state_.finalized = false;
    state_.closed_sessions = 0;
    state_.next_session_start = 0;
  } else if (p == mmc::kProfileCdRw) {
    return InvalidParameter();  // packet formatting of CD-RW is not offered
  } else {
    return CannotWrite();
  }
  dirty_ = true;
  if (immediate) StartBusy(Busy::kFormat, busy_ms);
  return Answer::Ok(0);
}

Answer VirtualDevice::Blank(const Cdb& c, uint8_t* /*d*/, uint32_t /*n*/) {
  const bool immediate = (c.b[1] & 0x10) != 0;
  const uint8_t type = c.b[1] & 0x07;
  const uint16_t p = state_.profile;
  if (p != mmc::kProfileCdRw && p != mmc::kProfileDvdMinusRwSequential &&
      p != mmc::kProfileDvdMinusRwOverwrite) {
    return CannotWrite();
  }
  if (type > 1) return InvalidField();
  TruncateData();
  state_.tracks.clear();
  state_.closed_sessions = 0;
  state_.finalized = false;
  state_.next_session_start = 0;
  state_.formatted_blocks = 0;
  if (p == mmc::kProfileDvdMinusRwOverwrite) state_.profile = mmc::kProfileDvdMinusRwSequential;
  sao_active_ = false;
  dirty_ = true;
  if (immediate)
    StartBusy(Busy::kBlank, type == 0 ? state_.timing.blank_ms : state_.timing.blank_ms / 3);
  return Answer::Ok(0);
}

Answer VirtualDevice::SendDiscStructure(const Cdb& c, uint8_t* d, uint32_t n) {
  const uint8_t format = c.b[7];
  const uint32_t length = GetBe16(c.b + 8);
  if (length > n) return InvalidField();
  const bool dual = state_.profile == mmc::kProfileDvdPlusRDl ||
                    state_.profile == mmc::kProfileDvdMinusRDlSequential ||
                    state_.profile == mmc::kProfileDvdMinusRDlJump;
  if (!dual) return InvalidField();
  switch (format) {
    case mmc::kStructureLayerBoundary: {
      if (length < 12) return ParameterLengthError();
      if (!state_.tracks.empty() || state_.closed_sessions != 0) return SequenceError();
      const uint32_t layer0 = GetBe32(d + mmc::kLayerBoundaryCapacity);
      if (layer0 == 0 || layer0 % 16 != 0 || layer0 > state_.layer0_capacity)
        return InvalidParameter();
      state_.layer0_capacity = layer0;
      state_.capacity = 2 * layer0;
      state_.layer_boundary_fixed = true;
      dirty_ = true;
      return Answer::Ok(0);
    }
    case mmc::kStructureShiftedMiddleArea:
    case mmc::kStructureJumpIntervalSize:
    case mmc::kStructureManualLayerJump:
    case mmc::kStructureRemappingAddress:
      if (state_.profile == mmc::kProfileDvdPlusRDl) return InvalidField();
      if (length < mmc::kStructureHeaderSize) return ParameterLengthError();
      return Answer::Ok(0);  // layer jump hints: accepted, recording stays sequential
    default:
      return InvalidField();
  }
}

}  // namespace quillden::drive::virt
