// The virtual device's disc and track information: READ DISC INFORMATION, READ TRACK
// INFORMATION, READ CAPACITY, READ FORMAT CAPACITIES and READ DISC STRUCTURE.
#include <algorithm>
#include <cstring>

#include "drive/virtual/device_internal.h"

namespace quillden::drive::virt {

using Answer = VirtualDevice::Answer;

namespace {

// The 48-byte track information of READ TRACK INFORMATION for t (or the invisible track).
void FillTrackInfo(const MediaState& s, const TrackState& t, bool invisible, uint8_t* r) {
  std::memset(r, 0, mmc::kTrackInfoAnswerSize);
  PutBe16(r + mmc::kTrackInfoLength, mmc::kTrackInfoAnswerSize - 2);
  r[mmc::kTrackInfoTrackLsb] = static_cast<uint8_t>(t.number);
  r[mmc::kTrackInfoSessionLsb] = static_cast<uint8_t>(t.session);
  r[mmc::kTrackInfoTrackMsb] = static_cast<uint8_t>(t.number >> 8);
  r[mmc::kTrackInfoSessionMsb] = static_cast<uint8_t>(t.session >> 8);
  const bool dvd = !s.is_cd();
  const bool random = s.is_random_writable();
  uint32_t size = 0;
  uint32_t free_blocks = 0;
  bool nwa_valid = false;
  int64_t nwa = 0;
  bool blank = false;
  if (random) {
    // One track spanning the formatted medium; writes go anywhere inside it.
    const bool plus = s.profile == mmc::kProfileDvdPlusRw;
    size = plus ? s.capacity : s.formatted_blocks;
    blank = plus ? s.background_format == 0 : s.formatted_blocks == 0;
    r[mmc::kTrackInfoDataMode] |= mmc::kTrackPacket | mmc::kTrackFixedPacket;
    PutBe32(r + mmc::kTrackInfoFixedPacketSize, kDvdEccBlocks);
    if (!plus) {
      nwa_valid = true;
      nwa = s.formatted_blocks;
      free_blocks = s.capacity - s.formatted_blocks;
    }
  } else if (s.is_pressed() || t.closed) {
    size = t.size;
  } else if (t.reserved) {
    size = t.size;
    free_blocks = t.size - t.written;
    nwa = TrackBlockLba(s, t, t.written);
    nwa_valid = !s.finalized && free_blocks > 0;
    blank = t.written == 0;
  } else {  // the incomplete or invisible track
    nwa = t.start + t.written;
    free_blocks = static_cast<uint32_t>(std::max<int64_t>(0, FreeEnd(s) - nwa));
    size = t.written + free_blocks;
    nwa_valid = free_blocks > 0;
    blank = t.written == 0;
  }
  if (invisible) blank = true;
  r[mmc::kTrackInfoMode] =
      static_cast<uint8_t>(s.is_cd() ? Control(t.mode) : mmc::kControlDataTrack);
  if (dvd && s.profile == mmc::kProfileDvdMinusRDlJump && !blank)
    r[mmc::kTrackInfoMode] |= mmc::kLayerJumpUnspecified;
  // A reserved CD track keeps its reserved bit once recorded and closed (reserved, not blank, not
  // packet: a complete track written at once); a DVD track that was reserved is an ordinary
  // complete track once closed, and only a track that still takes data says it is reserved.
  uint8_t& data_mode = r[mmc::kTrackInfoDataMode];
  if (t.reserved && (s.is_cd() || !t.closed)) data_mode |= mmc::kTrackReserved;
  if (blank) data_mode |= mmc::kTrackBlank;
  if (s.is_dvd_minus_sequential() && !t.closed) data_mode |= mmc::kTrackPacket;  // incremental
  data_mode |= blank                         ? mmc::kTrackDataModeUnknown
               : t.mode == TrackMode::kMode2 ? mmc::kTrackDataMode2
                                             : mmc::kTrackDataMode1;
  const bool lra_valid = dvd && t.written > 0 && !random;
  r[mmc::kTrackInfoValid] = static_cast<uint8_t>((lra_valid ? mmc::kTrackLraValid : 0) |
                                                 (nwa_valid ? mmc::kTrackNwaValid : 0));
  PutBe32(r + mmc::kTrackInfoStart,
          static_cast<uint32_t>(static_cast<int32_t>(random ? 0 : t.start)));
  PutBe32(r + mmc::kTrackInfoNextWritable, nwa_valid ? static_cast<uint32_t>(nwa) : 0);
  PutBe32(r + mmc::kTrackInfoFreeBlocks, free_blocks);
  if (dvd && !random) PutBe32(r + mmc::kTrackInfoFixedPacketSize, kDvdEccBlocks);
  PutBe32(r + mmc::kTrackInfoTrackSize, size);
  if (lra_valid) {
    PutBe32(r + mmc::kTrackInfoLastRecorded,
            static_cast<uint32_t>(TrackBlockLba(s, t, t.written - 1)));
  }
  if (s.profile == mmc::kProfileDvdMinusRDlSequential ||
      s.profile == mmc::kProfileDvdMinusRDlJump) {
    // Next layer jump address: the last block of layer 0 before the track goes on on layer 1 (the
    // end of layer 0 for a track recorded in one piece); last layer jump address once it has.
    const int64_t jump =
        t.layer0_blocks != 0 ? t.start + t.layer0_blocks - 1 : s.layer0_capacity - 1;
    PutBe32(r + mmc::kTrackInfoNextLayerJump, static_cast<uint32_t>(jump));
    if (t.layer0_blocks != 0 && t.written > t.layer0_blocks)
      PutBe32(r + mmc::kTrackInfoLastLayerJump, static_cast<uint32_t>(jump));
  }
}

// The book type of the physical format information.
uint8_t BookType(uint16_t profile) {
  switch (profile) {
    case mmc::kProfileDvdMinusR:
    case mmc::kProfileDvdMinusRDlSequential:
    case mmc::kProfileDvdMinusRDlJump:
      return 2;
    case mmc::kProfileDvdMinusRwOverwrite:
    case mmc::kProfileDvdMinusRwSequential:
      return 3;
    case mmc::kProfileDvdPlusRw:
      return 9;
    case mmc::kProfileDvdPlusR:
      return 10;
    case mmc::kProfileDvdPlusRDl:
      return 14;
    default:
      return 0;
  }
}

// The 17 bytes of physical format information that lead every DVD structure of that kind.
void FillPhysicalInfo(const MediaState& s, uint8_t* info) {
  const bool dual = s.is_dual_layer();
  const uint32_t layer0 = dual ? s.layer0_capacity : s.capacity;
  // Physical sector numbers of the data zone (ECMA-267 / ADIP): layer 1 of an opposite-track-path
  // disc counts down with inverted numbers.
  const uint32_t start_psn = kDvdFirstPsn;
  const uint32_t layer0_end_psn = start_psn + layer0 - 1;
  const uint32_t end_psn = dual ? (~start_psn & 0xFFFFFF) : start_psn + s.capacity - 1;
  info[0] = static_cast<uint8_t>(BookType(s.profile) << 4);
  info[1] = 0x02;
  const uint8_t layer_type = s.is_pressed() ? 0x01 : (s.is_rewritable() ? 0x04 : 0x02);
  info[2] = static_cast<uint8_t>((dual ? 0x20 | 0x10 : 0x00) | layer_type);
  info[3] = 0x10;
  PutBe32(info + 4, start_psn);
  PutBe32(info + 8, end_psn);
  PutBe32(info + 12, dual ? layer0_end_psn : 0);
}

}  // namespace

Answer VirtualDevice::ReadDiscInformation(const Cdb& c, uint8_t* d, uint32_t n) {
  if ((c.b[1] & 0x07) != 0) return InvalidField();
  std::vector<uint8_t> r(mmc::kDiscInfoAnswerSize, 0);
  PutBe16(r.data() + mmc::kDiscInfoLength, mmc::kDiscInfoAnswerSize - 2);
  const uint8_t status = DiscStatus(state_);
  uint8_t last_session_state = mmc::kSessionComplete;
  if (state_.is_sequential() && !state_.finalized) {
    bool open_has_tracks =
        !state_.tracks.empty() && state_.tracks.back().session == OpenSession(state_);
    last_session_state = open_has_tracks ? mmc::kSessionIncomplete : mmc::kSessionEmpty;
  } else if (state_.profile == mmc::kProfileDvdPlusRw && state_.background_format == 0) {
    last_session_state = mmc::kSessionEmpty;
  }
  r[mmc::kDiscInfoStatus] =
      static_cast<uint8_t>((state_.is_rewritable() ? mmc::kDiscErasable : 0) |
                           (last_session_state << mmc::kDiscLastSessionStateShift) | status);
  r[mmc::kDiscInfoFirstTrack] = 1;
  const uint32_t sessions = SessionCount(state_);
  uint32_t first_in_last = 1;
  uint32_t last_in_last = 1;
  if (state_.is_sequential()) {
    bool found = false;
    for (const TrackState& t : state_.tracks) {
      if (t.session == sessions) {
        if (!found) first_in_last = t.number;
        found = true;
        last_in_last = t.number;
      }
    }
    if (HasInvisibleTrack(state_)) {
      const uint32_t invisible = static_cast<uint32_t>(state_.tracks.size() + 1);
      if (!found) first_in_last = invisible;
      last_in_last = invisible;
    }
  } else if (!state_.tracks.empty()) {
    last_in_last = state_.tracks.back().number;
  }
  r[mmc::kDiscInfoSessionsLsb] = static_cast<uint8_t>(sessions);
  r[mmc::kDiscInfoFirstTrackLastSessionLsb] = static_cast<uint8_t>(first_in_last);
  r[mmc::kDiscInfoLastTrackLastSessionLsb] = static_cast<uint8_t>(last_in_last);
  r[mmc::kDiscInfoSessionsMsb] = static_cast<uint8_t>(sessions >> 8);
  r[mmc::kDiscInfoFirstTrackLastSessionMsb] = static_cast<uint8_t>(first_in_last >> 8);
  r[mmc::kDiscInfoLastTrackLastSessionMsb] = static_cast<uint8_t>(last_in_last >> 8);
  r[mmc::kDiscInfoFlags] = mmc::kDiscUnrestrictedUse;
  if (state_.profile == mmc::kProfileDvdPlusRw) {
    r[mmc::kDiscInfoFlags] |= state_.background_format & mmc::kBackgroundFormatMask;
  }
  if (state_.is_cd()) {
    bool xa = false;
    for (const TrackState& t : state_.tracks) xa = xa || t.mode == TrackMode::kMode2;
    r[mmc::kDiscInfoDiscType] = xa ? mmc::kDiscTypeCdRomXa : 0x00;
    if (state_.finalized || state_.is_pressed()) {
      // No further session: both addresses all ones.
      std::memset(&r[mmc::kDiscInfoLastSessionLeadIn], 0xFF, 8);
    } else {
      PutMsfAddress(&r[mmc::kDiscInfoLastSessionLeadIn], SessionLeadInStart(state_));
      PutMsfAddress(&r[mmc::kDiscInfoLastLeadOut], state_.capacity);
    }
  } else if (state_.is_sequential() && !state_.finalized) {
    PutBe32(&r[mmc::kDiscInfoLastSessionLeadIn], static_cast<uint32_t>(state_.next_session_start));
    PutBe32(&r[mmc::kDiscInfoLastLeadOut], state_.capacity);
  }
  return Deliver(r, GetBe16(c.b + 7), d, n);
}

Answer VirtualDevice::ReadTrackInformation(const Cdb& c, uint8_t* d, uint32_t n) {
  const uint8_t type = c.b[1] & 0x03;
  const uint32_t value = GetBe32(c.b + 2);
  TrackState track;
  bool invisible = false;
  bool found = false;
  if (type == 0) {
    found = TrackForLba(state_, static_cast<int32_t>(value), &track, &invisible);
    if (!found && static_cast<int64_t>(static_cast<int32_t>(value)) >= state_.capacity)
      return OutOfRange();
  } else if (type == 1) {
    if (value == 0xFF) {
      if (!state_.tracks.empty() && !state_.tracks.back().closed &&
          !state_.tracks.back().reserved) {
        track = state_.tracks.back();
        found = true;
      } else if (HasInvisibleTrack(state_)) {
        track = InvisibleTrack(state_);
        invisible = found = true;
      }
    } else if (value >= 1 && value <= state_.tracks.size()) {
      track = state_.tracks[value - 1];
      found = true;
    } else if (value == state_.tracks.size() + 1 && HasInvisibleTrack(state_)) {
      track = InvisibleTrack(state_);
      invisible = found = true;
    }
  } else if (type == 2) {
    for (const TrackState& t : state_.tracks) {
      if (t.session == value) {
        track = t;
        found = true;
        break;
      }
    }
    if (!found && HasInvisibleTrack(state_) && value == OpenSession(state_)) {
      track = InvisibleTrack(state_);
      invisible = found = true;
    }
  }
  // Overwritable media hold one track over the whole medium, whether or not a write put one in the
  // track list.
  if (!found && state_.is_random_writable() && (type == 0 || value == 1)) {
    track = TrackState{};
    found = true;
  }
  if (!found) return InvalidField();
  if (state_.is_random_writable() && !invisible) {
    track.number = 1;
    track.session = 1;
  }
  std::vector<uint8_t> r(48, 0);
  FillTrackInfo(state_, track, invisible, r.data());
  return Deliver(r, GetBe16(c.b + 7), d, n);
}

Answer VirtualDevice::ReadCapacity(const Cdb& /*c*/, uint8_t* d, uint32_t n) {
  uint32_t blocks = 0;
  if (state_.is_pressed()) {
    blocks = state_.capacity;
  } else if (state_.profile == mmc::kProfileDvdPlusRw) {
    blocks = state_.background_format == 0 ? 0 : state_.capacity;
  } else if (state_.profile == mmc::kProfileDvdMinusRwOverwrite) {
    blocks = state_.formatted_blocks;
  } else {
    // The highest block of any track: on a layer jump disc the layer 1 end of its first track.
    for (const TrackState& t : state_.tracks) {
      const int64_t extent = TrackExtent(t);
      const int64_t end =
          extent == 0 ? t.start : TrackBlockLba(state_, t, static_cast<uint32_t>(extent - 1)) + 1;
      blocks = std::max<uint32_t>(blocks, static_cast<uint32_t>(std::max<int64_t>(0, end)));
    }
  }
  std::vector<uint8_t> r(8, 0);
  PutBe32(r.data(), blocks ? blocks - 1 : 0);
  PutBe32(r.data() + 4, 2048);
  return Deliver(r, 8, d, n);
}

Answer VirtualDevice::ReadFormatCapacities(const Cdb& c, uint8_t* d, uint32_t n) {
  std::vector<uint8_t> r(4, 0);
  auto descriptor = [&](uint32_t blocks, uint8_t byte4, uint32_t parameter) {
    uint8_t e[8] = {};
    PutBe32(e, blocks);
    e[4] = byte4;
    PutBe24(e + 5, parameter);
    r.insert(r.end(), e, e + 8);
  };
  const uint32_t cap = state_.capacity;
  if (!state_.medium_present()) {
    descriptor(0xFFFFFFFF, 0x03, 2048);  // no medium
  } else if (state_.profile == mmc::kProfileDvdPlusRw) {
    descriptor(cap, state_.background_format == 0 ? 0x01 : 0x02, 2048);
    descriptor(cap, mmc::kFormatDvdPlusRw << mmc::kFormatTypeShift, 0);
  } else if (state_.profile == mmc::kProfileDvdMinusRwOverwrite) {
    descriptor(state_.formatted_blocks, 0x02, 2048);
    descriptor(cap, mmc::kFormatDvdRwFull << mmc::kFormatTypeShift, kDvdEccBlocks);
    descriptor(cap - state_.formatted_blocks, mmc::kFormatDvdRwQuickGrow << mmc::kFormatTypeShift,
               kDvdEccBlocks);
    descriptor(cap, mmc::kFormatDvdRwQuick << mmc::kFormatTypeShift, kDvdEccBlocks);
  } else if (state_.profile == mmc::kProfileDvdMinusRwSequential) {
    descriptor(cap, DiscStatus(state_) == 0 ? 0x01 : 0x02, 2048);
    descriptor(cap, mmc::kFormatDvdRwFull << mmc::kFormatTypeShift, kDvdEccBlocks);
    descriptor(cap, mmc::kFormatDvdRwQuick << mmc::kFormatTypeShift, kDvdEccBlocks);
  } else {
    descriptor(cap, DiscStatus(state_) == 0 ? 0x01 : 0x02, 2048);
  }
  r[3] = static_cast<uint8_t>(r.size() - 4);
  return Deliver(r, GetBe16(c.b + 7), d, n);
}

Answer VirtualDevice::ReadDiscStructure(const Cdb& c, uint8_t* d, uint32_t n) {
  const uint8_t media_type = c.b[1] & 0x0F;
  const uint8_t format = c.b[7];
  const uint16_t allocation = GetBe16(c.b + 8);
  if (media_type != 0) return InvalidField();
  if (state_.is_cd()) return IncompatibleMedium();
  const uint16_t p = state_.profile;
  const bool dual = state_.is_dual_layer();
  const bool plus =
      p == mmc::kProfileDvdPlusR || p == mmc::kProfileDvdPlusRw || p == mmc::kProfileDvdPlusRDl;
  const uint32_t layer0 = dual ? state_.layer0_capacity : state_.capacity;
  std::vector<uint8_t> r;
  switch (format) {
    case mmc::kStructurePhysical: {
      r.assign(mmc::kStructureHeaderSize + 2048, 0);
      FillPhysicalInfo(state_, &r[mmc::kStructureHeaderSize]);
      break;
    }
    case mmc::kStructureCopyright:
      r.assign(mmc::kStructureHeaderSize + 4, 0);  // no copy protection, all regions
      break;
    case mmc::kStructurePreRecorded: {
      if (!state_.is_dvd_minus_sequential() && p != mmc::kProfileDvdMinusRwOverwrite)
        return InvalidField();
      // Pre-recorded information, field 1: the last address of the data recordable area as an
      // inverted ECC block number.
      r.assign(mmc::kStructureHeaderSize + 64, 0);
      r[4] = 1;
      const uint32_t blocks = (state_.capacity + 197200 + 15) / 16;
      PutBe24(&r[7], ~blocks & 0xFFFFFF);
      r[10] = p == mmc::kProfileDvdMinusRwOverwrite || p == mmc::kProfileDvdMinusRwSequential
                  ? 0x32
                  : 0x22;
      break;
    }
    case mmc::kStructureAdip: {
      if (!plus) return InvalidField();
      r.assign(mmc::kStructureHeaderSize + 256, 0);
      FillPhysicalInfo(state_, &r[mmc::kStructureHeaderSize]);
      break;
    }
    case mmc::kStructureLayerBoundary: {
      if (!dual) return InvalidField();
      r.assign(12, 0);
      r[mmc::kLayerBoundaryState] =
          state_.layer_boundary_fixed || state_.is_pressed() ? 0x00 : mmc::kLayerBoundaryChangeable;
      PutBe32(&r[mmc::kLayerBoundaryCapacity], layer0);
      break;
    }
    case mmc::kStructureShiftedMiddleArea:
    case mmc::kStructureJumpIntervalSize:
    case mmc::kStructureManualLayerJump: {
      // DVD-R DL: shifted middle area start, jump interval size (0: jumps are placed by the host
      // reserving tracks), and the next layer jump address of the track being written.
      if (p != mmc::kProfileDvdMinusRDlSequential && p != mmc::kProfileDvdMinusRDlJump)
        return InvalidField();
      r.assign(12, 0);
      if (format == mmc::kStructureShiftedMiddleArea) PutBe32(&r[8], layer0);
      if (format == mmc::kStructureManualLayerJump) {
        uint32_t jump = layer0 - 1;
        for (const TrackState& t : state_.tracks) {
          if (!t.closed && t.layer0_blocks != 0 && t.written < t.layer0_blocks) {
            jump = static_cast<uint32_t>(t.start + t.layer0_blocks - 1);
          }
        }
        PutBe32(&r[8], jump);
      }
      break;
    }
    default:
      return InvalidField();
  }
  PutBe16(r.data(), static_cast<uint16_t>(r.size() - 2));
  return Deliver(r, allocation, d, n);
}

}  // namespace quillden::drive::virt
