#include "filesystems/reader/boot_catalog_reader.h"

#include <cstddef>

#include "filesystems/layout/ecma119_layout.h"
#include "util/byte_order.h"

namespace quillden::reader {

namespace ecma119 = fs::ecma119;
namespace eltorito = fs::eltorito;

int ReadBootCatalog(const uint8_t* block, BootCatalogEntry* entries, int capacity) {
  if (block[eltorito::kValidationHeaderId] != eltorito::kHeaderValidation ||
      block[eltorito::kValidationKey55] != eltorito::kKey55 ||
      block[eltorito::kValidationKeyAA] != eltorito::kKeyAA)
    return -1;
  if (eltorito::ValidationSum(block) != 0) return -1;
  int count = 0;
  auto take = [&](const uint8_t* at, uint8_t platform) {
    if (at[eltorito::kEntryBootIndicator] != eltorito::kHeaderBootable || count >= capacity) return;
    BootCatalogEntry& out = entries[count++];
    out.platform = platform;
    out.emulation = at[eltorito::kEntryMediaType] & eltorito::kMediaTypeMask;
    out.load_segment = GetLe16(at + eltorito::kEntryLoadSegment);
    out.sector_count = GetLe16(at + eltorito::kEntrySectorCount);
    out.image_block = GetLe32(at + eltorito::kEntryLoadRba);
  };
  take(block + eltorito::kDefaultEntryOffset, block[eltorito::kValidationPlatform]);
  // Sections follow the default entry, one entry size each, until the last header's entries end.
  // An entry with the extension bit in its media byte is followed by extension records.
  size_t at = eltorito::kDefaultEntryOffset + eltorito::kEntrySize;
  bool last = false;
  while (!last && at + eltorito::kEntrySize <= ecma119::kSectorSize) {
    const uint8_t* header = block + at;
    if (header[eltorito::kSectionHeaderId] != eltorito::kHeaderSection &&
        header[eltorito::kSectionHeaderId] != eltorito::kHeaderLastSection)
      break;
    last = header[eltorito::kSectionHeaderId] == eltorito::kHeaderLastSection;
    const uint8_t platform = header[eltorito::kSectionPlatform];
    uint16_t remaining = GetLe16(header + eltorito::kSectionEntryCount);
    at += eltorito::kEntrySize;
    while (at + eltorito::kEntrySize <= ecma119::kSectorSize) {
      const uint8_t* entry = block + at;
      if (entry[eltorito::kExtensionHeaderId] != eltorito::kHeaderExtension) {
        if (remaining == 0) break;
        take(entry, platform);
        --remaining;
      }
      at += eltorito::kEntrySize;
    }
  }
  return count;
}

}  // namespace quillden::reader
