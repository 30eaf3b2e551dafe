// A drive that answers nonsense (short data, absurd lengths, a table of contents of 200 tracks)
// gets "the drive returned unusable information" from the information exports, never a crash and
// never a made-up answer; the same drive answers sensibly again once it behaves.
#include <gtest/gtest.h>

#include "drive/mmc_commands.h"
#include "quillden/drive.h"
#include "quillden/result.h"
#include "recording_fixture.h"

namespace quillden::recording::testing {
namespace {

using drive::DataCorruption;

DataCorruption Patch(uint32_t offset, std::vector<uint8_t> bytes) {
  DataCorruption c;
  c.kind = DataCorruption::Kind::kPatch;
  c.offset = offset;
  c.bytes = std::move(bytes);
  return c;
}

DataCorruption Truncate(uint32_t keep) {
  DataCorruption c;
  c.kind = DataCorruption::Kind::kTruncate;
  c.keep_bytes = keep;
  return c;
}

class BadAnswerTest : public VirtualDriveTest {
 protected:
  // A CD-R with one closed data session of 400 blocks.
  void RecordCd() {
    OpenDrive("cd-r");
    std::vector<uint8_t> data(400 * 2048, 0x5A);
    TestProgress progress;
    ASSERT_EQ(RecordImage(drive_, 1, data, 0, 0, progress.reporter()), 0u);
  }
};

TEST_F(BadAnswerTest, TableOfContentsOfTwoHundredTracksIsRefused) {
  RecordCd();
  _TOCINFORMATION toc{};
  ASSERT_EQ(DRV_GetTOCInformation(drive_, &toc, sizeof(toc)), 0u);
  EXPECT_EQ(toc.bLastTrack, 1);
  // Length of 201 descriptors, tracks 1 to 200.
  virtual_->CorruptNextData(0x43, 1, Patch(0, {0x06, 0x4A, 0x01, 200}));
  EXPECT_EQ(DRV_GetTOCInformation(drive_, &toc, sizeof(toc)), QD_E_COMMAND_FAILED);
  // First track above the last.
  virtual_->CorruptNextData(0x43, 1, Patch(2, {5, 1}));
  EXPECT_EQ(DRV_GetTOCInformation(drive_, &toc, sizeof(toc)), QD_E_COMMAND_FAILED);
  // A length that is no whole number of descriptors (within what the drive delivered: a claim
  // beyond it is cut to the delivered bytes).
  virtual_->CorruptNextData(0x43, 1, Patch(0, {0x00, 0x11}));
  EXPECT_EQ(DRV_GetTOCInformation(drive_, &toc, sizeof(toc)), QD_E_COMMAND_FAILED);
  ASSERT_EQ(DRV_GetTOCInformation(drive_, &toc, sizeof(toc)), 0u);
}

TEST_F(BadAnswerTest, ShortDiscAndTrackInformationIsUnusable) {
  RecordCd();
  _MEDIAINFORMATION info{};
  // Disc information cut after 3 bytes: its length field claims nothing.
  virtual_->CorruptNextData(0x51, 1, Truncate(1));
  EXPECT_EQ(DRV_GetMediaInformation(drive_, &info), QD_E_COMMAND_FAILED);
  // Track information claiming 10 bytes: no start, no size.
  virtual_->CorruptNextData(0x52, 1, Patch(0, {0x00, 0x0A}));
  EXPECT_EQ(DRV_GetMediaInformation(drive_, &info), QD_E_COMMAND_FAILED);
  // Track information cut off after its length field (the zeros behind it would make a track of
  // size 0 at block 0): the table of contents stands in, as for a drive without the command.
  _TRACKINFORMATION track{};
  _TRACKINFORMATION from_toc{};
  virtual_->CorruptNextData(0x52, 1, Truncate(2));
  EXPECT_EQ(DRV_GetTrackInformation(drive_, 1, &from_toc, FALSE), 2);
  EXPECT_EQ(from_toc.dwStart, 0u);
  EXPECT_GE(from_toc.dwSize, 400u);
  virtual_->CorruptNextData(0x51, 1, Truncate(0));
  EXPECT_EQ(DRV_GetLastTrack(drive_), 0);
  // Behaving again, the drive is believed again.
  ASSERT_EQ(DRV_GetMediaInformation(drive_, &info), 0u);
  EXPECT_EQ(info.dwStatus, 2u);
  EXPECT_EQ(DRV_GetTrackInformation(drive_, 1, &track, FALSE), 2);
  EXPECT_EQ(track.dwStart, 0u);
}

TEST_F(BadAnswerTest, AbsurdTrackNumbersAndAddressesDoNotReachTheCaller) {
  RecordCd();
  _TRACKINFORMATION track{};
  // The disc claims 40000 tracks in its last session; track 1 is still track 1, and a track the
  // drive does not answer for is reported as missing.
  virtual_->CorruptNextData(0x51, 1, Patch(6, {0x40}));
  virtual_->CorruptNextData(0x51, 1, Patch(11, {0x9C}));
  EXPECT_EQ(DRV_GetTrackInformation(drive_, 300, &track, TRUE), 0);
  virtual_->ClearFaults();  // a damage the first question did not take
  // Track information that names another track than the one asked for is no answer; the table
  // of contents stands in.
  virtual_->CorruptNextData(0x52, 1, Patch(2, {7}));
  EXPECT_EQ(DRV_GetTrackInformation(drive_, 1, &track, FALSE), 2);
  EXPECT_EQ(track.wTrack, 1);
  EXPECT_EQ(track.dwStart, 0u);
  virtual_->CorruptNextData(0x52, 1, Patch(2, {7}));
  drive::TrackInformation raw;
  EXPECT_EQ(drive::ReadTrackInformation(drive_, drive::mmc::kTrackAddressTrack, 1, &raw),
            QD_E_COMMAND_FAILED);
  // A next writable address far beyond the disc contradicts its capacity.
  virtual_->CorruptNextData(0x52, 1, Patch(12, {0x7F, 0xFF, 0xFF, 0x00}));
  _MEDIAINFORMATION info{};
  const uint32_t result = DRV_GetMediaInformation(drive_, &info);
  EXPECT_EQ(result, QD_E_COMMAND_FAILED);
}

TEST_F(BadAnswerTest, DataThatComesShortIsAFailedReadNotZeros) {
  RecordCd();
  std::vector<uint8_t> blocks(16 * 2048, 0xEE);
  ASSERT_EQ(drive::Read10(drive_, 0, blocks.data(), static_cast<uint32_t>(blocks.size())), 0u);
  EXPECT_EQ(blocks[blocks.size() - 1], 0x5A);
  // The drive says GOOD but delivers one block of sixteen: the rest would read as zeros.
  virtual_->CorruptNextData(0x28, 1, Truncate(2048));
  EXPECT_EQ(drive::Read10(drive_, 0, blocks.data(), static_cast<uint32_t>(blocks.size())),
            QD_E_COMMAND_FAILED);
  EXPECT_EQ(DRV_GetLastCommandError(nullptr) >> 24, 0x28u);
  virtual_->CorruptNextData(0x25, 1, Truncate(4));
  uint32_t last_lba = 0;
  EXPECT_EQ(drive::ReadCapacity(drive_, &last_lba), QD_E_COMMAND_FAILED);
  // An answer shorter than the room given and than its own length claim is as long as it came.
  virtual_->CorruptNextData(0x51, 1, Truncate(8));
  drive::DiscInformation disc;
  EXPECT_EQ(drive::ReadDiscInformation(drive_, &disc), QD_E_COMMAND_FAILED);
  ASSERT_EQ(drive::ReadDiscInformation(drive_, &disc), 0u);
  EXPECT_EQ(disc.disc_status, 1);  // appendable: RecordCd leaves the session open
}

TEST_F(BadAnswerTest, GarbageEverywhereNeverCrashes) {
  RecordCd();
  DataCorruption garbage;
  garbage.kind = DataCorruption::Kind::kGarbage;
  const uint8_t opcodes[] = {0x43, 0x51, 0x52, 0x46, 0x25, 0xAD, 0xBE, 0x12};
  for (uint32_t seed = 1; seed <= 12; ++seed) {
    for (uint8_t opcode : opcodes) {
      garbage.seed = seed * 131 + opcode;
      virtual_->CorruptNextData(opcode, 1, garbage);
      _MEDIAINFORMATION info{};
      const uint32_t result = DRV_GetMediaInformation(drive_, &info);
      EXPECT_TRUE(result == 0u || result == QD_E_COMMAND_FAILED || result == QD_E_MEDIA_UNSUPPORTED)
          << std::hex << result << " opcode " << int{opcode};
      if (result == 0u && info.dwStatus != 0) {
        EXPECT_LE(info.dwNextWritable, info.dwCapacity);
      }
      virtual_->ClearFaults();
      virtual_->CorruptNextData(opcode, 1, garbage);
      _TRACKINFORMATION track{};
      EXPECT_LE(DRV_GetTrackInformation(drive_, 1, &track, TRUE), 0xFFFF);
      virtual_->ClearFaults();
      virtual_->CorruptNextData(opcode, 1, garbage);
      _TOCINFORMATION toc{};
      DRV_GetTOCInformation(drive_, &toc, sizeof(toc));
      virtual_->ClearFaults();
    }
  }
}

}  // namespace
}  // namespace quillden::recording::testing
