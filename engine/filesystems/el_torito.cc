#include "filesystems/el_torito.h"

#include <cstring>

#include "filesystems/iso9660_records.h"
#include "util/byte_order.h"

namespace quillden::fs {

uint32_t RequiredBootImageSize(uint8_t emulation) {
  switch (static_cast<BootEmulation>(emulation)) {
    case BootEmulation::kFloppy12:
      return 1228800;
    case BootEmulation::kFloppy144:
      return 1474560;
    case BootEmulation::kFloppy288:
      return 2949120;
    default:
      return 0;
  }
}

void PutBootRecord(uint8_t* block, uint32_t catalog_block) {
  std::memset(block, 0, kBlockSize);
  block[0] = 0;
  std::memcpy(block + 1, "CD001", 5);
  block[6] = 1;
  static const char kSystem[] = "EL TORITO SPECIFICATION";
  std::memcpy(block + 7, kSystem, sizeof kSystem - 1);  // zero padded to 32 bytes
  PutLe32(block + 71, catalog_block);
}

namespace {

void PutValidationEntry(uint8_t* block, uint8_t platform) {
  block[0] = 1;  // header ID
  block[1] = platform;
  block[30] = 0x55;
  block[31] = 0xAA;
  uint16_t sum = 0;
  for (int i = 0; i < 32; i += 2) sum = static_cast<uint16_t>(sum + GetLe16(block + i));
  PutLe16(block + 28, static_cast<uint16_t>(0x10000 - sum));
}

// A default entry or a section entry (their first 12 bytes agree).
void PutBootableEntry(uint8_t* at, const BootEntry& entry) {
  at[0] = 0x88;  // bootable
  at[1] = entry.emulation;
  PutLe16(at + 2, entry.load_segment);
  at[4] = 0;  // system type
  PutLe16(at + 6, entry.sector_count);
  PutLe32(at + 8, entry.image_block);
}

constexpr uint8_t kLastSectionHeader = 0x91;
constexpr uint8_t kSectionHeader = 0x90;

}  // namespace

uint16_t EfiSectorCount(uint64_t image_bytes) {
  uint64_t sectors = (image_bytes + 511) / 512;
  return sectors > 0xFFFF ? 0 : static_cast<uint16_t>(sectors);
}

void PutBootCatalog(uint8_t* block, const BootEntry& entry) {
  std::memset(block, 0, kBlockSize);
  PutValidationEntry(block, kPlatformX86);
  PutBootableEntry(block + 32, entry);
}

void PutBootCatalog(uint8_t* block, const std::optional<BootEntry>& bios,
                    const std::optional<BootEntry>& efi) {
  if (!efi) {
    PutBootCatalog(block, bios.value_or(BootEntry{}));
    return;
  }
  std::memset(block, 0, kBlockSize);
  if (!bios) {
    PutValidationEntry(block, kPlatformEfi);
    PutBootableEntry(block + 32, *efi);
    return;
  }
  PutValidationEntry(block, kPlatformX86);
  PutBootableEntry(block + 32, *bios);
  uint8_t* header = block + 64;
  header[0] = kLastSectionHeader;
  header[1] = kPlatformEfi;
  PutLe16(header + 2, 1);  // entries in this section
  PutBootableEntry(block + 96, *efi);
}

int ReadBootCatalog(const uint8_t* block, CatalogEntry* entries, int capacity) {
  if (block[0] != 1 || block[30] != 0x55 || block[31] != 0xAA) return -1;
  uint16_t sum = 0;
  for (int i = 0; i < 32; i += 2) sum = static_cast<uint16_t>(sum + GetLe16(block + i));
  if (sum != 0) return -1;
  int count = 0;
  auto take = [&](const uint8_t* at, uint8_t platform) {
    if (at[0] != 0x88 || count >= capacity) return;
    CatalogEntry& out = entries[count++];
    out.platform = platform;
    out.entry.emulation = at[1] & 0x0F;
    out.entry.load_segment = GetLe16(at + 2);
    out.entry.sector_count = GetLe16(at + 6);
    out.entry.image_block = GetLe32(at + 8);
  };
  take(block + 32, block[1]);
  // Sections follow the default entry, 32 bytes each, until the last header's entries end. An
  // entry with the extension bit (0x20 of its media byte) is followed by extension records (0x44).
  size_t at = 64;
  bool last = false;
  while (!last && at + 32 <= kBlockSize) {
    const uint8_t* header = block + at;
    if (header[0] != kSectionHeader && header[0] != kLastSectionHeader) break;
    last = header[0] == kLastSectionHeader;
    const uint8_t platform = header[1];
    uint16_t remaining = GetLe16(header + 2);
    at += 32;
    while (at + 32 <= kBlockSize) {
      const uint8_t* entry = block + at;
      if (entry[0] != 0x44) {  // not an extension record of the previous entry
        if (remaining == 0) break;
        take(entry, platform);
        --remaining;
      }
      at += 32;
    }
  }
  return count;
}

}  // namespace quillden::fs
