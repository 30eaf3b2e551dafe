// Current profile, book type, write parameters and the file system size probe.
#include "drive/media_queries.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "drive/drive_handle.h"
#include "drive/mmc_commands.h"
#include "drive/mmc_vocabulary.h"
#include "drive/profiles.h"
#include "quillden/result.h"
#include "util/byte_order.h"

namespace quillden::drive {

namespace {

// A drive that does not report a current profile (one that predates GET CONFIGURATION, or answers
// it with its profile list alone) still shows what it holds: a DVD has a physical format, a CD only
// a table of contents.
uint16_t ProfileFromMedium(HANDLE drive) {
  if (TestUnitReady(drive) != QD_OK) return 0;
  std::vector<uint8_t> format(2052);
  if (ReadDiscStructure(drive, mmc::kStructurePhysical, format.data(),
                        static_cast<uint16_t>(format.size())) == QD_OK)
    return mmc::kProfileDvdRom;
  uint8_t toc[12] = {};
  if (ReadToc(drive, false, mmc::kTocFormatToc, 0, toc, sizeof(toc)) == QD_OK &&
      GetBe16(toc + mmc::kTocLength) >= 10)
    return mmc::kProfileCdRom;
  return mmc::kProfileNone;
}

}  // namespace

uint16_t CurrentProfile(HANDLE drive) {
  uint8_t data[16] = {};
  if (GetConfiguration(drive, mmc::kFeatureDvdPlusRw, data, sizeof(data)) != QD_OK)
    return ProfileFromMedium(drive);
  const uint16_t profile = GetBe16(data + mmc::kConfigCurrentProfile);
  if (profile == mmc::kProfileNone) return ProfileFromMedium(drive);
  // A DVD+RW this drive cannot write (no DVD+RW feature, or one without its Write bit) is read
  // as the DVD-ROM it is to the drive.
  const uint8_t* feature = data + mmc::kConfigFirstFeature;
  if (profile == mmc::kProfileDvdPlusRw &&
      (GetBe16(feature + mmc::kFeatureCode) != mmc::kFeatureDvdPlusRw ||
       (feature[mmc::kFeatureData] & mmc::kDvdPlusRwWrite) == 0)) {
    return mmc::kProfileDvdRom;
  }
  return profile;
}

uint16_t BookTypeProfile(HANDLE drive) {
  std::vector<uint8_t> data(2052);
  if (ReadDiscStructure(drive, mmc::kStructurePhysical, data.data(),
                        static_cast<uint16_t>(data.size())) != QD_OK)
    return 0;
  return BookTypeToProfile(static_cast<uint8_t>(data[4] >> 4));
}

uint32_t WriteTrackAtOnceParameters(HANDLE drive) {
  std::shared_ptr<DriveDevice> device = DriveFromHandle(drive);
  if (!device) return QD_E_INVALID_HANDLE;
  return device->WithClaimForQuery([drive] {
    uint8_t page[60] = {};
    uint8_t* p = page + mmc::kModeHeaderSize;
    p[mmc::kModePageCode] = mmc::kModePageWriteParameters;
    p[mmc::kModePageLength] = mmc::kWritePageLength;
    p[mmc::kWritePageWriteType] = mmc::kBufferUnderrunFree | mmc::kWriteTypeTrackAtOnce;
    p[mmc::kWritePageTrackMode] = 0xC0 | mmc::kControlDataTrack;  // next session allowed
    p[mmc::kWritePageDataBlockType] = mmc::kDataBlockMode1;
    PutBe16(p + mmc::kWritePageAudioPause, mmc::kAudioPauseBlocks);
    return ModeSelect10(drive, page, sizeof(page));
  });
}

uint32_t ProbeFileSystemSize(HANDLE drive, uint32_t start) {
  std::vector<uint8_t> block(2048);
  uint32_t size = 0;
  // ECMA-119 8.4: the primary volume descriptor at sector 16 gives the volume space size.
  if (Read10(drive, start + 16, block.data(), 2048) == QD_OK && block[0] == 1 &&
      std::memcmp(block.data() + 1, "CD001", 5) == 0) {
    size = GetLe32(block.data() + 80);
  }
  // ECMA-167 3/10.2: the anchor at 256 points to the main volume descriptor sequence, whose
  // partition descriptor (3/10.5) gives where the partition ends.
  uint32_t partition_end = 0;
  if (Read10(drive, start + 256, block.data(), 2048) == QD_OK && GetLe16(block.data()) == 2) {
    const uint32_t sequence_length = GetLe32(block.data() + 16) / 2048;
    const uint32_t sequence_start = GetLe32(block.data() + 20);
    for (uint32_t i = 0; i < std::min<uint32_t>(sequence_length, 32); ++i) {
      if (Read10(drive, start + sequence_start + i, block.data(), 2048) != QD_OK) break;
      const uint16_t tag = GetLe16(block.data());
      if (tag == 8) break;  // terminating descriptor
      if (tag == 5) {
        const uint64_t end = uint64_t{GetLe32(block.data() + 188)} + GetLe32(block.data() + 192);
        if (end <= 0xFFFFFFFFu) partition_end = std::max(partition_end, static_cast<uint32_t>(end));
      }
    }
  }
  // The volume goes on after the partition: UDF 1.02 closes it with an anchor, UDF 2.50 with the
  // reserve sequence and two anchors within 320 blocks. The last anchor recorded there (one that
  // names its own block) ends the volume; a new session must not start before it.
  if (partition_end > size) {
    size = partition_end;
    constexpr uint32_t kTailBlocks = 320;
    constexpr uint32_t kPerRead = 16;
    std::vector<uint8_t> blocks(size_t{kPerRead} * 2048);
    for (uint32_t first = partition_end; first < partition_end + kTailBlocks; first += kPerRead) {
      if (Read10(drive, first, blocks.data(), kPerRead * 2048) != QD_OK) break;
      for (uint32_t i = 0; i < kPerRead; ++i) {
        const uint8_t* b = blocks.data() + size_t{i} * 2048;
        if (GetLe16(b) == 2 && GetLe32(b + 12) == first + i) size = std::max(size, first + i + 1);
      }
    }
  }
  return size;
}

TrackState ClassifyTrack(const TrackInformation& track, const DiscInformation& disc) {
  const uint8_t bits = track.raw[mmc::kTrackInfoDataMode];
  const bool reserved = (bits & mmc::kTrackReserved) != 0;
  const bool packet = (bits & mmc::kTrackPacket) != 0;
  const bool fixed_packet = (bits & mmc::kTrackFixedPacket) != 0;
  if (track.blank) return TrackState::kBlank;  // invisible, or reserved and still empty
  // A finalized disc, or a session before the last or a last session marked complete: every
  // track in it was closed when its session was.
  if (disc.disc_status == mmc::kDiscComplete) return TrackState::kClosed;
  if (track.session != 0 && track.session < disc.sessions) return TrackState::kClosed;
  if (track.session == disc.sessions && disc.last_session_state == mmc::kSessionComplete)
    return TrackState::kClosed;
  if (packet && fixed_packet) return TrackState::kClosed;  // restricted overwrite, formatted media
  // Written into and still writable: only the next writable address together with free blocks
  // says so (a complete track reports neither, whatever its reserved bit says).
  if (track.nwa_valid && track.free_blocks > 0)
    return reserved ? TrackState::kReserved : TrackState::kOpen;
  return TrackState::kClosed;
}

const char* TrackStateName(TrackState state) {
  switch (state) {
    case TrackState::kBlank:
      return "blank";
    case TrackState::kReserved:
      return "reserved";
    case TrackState::kOpen:
      return "open";
    case TrackState::kClosed:
      return "closed";
  }
  return "?";
}

bool LooksBlank(HANDLE drive) {
  std::vector<uint8_t> block(2048);
  for (uint32_t lba : {16u, 256u}) {
    if (Read10(drive, lba, block.data(), 2048) != QD_OK) continue;
    if (std::any_of(block.begin(), block.end(), [](uint8_t b) { return b != 0; })) return false;
  }
  return true;
}

uint32_t TrackBlockRuns(HANDLE drive, uint32_t start, uint32_t count, std::vector<BlockRun>* runs) {
  runs->assign(1, BlockRun{start, count});
  const uint16_t profile = CurrentProfile(drive);
  // Only DVD-R DL records layer jumps.
  if (profile != mmc::kProfileDvdMinusRDlSequential && profile != mmc::kProfileDvdMinusRDlJump)
    return QD_OK;
  TrackInformation track;
  // A drive that cannot describe the track by address has none recorded in pieces to tell of.
  if (ReadTrackInformation(drive, mmc::kTrackAddressLba, start, &track) != QD_OK ||
      track.layer_jump_status == 0)
    return QD_OK;
  // Once the track has jumped the drive names the jump it made; before, the one it will make.
  const uint64_t jump = track.last_layer_jump != 0 ? track.last_layer_jump : track.next_layer_jump;
  if (jump < start || jump - start + 1 >= count) return QD_OK;  // the data ends before the jump
  uint8_t boundary[12] = {};
  const uint32_t result =
      ReadDiscStructure(drive, mmc::kStructureLayerBoundary, boundary, sizeof(boundary));
  if (result != QD_OK) return result;
  const uint64_t layer0 = GetBe32(boundary + mmc::kLayerBoundaryCapacity);
  if (jump + 1 == layer0) return QD_OK;  // the end of layer 0: layer 1 follows in a row
  const uint64_t on_layer0 = jump - start + 1;
  const uint64_t opposite = 2 * layer0 - 1 - std::min(jump, 2 * layer0 - 1);
  if (layer0 == 0 || jump >= layer0 || opposite + (count - on_layer0) > 2 * layer0)
    return QD_E_MEDIA_UNSUPPORTED;
  runs->assign(
      {BlockRun{start, static_cast<uint32_t>(on_layer0)},
       BlockRun{static_cast<uint32_t>(opposite), static_cast<uint32_t>(count - on_layer0)}});
  return QD_OK;
}

bool BlockOfRuns(const std::vector<BlockRun>& runs, uint32_t index, uint32_t* lba,
                 uint32_t* in_row) {
  for (const BlockRun& run : runs) {
    if (index < run.blocks) {
      *lba = run.lba + index;
      *in_row = run.blocks - index;
      return true;
    }
    index -= run.blocks;
  }
  return false;
}

bool TrackFromToc(HANDLE drive, uint16_t track_number, TrackInformation* track) {
  using namespace mmc;
  if (track_number == 0 || track_number > 99) return false;
  std::vector<uint8_t> toc(kTocHeaderSize + kTocDescriptorSize * 100);
  if (ReadToc(drive, false, kTocFormatToc, 0, toc.data(), static_cast<uint16_t>(toc.size())) !=
      QD_OK)
    return false;
  const size_t length = std::min<size_t>(toc.size(), size_t{GetBe16(toc.data() + kTocLength)} + 2);
  for (size_t at = kTocHeaderSize; at + kTocDescriptorSize <= length; at += kTocDescriptorSize) {
    if (toc[at + kTocTrack] != track_number) continue;
    // No following entry or lead-out to end it.
    if (at + 2 * kTocDescriptorSize > length) return false;
    const uint32_t start = GetBe32(toc.data() + at + kTocAddress);
    const uint32_t next = GetBe32(toc.data() + at + kTocDescriptorSize + kTocAddress);
    if (next <= start) return false;
    TrackInformation t;
    t.track = track_number;
    t.session = 1;
    // Multi-session information: the first track of the last session and that session's number.
    uint8_t sessions[12] = {};
    const uint8_t* last_session_first = sessions + kTocHeaderSize;
    if (ReadToc(drive, false, kTocFormatSessionInfo, 0, sessions, sizeof(sessions)) == QD_OK &&
        last_session_first[kTocTrack] != 0 && track_number >= last_session_first[kTocTrack]) {
      t.session = std::max<uint16_t>(sessions[kTocLast], 1);
    }
    t.track_mode = toc[at + kTocControl] & kControlMask;
    t.data_mode = 1;
    t.start = start;
    t.size = next - start;
    t.lra_valid = true;
    t.last_recorded = next - 1;
    *track = t;
    return true;
  }
  return false;
}

}  // namespace quillden::drive
