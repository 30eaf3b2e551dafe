// Layer jump recording on DVD-R DL: a reserved track lies half on layer 0 from its start and half
// on layer 1 opposite it; the recorder jumps to the opposite block, the disc reads back in order,
// and the media information afterwards is what the drive's answers give.
#include <algorithm>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "drive/mmc_commands.h"
#include "quillden/drive.h"
#include "quillden/result.h"
#include "recording_fixture.h"

namespace quillden::recording::testing {
namespace {

constexpr uint32_t kLayer0 = 4171712 / 2;  // the standard disc, both layers equal
constexpr uint32_t kBorder = 16384;

uint32_t Opposite(uint32_t lba) { return 2 * kLayer0 - 1 - lba; }

std::vector<uint8_t> Pattern(uint32_t blocks, uint8_t seed) {
  std::vector<uint8_t> data(static_cast<size_t>(blocks) * 2048);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(seed + i / 2048 * 3 + i * 5);
  return data;
}

class LayerJumpTest : public VirtualDriveTest {
 protected:
  // The blocks of a track in recording order: from start to the jump on layer 0, then from the
  // block opposite the jump on layer 1.
  std::vector<uint8_t> ReadTrackInOrder(uint32_t start, uint32_t jump, uint32_t blocks) const {
    const uint32_t first = std::min(blocks, jump - start + 1);
    std::vector<uint8_t> data = ReadBacking(start, first);
    if (blocks > first) {
      std::vector<uint8_t> rest = ReadBacking(Opposite(jump), blocks - first);
      data.insert(data.end(), rest.begin(), rest.end());
    }
    return data;
  }
  // Writes are never cut across the jump: every WRITE lies on one side of it.
  void ExpectWritesRespect(uint32_t start, uint32_t jump) const {
    bool jumped = false;
    for (const LoggedCommand& c : log_->Commands(0x2A)) {
      if (c.lba() < start) continue;
      if (c.lba() <= jump) {
        EXPECT_FALSE(jumped) << "back on layer 0 after the jump";
        EXPECT_LE(c.lba() + c.blocks() - 1, jump) << "a write crosses the jump at " << c.lba();
      } else {
        if (!jumped) {
          EXPECT_EQ(c.lba(), Opposite(jump)) << "the first write after the jump";
        }
        jumped = true;
      }
    }
    EXPECT_TRUE(jumped);
  }
};

TEST_F(LayerJumpTest, ImageCrossingTheJumpGoesOnOppositeAndReadsBack) {
  OpenDrive("dvd-r-dl-lj");
  const std::string folder = WorkPath("files");
  const FileSet files = MakeFiles(folder, 11, 19u << 20);
  const std::vector<uint8_t> image = MakeIso(folder, WorkPath("image.iso"));
  ASSERT_FALSE(image.empty());
  const uint32_t blocks = static_cast<uint32_t>(image.size() / 2048);
  TestProgress progress;
  ASSERT_EQ(RecordImage(drive_, 1, image, 0, 0, progress.reporter()), 0u)
      << "last command error 0x" << std::hex << DRV_GetLastCommandError(nullptr);
  EXPECT_EQ(Profile(), 0x16);

  // From LBA 0 the track is at least 14576 blocks plus one ECC block, split evenly: the image of
  // about 10000 blocks runs over the end of the layer 0 half.
  drive::TrackInformation track;
  ASSERT_EQ(drive::ReadTrackInformation(drive_, 1, 1, &track), 0u);
  EXPECT_EQ(track.start, 0u);
  EXPECT_EQ(track.size, 14592u);
  const uint32_t jump = track.size / 2 - 1;
  EXPECT_EQ(track.next_layer_jump, jump);
  ASSERT_GT(blocks, jump + 1);
  ExpectWritesRespect(0, jump);

  // Nothing was written in place behind the jump; in recording order the disc holds the image.
  const std::vector<uint8_t> after_jump = ReadBacking(jump + 1, 1);
  EXPECT_TRUE(std::all_of(after_jump.begin(), after_jump.end(), [](uint8_t b) { return b == 0; }));
  const std::vector<uint8_t> in_order = ReadTrackInOrder(0, jump, blocks);
  ASSERT_TRUE(in_order == image);
  const std::string joined = WorkPath("joined.iso");
  std::ofstream(joined, std::ios::binary)
      .write(reinterpret_cast<const char*>(in_order.data()), static_cast<std::streamsize>(in_order.size()));
  ExpectImageHolds(joined, blocks, files);

  // Reading through the drive follows the same addresses.
  std::vector<uint8_t> block(2048);
  ASSERT_EQ(drive::Read10(drive_, Opposite(jump), block.data(), 2048), 0u);
  EXPECT_TRUE(std::equal(block.begin(), block.end(), image.begin() + size_t{jump + 1} * 2048));

  // The session is closed with room for another: the next one starts after the border on layer 0,
  // and as much of layer 1 is taken as of layer 0.
  _MEDIAINFORMATION info{};
  ASSERT_EQ(DRV_GetMediaInformation(drive_, &info), 0u);
  const uint32_t next = track.size / 2 + kBorder;
  EXPECT_EQ(info.dwMedia, 0x00008000u);
  EXPECT_EQ(info.dwStatus, 2u);
  EXPECT_EQ(info.dwNextWritable, next);
  EXPECT_EQ(info.dwCapacity, 2 * kLayer0);
  EXPECT_EQ(info.dwFree, 2 * (kLayer0 - next));
  EXPECT_EQ(info.dwUsed, 2 * next);
}

TEST_F(LayerJumpTest, SecondSessionJumpsAtItsOwnHalf) {
  OpenDrive("dvd-r-dl-lj");
  TestProgress progress;
  const std::vector<uint8_t> first = Pattern(20000, 1);
  ASSERT_EQ(RecordImage(drive_, 1, first, 0, 0, progress.reporter()), 0u);
  _MEDIAINFORMATION info{};
  ASSERT_EQ(DRV_GetMediaInformation(drive_, &info), 0u);
  const uint32_t start = info.dwNextWritable;
  log_->Clear();

  const std::vector<uint8_t> second = Pattern(3000, 77);
  ASSERT_EQ(RecordImage(drive_, 2, second, start, 0, progress.reporter()), 0u)
      << "last command error 0x" << std::hex << DRV_GetLastCommandError(nullptr);
  drive::TrackInformation track;
  ASSERT_EQ(drive::ReadTrackInformation(drive_, 1, 2, &track), 0u);
  EXPECT_EQ(track.start, start);
  EXPECT_EQ(track.session, 2u);
  // 3000 blocks plus one ECC block asked for (3024), in two halves of whole ECC blocks.
  EXPECT_EQ(track.size, 3040u);
  const uint32_t jump = start + track.size / 2 - 1;
  EXPECT_EQ(track.next_layer_jump, jump);
  ExpectWritesRespect(start, jump);
  EXPECT_TRUE(ReadTrackInOrder(start, jump, 3000) == second);
  // The first track is untouched on both layers.
  drive::TrackInformation one;
  ASSERT_EQ(drive::ReadTrackInformation(drive_, 1, 1, &one), 0u);
  EXPECT_TRUE(ReadTrackInOrder(0, one.size / 2 - 1, 20000) == first);

  // Closed: nothing is writable, the capacity is both layers.
  ASSERT_EQ(DRV_GetMediaInformation(drive_, &info), 0u);
  EXPECT_EQ(info.dwStatus, 0u);
  EXPECT_EQ(info.dwNextWritable, 0u);
  EXPECT_EQ(info.dwCapacity, 2 * kLayer0);
  _TRACKINFORMATION exported{};
  EXPECT_EQ(DRV_GetTrackInformation(drive_, 2, &exported, FALSE), 2);
  EXPECT_EQ(exported.dwStart, start);
}

TEST_F(LayerJumpTest, ClosedSingleSessionDiscReportsItsState) {
  OpenDrive("dvd-r-dl-lj");
  TestProgress progress;
  const std::vector<uint8_t> data = Pattern(500, 5);
  ASSERT_EQ(RecordImage(drive_, 2, data, 0, 0, progress.reporter()), 0u);
  _MEDIAINFORMATION info{};
  ASSERT_EQ(DRV_GetMediaInformation(drive_, &info), 0u);
  EXPECT_EQ(info.dwStatus, 0u);
  EXPECT_EQ(info.dwFree, 0u);
  EXPECT_EQ(info.dwCapacity, 2 * kLayer0);
  // A short image stays before the jump: it reads back in place.
  EXPECT_EQ(ReadBacking(0, 500), data);
  drive::DiscInformation disc;
  ASSERT_EQ(drive::ReadDiscInformation(drive_, &disc), 0u);
  EXPECT_EQ(disc.disc_status, 2);
}

TEST_F(LayerJumpTest, DeviceRefusesWritesAcrossTheJumpAndIntoReservedLayerOne) {
  OpenDrive("dvd-r-dl-lj");
  drive::WriteTrackAtOnceParameters(drive_);
  // Layer jump write type, then a reservation of 64 blocks: 32 on each layer.
  uint8_t page[60] = {};
  page[8] = 0x05;
  page[9] = 0x32;
  page[10] = 0x40 | 0x04;
  page[11] = 0xC0 | 0x05;
  page[12] = 8;
  ASSERT_EQ(drive::ModeSelect10(drive_, page, sizeof(page)), 0u);
  ASSERT_EQ(drive::ReserveTrack(drive_, 64), 0u);
  std::vector<uint8_t> data = Pattern(40, 3);
  // 40 blocks from 0 would cross the jump at 31.
  EXPECT_NE(drive::Write10(drive_, 0, 40, data.data(), 40 * 2048, nullptr), 0u);
  ASSERT_EQ(drive::Write10(drive_, 0, 16, data.data(), 16 * 2048, nullptr), 0u);
  // The layer 1 half is reached only through the jump.
  EXPECT_NE(drive::Write10(drive_, Opposite(31), 8, data.data(), 8 * 2048, nullptr), 0u);
  ASSERT_EQ(drive::Write10(drive_, 16, 16, data.data() + 16 * 2048, 16 * 2048, nullptr), 0u);
  ASSERT_EQ(drive::Write10(drive_, Opposite(31), 8, data.data() + 32 * 2048, 8 * 2048, nullptr), 0u);
  drive::TrackInformation track;
  ASSERT_EQ(drive::ReadTrackInformation(drive_, 1, 1, &track), 0u);
  EXPECT_EQ(track.next_writable, Opposite(31) + 8);
  EXPECT_EQ(track.free_blocks, 24u);
  // The invisible track starts after the layer 0 half; its room ends where the layer 1 half begins.
  drive::TrackInformation invisible;
  ASSERT_EQ(drive::ReadTrackInformation(drive_, 1, 2, &invisible), 0u);
  EXPECT_EQ(invisible.start, 32u);
  EXPECT_EQ(invisible.free_blocks, Opposite(31) - 32);
  uint32_t last = 0;
  ASSERT_EQ(drive::ReadCapacity(drive_, &last), 0u);
  EXPECT_EQ(last, 2 * kLayer0 - 1);
}

}  // namespace
}  // namespace quillden::recording::testing
