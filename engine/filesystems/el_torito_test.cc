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

TEST(ElToritoTest, EmulationSizes) {
  EXPECT_EQ(RequiredBootImageSize(0), 0u);
  EXPECT_EQ(RequiredBootImageSize(1), 1228800u);
  EXPECT_EQ(RequiredBootImageSize(2), 1474560u);
  EXPECT_EQ(RequiredBootImageSize(3), 2949120u);
  EXPECT_EQ(RequiredBootImageSize(4), 0u);
}

}  // namespace
}  // namespace quillden::fs
