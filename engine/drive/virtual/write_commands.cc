// The virtual device's writing commands: WRITE(10) in track at once, session at once and on
// overwritable media, RESERVE TRACK, SEND CUE SHEET and SYNCHRONIZE CACHE.
#include <algorithm>
#include <cstring>

#include "drive/virtual/device_internal.h"
#include "platform/env.h"

namespace quillden::drive::virt {

using Answer = VirtualDevice::Answer;
using quenvar::platform::FileInfo;
using quenvar::platform::WriteMode;

namespace {

// Bytes per block the host sends for a cue sheet data form (main data plus host sub-channel).
bool CueBlockSize(uint8_t data_form, uint32_t* size, TrackMode* mode) {
  const uint32_t sub = (data_form & 0xC0) ? 96 : 0;
  switch (data_form & 0x3F) {
    case 0x00:
      *size = 2352;
      *mode = TrackMode::kAudio;
      break;
    case 0x01:
      *size = 0;
      *mode = TrackMode::kAudio;
      break;
    case 0x10:
      *size = 2048;
      *mode = TrackMode::kData;
      break;
    case 0x11:
      *size = 2352;
      *mode = TrackMode::kData;
      break;
    case 0x14:
      *size = 0;
      *mode = TrackMode::kData;
      break;
    case 0x20:
    case 0x21:
    case 0x30:
      *size = 2336;
      *mode = TrackMode::kMode2;
      break;
    case 0x22:
    case 0x23:
    case 0x31:
      *size = 2352;
      *mode = TrackMode::kMode2;
      break;
    case 0x24:
    case 0x34:
      *size = 0;
      *mode = TrackMode::kMode2;
      break;
    default:
      return false;
  }
  *size += sub;
  return true;
}

}  // namespace

uint32_t VirtualDevice::WriteBlockSize() const {
  if (!state_.is_cd()) return 2048;
  switch (write_page_[4] & 0x0F) {
    case 0:
      return 2352;
    case 9:
      return 2336;
    case 11:
      return 2056;
    case 12:
      return 2324;
    case 13:
      return 2332;
    default:
      return 2048;
  }
}

TrackMode VirtualDevice::WriteTrackMode() const {
  if (!state_.is_cd()) return TrackMode::kData;
  switch (write_page_[4] & 0x0F) {
    case 0:
      return TrackMode::kAudio;
    case 8:
      return TrackMode::kData;
    default:
      return TrackMode::kMode2;
  }
}

bool VirtualDevice::LayerJumpWriting() const {
  return state_.profile == mmc::kProfileDvdMinusRDlJump && (write_page_[2] & 0x0F) == 4;
}

bool VirtualDevice::StoreBlocks(int64_t lba, uint32_t count, uint32_t block_size, TrackMode mode,
                                const uint8_t* data) {
  if (lba < 0) return true;  // lead-in and the first pregap are not kept
  if (mode == TrackMode::kData && block_size == 2048) {
    return data_writer_->WriteAt(static_cast<uint64_t>(lba) * 2048, data, count * 2048u).ok();
  }
  if (mode != TrackMode::kData && !raw_writer_) {
    const std::string raw = RawFilePath(backing_path_);
    FileInfo info;
    const WriteMode open_mode =
        env_->Stat(raw, true, &info).ok() ? WriteMode::kOpenExisting : WriteMode::kCreateNew;
    if (!env_->OpenWritable(raw, open_mode, &raw_writer_).ok()) return false;
    raw_reader_.reset();
  }
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* block = data + static_cast<size_t>(i) * block_size;
    const uint64_t at = static_cast<uint64_t>(lba + i);
    if (mode == TrackMode::kData) {  // raw mode 1 sectors: keep the user data
      if (!data_writer_->WriteAt(at * 2048, block + 16, 2048).ok()) return false;
      continue;
    }
    if (mode == TrackMode::kAudio) {
      if (!raw_writer_->WriteAt(at * kRawSectorSize, block, kRawSectorSize).ok()) return false;
      continue;
    }
    uint8_t formless[kMode2FormlessSize] = {};
    switch (block_size) {
      case 2352:
        std::memcpy(formless, block + 16, kMode2FormlessSize);
        break;
      case 2336:
      case 2332:
        std::memcpy(formless, block, block_size);
        break;
      case 2056:
        std::memcpy(formless, block, 2056);
        break;
      case 2048:
      case 2324:
        // The drive builds the subheader from the write parameters page.
        std::memcpy(formless, &write_page_[48], 4);
        std::memcpy(formless + 4, &write_page_[48], 4);
        if (block_size == 2324) {
          formless[2] |= 0x20;
          formless[6] |= 0x20;
        }
        std::memcpy(formless + 8, block, block_size);
        break;
      default:
        return false;
    }
    uint8_t sector[kRawSectorSize];
    BuildMode2Sector(static_cast<int64_t>(at), formless, sector);
    if (!raw_writer_->WriteAt(at * kRawSectorSize, sector, kRawSectorSize).ok()) return false;
    if ((formless[2] & 0x20) == 0 && !data_writer_->WriteAt(at * 2048, formless + 8, 2048).ok()) {
      return false;
    }
  }
  return true;
}

Answer VirtualDevice::Write10(const Cdb& c, uint8_t* d, uint32_t n) {
  const int64_t lba = static_cast<int32_t>(GetBe32(c.b + 2));
  const uint32_t count = GetBe16(c.b + 7);
  if (state_.is_pressed()) return CannotWrite();
  if (state_.profile == mmc::kProfileDvdPlusRw && !state_.drive_writes_dvd_plus_rw)
    return CannotWrite();
  if (count == 0) return Answer::Ok(0);
  if (sao_active_) return WriteSao(lba, count, d, n);
  const uint32_t block_size = WriteBlockSize();
  if (static_cast<uint64_t>(count) * block_size > n) return InvalidField();
  const int64_t end = lba + count;
  if (state_.is_random_writable()) {
    if (state_.profile == mmc::kProfileDvdPlusRw && state_.background_format == 0)
      return CannotWrite();
    if (lba < 0 || end > static_cast<int64_t>(state_.capacity)) return OutOfRange();
    // Restricted overwrite records whole ECC blocks of 16 sectors.
    if (state_.profile == mmc::kProfileDvdMinusRwOverwrite && (lba % 16 != 0 || count % 16 != 0)) {
      return InvalidField();
    }
    if (!StoreBlocks(lba, count, 2048, TrackMode::kData, d)) return WriteError();
    if (state_.profile == mmc::kProfileDvdMinusRwOverwrite && end > state_.formatted_blocks) {
      state_.formatted_blocks = static_cast<uint32_t>(end);
    }
    dirty_ = true;
    return Answer::Ok(0);
  }
  if (state_.finalized) return CannotWrite();
  if (lba < 0 || end > static_cast<int64_t>(state_.capacity)) return OutOfRange();
  TrackState* target = nullptr;
  for (TrackState& t : state_.tracks) {
    if (!t.closed && TrackBlockLba(state_, t, t.written) == lba) {
      target = &t;
      break;
    }
  }
  // A layer jump track is written up to its last block on layer 0, then from the opposite block
  // on layer 1; one command never spans the jump.
  if (target != nullptr && target->layer0_blocks != 0 && target->written < target->layer0_blocks &&
      target->written + count > target->layer0_blocks) {
    return InvalidWriteAddress();
  }

  if (target == nullptr && HasInvisibleTrack(state_) && NextTrackStart(state_) == lba) {
    state_.tracks.push_back(InvisibleTrack(state_));
    target = &state_.tracks.back();
  }
  if (target == nullptr) return InvalidWriteAddress();  // not a next writable address
  if (!target->reserved && end > FreeEnd(state_))
    return OutOfRange();  // layer 1 halves of jump tracks
  if (target->reserved && target->written + count > target->size) return OutOfRange();
  const TrackMode mode = WriteTrackMode();
  if (target->written == 0) {
    target->mode = mode;
  } else if (target->mode != mode) {
    return IllegalModeForTrack();
  }
  if (!StoreBlocks(lba, count, block_size, mode, d)) return WriteError();
  target->written += count;
  dirty_ = true;
  return Answer::Ok(0);
}

Answer VirtualDevice::WriteSao(int64_t lba, uint32_t count, const uint8_t* d, uint32_t n) {
  if (lba != sao_next_lba_) return InvalidWriteAddress();
  if (lba + count > sao_leadout_) return OutOfRange();
  uint32_t used = 0;
  for (uint32_t i = 0; i < count; ++i) {
    const int64_t block = lba + i;
    const CueEntry* entry = &cue_.front();  // the lead-in
    for (const CueEntry& e : cue_) {
      if (e.track != 0 && e.track != 0xAA && e.lba <= block) entry = &e;
    }
    uint32_t size = 0;
    TrackMode mode = TrackMode::kData;
    CueBlockSize(entry->data_form, &size, &mode);
    if (used + size > n) return InvalidField();
    if (entry->track == 0 && size == 96 && state_.closed_sessions == 0) {
      KeepLeadInPacks(d + used);  // R-W sub-channel of the lead-in: CD-Text
    } else if (entry->track != 0 && entry->index >= 1) {
      TrackState& t = state_.tracks[entry->track - 1];
      const uint32_t main = size >= 96 && (entry->data_form & 0xC0) ? size - 96 : size;
      if (main != 0 && !StoreBlocks(block, 1, main, mode, d + used)) return WriteError();
      t.written = std::max<uint32_t>(t.written, static_cast<uint32_t>(block - t.start + 1));
    }
    used += size;
  }
  sao_next_lba_ += count;
  dirty_ = true;
  return Answer::Ok(0);
}

void VirtualDevice::KeepLeadInPacks(const uint8_t* subchannel) {
  // Four packets of 24 six-bit symbols; every 4 symbols give 3 bytes of an 18-byte pack. The host
  // repeats its packs all through the lead-in; one copy of each is what the disc holds.
  for (int packet = 0; packet < 4; ++packet) {
    const uint8_t* symbols = subchannel + packet * 24;
    uint8_t pack[18];
    for (int i = 0; i < 6; ++i) {
      const uint8_t s0 = symbols[i * 4] & 0x3F, s1 = symbols[i * 4 + 1] & 0x3F;
      const uint8_t s2 = symbols[i * 4 + 2] & 0x3F, s3 = symbols[i * 4 + 3] & 0x3F;
      pack[i * 3] = static_cast<uint8_t>((s0 << 2) | (s1 >> 4));
      pack[i * 3 + 1] = static_cast<uint8_t>(((s1 & 0x0F) << 4) | (s2 >> 2));
      pack[i * 3 + 2] = static_cast<uint8_t>(((s2 & 0x03) << 6) | s3);
    }
    if (pack[0] < 0x80 || pack[0] > 0x8F) continue;  // not a CD-Text pack
    const size_t key = static_cast<size_t>(((pack[3] >> 4) & 0x07) << 8 | pack[2]);
    if (lead_in_packs_seen_.size() != 8 * 256) lead_in_packs_seen_.assign(8 * 256, false);
    if (lead_in_packs_seen_[key] || state_.cd_text.size() >= 8 * 255 * 18) continue;
    lead_in_packs_seen_[key] = true;
    state_.cd_text.insert(state_.cd_text.end(), pack, pack + 18);
  }
}

Answer VirtualDevice::ReserveTrack(const Cdb& c, uint8_t* /*d*/, uint32_t /*n*/) {
  if (c.b[1] & 0x01) return InvalidField();  // reservation by address is not offered
  if (!state_.is_sequential() || state_.finalized || sao_active_) return SequenceError();
  uint64_t size = GetBe32(c.b + 5);
  if (size == 0) return InvalidField();
  if (!state_.is_cd()) size = RoundUp16(size);
  TrackState* open = OpenEndedTrack(&state_);
  TrackState fresh;
  if (open != nullptr) {
    if (open->written > 0) return SequenceError();  // close the incomplete track first
  } else {
    if (!HasInvisibleTrack(state_)) return SequenceError();
    fresh = InvisibleTrack(state_);
  }
  const int64_t start = open != nullptr ? open->start : fresh.start;
  uint32_t layer0_blocks = 0;
  if (LayerJumpWriting() && start < static_cast<int64_t>(state_.layer0_capacity)) {
    // Layer jump: half of the track on layer 0 from the start, half opposite it on layer 1, both
    // in whole ECC blocks.
    layer0_blocks = RoundUp16((size + 1) / 2);
    size = 2 * uint64_t{layer0_blocks};
    if (start + layer0_blocks > state_.layer0_capacity) return InvalidField();
  } else if (start + size > static_cast<uint64_t>(FreeEnd(state_))) {
    return InvalidField();
  }
  TrackState& t = open != nullptr ? *open : fresh;
  t.reserved = true;
  t.size = static_cast<uint32_t>(size);
  t.layer0_blocks = layer0_blocks;
  t.mode = WriteTrackMode();
  if (open == nullptr) state_.tracks.push_back(t);
  dirty_ = true;
  return Answer::Ok(0);
}

Answer VirtualDevice::SynchronizeCache(const Cdb& c, uint8_t* /*d*/, uint32_t /*n*/) {
  const bool immediate = (c.b[1] & 0x02) != 0;
  if (data_writer_ && !data_writer_->Sync().ok()) return WriteError();
  if (raw_writer_ && !raw_writer_->Sync().ok()) return WriteError();
  if (sao_active_ && sao_next_lba_ >= sao_leadout_) {
    // Session at once ends when the last block is flushed: the drive writes the lead-in and
    // lead-out of the session it was given.
    sao_active_ = false;
    for (TrackState& t : state_.tracks) {
      if (t.session == OpenSession(state_)) t.written = t.size;
    }
    Answer closed = CloseSession(false);
    if (!closed.ok()) return closed;
  }
  if (state_.is_dvd_minus_sequential() && (write_page_[2] & 0x0F) == 2 && !state_.finalized &&
      !state_.tracks.empty()) {
    // Disc at once: once the reserved track is recorded up to its last ECC block (which the drive
    // pads) and flushed, the drive writes the lead-out and the disc is complete.
    const TrackState& t = state_.tracks.back();
    if (t.reserved && !t.closed && t.written > 0 && t.written + 16 > t.size) {
      Answer closed = CloseSession(true);
      if (!closed.ok()) return closed;
    }
  }
  dirty_ = true;
  if (immediate) StartBusy(Busy::kFlush, state_.timing.flush_ms);
  return Answer::Ok(0);
}

Answer VirtualDevice::SendCueSheet(const Cdb& c, uint8_t* d, uint32_t n) {
  const uint32_t size = GetBe24(c.b + 6);
  if (size > n || size == 0 || size % 8 != 0) return InvalidField();
  if (state_.profile != mmc::kProfileCdR && state_.profile != mmc::kProfileCdRw)
    return CannotWrite();
  if (state_.finalized || (write_page_[2] & 0x0F) != 2) return SequenceError();
  if (!state_.tracks.empty() && state_.tracks.back().session == OpenSession(state_))
    return SequenceError();
  std::vector<CueEntry> entries;
  for (uint32_t at = 0; at < size; at += 8) {
    CueEntry e;
    e.control_adr = d[at];
    e.track = d[at + 1];
    e.index = d[at + 2];
    e.data_form = d[at + 3];
    if (d[at + 5] >= 100 || d[at + 6] >= 60 || d[at + 7] >= 75) return InvalidParameter();
    e.lba = MsfToLba(d[at + 5], d[at + 6], d[at + 7]);
    uint32_t block = 0;
    TrackMode mode;
    if (!CueBlockSize(e.data_form, &block, &mode)) return InvalidParameter();
    entries.push_back(e);
  }
  // Lead-in first, lead-out last, tracks and indexes in ascending order in between.
  if (entries.size() < 3 || entries.front().track != 0 || entries.back().track != 0xAA) {
    return InvalidParameter();
  }
  uint32_t first_track = 0;
  uint32_t previous_track = 0;
  int64_t previous_lba = INT64_MIN;
  for (size_t i = 1; i + 1 < entries.size(); ++i) {
    const CueEntry& e = entries[i];
    if (e.track < 1 || e.track > 99 || e.track < previous_track || e.lba < previous_lba)
      return InvalidParameter();
    if (first_track == 0) first_track = e.track;
    previous_track = e.track;
    previous_lba = e.lba;
  }
  const int64_t leadout = entries.back().lba;
  if (leadout <= previous_lba || leadout > static_cast<int64_t>(state_.capacity))
    return InvalidParameter();
  if (first_track != state_.tracks.size() + 1) return InvalidParameter();
  // Tracks of the session as the cue sheet lays them out.
  std::vector<TrackState> tracks;
  for (size_t i = 1; i + 1 < entries.size(); ++i) {
    const CueEntry& e = entries[i];
    if (e.index != 1) continue;
    TrackState t;
    t.number = e.track;
    t.session = OpenSession(state_);
    t.start = e.lba;
    t.reserved = true;
    uint32_t block = 0;
    CueBlockSize(e.data_form, &block, &t.mode);
    int64_t next = leadout;
    for (size_t j = i + 1; j + 1 < entries.size(); ++j) {
      if (entries[j].track != e.track) {
        next = entries[j].lba;
        break;
      }
    }
    t.size = static_cast<uint32_t>(next - e.lba);
    tracks.push_back(t);
  }
  if (tracks.empty() || tracks.front().start != NextTrackStart(state_) ||
      tracks.front().number != first_track) {
    return InvalidParameter();
  }
  for (size_t i = 0; i < tracks.size(); ++i) {
    if (tracks[i].number != first_track + i) return InvalidParameter();
  }
  state_.tracks.insert(state_.tracks.end(), tracks.begin(), tracks.end());
  cue_ = entries;
  if (state_.closed_sessions == 0) {
    state_.cd_text.clear();  // a new first lead-in
    lead_in_packs_seen_.assign(8 * 256, false);
  }
  sao_active_ = true;
  sao_leadout_ = leadout;
  sao_next_lba_ = (entries.front().data_form & 0xC0) ? SessionLeadInStart(state_) : entries[1].lba;
  dirty_ = true;
  return Answer::Ok(0);
}

}  // namespace quillden::drive::virt
