#include "filesystems/hybrid_image.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <vector>

#include "filesystems/crc32.h"
#include "filesystems/el_torito.h"
#include "util/byte_order.h"

namespace quillden::fs {
namespace {

constexpr uint32_t kBlock = 2048;
constexpr uint32_t kImageBlocks = 64;
constexpr uint32_t kCatalogBlock = 19;
constexpr uint32_t kBiosBlock = 20;
constexpr uint32_t kEfiBlock = 21;
constexpr uint32_t kEfiFatSectors = 8;

// A small bootable ISO image: primary descriptor, boot record, terminator, catalog, a 2048-byte
// BIOS image and a 4 KiB FAT as the EFI image.
std::vector<uint8_t> MakeIso(std::optional<BootEntry> bios, std::optional<BootEntry> efi) {
  std::vector<uint8_t> image(kImageBlocks * kBlock, 0);
  uint8_t* pvd = &image[16 * kBlock];
  pvd[0] = 1;
  std::memcpy(pvd + 1, "CD001", 5);
  pvd[6] = 1;
  PutBoth32(pvd + 80, kImageBlocks);
  std::memcpy(pvd + 813, "2026120811150000", 16);
  PutBootRecord(&image[17 * kBlock], kCatalogBlock);
  image[18 * kBlock] = 255;
  std::memcpy(&image[18 * kBlock + 1], "CD001", 5);
  PutBootCatalog(&image[kCatalogBlock * kBlock], bios, efi);
  std::memset(&image[kBiosBlock * kBlock], 0x90, kBlock);
  uint8_t* fat = &image[kEfiBlock * kBlock];
  fat[0] = 0xEB;
  PutLe16(fat + 11, 512);
  PutLe16(fat + 19, kEfiFatSectors);
  fat[510] = 0x55;
  fat[511] = 0xAA;
  return image;
}

BootEntry Bios() {
  return BootEntry{0, 0, 4, kBiosBlock};
}
BootEntry Efi() {
  return BootEntry{0, 0, kEfiFatSectors, kEfiBlock};
}

std::string Plan(const std::vector<uint8_t>& image, HybridPlan* plan) {
  return PlanHybridImage(
      [&](uint64_t offset, uint8_t* data, size_t size) {
        if (offset + size > image.size()) return false;
        std::memcpy(data, image.data() + offset, size);
        return true;
      },
      image.size(), plan);
}

struct Hybrid {
  std::vector<uint8_t> disk;  // system area + ISO + tail
  uint64_t sectors() const { return disk.size() / 512; }
  const uint8_t* sector(uint64_t lba) const { return disk.data() + lba * 512; }
};

Hybrid Build(const std::vector<uint8_t>& iso) {
  HybridPlan plan;
  EXPECT_EQ(Plan(iso, &plan), "");
  Hybrid out;
  out.disk = iso;
  out.disk.resize(iso.size() + kHybridTailBlocks * kBlock);
  BuildHybridSystemArea(plan, out.disk.data(), out.disk.data() + iso.size());
  return out;
}

// Checks one GPT header as firmware does and returns its entry array.
const uint8_t* CheckGptHeader(const Hybrid& hybrid, uint64_t lba, uint64_t other) {
  const uint8_t* header = hybrid.sector(lba);
  EXPECT_EQ(std::memcmp(header, "EFI PART", 8), 0);
  EXPECT_EQ(GetLe32(header + 12), 92u);
  std::vector<uint8_t> copy(header, header + 92);
  PutLe32(copy.data() + 16, 0);
  EXPECT_EQ(GetLe32(header + 16), Crc32(copy.data(), copy.size()));
  EXPECT_EQ(GetLe64(header + 24), lba);
  EXPECT_EQ(GetLe64(header + 32), other);
  EXPECT_EQ(GetLe64(header + 40), 34u);
  EXPECT_EQ(GetLe64(header + 48), hybrid.sectors() - 34);
  uint64_t entries_lba = GetLe64(header + 72);
  EXPECT_EQ(entries_lba, lba == 1 ? 2 : hybrid.sectors() - 33);
  EXPECT_EQ(GetLe32(header + 80), 128u);
  EXPECT_EQ(GetLe32(header + 84), 128u);
  const uint8_t* entries = hybrid.sector(entries_lba);
  EXPECT_EQ(GetLe32(header + 88), Crc32(entries, 128 * 128));
  return entries;
}

TEST(HybridImageTest, BiosAndEfiImageGetMbrCodeMbrAndGpt) {
  std::vector<uint8_t> iso = MakeIso(Bios(), Efi());
  Hybrid hybrid = Build(iso);
  const uint8_t* mbr = hybrid.sector(0);
  EXPECT_EQ(std::memcmp(mbr, kHybridMbrCode, 428), 0);
  EXPECT_EQ(mbr[510], 0x55);
  EXPECT_EQ(mbr[511], 0xAA);
  // The parameter block: the BIOS image's sectors, loaded to 07C0:0000, entered at 0000:7C00.
  EXPECT_EQ(GetLe32(mbr + 428), kBiosBlock * 4);
  EXPECT_EQ(GetLe16(mbr + 432), 4);
  EXPECT_EQ(GetLe16(mbr + 434), 0x07C0);
  EXPECT_EQ(GetLe16(mbr + 436), 0x7C00);
  EXPECT_EQ(GetLe16(mbr + 438), 0);
  EXPECT_NE(GetLe32(mbr + 440), 0u);  // disk signature
  // Protective entry up to the ESP, then the ESP itself (active), nothing overlapping.
  const uint8_t* table = mbr + 446;
  EXPECT_EQ(table[0], 0x00);
  EXPECT_EQ(table[4], 0xEE);
  EXPECT_EQ(GetLe32(table + 8), 1u);
  EXPECT_EQ(GetLe32(table + 12), kEfiBlock * 4 - 1);
  EXPECT_EQ(table[16], 0x80);
  EXPECT_EQ(table[20], 0xEF);
  EXPECT_EQ(GetLe32(table + 24), kEfiBlock * 4);
  EXPECT_EQ(GetLe32(table + 28), kEfiFatSectors);
  for (int i = 32; i < 64; ++i) EXPECT_EQ(table[i], 0) << i;

  const uint64_t last = hybrid.sectors() - 1;
  const uint8_t* primary = CheckGptHeader(hybrid, 1, last);
  const uint8_t* backup = CheckGptHeader(hybrid, last, 1);
  EXPECT_EQ(std::memcmp(primary, backup, 128 * 128), 0);
  static const uint8_t kEsp[16] = {0x28, 0x73, 0x2A, 0xC1, 0x1F, 0xF8, 0xD2, 0x11,
                                   0xBA, 0x4B, 0x00, 0xA0, 0xC9, 0x3E, 0xC9, 0x3B};
  EXPECT_EQ(std::memcmp(primary, kEsp, 16), 0);
  EXPECT_EQ(GetLe64(primary + 32), kEfiBlock * 4);
  EXPECT_EQ(GetLe64(primary + 40), kEfiBlock * 4 + kEfiFatSectors - 1);
  for (int i = 128; i < 128 * 128; ++i) ASSERT_EQ(primary[i], 0) << i;
  // GUIDs differ from each other and from the disk's.
  EXPECT_NE(std::memcmp(hybrid.sector(1) + 56, primary + 16, 16), 0);

  // The ISO's own blocks are untouched.
  EXPECT_EQ(std::memcmp(hybrid.disk.data() + 16 * kBlock, iso.data() + 16 * kBlock,
                        iso.size() - 16 * kBlock),
            0);
}

TEST(HybridImageTest, OneBootImageAlone) {
  // EFI only: the MBR code has nothing to load and says so; the ESP is there.
  Hybrid efi_only = Build(MakeIso(std::nullopt, Efi()));
  EXPECT_EQ(GetLe16(efi_only.sector(0) + 432), 0);
  EXPECT_EQ(efi_only.sector(0)[446 + 20], 0xEF);
  EXPECT_EQ(GetLe64(CheckGptHeader(efi_only, 1, efi_only.sectors() - 1) + 32), kEfiBlock * 4);

  // BIOS only: the protective entry covers the disk, the GPT has no partition.
  Hybrid bios_only = Build(MakeIso(Bios(), std::nullopt));
  const uint8_t* table = bios_only.sector(0) + 446;
  EXPECT_EQ(table[4], 0xEE);
  EXPECT_EQ(GetLe32(table + 12), bios_only.sectors() - 1);
  EXPECT_EQ(table[20], 0);
  const uint8_t* entries = CheckGptHeader(bios_only, 1, bios_only.sectors() - 1);
  for (int i = 0; i < 128 * 128; ++i) ASSERT_EQ(entries[i], 0) << i;
  EXPECT_EQ(GetLe32(bios_only.sector(0) + 428), kBiosBlock * 4);
}

TEST(HybridImageTest, OtherLoadSegmentIsEnteredAtItsStart) {
  Hybrid hybrid = Build(MakeIso(BootEntry{0, 0x2000, 4, kBiosBlock}, std::nullopt));
  EXPECT_EQ(GetLe16(hybrid.sector(0) + 434), 0x2000);
  EXPECT_EQ(GetLe16(hybrid.sector(0) + 436), 0);
  EXPECT_EQ(GetLe16(hybrid.sector(0) + 438), 0x2000);
}

TEST(HybridImageTest, ImagesThatCannotBeMadeHybridAreRefused) {
  HybridPlan plan;
  std::vector<uint8_t> used = MakeIso(Bios(), Efi());
  used[440] = 1;  // something lives in the system area already
  EXPECT_NE(Plan(used, &plan).find("system area"), std::string::npos);

  std::vector<uint8_t> plain = MakeIso(Bios(), Efi());
  std::memset(&plain[17 * kBlock], 0, kBlock);  // no boot record: descriptors end at 17
  EXPECT_NE(Plan(plain, &plan).find("no El Torito"), std::string::npos);

  EXPECT_NE(Plan(MakeIso(BootEntry{2, 0, 1, kBiosBlock}, Efi()), &plan).find("emulation"),
            std::string::npos);
  // Below the MBR's stack, or past conventional memory.
  EXPECT_NE(Plan(MakeIso(BootEntry{0, 0x0050, 4, kBiosBlock}, Efi()), &plan).find("loaded outside"),
            std::string::npos);
  EXPECT_NE(Plan(MakeIso(BootEntry{0, 0x9000, 0x7F8 + 1, kBiosBlock}, Efi()), &plan)
                .find("loaded outside"),
            std::string::npos);
  EXPECT_NE(Plan(MakeIso(BootEntry{0, 0, 4, kImageBlocks}, Efi()), &plan).find("outside the image"),
            std::string::npos);

  std::vector<uint8_t> not_fat = MakeIso(Bios(), Efi());
  not_fat[kEfiBlock * kBlock + 510] = 0;
  EXPECT_NE(Plan(not_fat, &plan).find("not a FAT"), std::string::npos);
  std::vector<uint8_t> big_fat = MakeIso(Bios(), Efi());
  PutLe16(&big_fat[kEfiBlock * kBlock + 19], kImageBlocks * 4);  // runs past the image's end
  EXPECT_NE(Plan(big_fat, &plan).find("outside the image"), std::string::npos);

  std::vector<uint8_t> broken = MakeIso(Bios(), Efi());
  broken[kCatalogBlock * kBlock + 28] ^= 1;
  EXPECT_NE(Plan(broken, &plan).find("damaged"), std::string::npos);
}

class HybridFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/hybrid_image_test_XXXXXX";
    int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    close(fd);
    path_ = name;
  }
  void TearDown() override { std::remove(path_.c_str()); }
  void Write(const std::vector<uint8_t>& data) {
    std::ofstream(path_, std::ios::binary)
        .write(reinterpret_cast<const char*>(data.data()), data.size());
  }
  std::vector<uint8_t> Read() {
    std::ifstream in(path_, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
  }
  std::string path_;
};

TEST_F(HybridFileTest, FileGrowsByTheTailAndASecondRunIsRefused) {
  std::vector<uint8_t> iso = MakeIso(Bios(), Efi());
  Write(iso);
  ASSERT_EQ(MakeImageHybrid(path_), "");
  std::vector<uint8_t> hybrid = Read();
  ASSERT_EQ(hybrid.size(), iso.size() + kHybridTailBlocks * kBlock);
  // Besides the system area and the tail, only the volume space size has changed: it now takes
  // the tail in.
  std::vector<uint8_t> expected = Build(iso).disk;
  PutBoth32(&expected[16 * kBlock + 80], kImageBlocks + kHybridTailBlocks);
  EXPECT_EQ(expected, hybrid);
  EXPECT_NE(MakeImageHybrid(path_).find("in use already"), std::string::npos);
  EXPECT_EQ(Read(), hybrid);  // refused without a change

  std::vector<uint8_t> emulated = MakeIso(BootEntry{4, 0, 1, kBiosBlock}, std::nullopt);
  Write(emulated);
  EXPECT_NE(MakeImageHybrid(path_), "");
  EXPECT_EQ(Read(), emulated);
  EXPECT_NE(MakeImageHybrid("/nonexistent/image.iso"), "");
}

TEST(HybridMbrCodeTest, CodeLeavesTheParameterBlockAndTablesFree) {
  for (int i = 428; i < 510; ++i) EXPECT_EQ(kHybridMbrCode[i], 0) << i;
  EXPECT_EQ(kHybridMbrCode[510], 0x55);
  EXPECT_EQ(kHybridMbrCode[511], 0xAA);
}

}  // namespace
}  // namespace quillden::fs
