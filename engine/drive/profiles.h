// Media classification over the MMC profiles of mmc_vocabulary.h: the engine's media flags, DVD
// book types, profile classes, and the drive quirk table. Pure functions; thread-safe.
#ifndef QUILLDEN_DRIVE_PROFILES_H_
#define QUILLDEN_DRIVE_PROFILES_H_

#include <cstdint>

namespace quillden::drive {

uint32_t ProfileToMediaFlag(uint16_t profile);
uint16_t MediaFlagToProfile(uint32_t flag);

bool IsCdProfile(uint16_t profile);
bool IsOverwritableProfile(uint16_t profile);
bool IsOverwritableHdDvdProfile(uint16_t profile);
bool IsWritableProfile(uint16_t profile);

// Book type (high nibble of the first physical format byte) → profile, 0 when unknown.
uint16_t BookTypeToProfile(uint8_t book_type);
// Profile → book type flag (BOOK_*), 0 for other profiles.
uint32_t ProfileToBookTypeFlag(uint16_t profile);

// INQUIRY bytes 8 to 24 (vendor and product) of the drive whose erase progress comes from its
// busy-time report instead of sense data.
bool IsBusyTimeEraseDrive(const uint8_t (&inquiry)[36]);

}  // namespace quillden::drive

#endif  // QUILLDEN_DRIVE_PROFILES_H_
