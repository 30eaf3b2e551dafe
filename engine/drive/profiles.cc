// Profiles, media flags and book types.
#include "drive/profiles.h"

#include <cstring>

#include "drive/mmc_vocabulary.h"
#include "quillden/drive.h"

namespace quillden::drive {
namespace {

using namespace mmc;

struct ProfileFlag {
  uint16_t profile;
  uint32_t flag;
};

// Media flag of each profile. BD profiles convert one way only.
constexpr ProfileFlag kProfiles[] = {
    {kProfileCdRom, MEDIA_CDROM},
    {kProfileCdR, MEDIA_CDR},
    {kProfileCdRw, MEDIA_CDRW},
    {kProfileDvdRom, MEDIA_DVDROM},
    {kProfileDvdMinusR, MEDIA_DVDR},
    {kProfileDvdRam, MEDIA_DVDRAM},
    {kProfileDvdMinusRwOverwrite, MEDIA_DVDRW_RO},
    {kProfileDvdMinusRwSequential, MEDIA_DVDRW_SEQ},
    {kProfileDvdPlusRw, MEDIA_DVDPRW},
    {kProfileDvdPlusR, MEDIA_DVDPR},
    {kProfileDdcdRom, MEDIA_DDCDROM},
    {kProfileDdcdR, MEDIA_DDCDR},
    {kProfileDdcdRw, MEDIA_DDCDRW},
    {kProfileDvdPlusRDl, MEDIA_DVDPR_DL},
    {kProfileDvdMinusRDlSequential, MEDIA_DVDR_DL},
    {kProfileDvdMinusRDlJump, MEDIA_DVDR_DL_LJ},
    {kProfileHdDvdRom, MEDIA_HDDVDROM},
    {kProfileHdDvdR, MEDIA_HDDVDR},
    {kProfileHdDvdRam, MEDIA_HDDVDRAM},
    {kProfileHdDvdRDl, MEDIA_HDDVDR_DL},
    {kProfileHdDvdRw, MEDIA_HDDVDRW},
    {kProfileHdDvdRwDl, MEDIA_HDDVDRW_DL},
};

constexpr char kBusyTimeEraseDrive[] = "TEAC    DW-224E-C";

}  // namespace

uint32_t ProfileToMediaFlag(uint16_t profile) {
  for (const ProfileFlag& p : kProfiles) {
    if (p.profile == profile) return p.flag;
  }
  if (profile == kProfileBdRSequential || profile == kProfileBdRRandom) return MEDIA_BDR;
  if (profile == kProfileBdRe) return MEDIA_BDRE;
  return 0;
}

uint16_t MediaFlagToProfile(uint32_t flag) {
  for (const ProfileFlag& p : kProfiles) {
    if (p.flag == flag) return p.profile;
  }
  return kProfileNone;
}

bool IsCdProfile(uint16_t profile) {
  return profile >= kProfileCdRom && profile <= kProfileCdRw;
}

bool IsOverwritableProfile(uint16_t profile) {
  return profile == kProfileDvdMinusRwOverwrite || profile == kProfileDvdPlusRw;
}

bool IsOverwritableHdDvdProfile(uint16_t profile) {
  return profile == kProfileHdDvdRw || profile == kProfileHdDvdRwDl;
}

bool IsWritableProfile(uint16_t profile) {
  switch (profile) {
    case kProfileCdR:
    case kProfileCdRw:
    case kProfileDvdMinusR:
    case kProfileDvdMinusRwOverwrite:
    case kProfileDvdMinusRwSequential:
    case kProfileDvdMinusRDlSequential:
    case kProfileDvdMinusRDlJump:
    case kProfileDvdPlusRw:
    case kProfileDvdPlusR:
    case kProfileDvdPlusRDl:
    case kProfileHdDvdR:
    case kProfileHdDvdRw:
    case kProfileHdDvdRDl:
    case kProfileHdDvdRwDl:
      return true;
    default:
      return false;
  }
}

uint16_t BookTypeToProfile(uint8_t book_type) {
  switch (book_type) {
    case 0:
      return kProfileDvdRom;
    case 1:
      return kProfileDvdRam;
    case 2:
      return kProfileDvdMinusR;
    case 3:
      return kProfileDvdMinusRwSequential;
    case 4:
      return kProfileHdDvdRom;
    case 5:
      return kProfileHdDvdRam;
    case 6:
      return kProfileHdDvdR;
    case 7:
      return kProfileHdDvdRw;
    case 9:
      return kProfileDvdPlusRw;
    case 10:
      return kProfileDvdPlusR;
    case 14:
      return kProfileDvdPlusRDl;
    default:
      return kProfileNone;
  }
}

uint32_t ProfileToBookTypeFlag(uint16_t profile) {
  switch (profile) {
    case kProfileDvdRom:
      return BOOK_DVDROM;
    case kProfileDvdRam:
      return BOOK_DVDRAM;
    case kProfileDvdMinusR:
      return BOOK_DVDR;
    case kProfileDvdMinusRwSequential:
      return BOOK_DVDRW;
    case kProfileDvdPlusRw:
      return BOOK_DVDPRW;
    case kProfileDvdPlusR:
      return BOOK_DVDPR;
    case kProfileDvdPlusRDl:
      return BOOK_DVDPR_DL;
    case kProfileHdDvdRom:
      return BOOK_HDDVDROM;
    case kProfileHdDvdR:
      return BOOK_HDDVDR;
    case kProfileHdDvdRam:
      return BOOK_HDDVDRAM;
    case kProfileHdDvdRw:
      return BOOK_HDDVDRW;
    default:
      return 0;
  }
}

bool IsBusyTimeEraseDrive(const uint8_t (&inquiry)[36]) {
  return std::memcmp(inquiry + 8, kBusyTimeEraseDrive, sizeof(kBusyTimeEraseDrive) - 1) == 0;
}

}  // namespace quillden::drive
