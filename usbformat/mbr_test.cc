#include "mbr.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "boot_code.h"

namespace quenvar::usbformat {
namespace {

uint32_t Le32(const uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

TEST(BootCode, CarriesTheThreeMessagesAndFitsTheBootArea) {
  const auto& code = BootCode();
  std::string text(code.begin(), code.end());
  EXPECT_NE(text.find("Invalid partition table"), std::string::npos);
  EXPECT_NE(text.find("Error loading operating system"), std::string::npos);
  EXPECT_NE(text.find("Missing operating system"), std::string::npos);
  EXPECT_EQ(code[0], 0xFA);  // starts by disabling interrupts to set up its stack
}

TEST(MasterBootRecord, EntryArithmeticFollowsTheGeometry) {
  // A 1 GiB stick: 2097152 sectors, 255 heads, 63 sectors per track -> 130 whole cylinders.
  DiskGeometry g{255, 63, 512, 1ull << 30};
  auto mbr = BuildMasterBootRecord(g, FileSystem::kFat32, 0);
  EXPECT_EQ(0, std::memcmp(mbr.data(), BootCode().data(), kBootCodeSize));
  const uint8_t* e = mbr.data() + 446;
  EXPECT_EQ(e[0], 0x80);
  EXPECT_EQ(e[1], 1);  // start head
  EXPECT_EQ(e[2], 1);  // start sector, cylinder 0
  EXPECT_EQ(e[3], 0);
  EXPECT_EQ(e[4], kTypeFat32Lba);
  EXPECT_EQ(e[5], 254);                                     // end head
  uint32_t end_cylinder = (2097152u - 1) / (255 * 63) - 1;  // 129
  EXPECT_EQ(e[6], 63 | ((end_cylinder >> 2) & 0xC0));
  EXPECT_EQ(e[7], end_cylinder & 0xFF);
  EXPECT_EQ(Le32(e + 8), 63u);
  EXPECT_EQ(Le32(e + 12), 2097152u - 63);
  for (size_t i = 446 + 16; i < 510; ++i) EXPECT_EQ(mbr[i], 0) << i;
  EXPECT_EQ(mbr[510], 0x55);
  EXPECT_EQ(mbr[511], 0xAA);
}

TEST(MasterBootRecord, HighCylinderBitsAndLargeDrives) {
  // 300 cylinders: bits 8 and 9 of the end cylinder move into the sector byte.
  DiskGeometry g{16, 63, 512, 301ull * 16 * 63 * 512};
  auto mbr = BuildMasterBootRecord(g, FileSystem::kNtfs, 2);
  const uint8_t* e = mbr.data() + 446 + 32;
  EXPECT_EQ(e[4], kTypeNtfs);
  EXPECT_EQ(e[5], 15);
  EXPECT_EQ(e[6], 63 | 0x40);  // cylinder 299 = 0x12B
  EXPECT_EQ(e[7], 0x2B);
  EXPECT_EQ(mbr[446], 0);  // the other entries stay empty

  // 64 GiB: the CHS end holds cylinder 1023 instead of a wrapped value.
  DiskGeometry big{255, 63, 512, 64ull << 30};
  auto large = BuildMasterBootRecord(big, FileSystem::kFat32, 0);
  EXPECT_EQ(large[446 + 6], 0xFF);
  EXPECT_EQ(large[446 + 7], 0xFF);
  // 4 TiB: the sector count saturates at 32 bits.
  DiskGeometry huge{255, 63, 512, 4ull << 40};
  EXPECT_EQ(TotalSectors(huge), 0xFFFFFFFFu);
  auto h = BuildMasterBootRecord(huge, FileSystem::kFat32, 0);
  EXPECT_EQ(Le32(h.data() + 446 + 12), 0xFFFFFFFFu - 63);
}

TEST(MasterBootRecord, UnusableGeometries) {
  EXPECT_FALSE(UsableGeometry({0, 63, 512, 1 << 30}));
  EXPECT_FALSE(UsableGeometry({255, 0, 512, 1 << 30}));
  EXPECT_FALSE(UsableGeometry({255, 63, 0, 1 << 30}));
  EXPECT_FALSE(UsableGeometry({255, 63, 512, 63 * 512}));  // nothing after the first track
  EXPECT_TRUE(UsableGeometry({255, 63, 512, 64 * 512}));
}

void SetEntry(uint8_t* sector, int i, uint8_t type, uint32_t lba, uint32_t count) {
  uint8_t* e = sector + 446 + 16 * i;
  e[4] = type;
  for (int b = 0; b < 4; ++b) {
    e[8 + b] = static_cast<uint8_t>(lba >> (8 * b));
    e[12 + b] = static_cast<uint8_t>(count >> (8 * b));
  }
}

TEST(PartitionLayout, ExactlyOnePlainPartition) {
  uint8_t s[512] = {};
  EXPECT_EQ(SinglePartitionIndex(s), -1);  // no signature
  s[510] = 0x55;
  s[511] = 0xAA;
  EXPECT_EQ(SinglePartitionIndex(s), -1);  // no partition
  SetEntry(s, 1, 0x0C, 2048, 1000);
  EXPECT_EQ(SinglePartitionIndex(s), 1);
  SetEntry(s, 3, 0x83, 4096, 1000);
  EXPECT_EQ(SinglePartitionIndex(s), -1);  // two partitions
  SetEntry(s, 3, 0x83, 4096, 0);
  EXPECT_EQ(SinglePartitionIndex(s), 1);  // an entry of length zero does not count
  SetEntry(s, 1, 0x05, 2048, 1000);
  EXPECT_EQ(SinglePartitionIndex(s), -1);  // an extended container hides its logical drives
  SetEntry(s, 1, 0xEE, 1, 0xFFFFFFFF);
  EXPECT_EQ(SinglePartitionIndex(s), -1);  // GPT
}

TEST(PartitionLayout, BuiltRecordReadsBack) {
  DiskGeometry g{64, 32, 512, 128ull << 20};
  auto mbr = BuildMasterBootRecord(g, FileSystem::kNtfs, 3);
  std::array<PartitionEntry, 4> entries;
  ASSERT_TRUE(ReadPartitionTable(mbr.data(), &entries));
  EXPECT_EQ(SinglePartitionIndex(mbr.data()), 3);
  EXPECT_EQ(entries[3].status, 0x80);
  EXPECT_EQ(entries[3].first_lba, 32u);
  EXPECT_EQ(entries[3].sector_count, 262144u - 32);
}

}  // namespace
}  // namespace quenvar::usbformat
