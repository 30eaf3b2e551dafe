// The virtual device's recording commands: writing, reserving, closing, formatting, blanking.
#include <algorithm>
#include <cstring>

#include "drive/virtual/cd_sector.h"
#include "drive/virtual/device_internal.h"
#include "util/byte_order.h"

namespace quillden::drive::virt {

using Answer = VirtualDevice::Answer;
using quenvar::platform::FileInfo;
using quenvar::platform::WriteMode;

namespace {

Answer InvalidField() { return Answer::Sense(5, 0x24, 0x00); }
Answer InvalidParameter() { return Answer::Sense(5, 0x26, 0x00); }
Answer SequenceError() { return Answer::Sense(5, 0x2C, 0x00); }
Answer CannotWrite() { return Answer::Sense(5, 0x30, 0x05); }
Answer OutOfRange() { return Answer::Sense(5, 0x21, 0x00); }
Answer InvalidWriteAddress() { return Answer::Sense(5, 0x21, 0x02); }
Answer WriteError() { return Answer::Sense(3, 0x0C, 0x00); }

uint32_t RoundUp16(uint64_t v) { return static_cast<uint32_t>((v + 15) / 16 * 16); }

// Bytes per block the host sends for a cue sheet data form (main data plus host sub-channel).
bool CueBlockSize(uint8_t data_form, uint32_t* size, TrackMode* mode) {
  const uint32_t sub = (data_form & 0xC0) ? 96 : 0;
  switch (data_form & 0x3F) {
    case 0x00: *size = 2352; *mode = TrackMode::kAudio; break;
    case 0x01: *size = 0; *mode = TrackMode::kAudio; break;
    case 0x10: *size = 2048; *mode = TrackMode::kData; break;
    case 0x11: *size = 2352; *mode = TrackMode::kData; break;
    case 0x14: *size = 0; *mode = TrackMode::kData; break;
    case 0x20: case 0x21: case 0x30: *size = 2336; *mode = TrackMode::kMode2; break;
    case 0x22: case 0x23: case 0x31: *size = 2352; *mode = TrackMode::kMode2; break;
    case 0x24: case 0x34: *size = 0; *mode = TrackMode::kMode2; break;
    default: return false;
  }
  *size += sub;
  return true;
}

}  // namespace

uint32_t VirtualDevice::WriteBlockSize() const {
  if (!state_.is_cd()) return 2048;
  switch (write_page_[4] & 0x0F) {
    case 0: return 2352;
    case 9: return 2336;
    case 11: return 2056;
    case 12: return 2324;
    case 13: return 2332;
    default: return 2048;
  }
}

TrackMode VirtualDevice::WriteTrackMode() const {
  if (!state_.is_cd()) return TrackMode::kData;
  switch (write_page_[4] & 0x0F) {
    case 0: return TrackMode::kAudio;
    case 8: return TrackMode::kData;
    default: return TrackMode::kMode2;
  }
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
    const WriteMode open_mode = env_->Stat(raw, true, &info).ok() ? WriteMode::kOpenExisting : WriteMode::kCreateNew;
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
      case 2352: std::memcpy(formless, block + 16, kMode2FormlessSize); break;
      case 2336: case 2332: std::memcpy(formless, block, block_size); break;
      case 2056: std::memcpy(formless, block, 2056); break;
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
      default: return false;
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

Answer VirtualDevice::Write10(const Cdb& c, const uint8_t* d, uint32_t n) {
  const int64_t lba = static_cast<int32_t>(GetBe32(c.b + 2));
  const uint32_t count = GetBe16(c.b + 7);
  if (state_.is_pressed()) return CannotWrite();
  if (state_.profile == kProfileDvdPlusRw && !state_.drive_writes_dvd_plus_rw) return CannotWrite();
  if (count == 0) return Answer::Ok(0);
  if (sao_active_) return WriteSao(lba, count, d, n);
  const uint32_t block_size = WriteBlockSize();
  if (static_cast<uint64_t>(count) * block_size > n) return InvalidField();
  const int64_t end = lba + count;
  if (state_.is_random_writable()) {
    if (state_.profile == kProfileDvdPlusRw && state_.background_format == 0) return CannotWrite();
    if (lba < 0 || end > static_cast<int64_t>(state_.capacity)) return OutOfRange();
    // Restricted overwrite records whole ECC blocks of 16 sectors.
    if (state_.profile == kProfileDvdMinusRwOverwrite && (lba % 16 != 0 || count % 16 != 0)) {
      return InvalidField();
    }
    if (!StoreBlocks(lba, count, 2048, TrackMode::kData, d)) return WriteError();
    if (state_.profile == kProfileDvdMinusRwOverwrite && end > state_.formatted_blocks) {
      state_.formatted_blocks = static_cast<uint32_t>(end);
    }
    dirty_ = true;
    return Answer::Ok(0);
  }
  if (state_.finalized) return CannotWrite();
  if (lba < 0 || end > static_cast<int64_t>(state_.capacity)) return OutOfRange();
  TrackState* target = nullptr;
  for (TrackState& t : state_.tracks) {
    if (!t.closed && TrackBlockLba(t, t.written) == lba) {
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

  if (target == nullptr && HasInvisibleTrack() && NextTrackStart() == lba) {
    state_.tracks.push_back(InvisibleTrack());
    target = &state_.tracks.back();
  }
  if (target == nullptr) return InvalidWriteAddress();  // not a next writable address
  if (!target->reserved && end > FreeEnd()) return OutOfRange();  // layer 1 halves of jump tracks
  if (target->reserved && target->written + count > target->size) return OutOfRange();
  const TrackMode mode = WriteTrackMode();
  if (target->written == 0) {
    target->mode = mode;
  } else if (target->mode != mode) {
    return Answer::Sense(5, 0x64, 0x00);
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

Answer VirtualDevice::ReserveTrack(const Cdb& c) {
  if (c.b[1] & 0x01) return InvalidField();  // reservation by address is not offered
  if (!state_.is_sequential() || state_.finalized || sao_active_) return SequenceError();
  uint64_t size = GetBe32(c.b + 5);
  if (size == 0) return InvalidField();
  if (!state_.is_cd()) size = RoundUp16(size);
  TrackState* open = OpenEndedTrack();
  TrackState fresh;
  if (open != nullptr) {
    if (open->written > 0) return SequenceError();  // close the incomplete track first
  } else {
    if (!HasInvisibleTrack()) return SequenceError();
    fresh = InvisibleTrack();
  }
  const int64_t start = open != nullptr ? open->start : fresh.start;
  uint32_t layer0_blocks = 0;
  if (LayerJumpWriting() && start < static_cast<int64_t>(state_.layer0_capacity)) {
    // Layer jump: half of the track on layer 0 from the start, half opposite it on layer 1, both
    // in whole ECC blocks.
    layer0_blocks = RoundUp16((size + 1) / 2);
    size = 2 * uint64_t{layer0_blocks};
    if (start + layer0_blocks > state_.layer0_capacity) return InvalidField();
  } else if (start + size > static_cast<uint64_t>(FreeEnd())) {
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

bool VirtualDevice::CloseTrack(TrackState* t) {
  if (t->closed) return true;
  if (!t->reserved) {
    if (state_.is_cd()) {
      t->size = t->written + (t->mode == TrackMode::kAudio ? 0 : kCdRunOutBlocks);
    } else {
      t->size = std::min<uint32_t>(RoundUp16(t->written), state_.capacity - static_cast<uint32_t>(t->start));
    }
  }
  t->closed = true;
  dirty_ = true;
  return true;
}

Answer VirtualDevice::CloseSession(bool finalize) {
  const uint32_t session = OpenSession();
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
    CloseTrack(&t);
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
  const int64_t limit = HasLayerJumpTracks() ? state_.layer0_capacity : state_.capacity;
  if (next_allowed && next < limit && state_.tracks.size() < 99) {
    state_.next_session_start = next;
  } else {
    state_.finalized = true;
  }
  dirty_ = true;
  return Answer::Ok(0);
}

Answer VirtualDevice::CloseTrackSession(const Cdb& c) {
  const bool immediate = (c.b[1] & 0x01) != 0;
  const uint8_t function = c.b[2] & 0x07;
  const uint32_t number = GetBe16(c.b + 4);
  if (state_.is_pressed()) return CannotWrite();
  Answer answer = Answer::Ok(0);
  auto stop_background_format = [&] {
    if (state_.background_format == 2) {
      const bool complete = Now() - state_.background_format_started_ms >= state_.timing.background_format_ms;
      state_.background_format = complete ? 3 : 1;
      dirty_ = true;
    }
  };
  switch (function) {
    case 0:
      if (state_.profile != kProfileDvdPlusRw) return InvalidField();
      stop_background_format();
      break;
    case 1: {
      if (state_.is_random_writable()) break;
      if (number == 0 || number > state_.tracks.size()) return InvalidField();
      TrackState& t = state_.tracks[number - 1];
      if (!t.closed && !t.reserved && t.written == 0) return SequenceError();
      CloseTrack(&t);
      break;
    }
    case 2:
      if (state_.profile == kProfileDvdPlusRw) {
        stop_background_format();
      } else if (state_.is_sequential()) {
        if (state_.finalized) return SequenceError();
        answer = CloseSession(false);
      }
      break;
    case 4: case 5: case 6:
      if (!state_.is_dvd_plus_sequential() || state_.finalized) return InvalidField();
      answer = CloseSession(true);
      break;
    default:
      return InvalidField();
  }
  if (answer.ok() && immediate) StartBusy(Busy::kClose, state_.timing.close_ms);
  return answer;
}

Answer VirtualDevice::FormatUnit(const Cdb& c, const uint8_t* d, uint32_t n) {
  if ((c.b[1] & 0x10) == 0 || (c.b[1] & 0x07) != 1) return InvalidField();
  if (n < 12) return Answer::Sense(5, 0x1A, 0x00);
  const bool immediate = (d[1] & 0x02) != 0;
  if (GetBe16(d + 2) != 8) return InvalidParameter();
  const uint32_t blocks = GetBe32(d + 4);
  const uint8_t type = d[8] >> 2;
  const uint16_t p = state_.profile;
  uint32_t busy_ms = 0;
  if (p == kProfileDvdPlusRw) {
    if (type != 0x26) return InvalidParameter();
    if (!state_.drive_writes_dvd_plus_rw) return CannotWrite();
    if (blocks > state_.capacity && blocks != 0xFFFFFFFF) return InvalidParameter();
    // Background formatting: the disc is usable at once while the drive de-ices the rest.
    state_.background_format = 2;
    state_.background_format_started_ms = std::max<uint64_t>(Now(), 1);
  } else if (p == kProfileDvdMinusRwSequential || p == kProfileDvdMinusRwOverwrite) {
    switch (type) {
      case 0x00:
      case 0x10:  // full format
        TruncateData();
        state_.tracks.clear();
        state_.formatted_blocks = state_.capacity;
        busy_ms = state_.timing.format_ms;
        break;
      case 0x15:  // quick: the formatted zone grows as data is written
        if (blocks > state_.capacity) return InvalidParameter();
        TruncateData();
        state_.tracks.clear();
        state_.formatted_blocks = std::min(RoundUp16(blocks), state_.capacity);
        busy_ms = state_.timing.format_ms / 4;
        break;
      case 0x11:
      case 0x13:  // grow the last session
        if (p != kProfileDvdMinusRwOverwrite) return InvalidParameter();
        busy_ms = state_.timing.format_ms / 8;
        break;
      default:
        return InvalidParameter();
    }
    state_.profile = kProfileDvdMinusRwOverwrite;
    state_.finalized = false;
    state_.closed_sessions = 0;
    state_.next_session_start = 0;
  } else if (p == kProfileCdRw) {
    return InvalidParameter();  // packet formatting of CD-RW is not offered
  } else {
    return CannotWrite();
  }
  dirty_ = true;
  if (immediate) StartBusy(Busy::kFormat, busy_ms);
  return Answer::Ok(0);
}

Answer VirtualDevice::Blank(const Cdb& c) {
  const bool immediate = (c.b[1] & 0x10) != 0;
  const uint8_t type = c.b[1] & 0x07;
  const uint16_t p = state_.profile;
  if (p != kProfileCdRw && p != kProfileDvdMinusRwSequential && p != kProfileDvdMinusRwOverwrite) {
    return CannotWrite();
  }
  if (type > 1) return InvalidField();
  TruncateData();
  state_.tracks.clear();
  state_.closed_sessions = 0;
  state_.finalized = false;
  state_.next_session_start = 0;
  state_.formatted_blocks = 0;
  if (p == kProfileDvdMinusRwOverwrite) state_.profile = kProfileDvdMinusRwSequential;
  sao_active_ = false;
  dirty_ = true;
  if (immediate) StartBusy(Busy::kBlank, type == 0 ? state_.timing.blank_ms : state_.timing.blank_ms / 3);
  return Answer::Ok(0);
}

Answer VirtualDevice::SynchronizeCache(const Cdb& c) {
  const bool immediate = (c.b[1] & 0x02) != 0;
  if (data_writer_ && !data_writer_->Sync().ok()) return WriteError();
  if (raw_writer_ && !raw_writer_->Sync().ok()) return WriteError();
  if (sao_active_ && sao_next_lba_ >= sao_leadout_) {
    // Session at once ends when the last block is flushed: the drive writes the lead-in and
    // lead-out of the session it was given.
    sao_active_ = false;
    for (TrackState& t : state_.tracks) {
      if (t.session == OpenSession()) t.written = t.size;
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

Answer VirtualDevice::SendCueSheet(const Cdb& c, const uint8_t* d, uint32_t n) {
  const uint32_t size = GetBe24(c.b + 6);
  if (size > n || size == 0 || size % 8 != 0) return InvalidField();
  if (state_.profile != kProfileCdR && state_.profile != kProfileCdRw) return CannotWrite();
  if (state_.finalized || (write_page_[2] & 0x0F) != 2) return SequenceError();
  if (!state_.tracks.empty() && state_.tracks.back().session == OpenSession()) return SequenceError();
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
    if (e.track < 1 || e.track > 99 || e.track < previous_track || e.lba < previous_lba) return InvalidParameter();
    if (first_track == 0) first_track = e.track;
    previous_track = e.track;
    previous_lba = e.lba;
  }
  const int64_t leadout = entries.back().lba;
  if (leadout <= previous_lba || leadout > static_cast<int64_t>(state_.capacity)) return InvalidParameter();
  if (first_track != state_.tracks.size() + 1) return InvalidParameter();
  // Tracks of the session as the cue sheet lays them out.
  std::vector<TrackState> tracks;
  for (size_t i = 1; i + 1 < entries.size(); ++i) {
    const CueEntry& e = entries[i];
    if (e.index != 1) continue;
    TrackState t;
    t.number = e.track;
    t.session = OpenSession();
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
  if (tracks.empty() || tracks.front().start != NextTrackStart() || tracks.front().number != first_track) {
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
  sao_next_lba_ = (entries.front().data_form & 0xC0) ? SessionLeadInStart() : entries[1].lba;
  dirty_ = true;
  return Answer::Ok(0);
}

Answer VirtualDevice::SendDiscStructure(const Cdb& c, const uint8_t* d, uint32_t n) {
  const uint8_t format = c.b[7];
  const uint32_t length = GetBe16(c.b + 8);
  if (length > n) return InvalidField();
  const bool dual = state_.profile == kProfileDvdPlusRDl ||
                    state_.profile == kProfileDvdMinusRDlSequential ||
                    state_.profile == kProfileDvdMinusRDlJump;
  if (!dual) return InvalidField();
  switch (format) {
    case 0x20: {
      if (length < 12) return Answer::Sense(5, 0x1A, 0x00);
      if (!state_.tracks.empty() || state_.closed_sessions != 0) return SequenceError();
      const uint32_t layer0 = GetBe32(d + 8);
      if (layer0 == 0 || layer0 % 16 != 0 || layer0 > state_.layer0_capacity) return InvalidParameter();
      state_.layer0_capacity = layer0;
      state_.capacity = 2 * layer0;
      state_.layer_boundary_fixed = true;
      dirty_ = true;
      return Answer::Ok(0);
    }
    case 0x21: case 0x22: case 0x23: case 0x24:
      if (state_.profile == kProfileDvdPlusRDl) return InvalidField();
      if (length < 4) return Answer::Sense(5, 0x1A, 0x00);
      return Answer::Ok(0);  // layer jump hints: accepted, recording stays sequential
    default:
      return InvalidField();
  }
}

}  // namespace quillden::drive::virt
