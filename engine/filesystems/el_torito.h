// El Torito: the boot record volume descriptor and the boot catalog. The catalog is one block: the
// validation entry, the default entry and, for a disc that boots both through a PC BIOS and through
// UEFI, one section (header and entry) for the EFI platform. The boot images follow the catalog.
#ifndef QUILLDEN_FILESYSTEMS_EL_TORITO_H_
#define QUILLDEN_FILESYSTEMS_EL_TORITO_H_

#include <cstdint>
#include <optional>

#include "filesystems/layout/el_torito_layout.h"

namespace quillden::fs {

// The image size an emulation (eltorito::MediaType) demands, 0 when any size is accepted.
uint32_t RequiredBootImageSize(uint8_t emulation);

// The sector count of an EFI image's entry: its size in 512-byte units, rounded up. The firmware
// takes the count as the size of the FAT file system it mounts, so an image whose count does not
// fit 16 bits cannot be described; 0 then.
uint16_t EfiSectorCount(uint64_t image_bytes);

struct BootEntry {
  uint8_t emulation = eltorito::kMediaNoEmulation;
  uint16_t load_segment = 0;
  uint16_t sector_count = 0;
  uint32_t image_block = 0;  // absolute block of the boot image
};

// The boot record volume descriptor (type 0) pointing at the catalog.
void PutBootRecord(uint8_t* block, uint32_t catalog_block);
// The validation entry (platform 80x86) and the default entry.
void PutBootCatalog(uint8_t* block, const BootEntry& entry);
// The catalog of a disc with a BIOS entry, an EFI entry or both (at least one). With both, the
// BIOS image is the default entry and the EFI image the one entry of the last section (header
// 0x91, platform 0xEF). With the EFI image alone, the validation entry names the EFI platform and
// the image is the default entry. Without an EFI entry the block equals PutBootCatalog's.
void PutBootCatalog(uint8_t* block, const std::optional<BootEntry>& bios,
                    const std::optional<BootEntry>& efi);

}  // namespace quillden::fs

#endif  // QUILLDEN_FILESYSTEMS_EL_TORITO_H_
