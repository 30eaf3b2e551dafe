// DRV_GetTOCInformation, DRV_GetTrackInformation, DRV_GetLastTrack, DRV_GetLayerNumber.
#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "drive/drive_handle.h"
#include "drive/media_queries.h"
#include "drive/mmc_commands.h"
#include "drive/mmc_vocabulary.h"
#include "drive/profiles.h"
#include "quillden/drive.h"
#include "quillden/result.h"
#include "util/byte_order.h"

namespace quillden::drive {
namespace {

constexpr uint8_t kSync[12] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                               0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
constexpr uint32_t kMaxTocEntries = 100;  // 99 tracks and the lead-out

uint32_t TocInformation(HANDLE drive, _TOCINFORMATION* toc, WORD size) {
  const uint32_t allocation = size == 0   ? 4
                              : size <= 4 ? size
                                          : std::min<uint32_t>(uint32_t{size} + 2, 0xFFFF);
  std::vector<uint8_t> data(allocation);
  uint32_t result =
      ReadToc(drive, false, mmc::kTocFormatToc, 0, data.data(), static_cast<uint16_t>(allocation));
  if (result != QD_OK) return result;
  const uint16_t length = GetBe16(data.data() + mmc::kTocLength);
  const uint8_t first = data[mmc::kTocFirst];
  const uint8_t last = data[mmc::kTocLast];
  // A table that cannot describe a CD (more than 99 tracks, a length that is no whole number of
  // descriptors) is not used at all.
  if (length < 2 || (length - 2) % 8 != 0 || (length - 2u) / 8 > kMaxTocEntries || first > last ||
      last > 99 || first == 0) {
    return QD_E_COMMAND_FAILED;
  }
  toc->wLength = length;
  const uint32_t descriptors = std::min<uint32_t>((length - 2) / 8, (allocation - 4) / 8);
  for (uint32_t i = 0; i < descriptors && i < kMaxTocEntries; ++i) {
    if (size < 4 + 4 * (i + 1)) break;
    const uint8_t* descriptor = data.data() + mmc::kTocHeaderSize + i * mmc::kTocDescriptorSize;
    toc->dwAddress[i] = GetBe32(descriptor + mmc::kTocAddress);
  }
  toc->bFirstTrack = first;
  toc->bLastTrack = last;
  return QD_OK;
}

// One TOC entry (format 0) for a track: control nibble and start; false when there is none.
bool TocEntry(HANDLE drive, uint8_t track, uint8_t* control, uint32_t* start,
              uint8_t* number = nullptr) {
  uint8_t data[12] = {};
  if (ReadToc(drive, false, mmc::kTocFormatToc, track, data, sizeof(data)) != QD_OK) return false;
  if (GetBe16(data + mmc::kTocLength) < 10) return false;
  const uint8_t* entry = data + mmc::kTocHeaderSize;
  // The first entry is the track asked for, or the lead-out after the last track; anything else
  // describes some other part of the disc.
  if (entry[mmc::kTocTrack] != track && entry[mmc::kTocTrack] != mmc::kTocLeadOut) return false;
  *control = entry[mmc::kTocControl] & mmc::kControlMask;
  *start = GetBe32(entry + mmc::kTocAddress);
  if (number != nullptr) *number = entry[mmc::kTocTrack];
  return true;
}

bool HeaderMatches(const uint8_t* p, uint32_t address) {
  return std::memcmp(p, kSync, 12) == 0 && p[12] == ToBcd(address / 4500) &&
         p[13] == ToBcd(address / 75 % 60) && p[14] == ToBcd(address % 75);
}

// Data mode of a CD data track from two raw sectors at its start: 2 for mode 2, else 1.
uint32_t RawTrackMode(HANDLE drive, uint32_t start) {
  std::vector<uint8_t> raw(4704);
  if (ReadCdWithRetrySense(drive, 0, start, raw.data(), 4704, 2352, 0, true) != 0) return 1;
  for (size_t i = 0; i + 16 <= raw.size(); ++i) {
    if (HeaderMatches(raw.data() + i, start + 150) || HeaderMatches(raw.data() + i, start + 151)) {
      return raw[i + 15] == 2 ? 2 : 1;
    }
  }
  return 1;
}

// The gap before next_track (starting at next_start): the blocks just before it that carry the
// next track's index 0 in their Q sub-channel, plus, after a data track, the blocks that cannot be
// read as this track's sectors (run-out). 0xFFFFFFFF when the sub-channel cannot be read.
uint32_t MeasureGap(HANDLE drive, uint32_t this_start, bool data_track, uint32_t next_start,
                    uint8_t next_track) {
  constexpr uint32_t kSectorBytes = 2352 + 16;
  constexpr uint32_t kWindow = 300;  // the longest pregap plus run-out considered
  const uint32_t from = next_start > this_start + kWindow ? next_start - kWindow : this_start;
  const uint32_t count = next_start - from;
  if (count == 0) return 0;
  std::vector<uint8_t> data(size_t{count} * kSectorBytes);
  for (uint32_t done = 0; done < count;) {
    const uint32_t chunk = std::min<uint32_t>(count - done, 16);
    if (ReadCd(drive, 0, from + done, data.data() + size_t{done} * kSectorBytes,
               chunk * kSectorBytes, kSectorBytes, 2) != QD_OK) {
      return 0xFFFFFFFFu;
    }
    done += chunk;
  }
  uint32_t gap = 0;
  while (gap < count) {
    const uint8_t* q = data.data() + size_t{count - gap - 1} * kSectorBytes + 2352;
    if (FromBcd(q[1]) != next_track || FromBcd(q[2]) != 0) break;
    ++gap;
  }
  if (data_track) {
    while (gap < count) {
      const uint32_t lba = from + count - gap - 1;
      const uint8_t* sector = data.data() + size_t{count - gap - 1} * kSectorBytes;
      if (HeaderMatches(sector, lba + 150) && sector[15] != 0) break;
      ++gap;
    }
  }
  return gap;
}

uint16_t TrackInfo(HANDLE drive, WORD track_number, _TRACKINFORMATION* out, bool exact) {
  WriteTrackAtOnceParameters(drive);
  DiscInformation disc;
  if (ReadDiscInformation(drive, &disc) != QD_OK) return 0;
  const uint16_t last = disc.last_track_last_session;
  if (track_number == 0 || out == nullptr) return last;
  if (track_number > last) return 0;

  uint8_t control = 0;
  uint32_t toc_start = 0;
  const bool in_toc = track_number <= 99 &&
                      TocEntry(drive, static_cast<uint8_t>(track_number), &control, &toc_start);
  TrackInformation track;
  if (ReadTrackInformation(drive, mmc::kTrackAddressTrack, track_number, &track) != QD_OK &&
      !TrackFromToc(drive, track_number, &track)) {
    return 0;
  }
  if (track.track != track_number) return 0;

  const uint16_t profile = CurrentProfile(drive);
  const bool cd = IsCdProfile(profile);
  const bool data_track = in_toc ? (control & mmc::kControlDataTrack) != 0
                                 : (track.track_mode & mmc::kControlDataTrack) != 0 || !cd;
  _TRACKINFORMATION info{};
  info.dwStart = track.start;
  info.wTrack = track.track;
  info.wSession = track.session;
  info.dwMode = !data_track ? 3 : cd ? RawTrackMode(drive, track.start) : 1;

  const uint16_t book = profile == mmc::kProfileDvdRom ? BookTypeProfile(drive) : 0;
  if (profile == mmc::kProfileDvdMinusR || profile == mmc::kProfileHdDvdR ||
      profile == mmc::kProfileDvdMinusRwSequential ||
      (profile == mmc::kProfileDvdRom && book == mmc::kProfileDvdMinusR)) {
    info.dwSize = track.last_recorded != 0 && track.last_recorded >= track.start
                      ? track.last_recorded - track.start + 1
                      : 0;
  } else if (profile == mmc::kProfileDvdMinusRwOverwrite) {
    info.dwSize = track.nwa_valid ? track.next_writable : track.size;
  } else if ((profile == mmc::kProfileDvdRom && book == mmc::kProfileDvdPlusR) || cd) {
    uint8_t next_control = 0;
    uint32_t next_start = 0;
    uint8_t next_number = 0;
    const uint8_t next =
        static_cast<uint8_t>(std::min<uint32_t>(track_number + 1u, mmc::kTocLeadOut));
    if (in_toc && track_number < 99 &&
        TocEntry(drive, next, &next_control, &next_start, &next_number) &&
        next_start > track.start) {
      info.dwSize = next_start - track.start;
      if (cd) {
        TrackInformation following;
        const bool next_is_track = next_number != mmc::kTocLeadOut;
        const bool other_session = next_is_track &&
                                   ReadTrackInformation(drive, mmc::kTrackAddressTrack, next_number,
                                                        &following) == QD_OK &&
                                   following.session != track.session;
        if (other_session) {
          const uint32_t between = track.session == 1 ? 11400 : 6900;
          info.dwSize = info.dwSize > between ? info.dwSize - between : 0;
        } else if (exact && next_is_track) {
          const uint32_t gap = MeasureGap(drive, track.start, data_track, next_start, next_number);
          if (gap == 0xFFFFFFFFu) {
            info.dwSize = track.size;
          } else {
            info.dwSize -= std::min(gap, info.dwSize);
          }
        }
      }
    } else {
      info.dwSize = track.size;
    }
  } else {
    info.dwSize = track.size;
  }
  if (profile == mmc::kProfileDvdMinusRDlJump) {
    info.bLayerJumpStatus = track.layer_jump_status;
    info.dwLastLayerJump = track.last_layer_jump;
    info.dwJumpInterval = track.fixed_packet_size;
    info.dwReportedSize = track.size;
  }
  *out = info;
  return last;
}

}  // namespace
}  // namespace quillden::drive

using namespace quillden::drive;

QUILLDEN_EXTERN_C QUILLDEN_API DWORD DRV_GetTOCInformation(HANDLE drive, _TOCINFORMATION* toc,
                                                           WORD size) {
  if (!DriveFromHandle(drive)) return QD_E_INVALID_HANDLE;
  if (toc == nullptr || static_cast<HANDLE>(toc) == INVALID_HANDLE_VALUE ||
      (size >= 1 && size <= 3)) {
    return QD_E_INVALID_ARGUMENT;
  }
  try {
    return TocInformation(drive, toc, size);
  } catch (const std::bad_alloc&) {
    return QD_E_OUT_OF_MEMORY;
  }
}

QUILLDEN_EXTERN_C QUILLDEN_API WORD DRV_GetTrackInformation(HANDLE drive, WORD track,
                                                            _TRACKINFORMATION* info, BOOL exact) {
  if (!DriveFromHandle(drive)) return 0;
  try {
    return TrackInfo(drive, track, info, exact != FALSE);
  } catch (const std::bad_alloc&) {
    return 0;
  }
}

QUILLDEN_EXTERN_C QUILLDEN_API WORD DRV_GetLastTrack(HANDLE drive) {
  if (!DriveFromHandle(drive)) return 0;
  DiscInformation disc;
  if (ReadDiscInformation(drive, &disc) != QD_OK) return 0;
  for (uint32_t track = disc.last_track_last_session; track >= 1; --track) {
    TrackInformation info;
    if (ReadTrackInformation(drive, mmc::kTrackAddressTrack, track, &info) != QD_OK) {
      return TrackFromToc(drive, static_cast<uint16_t>(track), &info) ? static_cast<WORD>(track)
                                                                      : 0;
    }
    if (ClassifyTrack(info, disc) != TrackState::kBlank) return static_cast<WORD>(track);
  }
  return 0;
}

QUILLDEN_EXTERN_C QUILLDEN_API BYTE DRV_GetLayerNumber(HANDLE drive) {
  if (!DriveFromHandle(drive)) return 0;
  try {
    std::vector<uint8_t> data(2052);
    if (ReadDiscStructure(drive, mmc::kStructurePhysical, data.data(),
                          static_cast<uint16_t>(data.size())) != QD_OK)
      return 0;
    return static_cast<BYTE>(((data[6] >> 5) & 0x03) + 1);
  } catch (const std::bad_alloc&) {
    return 0;
  }
}
