#include "drive/virtual/cd_sector.h"

#include <array>
#include <cstring>

namespace quillden::drive::virt {
namespace {

struct Tables {
  std::array<uint8_t, 256> ecc_f{};  // multiplication by alpha in GF(2^8), x^8+x^4+x^3+x^2+1
  std::array<uint8_t, 256> ecc_b{};  // division by (1 + alpha)
  std::array<uint32_t, 256> edc{};
  Tables() {
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t j = (i << 1) ^ ((i & 0x80) ? 0x11D : 0);
      ecc_f[i] = static_cast<uint8_t>(j);
      ecc_b[i ^ j] = static_cast<uint8_t>(i);
      uint32_t crc = i;
      for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ ((crc & 1) ? 0xD8018001u : 0);
      edc[i] = crc;
    }
  }
};

const Tables& GetTables() {
  static const Tables tables;
  return tables;
}

constexpr uint8_t kSync[12] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};

// One parity set: major_count codewords of minor_count data bytes each, taken from the 2236
// (P) or 2340 (Q) byte area with the interleave of ECMA-130 Annex A.
void ComputeBlock(const uint8_t* src, uint32_t major_count, uint32_t minor_count,
                  uint32_t major_mult, uint32_t minor_inc, uint8_t* dest) {
  const Tables& t = GetTables();
  const uint32_t size = major_count * minor_count;
  for (uint32_t major = 0; major < major_count; ++major) {
    uint32_t index = (major >> 1) * major_mult + (major & 1);
    uint8_t a = 0;
    uint8_t b = 0;
    for (uint32_t minor = 0; minor < minor_count; ++minor) {
      uint8_t v = src[index];
      index += minor_inc;
      if (index >= size) index -= size;
      a ^= v;
      b ^= v;
      a = t.ecc_f[a];
    }
    a = t.ecc_b[t.ecc_f[a] ^ b];
    dest[major] = a;
    dest[major + major_count] = a ^ b;
  }
}

void PutHeader(int64_t lba, uint8_t mode, uint8_t* sector) {
  std::memcpy(sector, kSync, sizeof(kSync));
  Msf msf = LbaToMsf(lba);
  sector[12] = ToBcd(msf.minute);
  sector[13] = ToBcd(msf.second);
  sector[14] = ToBcd(msf.frame);
  sector[15] = mode;
}

void PutLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

Msf LbaToMsf(int64_t lba) {
  int64_t frames = lba + 150;
  if (frames < 0) frames += 450000;  // lead-in addresses sit at 90:00:00 and above
  frames %= 100 * 60 * 75;
  Msf msf;
  msf.minute = static_cast<uint8_t>(frames / 4500);
  msf.second = static_cast<uint8_t>((frames / 75) % 60);
  msf.frame = static_cast<uint8_t>(frames % 75);
  return msf;
}

int64_t MsfToLba(uint8_t minute, uint8_t second, uint8_t frame) {
  int64_t frames = (static_cast<int64_t>(minute) * 60 + second) * 75 + frame;
  if (minute >= 90) return frames - 450150;
  return frames - 150;
}

uint8_t ToBcd(uint8_t value) { return static_cast<uint8_t>(((value / 10) << 4) | (value % 10)); }

uint32_t CdEdc(const uint8_t* data, size_t size) {
  const Tables& t = GetTables();
  uint32_t crc = 0;
  for (size_t i = 0; i < size; ++i) crc = (crc >> 8) ^ t.edc[(crc ^ data[i]) & 0xFF];
  return crc;
}

void ComputeEccParity(uint8_t* sector) {
  ComputeBlock(sector + 12, 86, 24, 2, 86, sector + 2076);   // P: 86 columns of 24 bytes
  ComputeBlock(sector + 12, 52, 43, 86, 88, sector + 2248);  // Q: 52 diagonals of 43 bytes
}

void BuildMode1Sector(int64_t lba, const uint8_t* user_data, uint8_t* sector) {
  PutHeader(lba, 1, sector);
  std::memcpy(sector + 16, user_data, kUserBlockSize);
  PutLe32(sector + 2064, CdEdc(sector, 2064));
  std::memset(sector + 2068, 0, 8);
  ComputeEccParity(sector);
}

void BuildMode2Sector(int64_t lba, const uint8_t* formless_data, uint8_t* sector) {
  PutHeader(lba, 2, sector);
  std::memcpy(sector + 16, formless_data, kMode2FormlessSize);
  const bool form2 = (sector[18] & 0x20) != 0;
  if (form2) {
    PutLe32(sector + 2348, CdEdc(sector + 16, 8 + kMode2Form2DataSize));
    return;
  }
  PutLe32(sector + 2072, CdEdc(sector + 16, 8 + kUserBlockSize));
  // Mode 2 parity is computed with a zero header so that it survives address changes.
  uint8_t header[4];
  std::memcpy(header, sector + 12, 4);
  std::memset(sector + 12, 0, 4);
  ComputeEccParity(sector);
  std::memcpy(sector + 12, header, 4);
}

void BuildMode0Sector(int64_t lba, uint8_t* sector) {
  std::memset(sector, 0, kRawSectorSize);
  PutHeader(lba, 0, sector);
}

}  // namespace quillden::drive::virt
