// The reader's decoders and the piece rule of imported files, on hand-made values.
#include <gtest/gtest.h>

#include "filesystems/reader/disc_item.h"
#include "datadisk/importer.h"

namespace quillden::reader {
namespace {

uint64_t Value(const FILETIME& t) { return (uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime; }
constexpr uint64_t kUnix2021 = (1623758400ull + 11644473600ull) * 10000000ull;  // 2021-06-15 12:00 UTC

TEST(ReaderTimeTest, RecordingDatesAreTurnedToUtcByTheirZone) {
  const uint8_t berlin[7] = {121, 6, 15, 14, 0, 0, 8};  // 14:00 at +2 hours
  EXPECT_EQ(Value(IsoRecordTime(berlin)), kUnix2021);
  const uint8_t west[7] = {121, 6, 15, 7, 0, 0, static_cast<uint8_t>(-20)};  // 07:00 at -5 hours
  EXPECT_EQ(Value(IsoRecordTime(west)), kUnix2021);
  const uint8_t nonsense[7] = {121, 13, 40, 25, 0, 0, 0};
  EXPECT_EQ(Value(IsoRecordTime(nonsense)), 0u);
  // UDF: type 1 with a zone of +120 minutes, 14:00:00 and 12.3456 ms... of fractions.
  const uint8_t udf[12] = {120, 0x10, 0xE5, 0x07, 6, 15, 14, 0, 0, 1, 2, 3};
  EXPECT_EQ(Value(UdfTimestamp(udf)), kUnix2021 + 100000 + 2000 + 30);
}

TEST(ReaderNameTest, OnlyCompressionIds8And16AreNames) {
  std::u16string name;
  const uint8_t eight[] = {8, 'a', 'b'};
  ASSERT_TRUE(DecodeOstaName(eight, sizeof eight, &name));
  EXPECT_EQ(name, u"ab");
  const uint8_t sixteen[] = {16, 0x00, 'a', 0x4E, 0x2D};
  ASSERT_TRUE(DecodeOstaName(sixteen, sizeof sixteen, &name));
  EXPECT_EQ(name, u"a\u4E2D");
  const uint8_t odd[] = {16, 0x00, 'a', 0x4E};
  EXPECT_FALSE(DecodeOstaName(odd, sizeof odd, &name));
  const uint8_t other[] = {254, 'a'};
  EXPECT_FALSE(DecodeOstaName(other, sizeof other, &name));
  const uint8_t dstring[8] = {8, 'V', 'O', 'L', 0, 0, 0, 4};
  EXPECT_EQ(DecodeDstring(dstring, sizeof dstring), u"VOL");
  const uint8_t too_long[4] = {8, 'V', 'O', 9};
  EXPECT_EQ(DecodeDstring(too_long, sizeof too_long), u"");
}

DiscItem File(uint64_t size, std::vector<Extent> extents) {
  DiscItem item;
  item.size = size;
  item.extents = std::move(extents);
  return item;
}

TEST(ReaderPiecesTest, ConsecutiveExtentsAreOnePiece) {
  Pieces p;
  ASSERT_TRUE(SplitIntoPieces(File(6144, {{100, 4096, true}, {102, 2048, true}}), &p));
  EXPECT_EQ(p.location, 100u);
  EXPECT_EQ(p.length, 6144u);
  EXPECT_EQ(p.second_length, 0u);
}

TEST(ReaderPiecesTest, AGapStartsTheSecondPiece) {
  Pieces p;
  ASSERT_TRUE(SplitIntoPieces(File(5000, {{100, 2048, true}, {500, 2952, true}}), &p));
  EXPECT_EQ(p.location, 100u);
  EXPECT_EQ(p.length, 2048u);
  EXPECT_EQ(p.second_location, 500u);
  EXPECT_EQ(p.second_length, 2952u);
  // An extent that does not fill its last block ends its piece even when the next block follows.
  ASSERT_TRUE(SplitIntoPieces(File(3000, {{100, 1000, true}, {101, 2000, true}}), &p));
  EXPECT_EQ(p.second_location, 101u);
  EXPECT_EQ(p.length, 1000u);
}

TEST(ReaderPiecesTest, ContentTheTreeCannotHoldIsRefused) {
  Pieces p;
  EXPECT_FALSE(SplitIntoPieces(File(6144, {{100, 2048, true}, {200, 2048, true}, {300, 2048, true}}), &p));
  EXPECT_FALSE(SplitIntoPieces(File(4096, {{100, 2048, true}, {0, 2048, false}}), &p));
  EXPECT_FALSE(SplitIntoPieces(File(4096, {{100, 2048, true}}), &p));  // less than the size
  DiscItem embedded = File(10, {});
  embedded.is_embedded = true;
  EXPECT_FALSE(SplitIntoPieces(embedded, &p));
  EXPECT_TRUE(SplitIntoPieces(File(0, {}), &p));
  // Extents may be longer than the content (padding to the block).
  ASSERT_TRUE(SplitIntoPieces(File(10, {{7, 2048, true}}), &p));
  EXPECT_EQ(p.length, 10u);
}

}  // namespace
}  // namespace quillden::reader
