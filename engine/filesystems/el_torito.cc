#include "filesystems/el_torito.h"

#include <cstring>

#include "filesystems/iso9660_records.h"
#include "filesystems/layout/ecma119_layout.h"
#include "util/byte_order.h"

namespace quillden::fs {

uint32_t RequiredBootImageSize(uint8_t emulation) {
  switch (emulation) {
    case eltorito::kMedia12Floppy:
      return eltorito::kFloppy12Bytes;
    case eltorito::kMedia144Floppy:
      return eltorito::kFloppy144Bytes;
    case eltorito::kMedia288Floppy:
      return eltorito::kFloppy288Bytes;
    default:
      return 0;
  }
}

void PutBootRecord(uint8_t* block, uint32_t catalog_block) {
  std::memset(block, 0, kBlockSize);
  block[ecma119::kDescriptorType] = ecma119::kTypeBootRecord;
  std::memcpy(block + ecma119::kStandardIdentifier, ecma119::kStandardId,
              ecma119::kStandardIdentifierSize);
  block[ecma119::kDescriptorVersion] = ecma119::kDescriptorVersionValue;
  std::memcpy(block + ecma119::kBootSystemIdentifier, eltorito::kBootSystemId,
              sizeof eltorito::kBootSystemId - 1);  // zero padded to 32 bytes
  PutLe32(block + eltorito::kBootCatalogPointer, catalog_block);
}

namespace {

void PutValidationEntry(uint8_t* block, uint8_t platform) {
  block[eltorito::kValidationHeaderId] = eltorito::kHeaderValidation;
  block[eltorito::kValidationPlatform] = platform;
  block[eltorito::kValidationKey55] = eltorito::kKey55;
  block[eltorito::kValidationKeyAA] = eltorito::kKeyAA;
  // The checksum makes the words of the entry sum to zero.
  const uint16_t sum = eltorito::ValidationSum(block);
  PutLe16(block + eltorito::kValidationChecksum, static_cast<uint16_t>(0x10000 - sum));
}

// A default entry or a section entry (their first 12 bytes agree).
void PutBootableEntry(uint8_t* at, const BootEntry& entry) {
  at[eltorito::kEntryBootIndicator] = eltorito::kHeaderBootable;
  at[eltorito::kEntryMediaType] = entry.emulation;
  PutLe16(at + eltorito::kEntryLoadSegment, entry.load_segment);
  at[eltorito::kEntrySystemType] = 0;
  PutLe16(at + eltorito::kEntrySectorCount, entry.sector_count);
  PutLe32(at + eltorito::kEntryLoadRba, entry.image_block);
}

}  // namespace

uint16_t EfiSectorCount(uint64_t image_bytes) {
  uint64_t sectors =
      (image_bytes + eltorito::kVirtualSectorSize - 1) / eltorito::kVirtualSectorSize;
  return sectors > 0xFFFF ? 0 : static_cast<uint16_t>(sectors);
}

void PutBootCatalog(uint8_t* block, const BootEntry& entry) {
  std::memset(block, 0, kBlockSize);
  PutValidationEntry(block, eltorito::kPlatform80x86);
  PutBootableEntry(block + eltorito::kDefaultEntryOffset, entry);
}

void PutBootCatalog(uint8_t* block, const std::optional<BootEntry>& bios,
                    const std::optional<BootEntry>& efi) {
  if (!efi) {
    PutBootCatalog(block, bios.value_or(BootEntry{}));
    return;
  }
  std::memset(block, 0, kBlockSize);
  if (!bios) {
    PutValidationEntry(block, eltorito::kPlatformUefi);
    PutBootableEntry(block + eltorito::kDefaultEntryOffset, *efi);
    return;
  }
  PutValidationEntry(block, eltorito::kPlatform80x86);
  PutBootableEntry(block + eltorito::kDefaultEntryOffset, *bios);
  uint8_t* header = block + eltorito::kDefaultEntryOffset + eltorito::kEntrySize;
  header[eltorito::kSectionHeaderId] = eltorito::kHeaderLastSection;
  header[eltorito::kSectionPlatform] = eltorito::kPlatformUefi;
  PutLe16(header + eltorito::kSectionEntryCount, 1);
  PutBootableEntry(header + eltorito::kEntrySize, *efi);
}

}  // namespace quillden::fs
