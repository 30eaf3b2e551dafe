// Raw CD sector construction for the virtual recorder: addresses in minutes/seconds/frames and the
// 2352-byte sector layouts of ECMA-130 (sync, header, EDC and the Reed-Solomon P and Q parity).
//
// Pure functions, thread-safe.
#ifndef QUILLDEN_DRIVE_VIRTUAL_CD_SECTOR_H_
#define QUILLDEN_DRIVE_VIRTUAL_CD_SECTOR_H_

#include <cstddef>
#include <cstdint>

namespace quillden::drive::virt {

inline constexpr uint32_t kRawSectorSize = 2352;
inline constexpr uint32_t kUserBlockSize = 2048;
inline constexpr uint32_t kMode2FormlessSize = 2336;
inline constexpr uint32_t kMode2Form2DataSize = 2324;

struct Msf {
  uint8_t minute = 0;
  uint8_t second = 0;
  uint8_t frame = 0;
};

// The absolute time of a logical block: LBA 0 is 00:02:00; negative addresses (lead-in) wrap
// into the 90-minute range as MMC defines for READ TOC and READ DISC INFORMATION.
Msf LbaToMsf(int64_t lba);
int64_t MsfToLba(uint8_t minute, uint8_t second, uint8_t frame);
uint8_t ToBcd(uint8_t value);

// CRC-32 used as the CD error detection code (ECMA-130 14.3), stored little-endian.
uint32_t CdEdc(const uint8_t* data, size_t size);

// Fills a 2352-byte mode 1 sector: sync, header (address of lba, mode 1), the 2048 user bytes,
// EDC, 8 zero bytes and the P and Q parity (ECMA-130 14).
void BuildMode1Sector(int64_t lba, const uint8_t* user_data, uint8_t* sector);
// Fills a 2352-byte mode 2 sector from the 2336 bytes after the header (subheader, then data).
// Form 1 (submode bit 5 clear) gets EDC and parity over its 2048 user bytes; form 2 gets its EDC.
void BuildMode2Sector(int64_t lba, const uint8_t* formless_data, uint8_t* sector);
// A mode 0 sector (sync, header, zeros): what gaps and run-out blocks read back as.
void BuildMode0Sector(int64_t lba, uint8_t* sector);

// P and Q parity over bytes 12..2075 of a sector (header included), written at 2076 and 2248.
void ComputeEccParity(uint8_t* sector);

}  // namespace quillden::drive::virt

#endif  // QUILLDEN_DRIVE_VIRTUAL_CD_SECTOR_H_
