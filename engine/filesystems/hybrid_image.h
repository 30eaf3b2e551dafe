// The system area of a hybrid image: the first 16 blocks of an El Torito bootable ISO image, which
// the volume descriptors leave free, receive a master boot record and a GUID partition table so
// that the same image written raw to a USB stick or a hard disk boots too. Through the BIOS, the
// MBR's own boot code loads the catalog's no-emulation BIOS image; through UEFI, the firmware finds
// the EFI image's FAT as the EFI system partition (GPT entry, and an MBR entry of type 0xEF for
// firmware that reads the MBR). The backup GPT takes the last 33 sectors: the image grows by 9
// blocks for it.
#ifndef QUILLDEN_FILESYSTEMS_HYBRID_IMAGE_H_
#define QUILLDEN_FILESYSTEMS_HYBRID_IMAGE_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace quillden::fs {

inline constexpr uint32_t kSystemAreaBytes = 16 * 2048;
// Blocks appended to the ISO image for the backup GPT (33 sectors, rounded up to blocks).
inline constexpr uint32_t kHybridTailBlocks = 9;

// Where the boot images of an ISO image are, read from its boot catalog. Sectors are 512 bytes.
struct HybridPlan {
  uint64_t iso_bytes = 0;  // the image before the tail
  bool has_bios = false;
  uint32_t bios_sector = 0;        // first sector of the BIOS image
  uint16_t bios_sector_count = 0;  // sectors the MBR loads
  uint16_t bios_load_segment = 0;  // as in the catalog: 0 is 07C0
  bool has_efi = false;
  uint32_t efi_sector = 0;
  uint32_t efi_sector_count = 0;
  uint8_t id_seed[32] = {};  // makes the disk signature and GUIDs of one image its own
  // Primary and supplementary volume descriptors whose volume space ends with the image: the tail
  // joins their volume, so that readers and copies of the volume take the backup GPT along.
  std::vector<uint32_t> volume_descriptor_blocks;
};

// The system area (kSystemAreaBytes) and the tail (kHybridTailBlocks blocks) of a plan.
void BuildHybridSystemArea(const HybridPlan& plan, uint8_t* system_area, uint8_t* tail);

// The MBR boot code, 512 bytes, with its parameter block and partition table empty.
extern const uint8_t kHybridMbrCode[512];

// Reads size bytes at offset of the image; false when they cannot be read.
using ImageReader = std::function<bool(uint64_t offset, uint8_t* data, size_t size)>;

// Reads the plan from an ISO image of size bytes: its system area (which must be unused), volume
// descriptors, boot catalog and EFI image. Returns an empty string, or why the image cannot be
// made hybrid.
std::string PlanHybridImage(const ImageReader& read, uint64_t size, HybridPlan* plan);

// Makes the plain ISO image at path hybrid in place: checks it (system area unused, boot images
// the MBR and the firmware can use), writes the system area, appends the tail and reads both back.
// Returns an empty string on success, else the reason; the file is then left as it was, or, when
// a write failed, reported as spoiled by the reason.
std::string MakeImageHybrid(const std::string& path);

}  // namespace quillden::fs

#endif  // QUILLDEN_FILESYSTEMS_HYBRID_IMAGE_H_
