// The boot catalog reader on catalogs the writer made and on hand-made foreign ones.
#include "filesystems/reader/boot_catalog_reader.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "filesystems/el_torito.h"

namespace quillden::reader {
namespace {

namespace eltorito = fs::eltorito;
using fs::BootEntry;

TEST(BootCatalogReaderTest, ReadsBackWhatTheWriterPutDown) {
  std::vector<uint8_t> block(2048, 0xEE);
  fs::PutBootCatalog(block.data(), BootEntry{0, 0, 4, 27}, BootEntry{0, 0, 2880, 28});
  BootCatalogEntry entries[4];
  ASSERT_EQ(ReadBootCatalog(block.data(), entries, 4), 2);
  EXPECT_EQ(entries[0].platform, eltorito::kPlatform80x86);
  EXPECT_EQ(entries[0].sector_count, 4);
  EXPECT_EQ(entries[0].image_block, 27u);
  EXPECT_EQ(entries[1].platform, eltorito::kPlatformUefi);
  EXPECT_EQ(entries[1].sector_count, 2880);
  EXPECT_EQ(entries[1].image_block, 28u);

  std::vector<uint8_t> efi_only(2048, 0xEE);
  fs::PutBootCatalog(efi_only.data(), std::nullopt, BootEntry{0, 0, 64, 30});
  ASSERT_EQ(ReadBootCatalog(efi_only.data(), entries, 4), 1);
  EXPECT_EQ(entries[0].platform, eltorito::kPlatformUefi);
  EXPECT_EQ(entries[0].image_block, 30u);

  std::vector<uint8_t> floppy(2048, 0xEE);
  fs::PutBootCatalog(floppy.data(), BootEntry{eltorito::kMedia144Floppy, 0x07C0, 1, 21});
  ASSERT_EQ(ReadBootCatalog(floppy.data(), entries, 4), 1);
  EXPECT_EQ(entries[0].emulation, eltorito::kMedia144Floppy);
  EXPECT_EQ(entries[0].load_segment, 0x07C0);
}

TEST(BootCatalogReaderTest, ForeignCatalogs) {
  std::vector<uint8_t> block(2048, 0);
  fs::PutBootCatalog(block.data(), BootEntry{0, 0, 4, 40}, BootEntry{0, 0, 8, 41});
  // A first section (0x90) for another platform whose entry carries an extension record, then the
  // last section with a non-bootable entry and the EFI entry.
  std::vector<uint8_t> foreign(block.begin(), block.begin() + 64);
  foreign.resize(2048, 0);
  uint8_t* at = foreign.data() + 64;
  at[0] = 0x90, at[1] = 0x02, at[2] = 1;
  at += 32;
  at[0] = 0x88, at[1] = 0x20, at[8] = 50;  // extension bit set
  at += 32;
  at[0] = 0x44;  // its extension record
  at += 32;
  at[0] = 0x91, at[1] = 0xEF, at[2] = 2;
  at += 32;
  at[0] = 0x00, at[8] = 60;  // not bootable
  at += 32;
  at[0] = 0x88, at[6] = 8, at[8] = 61;
  BootCatalogEntry entries[8];
  ASSERT_EQ(ReadBootCatalog(foreign.data(), entries, 8), 3);
  EXPECT_EQ(entries[1].platform, 0x02);
  EXPECT_EQ(entries[1].emulation, 0);  // the extension bit is no part of the media type
  EXPECT_EQ(entries[1].image_block, 50u);
  EXPECT_EQ(entries[2].platform, eltorito::kPlatformUefi);
  EXPECT_EQ(entries[2].sector_count, 8);
  EXPECT_EQ(entries[2].image_block, 61u);
  EXPECT_EQ(ReadBootCatalog(foreign.data(), entries, 1), 1);  // capacity is respected

  // A section header claiming more entries than the block holds ends at the block.
  std::vector<uint8_t> endless(foreign.begin(), foreign.begin() + 64);
  endless.resize(2048, 0);
  endless[64] = 0x91, endless[65] = 0xEF, endless[66] = 0xFF, endless[67] = 0xFF;
  for (size_t entry = 96; entry < 2048; entry += 32) endless[entry] = 0x88;
  EXPECT_EQ(ReadBootCatalog(endless.data(), entries, 8), 8);
  std::vector<BootCatalogEntry> many(100);
  EXPECT_EQ(ReadBootCatalog(endless.data(), many.data(), 100), 1 + (2048 - 96) / 32);

  foreign[28] ^= 1;  // checksum broken
  EXPECT_EQ(ReadBootCatalog(foreign.data(), entries, 8), -1);
  std::vector<uint8_t> zero(2048, 0);
  EXPECT_EQ(ReadBootCatalog(zero.data(), entries, 8), -1);
}

}  // namespace
}  // namespace quillden::reader
