#include "filesystems/el_torito.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "util/byte_order.h"

namespace quillden::fs {
namespace {

TEST(ElToritoTest, BootRecordPointsAtTheCatalog) {
  std::vector<uint8_t> block(2048, 0xEE);
  PutBootRecord(block.data(), 0x12345);
  EXPECT_EQ(block[0], 0);
  EXPECT_EQ(std::memcmp(block.data() + 1, "CD001", 5), 0);
  EXPECT_EQ(block[6], 1);
  EXPECT_EQ(std::memcmp(block.data() + 7, "EL TORITO SPECIFICATION", 23), 0);
  for (int i = 30; i < 71; ++i) EXPECT_EQ(block[i], 0) << i;
  EXPECT_EQ(GetLe32(block.data() + 71), 0x12345u);
  for (size_t i = 75; i < block.size(); ++i) ASSERT_EQ(block[i], 0) << i;
}

TEST(ElToritoTest, CatalogValidationAndDefaultEntry) {
  std::vector<uint8_t> block(2048, 0xEE);
  PutBootCatalog(block.data(), BootEntry{2, 0x07C0, 1, 21});
  EXPECT_EQ(block[0], 1);
  EXPECT_EQ(block[28], 0xAA);
  EXPECT_EQ(block[29], 0x55);
  EXPECT_EQ(block[30], 0x55);
  EXPECT_EQ(block[31], 0xAA);
  uint16_t sum = 0;
  for (int i = 0; i < 32; i += 2) sum = static_cast<uint16_t>(sum + GetLe16(block.data() + i));
  EXPECT_EQ(sum, 0);
  EXPECT_EQ(block[32], 0x88);
  EXPECT_EQ(block[33], 2);
  EXPECT_EQ(GetLe16(block.data() + 34), 0x07C0);
  EXPECT_EQ(block[36], 0);
  EXPECT_EQ(GetLe16(block.data() + 38), 1);
  EXPECT_EQ(GetLe32(block.data() + 40), 21u);
  for (size_t i = 44; i < block.size(); ++i) ASSERT_EQ(block[i], 0) << i;
}

uint16_t ValidationSum(const uint8_t* block) {
  uint16_t sum = 0;
  for (int i = 0; i < 32; i += 2) sum = static_cast<uint16_t>(sum + GetLe16(block + i));
  return sum;
}

TEST(ElToritoTest, BiosAndEfiEntries) {
  std::vector<uint8_t> block(2048, 0xEE);
  PutBootCatalog(block.data(), BootEntry{0, 0, 4, 27}, BootEntry{0, 0, 2880, 28});
  // Validation entry for the PC platform, default entry for the BIOS image.
  EXPECT_EQ(block[0], 1);
  EXPECT_EQ(block[1], eltorito::kPlatform80x86);
  EXPECT_EQ(ValidationSum(block.data()), 0);
  EXPECT_EQ(block[32], 0x88);
  EXPECT_EQ(GetLe16(block.data() + 38), 4);
  EXPECT_EQ(GetLe32(block.data() + 40), 27u);
  // The last section header: platform EFI, one entry, no ID string.
  EXPECT_EQ(block[64], 0x91);
  EXPECT_EQ(block[65], eltorito::kPlatformUefi);
  EXPECT_EQ(GetLe16(block.data() + 66), 1);
  for (int i = 68; i < 96; ++i) EXPECT_EQ(block[i], 0) << i;
  // The section entry: bootable, no emulation, the image's 512-byte sectors, its block.
  EXPECT_EQ(block[96], 0x88);
  EXPECT_EQ(block[97], 0);
  EXPECT_EQ(GetLe16(block.data() + 98), 0);
  EXPECT_EQ(GetLe16(block.data() + 102), 2880);
  EXPECT_EQ(GetLe32(block.data() + 104), 28u);
  for (size_t i = 108; i < block.size(); ++i) ASSERT_EQ(block[i], 0) << i;
}

TEST(ElToritoTest, EfiOnlyAndBiosOnlyCatalogs) {
  std::vector<uint8_t> efi_only(2048, 0xEE);
  PutBootCatalog(efi_only.data(), std::nullopt, BootEntry{0, 0, 64, 30});
  EXPECT_EQ(efi_only[1], eltorito::kPlatformUefi);
  EXPECT_EQ(ValidationSum(efi_only.data()), 0);
  EXPECT_EQ(efi_only[32], 0x88);
  EXPECT_EQ(GetLe32(efi_only.data() + 40), 30u);
  for (size_t i = 64; i < efi_only.size(); ++i) ASSERT_EQ(efi_only[i], 0) << i;

  // Without an EFI image the catalog is the one-entry catalog, byte for byte.
  std::vector<uint8_t> one(2048, 0xEE), both_form(2048, 0x11);
  const BootEntry bios{2, 0x07C0, 1, 21};
  PutBootCatalog(one.data(), bios);
  PutBootCatalog(both_form.data(), bios, std::nullopt);
  EXPECT_EQ(one, both_form);
}

TEST(ElToritoTest, EfiSectorCounts) {
  EXPECT_EQ(EfiSectorCount(512), 1);
  EXPECT_EQ(EfiSectorCount(513), 2);
  EXPECT_EQ(EfiSectorCount(1474560), 2880);
  EXPECT_EQ(EfiSectorCount(65535ull * 512), 65535);
  EXPECT_EQ(EfiSectorCount(65535ull * 512 + 1), 0);  // beyond what 16 bits describe
}

TEST(ElToritoTest, EmulationSizes) {
  EXPECT_EQ(RequiredBootImageSize(0), 0u);
  EXPECT_EQ(RequiredBootImageSize(1), 1228800u);
  EXPECT_EQ(RequiredBootImageSize(2), 1474560u);
  EXPECT_EQ(RequiredBootImageSize(3), 2949120u);
  EXPECT_EQ(RequiredBootImageSize(4), 0u);
}

}  // namespace
}  // namespace quillden::fs
