#include "datadisk/mastering/media_query.h"

#include "drive/profiles.h"
#include "quillden/drive.h"
#include "quillden/result.h"

namespace quillden::mastering {

DriveMedia QueryDriveMedia(HANDLE drive) {
  DriveMedia media;
  _MEDIAINFORMATION info{};
  if (DRV_GetMediaInformation(drive, &info) != QD_OK) return media;
  constexpr DWORD kCdMedia =
      MEDIA_CDROM | MEDIA_CDR | MEDIA_CDRW | MEDIA_DDCDROM | MEDIA_DDCDR | MEDIA_DDCDRW;
  media.known = true;
  media.cd = (info.dwMedia & kCdMedia) != 0;
  media.profile = drive::MediaFlagToProfile(info.dwMedia);
  return media;
}

}  // namespace quillden::mastering
