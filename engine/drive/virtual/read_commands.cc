// The virtual device's reading commands: READ(10) of user data and READ CD of raw sectors.
#include <algorithm>
#include <cstring>

#include "drive/virtual/device_internal.h"

namespace quillden::drive::virt {

using Answer = VirtualDevice::Answer;

bool VirtualDevice::ReadUserBlocks(int64_t lba, uint32_t count, uint8_t* out, Answer* failure) {
  // First where each block comes from, then the data: consecutive blocks of the file in one read.
  std::vector<uint8_t> zeros(count, 0);
  for (uint32_t i = 0; i < count; ++i) {
    const int64_t block = lba + i;
    bool readable = false;
    bool zero = false;
    if (state_.is_pressed()) {
      readable = block >= 0 && block < static_cast<int64_t>(state_.capacity);
    } else if (state_.profile == mmc::kProfileDvdPlusRw) {
      readable = state_.background_format != 0 && block >= 0 &&
                 block < static_cast<int64_t>(state_.capacity);
    } else if (state_.profile == mmc::kProfileDvdMinusRwOverwrite) {
      readable = block >= 0 && block < static_cast<int64_t>(state_.formatted_blocks);
    } else {
      for (const TrackState& t : state_.tracks) {
        int64_t k = 0;
        if (!TrackBlockIndex(state_, t, block, &k)) continue;
        if (t.mode == TrackMode::kAudio) {
          *failure = IllegalModeForTrack();
          return false;
        }
        if (k >= t.written) {
          if (state_.is_cd()) {
            *failure = UnrecoveredReadError();  // run-out blocks hold no user data
            return false;
          }
          zero = true;  // padding of a closed DVD track
        }
        readable = true;
        break;
      }
    }
    if (!readable) {
      *failure = OutOfRange();
      return false;
    }
    zeros[i] = zero ? 1 : 0;
  }
  std::memset(out, 0, static_cast<size_t>(count) * 2048);
  quenvar::platform::ReadableFile* file =
      state_.is_pressed() ? image_reader_.get() : data_reader_.get();
  for (uint32_t i = 0; i < count;) {
    if (zeros[i]) {
      ++i;
      continue;
    }
    uint32_t run = 1;
    while (i + run < count && !zeros[i + run]) ++run;
    if (file == nullptr) {
      *failure = UnrecoveredReadError();
      return false;
    }
    const size_t bytes = static_cast<size_t>(run) * 2048;
    size_t got = 0;
    // A sparse backing file may end before a written block of zeros: the rest stays zero.
    if (!file->ReadAt(static_cast<uint64_t>(lba + i) * 2048, bytes,
                      out + static_cast<size_t>(i) * 2048, &got)
             .ok() ||
        (state_.is_pressed() && got != bytes)) {
      *failure = UnrecoveredReadError();
      return false;
    }
    i += run;
  }
  return true;
}

Answer VirtualDevice::Read10(const Cdb& c, uint8_t* d, uint32_t n) {
  const int64_t lba = GetBe32(c.b + 2);
  const uint32_t count = GetBe16(c.b + 7);
  if (static_cast<uint64_t>(count) * 2048 > n) return InvalidField();
  if (count == 0) return Answer::Ok(0);
  if (lba + count > static_cast<int64_t>(std::max<uint32_t>(state_.capacity, 1)))
    return OutOfRange();
  Answer failure;
  if (!ReadUserBlocks(lba, count, d, &failure)) return failure;
  return Answer::Ok(count * 2048);
}

bool VirtualDevice::ReadRawSector(int64_t lba, uint8_t* sector, TrackMode* mode, Answer* failure) {
  TrackState t;
  bool invisible = false;
  bool in_track = false;
  for (const TrackState& track : state_.tracks) {
    if (lba >= track.start && lba < track.start + TrackExtent(track)) {
      t = track;
      in_track = true;
      break;
    }
  }
  if (state_.is_pressed()) {
    in_track = lba >= 0 && lba < static_cast<int64_t>(state_.capacity);
    t.mode = TrackMode::kData;
    t.written = state_.capacity;
    t.start = 0;
  }
  if (!in_track) {
    if (TrackForLba(state_, lba, &t, &invisible) && !invisible) {
      // A pregap between tracks: silence before an audio track, mode 0 blocks before data.
      if (t.mode == TrackMode::kAudio) {
        std::memset(sector, 0, kRawSectorSize);
        *mode = TrackMode::kAudio;
        return true;
      }
      BuildMode0Sector(lba, sector);
      *mode = TrackMode::kData;
      return true;
    }
    *failure = OutOfRange();
    return false;
  }
  *mode = t.mode;
  if (lba >= t.start + t.written) {
    BuildMode0Sector(lba, sector);  // run-out
    return true;
  }
  if (t.mode == TrackMode::kData) {
    uint8_t user[2048];
    if (!ReadUserBlocks(lba, 1, user, failure)) return false;
    BuildMode1Sector(lba, user, sector);
    return true;
  }
  if (!raw_reader_) {
    if (!env_->OpenReadable(RawFilePath(backing_path_), &raw_reader_).ok()) raw_reader_.reset();
  }
  std::memset(sector, 0, kRawSectorSize);
  size_t got = 0;
  if (!raw_reader_ ||
      !raw_reader_
           ->ReadAt(static_cast<uint64_t>(lba) * kRawSectorSize, kRawSectorSize, sector, &got)
           .ok()) {
    *failure = UnrecoveredReadError();
    return false;
  }
  return true;
}

Answer VirtualDevice::ReadCd(const Cdb& c, uint8_t* d, uint32_t n) {
  if (!state_.is_cd()) return IncompatibleMedium();
  const uint8_t expected = (c.b[1] >> 2) & 0x07;
  const int64_t lba = static_cast<int32_t>(GetBe32(c.b + 2));
  const uint32_t count = GetBe24(c.b + 6);
  const uint8_t fields = c.b[9];
  const uint8_t subchannel = c.b[10] & 0x07;
  if (subchannel == 3 || subchannel > 4 || expected > 5) return InvalidField();
  uint32_t delivered = 0;
  for (uint32_t i = 0; i < count; ++i) {
    uint8_t sector[kRawSectorSize];
    TrackMode mode;
    Answer failure;
    if (!ReadRawSector(lba + i, sector, &mode, &failure)) return failure;
    const bool audio = mode == TrackMode::kAudio;
    const bool form2 = mode == TrackMode::kMode2 && (sector[18] & 0x20);
    const uint8_t sector_mode = sector[15];
    if ((expected == 1 && !audio) || (expected > 1 && audio) ||
        (expected == 2 && sector_mode != 1) ||
        (expected >= 3 && mode != TrackMode::kMode2 && sector_mode != 0) ||
        (expected == 4 && form2) || (expected == 5 && !form2)) {
      return IllegalModeForTrack();
    }
    uint8_t out[kRawSectorSize + 296 + 96];
    uint32_t size = 0;
    auto take = [&](uint32_t from, uint32_t bytes) {
      std::memcpy(out + size, sector + from, bytes);
      size += bytes;
    };
    if (audio) {
      if (fields & 0x10) take(0, kRawSectorSize);
    } else {
      const bool m2 = sector_mode == 2;
      if (fields & 0x80) take(0, 12);
      if (fields & 0x20) take(12, 4);
      if ((fields & 0x40) && m2) take(16, 8);
      const uint32_t user_at = m2 ? 24 : 16;
      const uint32_t user_size = sector_mode == 0 ? 2336 : (m2 ? (form2 ? 2324 : 2048) : 2048);
      if (fields & 0x10) take(user_at, user_size);
      if ((fields & 0x08) && sector_mode != 0)
        take(user_at + user_size, kRawSectorSize - user_at - user_size);
    }
    const uint8_t c2 = (fields >> 1) & 0x03;
    if (c2 == 1 || c2 == 2) {
      const uint32_t c2_size = c2 == 1 ? 294 : 296;
      std::memset(out + size, 0, c2_size);
      size += c2_size;
    }
    if (subchannel == 2) {
      // Formatted Q: position of this block within its track.
      uint8_t* q = out + size;
      std::memset(q, 0, 16);
      TrackState t;
      bool invisible = false;
      TrackForLba(state_, lba + i, &t, &invisible);
      const bool pregap = lba + i < t.start;
      q[0] = static_cast<uint8_t>((Control(t.mode) << 4) | 1);
      q[1] = ToBcd(static_cast<uint8_t>(t.number));
      q[2] = pregap ? 0 : 1;
      Msf rel = LbaToMsf((pregap ? t.start - (lba + i) : lba + i - t.start) - 150);
      q[3] = ToBcd(rel.minute);
      q[4] = ToBcd(rel.second);
      q[5] = ToBcd(rel.frame);
      Msf abs = LbaToMsf(lba + i);
      q[7] = ToBcd(abs.minute);
      q[8] = ToBcd(abs.second);
      q[9] = ToBcd(abs.frame);
      size += 16;
    } else if (subchannel == 1 || subchannel == 4) {
      std::memset(out + size, 0, 96);
      size += 96;
    }
    if (delivered + size > n) return InvalidField();
    std::memcpy(d + delivered, out, size);
    delivered += size;
  }
  return Answer::Ok(delivered);
}

}  // namespace quillden::drive::virt
