// CD-Text packs: field layout, CRCs checked against a separate table-driven CRC-16, the size
// information, the pack limit, the sub-channel form and decoding back to strings.
#include "audio/cd_text.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace quillden::audio {
namespace {

// CRC-16/XMODEM (polynomial 0x1021, initial 0), table-driven, written apart from the engine's.
uint16_t ReferenceCrc(const uint8_t* data, size_t size) {
  static uint16_t table[256];
  static bool built = false;
  if (!built) {
    for (int i = 0; i < 256; ++i) {
      uint16_t v = static_cast<uint16_t>(i << 8);
      for (int b = 0; b < 8; ++b) v = static_cast<uint16_t>((v << 1) ^ ((v & 0x8000) ? 0x1021 : 0));
      table[i] = v;
    }
    built = true;
  }
  uint16_t crc = 0;
  for (size_t i = 0; i < size; ++i) crc = static_cast<uint16_t>((crc << 8) ^ table[((crc >> 8) ^ data[i]) & 0xFF]);
  return crc;
}

void ExpectPackCrcs(const std::vector<Pack>& packs) {
  for (const Pack& p : packs) {
    const uint16_t inverted = static_cast<uint16_t>(~ReferenceCrc(p.data(), 16));
    EXPECT_EQ(p[16], inverted >> 8);
    EXPECT_EQ(p[17], inverted & 0xFF);
  }
}

CdTextBlock English() {
  CdTextBlock b;
  b.present = true;
  b.language = 0x09;
  SetBlockText(&b, 0, {"Disc Title", "A", "Second track with a long title", "C"});
  SetBlockText(&b, 1, {"Band", "", "Singer", "Band"});
  return b;
}

TEST(CdTextTest, ReferenceCrcKnownValue) {
  const uint8_t text[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(ReferenceCrc(text, 9), 0x31C3);  // the standard check value
}

TEST(CdTextTest, PacksCarryStringIndexPositionAndSequence) {
  CdTextBlocks blocks{};
  blocks[0] = English();
  std::vector<Pack> packs;
  ASSERT_TRUE(EncodeBlock(blocks, 0, 3, &packs));
  // Titles: 11 + 2 + 31 + 2 = 46 bytes → 4 packs; performers: 5 + 1 + 7 + 5 = 18 → 2; size info 3.
  ASSERT_EQ(packs.size(), 9u);
  ExpectPackCrcs(packs);
  for (size_t i = 0; i < packs.size(); ++i) {
    EXPECT_EQ(packs[i][2], i);                  // sequence number
    EXPECT_EQ(packs[i][3] & 0xF0, 0x00);        // block 0, single-byte
  }
  EXPECT_EQ(packs[0][0], 0x80);
  EXPECT_EQ(packs[0][1], 0);  // starts with the disc's string
  EXPECT_EQ(std::string(packs[0].begin() + 4, packs[0].begin() + 16), std::string("Disc Title\0A", 12));
  // Pack 1 starts at byte 12, the terminator of "A": the disc's string is complete and one
  // character of "A" comes before the pack.
  EXPECT_EQ(packs[1][1], 1);
  EXPECT_EQ(packs[1][3] & 0x0F, 1);
  // Pack 2 starts at byte 24: inside track 2's title, 11 characters in.
  EXPECT_EQ(packs[2][1], 2);
  EXPECT_EQ(packs[2][3] & 0x0F, 11);
  // Pack 3 starts at byte 36: 23 characters in, capped at 15.
  EXPECT_EQ(packs[3][1], 2);
  EXPECT_EQ(packs[3][3] & 0x0F, 15);
  EXPECT_EQ(packs[4][0], 0x81);
  EXPECT_EQ(packs[4][1], 0);
  // Size information: character code, tracks, pack counts per type, last sequence, language.
  std::vector<uint8_t> size_info;
  for (int i = 6; i < 9; ++i) {
    EXPECT_EQ(packs[i][0], 0x8F);
    EXPECT_EQ(packs[i][1], i - 6);
    size_info.insert(size_info.end(), packs[i].begin() + 4, packs[i].begin() + 16);
  }
  EXPECT_EQ(size_info[0], 0x01);
  EXPECT_EQ(size_info[1], 1);
  EXPECT_EQ(size_info[2], 3);
  EXPECT_EQ(size_info[4], 4);   // 0x80
  EXPECT_EQ(size_info[5], 2);   // 0x81
  EXPECT_EQ(size_info[6], 0);
  EXPECT_EQ(size_info[19], 3);  // 0x8F
  EXPECT_EQ(size_info[20], 8);  // last sequence number of block 0
  EXPECT_EQ(size_info[28], 0x09);
}

TEST(CdTextTest, TwoLanguagesRoundTripThroughDecoding) {
  CdTextBlocks blocks{};
  blocks[0] = English();
  blocks[1].present = true;
  blocks[1].language = 0x08;
  blocks[1].double_byte = true;
  SetBlockText(&blocks[1], 0, {"Titel", "Eins", "Zwei!", ""});
  std::vector<Pack> packs;
  ASSERT_TRUE(EncodeAll(blocks, 3, &packs));
  ExpectPackCrcs(packs);
  for (const Pack& p : packs) {
    if ((p[3] >> 4 & 7) == 1) {
      EXPECT_TRUE(p[3] & 0x80);
    }
  }
  std::vector<uint8_t> data;
  for (const Pack& p : packs) data.insert(data.end(), p.begin(), p.end());
  // A damaged pack elsewhere is left out without disturbing the rest.
  Pack broken = packs[0];
  broken[5] ^= 0x40;
  data.insert(data.end(), broken.begin(), broken.end());
  CdTextBlocks decoded;
  ASSERT_EQ(DecodePacks(data.data(), data.size(), &decoded), 2);
  EXPECT_EQ(decoded[0].language, 0x09);
  EXPECT_EQ(decoded[1].language, 0x08);
  EXPECT_TRUE(decoded[1].double_byte);
  EXPECT_EQ(BlockStrings(decoded[0], 0),
            (std::vector<std::string>{"Disc Title", "A", "Second track with a long title", "C"}));
  EXPECT_EQ(BlockStrings(decoded[0], 1), (std::vector<std::string>{"Band", "", "Singer", "Band"}));
  EXPECT_EQ(BlockStrings(decoded[1], 0), (std::vector<std::string>{"Titel", "Eins", "Zwei!", ""}));
  EXPECT_TRUE(BlockStrings(decoded[0], 2).empty());
}

TEST(CdTextTest, BlockOfMoreThan255PacksIsRefused) {
  CdTextBlocks blocks{};
  blocks[0].present = true;
  // 252 text packs + 3 size packs = 255: allowed; one more byte of text needs a 256th pack.
  SetBlockText(&blocks[0], 0, {std::string(252 * 12 - 1, 'x')});
  std::vector<Pack> packs;
  EXPECT_TRUE(EncodeBlock(blocks, 0, 1, &packs));
  EXPECT_EQ(packs.size(), 255u);
  EXPECT_EQ(packs.back()[2], 254);
  SetBlockText(&blocks[0], 0, {std::string(252 * 12, 'x')});
  packs.clear();
  EXPECT_FALSE(EncodeBlock(blocks, 0, 1, &packs));
}

TEST(CdTextTest, SubchannelSymbolsRoundTrip) {
  CdTextBlocks blocks{};
  blocks[0] = English();
  std::vector<Pack> packs;
  ASSERT_TRUE(EncodeAll(blocks, 3, &packs));
  uint8_t block[kSubchannelBlockBytes];
  // Start at the last pack: the four packets wrap round to the first packs.
  PacksToSubchannel(packs, packs.size() - 1, block);
  for (uint8_t symbol : block) EXPECT_LT(symbol, 64);
  EXPECT_EQ(SubchannelToPack(block), packs.back());
  EXPECT_EQ(SubchannelToPack(block + 24), packs[0]);
  EXPECT_EQ(SubchannelToPack(block + 72), packs[2]);
  // High bits first: the first symbol is the pack type's top six bits.
  EXPECT_EQ(block[24], 0x80 >> 2);
}

}  // namespace
}  // namespace quillden::audio
