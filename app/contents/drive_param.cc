#include "app/contents/drive_param.h"

#include "app/resources/string_ids.h"
#include "app/resources/string_table.h"

namespace quenvar::app {

int32_t DriveList::SelectedDrive() const {
  for (const tagDRIVEPARAM& record : records_) {
    if (record.selected) return record.driveNumber;
  }
  return 0;
}

void DriveList::SetSelection(int32_t drive_number) {
  for (tagDRIVEPARAM& record : records_)
    record.selected = record.driveNumber == drive_number ? 1 : 0;
}

const tagDRIVEPARAM* DriveList::Find(int32_t drive_number) const {
  for (const tagDRIVEPARAM& record : records_) {
    if (record.driveNumber == drive_number) return &record;
  }
  return nullptr;
}

uint32_t MediaKindToFlags(int32_t media_kind) {
  switch (media_kind) {
    case 1:
      return MEDIA_CDR | MEDIA_CDRW;
    case 2:
      return MEDIA_DVDR | MEDIA_DVDRW_RO | MEDIA_DVDRW_SEQ | MEDIA_DVDPRW | MEDIA_DVDPR;
    case 3:
      return MEDIA_DVDPR_DL | MEDIA_DVDR_DL;
    case 4:
      return MEDIA_HDDVDR;
    case 5:
      return MEDIA_HDDVDR_DL;
    case 6:
      return MEDIA_HDDVDRW;  // the USB flag shares its bit with HD DVD-RW
    default:
      return 0;
  }
}

std::u16string_view MediaName(uint32_t flag) {
  switch (flag) {
    case 0x1:
      return u"CD-ROM";
    case 0x2:
      return u"CD-R";
    case 0x4:
      return u"CD-RW";
    case 0x8:
      return u"DVD-ROM";
    case 0x10:
      return u"DVD-R";
    case 0x20:
      return u"DVD-RAM";
    case 0x40:
    case 0x80:
      return u"DVD-RW";
    case 0x100:
      return u"DVD+RW";
    case 0x200:
      return u"DVD+R";
    case 0x400:
      return u"DDCD-ROM";
    case 0x800:
      return u"DDCD-R";
    case 0x1000:
      return u"DDCD-RW";
    case 0x2000:
      return u"DVD+R DL";
    case 0x4000:
      return u"DVD-R DL";
    default:
      return u"*unknown*";
  }
}

std::u16string MediaListText(uint32_t allowed_media) {
  std::u16string text(LoadString(ids::kInsertBlankMediaList));
  std::u16string names;
  bool dvd_rw_named = false;
  bool dvd_r_dl_named = false;
  for (int bit = 0; bit < 32; ++bit) {
    const uint32_t flag = 1u << bit;
    if ((allowed_media & flag) == 0 || flag == MEDIA_DVDRAM) continue;
    if (flag == MEDIA_DVDRW_RO || flag == MEDIA_DVDRW_SEQ) {
      if (dvd_rw_named) continue;
      dvd_rw_named = true;
    }
    if (flag == MEDIA_DVDR_DL || flag == MEDIA_DVDR_DL_LJ) {
      if (dvd_r_dl_named) continue;
      dvd_r_dl_named = true;
      names += MediaName(MEDIA_DVDR_DL);
    } else {
      names += MediaName(flag);
    }
    names += u'/';
  }
  if (!names.empty()) names.pop_back();
  text += names;
  text += u"\r\n";
  return text;
}

std::u16string DriveLine(const tagDRIVEPARAM& record) {
  const char16_t letter[2] = {static_cast<char16_t>(record.driveNumber + 64), 0};
  return FormatText(u"(%s:) %s %s (%s)",
                    {letter, record.deviceInfo.szVendor, record.deviceInfo.szProduct,
                     record.deviceInfo.szRevision});
}

}  // namespace quenvar::app
