// CRC-32 of IEEE 802.3 (reflected, polynomial 0xEDB88320, initial value and final inversion all
// ones), the hash the file systems give to short names.
#ifndef QUILLDEN_FILESYSTEMS_CRC32_H_
#define QUILLDEN_FILESYSTEMS_CRC32_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quillden::fs {

uint32_t Crc32(const void* data, size_t size);

// CRC-32 over the UTF-16LE bytes of text (no terminator).
uint32_t Crc32Utf16Le(std::u16string_view text);

}  // namespace quillden::fs

#endif  // QUILLDEN_FILESYSTEMS_CRC32_H_
