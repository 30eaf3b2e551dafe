#include "drive/virtual/cd_sector.h"

#include <cstring>
#include <vector>

#include <gtest/gtest.h>

namespace quillden::drive::virt {
namespace {

uint8_t GfMul(uint8_t a, uint8_t b) {
  uint8_t r = 0;
  while (b) {
    if (b & 1) r ^= a;
    a = static_cast<uint8_t>((a << 1) ^ ((a & 0x80) ? 0x1D : 0));
    b >>= 1;
  }
  return r;
}

// Both syndromes of a Reed-Solomon codeword with roots 1 and alpha must vanish.
bool CodewordValid(const std::vector<uint8_t>& c) {
  uint8_t s0 = 0, s1 = 0;
  for (uint8_t v : c) {
    s0 ^= v;
    s1 = static_cast<uint8_t>(GfMul(s1, 2) ^ v);
  }
  return s0 == 0 && s1 == 0;
}

// Checks every P column and Q diagonal of a sector (ECMA-130 Annex A interleave).
bool ParityValid(const uint8_t* sector) {
  const uint8_t* area = sector + 12;
  for (int col = 0; col < 86; ++col) {
    std::vector<uint8_t> c;
    for (int row = 0; row < 26; ++row) c.push_back(area[col + 86 * row]);
    if (!CodewordValid(c)) return false;
  }
  for (int diag = 0; diag < 52; ++diag) {
    std::vector<uint8_t> c;
    uint32_t index = (diag >> 1) * 86 + (diag & 1);
    for (int k = 0; k < 43; ++k) {
      c.push_back(area[index]);
      index += 88;
      if (index >= 2236) index -= 2236;
    }
    c.push_back(area[2236 + diag]);
    c.push_back(area[2236 + 52 + diag]);
    if (!CodewordValid(c)) return false;
  }
  return true;
}

uint32_t BitwiseEdc(const uint8_t* data, size_t n) {
  uint32_t crc = 0;
  for (size_t i = 0; i < n; ++i) {
    crc ^= data[i];
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ ((crc & 1) ? 0xD8018001u : 0);
  }
  return crc;
}

uint32_t Le32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t(p[3]) << 24); }

TEST(CdSectorTest, MsfConversionsFollowTheTwoSecondOffsetAndLeadInWrap) {
  Msf m = LbaToMsf(0);
  EXPECT_EQ(m.minute, 0);
  EXPECT_EQ(m.second, 2);
  EXPECT_EQ(m.frame, 0);
  m = LbaToMsf(359849);  // 80-minute lead-out
  EXPECT_EQ(m.minute, 79);
  EXPECT_EQ(m.second, 59);
  EXPECT_EQ(m.frame, 74);
  m = LbaToMsf(-11634);
  EXPECT_EQ(m.minute, 97);
  EXPECT_EQ(m.second, 26);
  EXPECT_EQ(m.frame, 66);
  EXPECT_EQ(MsfToLba(97, 26, 66), -11634);
  EXPECT_EQ(MsfToLba(0, 2, 0), 0);
  EXPECT_EQ(MsfToLba(0, 0, 0), -150);
  EXPECT_EQ(ToBcd(59), 0x59);
}

TEST(CdSectorTest, Mode1SectorHasSyncHeaderEdcAndValidParity) {
  std::vector<uint8_t> user(2048);
  for (size_t i = 0; i < user.size(); ++i) user[i] = static_cast<uint8_t>(i * 7 + 3);
  uint8_t sector[kRawSectorSize];
  BuildMode1Sector(16, user.data(), sector);
  EXPECT_EQ(sector[0], 0x00);
  EXPECT_EQ(sector[1], 0xFF);
  EXPECT_EQ(sector[11], 0x00);
  EXPECT_EQ(sector[12], 0x00);  // 00:02:16 in BCD
  EXPECT_EQ(sector[13], 0x02);
  EXPECT_EQ(sector[14], 0x16);
  EXPECT_EQ(sector[15], 1);
  EXPECT_EQ(0, std::memcmp(sector + 16, user.data(), 2048));
  EXPECT_EQ(Le32(sector + 2064), BitwiseEdc(sector, 2064));
  EXPECT_TRUE(ParityValid(sector));
  sector[100] ^= 1;
  EXPECT_FALSE(ParityValid(sector));
}

TEST(CdSectorTest, Mode2Form1ParityIgnoresTheHeaderAndForm2HasOnlyEdc) {
  std::vector<uint8_t> formless(kMode2FormlessSize, 0);
  formless[2] = formless[6] = 0x08;  // data, form 1
  for (size_t i = 8; i < 2056; ++i) formless[i] = static_cast<uint8_t>(i);
  uint8_t sector[kRawSectorSize];
  BuildMode2Sector(1000, formless.data(), sector);
  EXPECT_EQ(sector[15], 2);
  EXPECT_EQ(Le32(sector + 2072), BitwiseEdc(sector + 16, 2056));
  uint8_t copy[kRawSectorSize];
  std::memcpy(copy, sector, sizeof(copy));
  std::memset(copy + 12, 0, 4);
  EXPECT_TRUE(ParityValid(copy));
  EXPECT_FALSE(ParityValid(sector));  // with the real header the parity does not hold

  formless[2] = formless[6] = 0x20;  // form 2
  BuildMode2Sector(1000, formless.data(), sector);
  EXPECT_EQ(Le32(sector + 2348), BitwiseEdc(sector + 16, 8 + kMode2Form2DataSize));
}

}  // namespace
}  // namespace quillden::drive::virt
