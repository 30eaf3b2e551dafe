// Profiles, media flags and book types.
#include "drive/profiles.h"

#include <cstring>

namespace quillden::drive {
namespace {

struct ProfileFlag {
  uint16_t profile;
  uint32_t flag;
};

// MMC profile numbers of each media flag. BD profiles convert one way only.
constexpr ProfileFlag kProfiles[] = {
    {0x08, 0x00000001}, {0x09, 0x00000002}, {0x0A, 0x00000004}, {0x10, 0x00000008}, {0x11, 0x00000010},
    {0x12, 0x00000020}, {0x13, 0x00000040}, {0x14, 0x00000080}, {0x1A, 0x00000100}, {0x1B, 0x00000200},
    {0x20, 0x00000400}, {0x21, 0x00000800}, {0x22, 0x00001000}, {0x2B, 0x00002000}, {0x15, 0x00004000},
    {0x16, 0x00008000}, {0x50, 0x00010000}, {0x51, 0x00020000}, {0x52, 0x00040000}, {0x58, 0x00080000},
    {0x53, 0x00100000}, {0x5A, 0x00200000},
};

constexpr char kBusyTimeEraseDrive[] = "TEAC    DW-224E-C";

}  // namespace

uint32_t ProfileToMediaFlag(uint16_t profile) {
  for (const ProfileFlag& p : kProfiles) {
    if (p.profile == profile) return p.flag;
  }
  if (profile == 0x41 || profile == 0x42) return 0x00400000;
  if (profile == 0x43) return 0x00800000;
  return 0;
}

uint16_t MediaFlagToProfile(uint32_t flag) {
  for (const ProfileFlag& p : kProfiles) {
    if (p.flag == flag) return p.profile;
  }
  return 0;
}

bool IsCdProfile(uint16_t profile) { return profile >= 0x08 && profile <= 0x0A; }
bool IsOverwritableProfile(uint16_t profile) { return profile == 0x13 || profile == 0x1A; }
bool IsOverwritableHdDvdProfile(uint16_t profile) { return profile == 0x53 || profile == 0x5A; }

bool IsWritableProfile(uint16_t profile) {
  switch (profile) {
    case 0x09: case 0x0A: case 0x11: case 0x13: case 0x14: case 0x15: case 0x16:
    case 0x1A: case 0x1B: case 0x2B: case 0x51: case 0x53: case 0x58: case 0x5A:
      return true;
    default:
      return false;
  }
}

uint16_t BookTypeToProfile(uint8_t book_type) {
  switch (book_type) {
    case 0: return 0x10;
    case 1: return 0x12;
    case 2: return 0x11;
    case 3: return 0x14;
    case 4: return 0x50;
    case 5: return 0x52;
    case 6: return 0x51;
    case 7: return 0x53;
    case 9: return 0x1A;
    case 10: return 0x1B;
    case 14: return 0x2B;
    default: return 0;
  }
}

uint32_t ProfileToBookTypeFlag(uint16_t profile) {
  switch (profile) {
    case 0x10: return 1;
    case 0x12: return 2;
    case 0x11: return 4;
    case 0x14: return 8;
    case 0x1A: return 16;
    case 0x1B: return 32;
    case 0x2B: return 64;
    case 0x50: return 128;
    case 0x51: return 256;
    case 0x52: return 512;
    case 0x53: return 1024;
    default: return 0;
  }
}

bool IsBusyTimeEraseDrive(const uint8_t (&inquiry)[36]) {
  return std::memcmp(inquiry + 8, kBusyTimeEraseDrive, sizeof(kBusyTimeEraseDrive) - 1) == 0;
}

}  // namespace quillden::drive
