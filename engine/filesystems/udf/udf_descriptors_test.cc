#include "filesystems/udf/udf_descriptors.h"

#include <gtest/gtest.h>

#include <vector>

#include "util/byte_order.h"

namespace quillden::fs::udf {
namespace {

bool TagChecksumHolds(const uint8_t* p) {
  uint8_t sum = 0;
  for (int i = 0; i < 16; ++i) {
    if (i != 4) sum = static_cast<uint8_t>(sum + p[i]);
  }
  return sum == p[4];
}

bool CrcHolds(const uint8_t* p) {
  return ecma167::DescriptorCrc(p + 16, GetLe16(p + 10)) == GetLe16(p + 8);
}

TEST(UdfTagTest, CrcAndChecksum) {
  const uint8_t text[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(ecma167::DescriptorCrc(text, sizeof text), 0x31C3);  // CRC-CCITT with initial value 0
  EXPECT_EQ(ecma167::DescriptorCrc(text, 0), 0);

  std::vector<uint8_t> block(2048, 0);
  block[100] = 0x5A;
  PutTag(block.data(), kTagFileSet, 3, 496, 0x01020304);
  EXPECT_EQ(GetLe16(block.data()), 256);
  EXPECT_EQ(GetLe16(block.data() + 2), 3);
  EXPECT_EQ(GetLe16(block.data() + 6), 1);
  EXPECT_EQ(GetLe32(block.data() + 12), 0x01020304u);
  EXPECT_TRUE(TagChecksumHolds(block.data()));
  EXPECT_TRUE(CrcHolds(block.data()));
  block[100] = 0;
  EXPECT_FALSE(CrcHolds(block.data()));
}

TEST(UdfStringTest, CompressionAndCutting) {
  EXPECT_EQ(CompressedChars(u"ABC", 255), std::string(1, '\x08') + "ABC");
  EXPECT_EQ(CompressedChars(u"\u00E9A", 255), std::string("\x10\x00\xE9\x00\x41", 5));
  EXPECT_EQ(CompressedChars(u"", 255), std::string());

  // A 32-character label fills 31 bytes of a 32-byte field: 30 characters, or 15 wide ones.
  std::u16string label(32, u'X');
  uint8_t field[32] = {};
  PutDString(field, 32, label);
  EXPECT_EQ(field[0], 8);
  EXPECT_EQ(field[30], 'X');
  EXPECT_EQ(field[31], 31);
  std::u16string wide = u"\u00C4" + std::u16string(31, u'B');
  uint8_t wide_field[32] = {};
  PutDString(wide_field, 32, wide);
  EXPECT_EQ(wide_field[0], 16);
  EXPECT_EQ(wide_field[31], 31);
  EXPECT_EQ(GetBe16(wide_field + 1), 0x00C4);
  EXPECT_EQ(GetBe16(wide_field + 29), u'B');

  // A surrogate pair that does not fit is left out whole.
  std::u16string pair = std::u16string(14, u'\u00C4') + u"\xD83D\xDE00";
  std::string cut = CompressedChars(pair, 31);
  EXPECT_EQ(cut.size(), 29u);
  EXPECT_EQ(CompressedChars(pair, 33).size(), 33u);

  // No text: the field stays zero.
  uint8_t empty[32] = {};
  PutDString(empty, 32, u"");
  for (uint8_t byte : empty) EXPECT_EQ(byte, 0);
}

TEST(UdfTimestampTest, OffsetAndFractions) {
  Timestamp t;
  t.time = IsoTime{2009, 7, 14, 13, 5, 42, -20};  // 5 hours west
  t.milliseconds = 437;
  uint8_t p[12] = {};
  PutTimestamp(p, t);
  EXPECT_EQ(GetLe16(p), 0x1000 | ((-300) & 0xFFF));
  EXPECT_EQ(GetLe16(p + 2), 2009);
  EXPECT_EQ(p[4], 7);
  EXPECT_EQ(p[8], 42);
  EXPECT_EQ(p[9], 43);
  EXPECT_EQ(p[10], 70);
  EXPECT_EQ(p[11], 0);
  t.time.offset = 4;
  PutTimestamp(p, t);
  EXPECT_EQ(GetLe16(p), 0x1000 | 60);
}

TEST(UdfVolumeTest, SequencesCarryTheirLocationsAndValidTags) {
  VolumeInfo info;
  info.revision = kRevision250;
  info.label = u"\u00C4BC";
  info.partition_start = 288;
  info.partition_length = 1000;
  info.integrity_block = 64;
  info.metadata_mirror_block = 600;
  info.metadata_blocks = 32;
  info.files = 3;
  info.directories = 2;
  info.volume_file_time = 0x0123456789ABCDEFull;
  std::vector<uint8_t> blocks(12 * 2048, 0);
  PutVolumeDescriptorSequence(blocks.data(), 32, info);
  PutIntegritySequence(blocks.data() + 6 * 2048, 64, info);
  PutAnchor(blocks.data() + 8 * 2048, 256, 32, 900, info.revision);
  PutFileSetSequence(blocks.data() + 10 * 2048, 0, info);
  const uint16_t ids[] = {1, 4, 5, 6, 7, 8};
  for (int i = 0; i < 6; ++i) {
    const uint8_t* d = blocks.data() + i * 2048;
    EXPECT_EQ(GetLe16(d), ids[i]);
    EXPECT_EQ(GetLe16(d + 2), 3);
    EXPECT_EQ(GetLe32(d + 12), 32u + i);
    EXPECT_TRUE(TagChecksumHolds(d));
    EXPECT_TRUE(CrcHolds(d));
  }
  const uint8_t* pvd = blocks.data();
  EXPECT_EQ(pvd[24], 16);  // a character above 127: compression 16
  EXPECT_EQ(pvd[55], 7);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(pvd + 73), 23), "89ABCDEF01234567VARNOLD");
  const uint8_t* lvd = blocks.data() + 3 * 2048;
  EXPECT_EQ(GetLe16(lvd + 10), 494);
  EXPECT_EQ(lvd[84], 16);
  EXPECT_EQ(GetLe32(lvd + 268), 2u);
  EXPECT_EQ(lvd[446], 2);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(lvd + 451), 23), "*UDF Metadata Partition");
  EXPECT_EQ(GetLe32(lvd + 446 + 44), 600u);
  const uint8_t* lvid = blocks.data() + 6 * 2048;
  EXPECT_EQ(GetLe16(lvid + 10), 126);
  EXPECT_EQ(GetLe32(lvid + 88), 1000u);  // size table after two free space entries
  EXPECT_EQ(GetLe32(lvid + 92), 32u);
  EXPECT_EQ(GetLe32(lvid + 96 + 32), 3u);
  EXPECT_EQ(GetLe16(lvid + 96 + 44), 0x0250);
  EXPECT_TRUE(CrcHolds(lvid));
  const uint8_t* anchor = blocks.data() + 8 * 2048;
  EXPECT_EQ(GetLe32(anchor + 28), 900u);
  EXPECT_TRUE(CrcHolds(anchor) && TagChecksumHolds(anchor));
  const uint8_t* fsd = blocks.data() + 10 * 2048;
  EXPECT_EQ(GetLe16(fsd), 256);
  EXPECT_EQ(fsd[304], 16);
  EXPECT_EQ(GetLe16(fsd + 400 + 8), 1);  // root in the metadata partition
  EXPECT_TRUE(CrcHolds(fsd));
}

}  // namespace
}  // namespace quillden::fs::udf
