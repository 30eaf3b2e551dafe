// CRC-32 of IEEE 802.3 (reflected, polynomial 0xEDB88320, initial value and final inversion all
// ones), the hash the file systems give to short names and the tree gives to entry names.
#ifndef QUILLDEN_FILESYSTEMS_CRC32_H_
#define QUILLDEN_FILESYSTEMS_CRC32_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quillden::fs {

uint32_t Crc32(const void* data, size_t size);

// The same CRC fed piece by piece: start from kCrc32Start, update, then Crc32Finish.
inline constexpr uint32_t kCrc32Start = 0xFFFFFFFFu;
uint32_t Crc32Update(uint32_t crc, const void* data, size_t size);
inline uint32_t Crc32Finish(uint32_t crc) { return ~crc; }

// CRC-32 over the UTF-16LE bytes of text (no terminator).
uint32_t Crc32Utf16Le(std::u16string_view text);

}  // namespace quillden::fs

#endif  // QUILLDEN_FILESYSTEMS_CRC32_H_
