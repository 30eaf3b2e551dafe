#include "datadisk/mastering/media_query.h"

#include "quillden/drive.h"
#include "quillden/result.h"

namespace quillden::mastering {

bool DriveHoldsCd(HANDLE drive) {
  _MEDIAINFORMATION info{};
  if (DRV_GetMediaInformation(drive, &info) != QD_OK) return false;
  constexpr DWORD kCdMedia =
      MEDIA_CDROM | MEDIA_CDR | MEDIA_CDRW | MEDIA_DDCDROM | MEDIA_DDCDR | MEDIA_DDCDRW;
  return (info.dwMedia & kCdMedia) != 0;
}

}  // namespace quillden::mastering
