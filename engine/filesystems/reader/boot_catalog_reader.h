// Reads the bootable entries back from an El Torito boot catalog block: the default entry, then
// the entries of each section, skipping their extension records. The catalog comes from a disc or
// an image nobody here wrote, so every entry is bounded by the block.
#ifndef QUILLDEN_FILESYSTEMS_READER_BOOT_CATALOG_READER_H_
#define QUILLDEN_FILESYSTEMS_READER_BOOT_CATALOG_READER_H_

#include <cstdint>

#include "filesystems/layout/el_torito_layout.h"

namespace quillden::reader {

// One bootable entry of a catalog.
struct BootCatalogEntry {
  uint8_t platform = 0;  // eltorito::PlatformId of the validation entry or of the section
  uint8_t emulation = fs::eltorito::kMediaNoEmulation;  // eltorito::MediaType
  uint16_t load_segment = 0;
  uint16_t sector_count = 0;  // virtual sectors of 512 bytes
  uint32_t image_block = 0;   // absolute block of the boot image
};

// Reads the bootable entries of a catalog block (2048 bytes) into entries (at most capacity), in
// catalog order. Returns the number read, or -1 when the validation entry is broken.
int ReadBootCatalog(const uint8_t* block, BootCatalogEntry* entries, int capacity);

}  // namespace quillden::reader

#endif  // QUILLDEN_FILESYSTEMS_READER_BOOT_CATALOG_READER_H_
