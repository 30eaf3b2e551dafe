#include "image/disc_description.h"

#include <algorithm>
#include <new>
#include <vector>

#include "drive/media_queries.h"
#include "drive/mmc_commands.h"
#include "drive/mmc_vocabulary.h"
#include "drive/profiles.h"
#include "quillden/drive.h"
#include "quillden/result.h"
#include "util/byte_order.h"

namespace quillden::image {

namespace mmc = drive::mmc;
namespace {

constexpr size_t kCdTextPackBytes = 18;

// READ TOC/PMA/ATIP format 5 into buffer. A drive that cannot read CD-Text, or finds none, refuses
// the request (ILLEGAL REQUEST): *none is set and the result is 0. Any other failure that stays
// after the read retries is the result, since a copy made without the source's CD-Text would not
// be the copy asked for.
uint32_t ReadCdTextToc(HANDLE drive, uint8_t* buffer, uint16_t length, bool* none) {
  drive::DriveCommand sent;
  const uint32_t result =
      drive::ReadTocWithRetry(drive, mmc::kTocFormatCdText, buffer, length, &sent);
  *none = result == QD_E_COMMAND_FAILED && sent.sense_key() == mmc::kSenseIllegalRequest;
  return *none ? QD_OK : result;
}

// The CD-Text packs of the lead-in as READ TOC/PMA/ATIP format 5 returns them after its 4-byte
// header; whole packs only, empty when the disc has none.
uint32_t ReadCdTextPacks(HANDLE drive, std::vector<uint8_t>* packs) {
  packs->clear();
  uint8_t header[4] = {};
  bool none = false;
  uint32_t result = ReadCdTextToc(drive, header, sizeof(header), &none);
  if (result != QD_OK || none) return result;
  const uint32_t length = GetBe16(header) + 2u;  // the length field counts the bytes after itself
  if (length < 4 + kCdTextPackBytes) return QD_OK;
  // The allocation length field holds 16 bits; a longer answer is cut to whole packs below.
  std::vector<uint8_t> data(std::min<uint32_t>(length, 0xFFFF), 0);
  result = ReadCdTextToc(drive, data.data(), static_cast<uint16_t>(data.size()), &none);
  // A drive that gave the length but refuses the packs gave nothing usable.
  if (result != QD_OK) return result;
  if (none) return QD_E_COMMAND_FAILED;
  const size_t count = (data.size() - 4) / kCdTextPackBytes;
  packs->assign(data.begin() + 4,
                data.begin() + 4 + static_cast<std::ptrdiff_t>(count * kCdTextPackBytes));
  return QD_OK;
}

TrackEntry EntryFrom(const _TRACKINFORMATION& info) {
  TrackEntry entry;
  entry.start = info.dwStart;
  entry.sector_count = info.dwSize;
  entry.mode = info.dwMode;
  entry.bytes_per_sector = info.dwMode == kModeData1 ? kCookedSectorSize : kRawSectorSize;
  entry.track_number = info.wTrack;
  entry.session_number = info.wSession;
  return entry;
}

// A CD data track recorded track at once ends in run-out blocks (and, before a track of the same
// session, the next track's pregap) that the drive counts into the track but cannot read as data.
// The data in the file ends where the exact measurement says the track ends, less run-out blocks
// that do not read.
uint32_t ReadableCdDataSize(HANDLE drive, const TrackEntry& normal, const TrackEntry& measured) {
  constexpr uint32_t kRunOutBlocks = 2;
  uint32_t size = std::min(normal.sector_count, measured.sector_count == 0 ? normal.sector_count
                                                                           : measured.sector_count);
  std::vector<uint8_t> block(kCookedSectorSize);
  for (uint32_t trimmed = 0; trimmed < kRunOutBlocks && size > 0; ++trimmed) {
    if (drive::Read10(drive, normal.start + size - 1, block.data(), kCookedSectorSize) == QD_OK)
      break;
    --size;
  }
  return size;
}

}  // namespace

bool IsDvdMinusRType(uint16_t profile) {
  switch (profile) {
    case mmc::kProfileDvdMinusR:
    case mmc::kProfileDvdMinusRwOverwrite:
    case mmc::kProfileDvdMinusRwSequential:
    case mmc::kProfileDvdMinusRDlSequential:
    case mmc::kProfileDvdMinusRDlJump:
    case mmc::kProfileHdDvdR:
    case mmc::kProfileHdDvdRw:
    case mmc::kProfileHdDvdRDl:
    case mmc::kProfileHdDvdRwDl:
      return true;
    default:
      return false;
  }
}

uint16_t StoredProfile(uint16_t current, uint16_t book_profile, int layers, size_t track_count) {
  if (current == mmc::kProfileDvdRom) {
    if (book_profile == mmc::kProfileDvdMinusR) {
      return layers <= 1        ? mmc::kProfileDvdMinusR
             : track_count <= 1 ? mmc::kProfileDvdMinusRDlSequential
                                : mmc::kProfileDvdMinusRDlJump;
    }
    if (book_profile == mmc::kProfileDvdMinusRwOverwrite ||
        book_profile == mmc::kProfileDvdMinusRwSequential) {
      return track_count <= 1 ? mmc::kProfileDvdMinusRwOverwrite
                              : mmc::kProfileDvdMinusRwSequential;
    }
  }
  if (current == mmc::kProfileHdDvdRom && book_profile == mmc::kProfileHdDvdR)
    return layers <= 1 ? mmc::kProfileHdDvdR : mmc::kProfileHdDvdRDl;
  return current;
}

namespace {

// What every track's description needs to know of the disc.
struct SourceDisc {
  _MEDIAINFORMATION media{};
  drive::DiscInformation disc;
  uint16_t current = 0;  // the drive's current profile
  bool overwritable = false;
  WORD last = 0;  // the last track that holds data
  bool minus_r_type = false;
};

// Appends track number to description->tracks (and its exact measurement to ->measured).
uint32_t DescribeTrack(HANDLE drive, const SourceDisc& source, WORD number,
                       ImageDescription* description) {
  _TRACKINFORMATION normal{}, exact{};
  if (DRV_GetTrackInformation(drive, number, &normal, FALSE) == 0 ||
      DRV_GetTrackInformation(drive, number, &exact, TRUE) == 0) {
    // Some drives describe no track on overwritable media; the data is what the file system
    // of the disc covers.
    if (!source.overwritable || source.last != 1 || source.media.dwUsed == 0)
      return QD_E_MEDIA_UNSUPPORTED;
    normal = _TRACKINFORMATION{};
    normal.dwSize = source.media.dwUsed;
    normal.dwMode = kModeData1;
    normal.wTrack = normal.wSession = 1;
    exact = normal;
  }
  TrackEntry entry = EntryFrom(normal);
  TrackEntry measured = EntryFrom(exact);
  // The one track of overwritable media spans the whole medium; its data is what the file
  // system covers (the used size), not every block the medium could hold.
  if (source.overwritable && source.last == 1 && source.media.dwUsed != 0 &&
      entry.sector_count > source.media.dwUsed) {
    entry.sector_count = measured.sector_count = source.media.dwUsed;
  }
  drive::TrackInformation raw;
  uint32_t result = drive::ReadTrackInformation(drive, mmc::kTrackAddressTrack, number, &raw);
  if (result == QD_OK || drive::TrackFromToc(drive, number, &raw))
    result = QD_OK;  // reading drives lack the command
  if (result != QD_OK && !source.overwritable) return result;
  // A track still open on the source (blank, reserved and not filled, or incomplete) stays
  // open on the copy; a closed track is closed whatever its reserved bit says.
  const bool open = !source.overwritable && result == QD_OK &&
                    drive::TrackIsOpen(drive::ClassifyTrack(raw, source.disc));
  if (source.minus_r_type) {
    const bool jump = normal.bLayerJumpStatus != 0;
    if (number == source.last && raw.lra_valid && !jump && raw.last_recorded >= entry.start &&
        uint64_t{entry.start} + entry.sector_count > raw.last_recorded) {
      entry.sector_count = raw.last_recorded - entry.start + 1;
    }
    if (source.last > 1 && !jump) entry.reported_size = measured.reported_size = raw.size;
  }
  if (drive::IsCdProfile(source.current) && entry.mode == kModeData1) {
    entry.sector_count = ReadableCdDataSize(drive, entry, measured);
  } else if (drive::IsCdProfile(source.current) && entry.mode == kModeData2 &&
             measured.sector_count != 0) {
    // The same for mode 2: the next track's pregap and this track's run-out are not its data,
    // and a copy that carried them would move every later track of the session.
    entry.sector_count = std::min(entry.sector_count, measured.sector_count);
  }
  entry.flags = open ? 1u : 0u;
  entry.layer_jump_status = normal.bLayerJumpStatus;
  entry.layer_jump[0] = normal.dwLastLayerJump;
  entry.layer_jump[1] = normal.dwJumpInterval;
  entry.layer_jump[2] = normal.dwReportedSize;
  description->tracks.push_back(entry);
  description->measured.push_back(measured);
  return QD_OK;
}

uint32_t DiscFlags(HANDLE drive, const SourceDisc& source) {
  const uint16_t current = source.current;
  const _MEDIAINFORMATION& media = source.media;
  uint32_t flags = 0;
  if (media.dwStatus == MEDIA_STATUS_APPENDABLE && drive::IsWritableProfile(current)) {
    flags |= kFlagAppendable;
  }
  if (source.disc.last_session_state == 1) flags |= kFlagIncompleteSession;
  if (current == mmc::kProfileDvdPlusRDl && media.dwMiddleArea == 2) flags |= kFlagMiddleArea2;
  if (current == mmc::kProfileDvdPlusRDl && media.dwMiddleArea == 4) flags |= kFlagMiddleArea4;
  if (current == mmc::kProfileHdDvdRDl || current == mmc::kProfileHdDvdRwDl) {
    uint8_t structure[8] = {};
    if (drive::ReadDiscStructure(drive, drive::mmc::kStructureHdDvdRecordable, structure,
                                 sizeof(structure)) == QD_OK &&
        (structure[4] & 0x01)) {
      flags |= kFlagMiddleAreaExpansion;
    }
  }
  return flags;
}

}  // namespace

uint32_t DescribeDisc(HANDLE drive, ImageDescription* description) {
  try {
    *description = ImageDescription();
    SourceDisc source;
    uint32_t result = DRV_GetMediaInformation(drive, &source.media);
    if (result != QD_OK) return result;
    const uint16_t current = source.current = drive::CurrentProfile(drive);
    if (current == 0 || drive::ProfileToMediaFlag(current) == 0) return QD_E_MEDIA_UNSUPPORTED;
    if (source.media.dwStatus == MEDIA_STATUS_BLANK) return QD_E_SOURCE_BLANK;
    result = drive::ReadDiscInformation(drive, &source.disc);
    if (result != QD_OK) return result;

    // Only tracks that hold data: the invisible track of an appendable disc is left out.
    // Overwritable media report their one track as blank even when it holds data.
    source.overwritable = drive::IsOverwritableProfile(current) ||
                          drive::IsOverwritableHdDvdProfile(current) ||
                          current == mmc::kProfileDvdRam;
    const WORD last = source.last = source.overwritable
                                        ? DRV_GetTrackInformation(drive, 0, nullptr, FALSE)
                                        : DRV_GetLastTrack(drive);
    if (last == 0) return QD_E_SOURCE_BLANK;
    const uint16_t book = (current == mmc::kProfileDvdRom || current == mmc::kProfileHdDvdRom)
                              ? drive::BookTypeProfile(drive)
                              : 0;
    const int layers = (current == mmc::kProfileDvdRom || current == mmc::kProfileHdDvdRom)
                           ? DRV_GetLayerNumber(drive)
                           : 1;
    const uint16_t profile = StoredProfile(current, book, layers, last);
    source.minus_r_type = IsDvdMinusRType(profile);

    for (WORD number = 1; number <= last; ++number) {
      result = DescribeTrack(drive, source, number, description);
      if (result != QD_OK) return result;
    }

    const uint32_t flags = DiscFlags(drive, source);
    if (drive::IsCdProfile(current)) {
      result = ReadCdTextPacks(drive, &description->cd_text);
      if (result != QD_OK) return result;
    }
    description->profile = profile;
    description->flags = flags;  // planning adds the CD-Text flag from the packs
    return QD_OK;
  } catch (const std::bad_alloc&) {
    return QD_E_OUT_OF_MEMORY;
  }
}

}  // namespace quillden::image
