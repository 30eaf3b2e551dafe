// CRC-16 of polynomial 0x1021, initial value 0, most significant bit first: the descriptor CRC of
// UDF and, inverted, the CRC of a CD-Text pack. A byte at a time through a table: file entries,
// identifiers and packs are many.
#ifndef QUILLDEN_UTIL_CRC16_H_
#define QUILLDEN_UTIL_CRC16_H_

#include <array>
#include <cstddef>
#include <cstdint>

namespace quillden {

inline constexpr std::array<uint16_t, 256> kCrc16Table = [] {
  std::array<uint16_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t crc = i << 8;
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1;
    table[i] = static_cast<uint16_t>(crc);
  }
  return table;
}();

inline uint16_t Crc16(const uint8_t* data, size_t size) {
  uint16_t crc = 0;
  for (size_t i = 0; i < size; ++i)
    crc = static_cast<uint16_t>((crc << 8) ^ kCrc16Table[((crc >> 8) ^ data[i]) & 0xFF]);
  return crc;
}

}  // namespace quillden

#endif  // QUILLDEN_UTIL_CRC16_H_
