#include "filesystems/crc32.h"

#include <array>

namespace quillden::fs {
namespace {

constexpr std::array<uint32_t, 256> MakeTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[i] = c;
  }
  return table;
}

constexpr std::array<uint32_t, 256> kTable = MakeTable();

uint32_t Update(uint32_t crc, uint8_t byte) { return kTable[(crc ^ byte) & 0xFF] ^ (crc >> 8); }

}  // namespace

uint32_t Crc32Update(uint32_t crc, const void* data, size_t size) {
  const auto* p = static_cast<const uint8_t*>(data);
  for (size_t i = 0; i < size; ++i) crc = Update(crc, p[i]);
  return crc;
}

uint32_t Crc32(const void* data, size_t size) {
  return Crc32Finish(Crc32Update(kCrc32Start, data, size));
}

uint32_t Crc32Utf16Le(std::u16string_view text) {
  uint32_t crc = 0xFFFFFFFFu;
  for (char16_t unit : text) {
    crc = Update(crc, static_cast<uint8_t>(unit));
    crc = Update(crc, static_cast<uint8_t>(unit >> 8));
  }
  return ~crc;
}

}  // namespace quillden::fs
