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

void PutBootCatalog(uint8_t* block, const BootEntry& entry) {
  std::memset(block, 0, kBlockSize);
  // Validation entry.
  block[0] = 1;  // header ID
  block[1] = 0;  // platform 80x86
  block[30] = 0x55;
  block[31] = 0xAA;
  uint16_t sum = 0;
  for (int i = 0; i < 32; i += 2) sum = static_cast<uint16_t>(sum + GetLe16(block + i));
  PutLe16(block + 28, static_cast<uint16_t>(0x10000 - sum));
  // Default entry.
  block[32] = 0x88;  // bootable
  block[33] = entry.emulation;
  PutLe16(block + 34, entry.load_segment);
  block[36] = 0;  // system type
  PutLe16(block + 38, entry.sector_count);
  PutLe32(block + 40, entry.image_block);
}

}  // namespace quillden::fs
