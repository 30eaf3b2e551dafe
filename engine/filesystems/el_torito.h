// El Torito: the boot record volume descriptor and the boot catalog with its validation entry and
// one default entry. The catalog is one block; the boot image follows it on the disc.
#ifndef QUILLDEN_FILESYSTEMS_EL_TORITO_H_
#define QUILLDEN_FILESYSTEMS_EL_TORITO_H_

#include <cstdint>

namespace quillden::fs {

enum class BootEmulation : uint8_t {
  kNone = 0,
  kFloppy12 = 1,
  kFloppy144 = 2,
  kFloppy288 = 3,
  kHardDisk = 4,
};

// The image size an emulation demands, 0 when any size is accepted.
uint32_t RequiredBootImageSize(uint8_t emulation);

struct BootEntry {
  uint8_t emulation = 0;
  uint16_t load_segment = 0;
  uint16_t sector_count = 0;
  uint32_t image_block = 0;  // absolute block of the boot image
};

// El Torito 2.0: type 0 descriptor pointing at the catalog.
void PutBootRecord(uint8_t* block, uint32_t catalog_block);
// El Torito 2.1 and 2.2: validation entry (platform 80x86) and the default entry.
void PutBootCatalog(uint8_t* block, const BootEntry& entry);

}  // namespace quillden::fs

#endif  // QUILLDEN_FILESYSTEMS_EL_TORITO_H_
