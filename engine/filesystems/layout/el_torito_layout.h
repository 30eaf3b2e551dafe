// The byte layout of El Torito boot structures: the boot record volume descriptor's fields and
// the 32-byte entries of the boot catalog (validation entry, initial/default entry, section
// headers, section entries and their extensions). Named once for the catalog's writer and reader.
#ifndef QUILLDEN_FILESYSTEMS_LAYOUT_EL_TORITO_LAYOUT_H_
#define QUILLDEN_FILESYSTEMS_LAYOUT_EL_TORITO_LAYOUT_H_

#include <cstddef>
#include <cstdint>

namespace quillden::fs::eltorito {

// The boot record descriptor (type 0) names this boot system and points at the catalog.
inline constexpr char kBootSystemId[] = "EL TORITO SPECIFICATION";  // zero padded to 32 bytes
inline constexpr size_t kBootCatalogPointer = 71;                   // 4 bytes, little-endian

inline constexpr size_t kEntrySize = 32;

// Header IDs of catalog entries.
enum HeaderId : uint8_t {
  kHeaderValidation = 0x01,
  kHeaderBootable = 0x88,  // initial/default or section entry: bootable
  kHeaderNotBootable = 0x00,
  kHeaderSection = 0x90,      // more sections follow
  kHeaderLastSection = 0x91,  // the final section
  kHeaderExtension = 0x44,    // section entry extension
};

// Platform IDs of the validation entry and of section headers.
enum PlatformId : uint8_t {
  kPlatform80x86 = 0x00,
  kPlatformPowerPc = 0x01,
  kPlatformMac = 0x02,
  kPlatformUefi = 0xEF,
};

// Boot media types (the low four bits of an entry's media byte).
enum MediaType : uint8_t {
  kMediaNoEmulation = 0,
  kMedia12Floppy = 1,
  kMedia144Floppy = 2,
  kMedia288Floppy = 3,
  kMediaHardDisk = 4,
};
inline constexpr uint8_t kMediaTypeMask = 0x0F;
inline constexpr uint8_t kMediaContinuesWithExtension = 0x20;  // an extension follows the entry

// The image sizes the floppy emulations stand for.
inline constexpr uint32_t kFloppy12Bytes = 1228800;
inline constexpr uint32_t kFloppy144Bytes = 1474560;
inline constexpr uint32_t kFloppy288Bytes = 2949120;

// An entry's sector count is in virtual sectors of 512 bytes.
inline constexpr uint32_t kVirtualSectorSize = 512;
// The segment a load segment of 0 stands for.
inline constexpr uint16_t kDefaultLoadSegment = 0x07C0;

// Validation entry: the catalog's first entry. Its 16 little-endian words sum to zero.
inline constexpr size_t kValidationHeaderId = 0;  // 1 byte, kHeaderValidation
inline constexpr size_t kValidationPlatform = 1;  // 1 byte, PlatformId
inline constexpr size_t kValidationIdString = 4;  // 24 bytes, the disc's maker
inline constexpr size_t kValidationIdStringSize = 24;
inline constexpr size_t kValidationChecksum = 28;  // 2 bytes, little-endian
inline constexpr size_t kValidationKey55 = 30;     // 1 byte, 0x55
inline constexpr size_t kValidationKeyAA = 31;     // 1 byte, 0xAA
inline constexpr uint8_t kKey55 = 0x55;
inline constexpr uint8_t kKeyAA = 0xAA;

// Initial/default entry (the catalog's second entry) and section entries share their first 12
// bytes; a section entry adds the selection criteria.
inline constexpr size_t kDefaultEntryOffset = kEntrySize;  // within the catalog block
inline constexpr size_t kEntryBootIndicator = 0;  // 1 byte, kHeaderBootable or kHeaderNotBootable
inline constexpr size_t kEntryMediaType = 1;      // 1 byte, MediaType (and flag bits)
inline constexpr size_t kEntryLoadSegment = 2;    // 2 bytes, little-endian; 0 means 0x7C0
inline constexpr size_t kEntrySystemType = 4;     // 1 byte
inline constexpr size_t kEntrySectorCount = 6;    // 2 bytes, little-endian, 512-byte sectors
inline constexpr size_t kEntryLoadRba = 8;        // 4 bytes, little-endian, the image's block
inline constexpr size_t kEntryCriteriaType = 12;  // 1 byte, section entries only
inline constexpr size_t kEntryCriteria = 13;      // 19 bytes, section entries only

// Section header.
inline constexpr size_t kSectionHeaderId = 0;    // 1 byte, kHeaderSection or kHeaderLastSection
inline constexpr size_t kSectionPlatform = 1;    // 1 byte, PlatformId
inline constexpr size_t kSectionEntryCount = 2;  // 2 bytes, little-endian
inline constexpr size_t kSectionIdString = 4;    // 28 bytes

// Section entry extension.
inline constexpr size_t kExtensionHeaderId = 0;  // 1 byte, kHeaderExtension
inline constexpr size_t kExtensionFlags = 1;     // 1 byte; 0x20: another extension follows
inline constexpr size_t kExtensionCriteria = 2;  // 30 bytes

// The 16-bit sum of the validation entry's words; zero in a sound entry.
inline uint16_t ValidationSum(const uint8_t* entry) {
  uint16_t sum = 0;
  for (size_t i = 0; i < kEntrySize; i += 2)
    sum = static_cast<uint16_t>(sum + (entry[i] | (entry[i + 1] << 8)));
  return sum;
}

}  // namespace quillden::fs::eltorito

#endif  // QUILLDEN_FILESYSTEMS_LAYOUT_EL_TORITO_LAYOUT_H_
