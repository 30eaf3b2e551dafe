#include "image/image_format.h"

#include <gtest/gtest.h>

#include <cstring>

#include "util/byte_order.h"

namespace quillden::image {
namespace {

TrackEntry Track(uint16_t number, uint32_t start, uint32_t sectors, uint32_t bytes_per_sector,
                 uint32_t mode) {
  TrackEntry entry;
  entry.track_number = number;
  entry.session_number = 1;
  entry.start = start;
  entry.sector_count = sectors;
  entry.bytes_per_sector = bytes_per_sector;
  entry.mode = mode;
  return entry;
}

TEST(ImageFormatTest, MultiTrackOffsetsFollowTheBlocksAndBothLists) {
  ImageDescription d;
  d.profile = 0x09;
  d.tracks = {Track(1, 0, 10, kRawSectorSize, kModeAudio), Track(2, 160, 4, kRawSectorSize, kModeAudio)};
  d.measured = d.tracks;
  d.measured[0].sector_count = 8;  // the exact measurement may differ
  d.cd_text.assign(36, 0x80);      // two packs
  ASSERT_TRUE(PlanMultiTrackImage(&d));

  const uint64_t after_lists = 64 + 16 + 2 * 2 * 61;
  EXPECT_EQ(d.payload_offset, after_lists);
  EXPECT_EQ(d.flags, kFlagCdText);
  EXPECT_EQ(d.cd_text_block.offset, after_lists);
  EXPECT_EQ(d.cd_text_block.size, 36u);
  EXPECT_EQ(d.tracks[0].data_offset, after_lists + 36);
  EXPECT_EQ(d.tracks[1].data_offset, after_lists + 36 + 10 * 2352);
  EXPECT_EQ(d.measured[0].data_offset, 0u);  // only the first list points at data
  EXPECT_EQ(d.total_size, after_lists + 36 + 14 * 2352);

  std::vector<uint8_t> bytes = EncodePrologue(d);
  ASSERT_EQ(bytes.size(), after_lists + 36);
  EXPECT_EQ(std::memcmp(bytes.data(), "VARNOLD DISCIMAGE      \x1A\0\0\0\0\0\0\0\0", 32), 0);
  EXPECT_EQ(std::memcmp(bytes.data() + 32, "HEADER  ", 8), 0);
  EXPECT_EQ(GetLe16(bytes.data() + 40), 2);
  EXPECT_EQ(GetLe16(bytes.data() + 42), 0x09);
  EXPECT_EQ(GetLe32(bytes.data() + 44), kFlagCdText);
  EXPECT_EQ(GetLe64(bytes.data() + 48), after_lists);
  EXPECT_EQ(GetLe64(bytes.data() + 56), d.total_size);
  EXPECT_EQ(std::memcmp(bytes.data() + 64, "CDTEXT  ", 8), 0);
  EXPECT_EQ(GetLe32(bytes.data() + 72), 36u);
  EXPECT_EQ(GetLe32(bytes.data() + 76), after_lists);
  const uint8_t* second_list = bytes.data() + 80 + 2 * 61;
  EXPECT_EQ(std::memcmp(second_list, "TRACK   ", 8), 0);
  EXPECT_EQ(GetLe32(second_list + 12), 8u);
  EXPECT_EQ(bytes[after_lists], 0x80);
}

TEST(ImageFormatTest, SingleTrackImageWithVolumeHeader) {
  ImageDescription d;
  d.profile = 0x1A;
  d.tracks = {Track(1, 5000, 300, kCookedSectorSize, kModeData1)};
  d.row_data.assign(RowDataSize(20), 0);
  PutLe32(d.row_data.data(), 20);
  ASSERT_TRUE(PlanSingleTrackImage(&d));

  EXPECT_EQ(d.flags, kFlagSingleDataTrack | kFlagRow);
  EXPECT_EQ(d.payload_offset, 64u + 16 + 61);
  EXPECT_EQ(d.row_block.offset, 141u);
  EXPECT_EQ(d.row_block.size, 4u + 2 * 32768);
  EXPECT_EQ(d.tracks[0].data_offset, 141u + 4 + 2 * 32768);
  EXPECT_EQ(d.total_size, d.tracks[0].data_offset + 300 * 2048);

  std::vector<uint8_t> bytes = EncodePrologue(d);
  ASSERT_EQ(bytes.size(), d.tracks[0].data_offset);
  EXPECT_EQ(std::memcmp(bytes.data() + 64, "ROW     ", 8), 0);
  EXPECT_EQ(std::memcmp(bytes.data() + 80, "TRACK   ", 8), 0);
  EXPECT_EQ(GetLe32(bytes.data() + 141), 20u);  // ROW data opens with its sector count
}

TEST(ImageFormatTest, SingleTrackImageWithoutVolumeHeaderHasOneEntry) {
  ImageDescription d;
  d.tracks = {Track(1, 0, 2, kCookedSectorSize, kModeData2)};
  d.measured = d.tracks;  // ignored: nothing but the data follows the entry
  ASSERT_TRUE(PlanSingleTrackImage(&d));
  EXPECT_EQ(d.flags, kFlagSingleDataTrack);
  EXPECT_EQ(d.tracks[0].data_offset, 125u);
  EXPECT_EQ(EncodePrologue(d).size(), 125u);
  EXPECT_EQ(d.total_size, 125u + 4096);
}

TEST(ImageFormatTest, TrackEntryKeepsEveryFieldAtItsOffset) {
  TrackEntry entry = Track(7, 123456, 99, kRawSectorSize, kModeData2);
  entry.session_number = 3;
  entry.flags = 1;
  entry.reported_size = 1000;
  entry.data_offset = 0x123456789AULL;
  entry.layer_jump_status = 2;
  entry.layer_jump[0] = 0x11111111;
  entry.layer_jump[1] = 0x22222222;
  entry.layer_jump[2] = 0x33333333;
  uint8_t bytes[kTrackEntrySize];
  EncodeTrackEntry(entry, bytes);
  EXPECT_EQ(GetLe32(bytes + 8), 123456u);
  EXPECT_EQ(GetLe16(bytes + 24), 7);
  EXPECT_EQ(GetLe16(bytes + 26), 3);
  EXPECT_EQ(GetLe64(bytes + 40), 0x123456789AULL);
  EXPECT_EQ(bytes[48], 2);
  EXPECT_EQ(GetLe32(bytes + 49), 0x11111111u);
  EXPECT_EQ(GetLe32(bytes + 57), 0x33333333u);

  TrackEntry decoded;
  EXPECT_TRUE(DecodeTrackEntry(bytes, &decoded));
  EXPECT_EQ(decoded, entry);
  bytes[7] = 0;  // "TRACK  \0"
  EXPECT_FALSE(DecodeTrackEntry(bytes, &decoded));
}

TEST(ImageFormatTest, PlanningRefusesWhatCannotBeLaidOut) {
  ImageDescription uneven;
  uneven.tracks = {Track(1, 0, 1, 2048, 1), Track(2, 1, 1, 2048, 1)};
  uneven.measured = {uneven.tracks[0]};
  EXPECT_FALSE(PlanMultiTrackImage(&uneven));

  ImageDescription row_in_multi;
  row_in_multi.tracks = {Track(1, 0, 1, 2048, 1)};
  row_in_multi.measured = row_in_multi.tracks;
  row_in_multi.row_data.assign(RowDataSize(1), 0);
  EXPECT_FALSE(PlanMultiTrackImage(&row_in_multi));

  ImageDescription two_single;
  two_single.tracks = {Track(1, 0, 1, 2048, 1), Track(2, 1, 1, 2048, 1)};
  EXPECT_FALSE(PlanSingleTrackImage(&two_single));

  // One track of (2^32 - 1)^2 bytes still has an offset; a second one would wrap around.
  ImageDescription overflow;
  overflow.tracks = {Track(1, 0, 0xFFFFFFFFu, 0xFFFFFFFFu, 1)};
  overflow.measured = overflow.tracks;
  EXPECT_TRUE(PlanMultiTrackImage(&overflow));
  overflow.tracks.push_back(overflow.tracks[0]);
  overflow.measured = overflow.tracks;
  EXPECT_FALSE(PlanMultiTrackImage(&overflow));
}

}  // namespace
}  // namespace quillden::image
