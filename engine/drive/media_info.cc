// DRV_GetMediaInformation: kind, state, next writable address, room and capacity of the media.
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

// The linking overhead a DVD-R keeps at the end of its last track.
constexpr uint32_t kDvdMinusReserve = 608;

struct MediaState {
  _MEDIAINFORMATION info{};
  DiscInformation disc;
  TrackInformation track;
};

// Write parameters, disc information and the last track of the last session: status, next writable
// address, used and free.
uint32_t LastTrackRule(HANDLE drive, MediaState* m) {
  WriteTrackAtOnceParameters(drive);  // only so that the drive reports a next writable address
  if (ReadDiscInformation(drive, &m->disc) != QD_OK) return QD_E_COMMAND_FAILED;
  if (ReadTrackInformation(drive, mmc::kTrackAddressTrack, m->disc.last_track_last_session,
                           &m->track) != QD_OK) {
    return QD_E_COMMAND_FAILED;
  }
  const TrackInformation& t = m->track;
  _MEDIAINFORMATION& info = m->info;
  info.dwErasable = m->disc.erasable ? 1 : 0;
  const uint32_t nwa = t.nwa_valid ? t.next_writable : 0;
  // No disc has room beyond the last 32-bit block address: such an answer describes nothing.
  if (uint64_t{nwa} + t.free_blocks > 0xFFFFFFFFu) return QD_E_COMMAND_FAILED;
  // The last track decides by the rule every other place uses: only an empty track takes a new
  // recording. The disc is blank when the drive says it is empty; an empty track after recorded
  // ones makes it appendable. A track that still holds a reservation or an unfinished recording
  // (and an empty first track reserved on a disc that is no longer empty) leaves no room to
  // start a new one, and a complete disc takes nothing.
  const bool recorded_end = t.lra_valid && t.last_recorded != 0;
  const bool empty_track = ClassifyTrack(t, m->disc) == TrackState::kBlank;
  const bool writable =
      empty_track && m->disc.disc_status != mmc::kDiscComplete && t.free_blocks > 0;
  if (writable && nwa > 0 && t.track >= 2) {
    info.dwStatus = MEDIA_STATUS_APPENDABLE;
  } else if (writable && t.track == 1 && !recorded_end && m->disc.disc_status == mmc::kDiscEmpty) {
    info.dwStatus = MEDIA_STATUS_BLANK;
  } else {
    info.dwStatus = MEDIA_STATUS_CLOSED;
  }
  info.dwNextWritable = info.dwStatus != MEDIA_STATUS_CLOSED ? nwa : 0;
  info.dwUsed = t.nwa_valid ? t.next_writable : t.start + t.size;
  info.dwFree = t.free_blocks;
  return QD_OK;
}

// Capacity from free + next writable address, else the used size.
uint32_t FreePlusNext(const _MEDIAINFORMATION& info) {
  const uint64_t sum = uint64_t{info.dwFree} + info.dwNextWritable;
  return sum != 0 && sum <= 0xFFFFFFFFu ? static_cast<uint32_t>(sum) : info.dwUsed;
}

// A capacity that a disc structure or READ CAPACITY gave is used only when it holds what the track
// information reports as recorded and as free; anything smaller (a drive that answers with zeros,
// READ CAPACITY of a blank disc) is no answer, and the figure comes from the next source.
bool PlausibleCapacity(uint64_t capacity, const _MEDIAINFORMATION& info) {
  return capacity != 0 && capacity <= 0xFFFFFFFFu && capacity >= info.dwUsed &&
         capacity >= info.dwFree && capacity >= info.dwNextWritable;
}

// DVD-R pre-recorded information: the last address of the data zone, stored inverted.
bool PreRecordedCapacity(HANDLE drive, uint32_t* capacity) {
  uint8_t data[68] = {};
  if (ReadDiscStructure(drive, mmc::kStructurePreRecorded, data, sizeof(data)) != QD_OK)
    return false;
  if (GetBe24(data + 7) == 0) return false;  // an answer of zeros, not an inverted address
  const uint64_t blocks = uint64_t{(~GetBe24(data + 7)) & 0xFFFFFFu} * 16;
  if (blocks <= 197200) return false;
  *capacity = static_cast<uint32_t>(blocks - 197200);
  return true;
}

// ADIP information: start, end and layer 0 end physical sectors.
bool ReadAdip(HANDLE drive, uint32_t* start, uint32_t* end, uint32_t* l0_end) {
  uint8_t data[36] = {};
  if (ReadDiscStructure(drive, mmc::kStructureAdip, data, sizeof(data)) != QD_OK) return false;
  *start = GetBe24(data + 9);
  *end = GetBe24(data + 13);
  *l0_end = GetBe24(data + 17);
  return *end != 0 && *end >= *start;
}

// Twice the layer 0 data zone capacity (layer boundary information).
bool LayerBoundaryCapacity(HANDLE drive, uint32_t* capacity) {
  uint8_t data[12] = {};
  if (ReadDiscStructure(drive, mmc::kStructureLayerBoundary, data, sizeof(data)) != QD_OK)
    return false;
  const uint64_t twice = uint64_t{GetBe32(data + mmc::kLayerBoundaryCapacity)} * 2;
  if (twice == 0 || twice > 0xFFFFFFFFu) return false;
  *capacity = static_cast<uint32_t>(twice);
  return true;
}

bool HdDvdRCapacity(HANDLE drive, uint32_t* capacity) {
  std::vector<uint8_t> data(2052);
  if (ReadDiscStructure(drive, mmc::kStructureHdDvdRecordable, data.data(),
                        static_cast<uint16_t>(data.size())) != QD_OK)
    return false;
  const uint32_t end = GetBe24(data.data() + 31);
  const uint32_t start = GetBe24(data.data() + 27);
  if (end < start) return false;
  *capacity = end - start + 1;
  return true;
}

uint32_t DvdRule(HANDLE drive, uint16_t profile, uint16_t book, MediaState* m) {
  _MEDIAINFORMATION& info = m->info;
  if (profile == mmc::kProfileDvdRom) {
    uint32_t last = 0;
    if (ReadCapacity(drive, &last) != QD_OK) return QD_E_COMMAND_FAILED;
    info.dwErasable = 0;
    info.dwUsed = info.dwCapacity = last + 1;
    // A DVD+RW that this drive can only read: the disc is as big as its file system.
    if (book == mmc::kProfileDvdPlusRw)
      info.dwUsed = info.dwCapacity = ProbeFileSystemSize(drive, 0);
    return QD_OK;
  }
  uint32_t result = LastTrackRule(drive, m);
  if (result != QD_OK) return result;
  switch (profile) {
    case mmc::kProfileDvdMinusR:
    case mmc::kProfileDvdMinusRwSequential: {
      uint32_t capacity = 0;
      info.dwCapacity = PreRecordedCapacity(drive, &capacity) && PlausibleCapacity(capacity, info)
                            ? capacity
                            : info.dwUsed;
      if (info.dwStatus != MEDIA_STATUS_CLOSED && info.dwFree > kDvdMinusReserve)
        info.dwFree -= kDvdMinusReserve;
      break;
    }
    case mmc::kProfileDvdMinusRDlSequential:
      info.dwCapacity = FreePlusNext(info);
      break;
    case mmc::kProfileDvdMinusRDlJump:
      if (uint64_t{info.dwFree} + info.dwNextWritable != 0) {
        uint32_t last = 0;
        if (ReadCapacity(drive, &last) != QD_OK) return QD_E_COMMAND_FAILED;
        uint32_t twice_layer0 = 0;
        if (PlausibleCapacity(uint64_t{last} + 1, info)) {
          info.dwCapacity = last + 1;
          info.dwUsed = info.dwCapacity > info.dwFree ? info.dwCapacity - info.dwFree : 0;
        } else if (LayerBoundaryCapacity(drive, &twice_layer0) &&
                   PlausibleCapacity(twice_layer0, info)) {
          // A blank disc has no last recorded block to report; its layers give the size.
          info.dwCapacity = twice_layer0;
        } else {
          info.dwCapacity = FreePlusNext(info);
        }
      } else {
        uint32_t last = 0;
        if (!LayerBoundaryCapacity(drive, &info.dwCapacity) ||
            ReadCapacity(drive, &last) != QD_OK) {
          return QD_E_COMMAND_FAILED;
        }
      }
      break;
    case mmc::kProfileDvdPlusR:
    case mmc::kProfileDvdPlusRDl: {
      uint32_t start = 0, end = 0, l0_end = 0;
      if (ReadAdip(drive, &start, &end, &l0_end)) {
        uint64_t capacity = profile == mmc::kProfileDvdPlusR
                                ? uint64_t{end} - start + 1
                                : uint64_t{end} - start - ((~l0_end) & 0xFFFFFFu) + l0_end + 2;
        info.dwCapacity = PlausibleCapacity(capacity, info) ? static_cast<uint32_t>(capacity)
                                                            : FreePlusNext(info);
      } else {
        info.dwCapacity = FreePlusNext(info);
      }
      if (profile == mmc::kProfileDvdPlusRDl && info.dwStatus == MEDIA_STATUS_APPENDABLE) {
        std::vector<uint8_t> data(2052);
        if (ReadDiscStructure(drive, mmc::kStructurePhysical, data.data(),
                              static_cast<uint16_t>(data.size())) == QD_OK) {
          const uint32_t end_sector = GetBe24(data.data() + 13);
          info.dwMiddleArea = end_sector == 0xFCFFFF ? 2 : end_sector == 0xF8FFFF ? 4 : 0;
        }
      }
      break;
    }
    default:
      break;
  }
  return QD_OK;
}

uint32_t DvdRwRestrictedOverwriteRule(HANDLE drive, MediaState* m) {
  _MEDIAINFORMATION& info = m->info;
  if (ReadDiscInformation(drive, &m->disc) != QD_OK) return QD_E_COMMAND_FAILED;
  FormatCapacity current;
  std::vector<FormatCapacity> formattable;
  if (ReadAllFormatCapacities(drive, &current, &formattable) != QD_OK) return QD_E_COMMAND_FAILED;
  info.dwErasable = m->disc.erasable ? 1 : 0;
  uint32_t used = 0;
  uint32_t free = 0;
  if (current.type == mmc::kCapacityFormatted) {
    used = current.block_count;
    for (const FormatCapacity& c : formattable) {
      if (c.type == mmc::kFormatDvdRwGrowSession || c.type == mmc::kFormatDvdRwQuickGrow)
        free = c.block_count;
    }
  } else if (current.type == mmc::kCapacityUnformatted) {
    free = current.block_count;
  }
  uint32_t next = used;
  if (used == 0) {
    TrackInformation track;
    if (ReadTrackInformation(drive, mmc::kTrackAddressTrack, m->disc.last_track_last_session,
                             &track) == QD_OK) {
      next = used = track.next_writable;
      free = track.free_blocks;
    }
  }
  if (m->disc.disc_status == mmc::kDiscEmpty) {
    info.dwStatus = MEDIA_STATUS_BLANK;
  } else if (m->disc.disc_status == mmc::kDiscIncomplete) {
    info.dwStatus = MEDIA_STATUS_CLOSED;
  } else if (used == 0 && free != 0) {
    info.dwStatus = MEDIA_STATUS_BLANK;
  } else if (used != 0 && free != 0) {
    info.dwStatus = MEDIA_STATUS_APPENDABLE;
  } else {
    info.dwStatus = MEDIA_STATUS_CLOSED;
  }
  info.dwNextWritable = next;
  info.dwUsed = used;
  info.dwFree = free;
  if ((info.dwStatus == MEDIA_STATUS_CLOSED || m->disc.disc_status == mmc::kDiscIncomplete) &&
      info.dwUsed == 0) {
    MediaState track_state;
    if (LastTrackRule(drive, &track_state) == QD_OK) info.dwUsed = track_state.info.dwUsed;
  }
  if (!PreRecordedCapacity(drive, &info.dwCapacity)) info.dwCapacity = info.dwUsed;
  if (info.dwFree > kDvdMinusReserve) info.dwFree -= kDvdMinusReserve;
  if (info.dwFree >= info.dwCapacity) info.dwFree = 0;
  return QD_OK;
}

uint32_t DvdPlusRwRule(HANDLE drive, MediaState* m) {
  _MEDIAINFORMATION& info = m->info;
  if (ReadDiscInformation(drive, &m->disc) != QD_OK) return QD_E_COMMAND_FAILED;
  FormatCapacity current;
  std::vector<FormatCapacity> formattable;
  if (ReadAllFormatCapacities(drive, &current, &formattable) != QD_OK) return QD_E_COMMAND_FAILED;
  info.dwErasable = m->disc.erasable ? 1 : 0;
  info.dwCapacity = 0;
  bool found = false;
  for (const FormatCapacity& c : formattable) {
    if (c.type == mmc::kFormatDvdPlusRw) {
      info.dwCapacity = c.block_count;
      found = true;
      break;
    }
  }
  uint32_t start = 0, end = 0, l0_end = 0;
  if (!found && ReadAdip(drive, &start, &end, &l0_end)) info.dwCapacity = end - start + 1;
  info.dwUsed = info.dwNextWritable = ProbeFileSystemSize(drive, 0);
  if (m->disc.disc_status == mmc::kDiscEmpty) {
    info.dwStatus = MEDIA_STATUS_BLANK;
  } else if (info.dwUsed == 0 || info.dwUsed == info.dwCapacity) {
    info.dwStatus = LooksBlank(drive) ? MEDIA_STATUS_BLANK : MEDIA_STATUS_CLOSED;
  } else {
    info.dwStatus = MEDIA_STATUS_APPENDABLE;
  }
  info.dwFree = info.dwCapacity > info.dwUsed ? info.dwCapacity - info.dwUsed : 0;
  return QD_OK;
}

// Data mode of a CD: 2 when a data track is recorded in mode 2, else 3 when an audio track exists,
// else 1.
uint32_t CdDataMode(HANDLE drive) {
  static constexpr uint8_t kSync[12] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                        0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
  uint8_t toc[12] = {};
  const uint8_t* entry = toc + mmc::kTocHeaderSize;
  if (ReadToc(drive, false, mmc::kTocFormatToc, 1, toc, sizeof(toc)) != QD_OK) return 1;
  const uint32_t first = std::max<uint32_t>(toc[mmc::kTocFirst], 1);
  const uint32_t last = std::min<uint32_t>(toc[mmc::kTocLast], 99);
  bool audio = false;
  std::vector<uint8_t> sector(2352);
  for (uint32_t track = first; track <= last; ++track) {
    if (ReadToc(drive, false, mmc::kTocFormatToc, static_cast<uint8_t>(track), toc, sizeof(toc)) !=
        QD_OK)
      continue;
    if (entry[mmc::kTocTrack] != track) continue;
    if ((entry[mmc::kTocControl] & mmc::kControlDataTrack) == 0) {
      audio = true;
      continue;
    }
    const uint32_t start = GetBe32(entry + mmc::kTocAddress);
    if (ReadCdWithRetrySense(drive, 0, start, sector.data(), 2352, 2352, 0, true) != 0) continue;
    const uint32_t address = start + 150;
    if (std::memcmp(sector.data(), kSync, 12) == 0 && sector[12] == ToBcd(address / 4500) &&
        sector[13] == ToBcd(address / 75 % 60) && sector[14] == ToBcd(address % 75) &&
        sector[15] == 2) {
      return 2;
    }
  }
  return audio ? 3 : 1;
}

// A pressed CD in a reading drive that does not know READ TRACK INFORMATION: closed, and as long as
// its table of contents says (the lead-out start), else as READ CAPACITY says.
bool PressedCdExtent(HANDLE drive, _MEDIAINFORMATION* info) {
  uint8_t toc[12] = {};
  const uint8_t* entry = toc + mmc::kTocHeaderSize;
  uint32_t end = 0;
  if (ReadToc(drive, false, mmc::kTocFormatToc, mmc::kTocLeadOut, toc, sizeof(toc)) == QD_OK &&
      GetBe16(toc + mmc::kTocLength) >= 10 && entry[mmc::kTocTrack] == mmc::kTocLeadOut) {
    end = GetBe32(entry + mmc::kTocAddress);
  } else {
    uint32_t last = 0;
    if (ReadCapacity(drive, &last) != QD_OK || last == 0xFFFFFFFFu) return false;
    end = last + 1;
  }
  info->dwStatus = MEDIA_STATUS_CLOSED;
  info->dwErasable = 0;
  info->dwNextWritable = 0;
  info->dwFree = 0;
  info->dwUsed = end;
  return true;
}

uint32_t CdRule(HANDLE drive, uint16_t profile, MediaState* m) {
  uint32_t result = LastTrackRule(drive, m);
  if (result != QD_OK && (profile != mmc::kProfileCdRom || !PressedCdExtent(drive, &m->info)))
    return result;
  _MEDIAINFORMATION& info = m->info;
  info.dwDataMode = CdDataMode(drive);
  info.dwCapacity = info.dwUsed;
  if (profile != mmc::kProfileCdRom) {
    uint8_t atip[28] = {};
    if (ReadToc(drive, true, mmc::kTocFormatAtip, 0, atip, sizeof(atip)) == QD_OK &&
        GetBe16(atip + mmc::kTocLength) >= 14) {
      const uint8_t* msf = atip + mmc::kAtipLastLeadOutMinute;
      const uint32_t frames = (msf[0] * 60u + msf[1]) * 75u + msf[2];
      if (frames > 152) info.dwCapacity = frames - 152;
    }
  }
  return QD_OK;
}

bool AacsCurrent(HANDLE drive) {
  uint8_t data[16] = {};
  const uint8_t* feature = data + mmc::kConfigFirstFeature;
  return GetConfiguration(drive, mmc::kFeatureAacs, data, sizeof(data)) == QD_OK &&
         GetBe16(feature + mmc::kFeatureCode) == mmc::kFeatureAacs &&
         (feature[mmc::kFeatureFlags] & mmc::kFeatureCurrent) != 0;
}

uint32_t HdDvdRule(HANDLE drive, uint16_t profile, MediaState* m) {
  if (profile == mmc::kProfileHdDvdRam) return QD_E_COMMAND_FAILED;
  uint32_t result = LastTrackRule(drive, m);
  if (result != QD_OK) return result;
  _MEDIAINFORMATION& info = m->info;
  if (profile == mmc::kProfileHdDvdRom) {
    info.dwCapacity = info.dwUsed;
  } else if (profile == mmc::kProfileHdDvdRDl) {
    info.dwCapacity = FreePlusNext(info);
  } else if (!HdDvdRCapacity(drive, &info.dwCapacity)) {
    info.dwCapacity = info.dwUsed;
  }
  return QD_OK;
}

uint32_t HdDvdRwRule(HANDLE drive, uint16_t profile, MediaState* m) {
  _MEDIAINFORMATION& info = m->info;
  FormatCapacity current;
  std::vector<FormatCapacity> formattable;
  if (ReadDiscInformation(drive, &m->disc) != QD_OK ||
      ReadAllFormatCapacities(drive, &current, &formattable) != QD_OK ||
      ReadTrackInformation(drive, mmc::kTrackAddressTrack, m->disc.last_track_last_session,
                           &m->track) != QD_OK) {
    return QD_E_COMMAND_FAILED;
  }
  info.dwErasable = m->disc.erasable ? 1 : 0;
  const DiscInformation& d = m->disc;
  const TrackInformation& t = m->track;
  if ((d.disc_status == mmc::kDiscEmpty && d.last_session_state == mmc::kSessionEmpty) ||
      (t.next_writable == 0 && t.free_blocks != 0)) {
    info.dwStatus = MEDIA_STATUS_BLANK;
    info.dwNextWritable = info.dwUsed = t.next_writable;
    info.dwCapacity = info.dwFree = t.free_blocks;
    if (info.dwNextWritable >= info.dwCapacity) info.dwNextWritable = 0;
  } else if (d.disc_status == mmc::kDiscIncomplete ||
             d.last_session_state == mmc::kSessionIncomplete) {
    info.dwCapacity = t.size;
    info.dwFree = t.free_blocks;
    info.dwNextWritable = info.dwUsed = t.next_writable;
  } else if (d.disc_status == mmc::kDiscComplete && d.last_session_state == mmc::kSessionComplete) {
    if (profile == mmc::kProfileHdDvdRw) {
      if (!HdDvdRCapacity(drive, &info.dwCapacity)) return QD_E_COMMAND_FAILED;
    } else {
      uint32_t twice = 0;
      if (!LayerBoundaryCapacity(drive, &twice) || twice < 13056) return QD_E_COMMAND_FAILED;
      info.dwCapacity = twice - 13056;
    }
    info.dwNextWritable = info.dwUsed = t.size;
    info.dwFree = info.dwCapacity > info.dwUsed ? info.dwCapacity - info.dwUsed : 0;
  } else {
    info.dwNextWritable = 0;
  }
  if (info.dwUsed > info.dwCapacity) info.dwUsed = 0;
  if (info.dwFree != 0 && info.dwFree < info.dwCapacity) info.dwStatus = MEDIA_STATUS_APPENDABLE;
  if (info.dwFree == 0) info.dwStatus = MEDIA_STATUS_CLOSED;
  if (profile == mmc::kProfileHdDvdRwDl) {
    std::vector<uint8_t> data(2052);
    if (ReadDiscStructure(drive, mmc::kStructureHdDvdRecordable, data.data(),
                          static_cast<uint16_t>(data.size())) == QD_OK &&
        (data[38] & 0x01) != 0) {
      info.dwStatus = MEDIA_STATUS_CLOSED;
    }
  }
  return QD_OK;
}

uint32_t MediaInformation(HANDLE drive, _MEDIAINFORMATION* out) {
  uint32_t result = WaitUntilReady(drive, 180);
  if (result == QD_E_PASS_THROUGH) return result;
  if (result != QD_OK) return QD_E_NOT_READY;

  MediaState m;
  const uint16_t profile = CurrentProfile(drive);
  m.info.dwMedia = ProfileToMediaFlag(profile);
  m.info.dwDataMode = 1;
  uint16_t book = 0;
  if (!IsCdProfile(profile)) {
    book = BookTypeProfile(drive);
    m.info.dwBookType = ProfileToBookTypeFlag(book);
  }
  switch (profile) {
    case mmc::kProfileCdRom:
    case mmc::kProfileCdR:
    case mmc::kProfileCdRw:
      result = CdRule(drive, profile, &m);
      break;
    case mmc::kProfileDvdRom:
    case mmc::kProfileDvdMinusR:
    case mmc::kProfileDvdMinusRwSequential:
    case mmc::kProfileDvdMinusRDlSequential:
    case mmc::kProfileDvdMinusRDlJump:
    case mmc::kProfileDvdPlusR:
    case mmc::kProfileDvdPlusRDl:
      result = DvdRule(drive, profile, book, &m);
      break;
    case mmc::kProfileDvdMinusRwOverwrite:
      result = DvdRwRestrictedOverwriteRule(drive, &m);
      break;
    case mmc::kProfileDvdPlusRw:
      result = DvdPlusRwRule(drive, &m);
      break;
    case mmc::kProfileHdDvdRom:
    case mmc::kProfileHdDvdR:
    case mmc::kProfileHdDvdRam:
    case mmc::kProfileHdDvdRDl:
      result = HdDvdRule(drive, profile, &m);
      break;
    case mmc::kProfileHdDvdRw:
    case mmc::kProfileHdDvdRwDl:
      result = HdDvdRwRule(drive, profile, &m);
      break;
    default:
      return QD_E_MEDIA_UNSUPPORTED;
  }
  if (result != QD_OK) return result;

  uint8_t copyright[8] = {};
  m.info.dwProtection =
      ReadDiscStructure(drive, mmc::kStructureCopyright, copyright, sizeof(copyright)) == QD_OK
          ? copyright[4]
          : 65535;
  if (profile >= mmc::kProfileHdDvdRom && profile <= mmc::kProfileHdDvdRwDl &&
      (m.info.dwProtection == 0 || m.info.dwProtection == 65535)) {
    m.info.dwProtection = AacsCurrent(drive) ? 3 : 65535;
  }
  // Answers that contradict each other are unusable, whatever the drive meant.
  if (m.info.dwStatus != MEDIA_STATUS_CLOSED && m.info.dwNextWritable > m.info.dwCapacity) {
    return QD_E_COMMAND_FAILED;
  }
  *out = m.info;
  return QD_OK;
}

}  // namespace
}  // namespace quillden::drive

QUILLDEN_EXTERN_C QUILLDEN_API DWORD DRV_GetMediaInformation(HANDLE drive,
                                                             _MEDIAINFORMATION* info) {
  if (!quillden::drive::DriveFromHandle(drive)) return QD_E_INVALID_HANDLE;
  if (info == nullptr || static_cast<HANDLE>(info) == INVALID_HANDLE_VALUE)
    return QD_E_INVALID_ARGUMENT;
  try {
    return quillden::drive::MediaInformation(drive, info);
  } catch (const std::bad_alloc&) {
    return QD_E_OUT_OF_MEMORY;
  }
}
