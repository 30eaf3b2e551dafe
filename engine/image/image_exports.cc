// The CPY_ exports of disc image files: thin checks at the boundary over DiscImage.
#include <cstring>
#include <new>

#include "drive/profiles.h"
#include "image/disc_image.h"
#include "platform/env.h"
#include "platform/unicode.h"
#include "quillden/image.h"
#include "quillden/result.h"

using quillden::image::DiscImage;
using quillden::image::TrackEntry;

QUILLDEN_EXTERN_C QUILLDEN_API HANDLE CPY_OpenDiskImage(const WCHAR* path) {
  if (path == nullptr) return nullptr;
  try {
    std::shared_ptr<DiscImage> image =
        DiscImage::Open(quenvar::platform::Env::Default(), quenvar::platform::Utf16View(path));
    if (!image) return nullptr;
    return DiscImage::Register(std::move(image));
  } catch (...) {  // out of memory: nothing may escape the interface
    return nullptr;
  }
}

QUILLDEN_EXTERN_C QUILLDEN_API DWORD CPY_CloseDiskImage(HANDLE image) {
  // The file closes when the last reference goes: here, or when a job that still reads it ends.
  // Reading files has nothing to flush, so closing cannot fail.
  return DiscImage::Release(image) ? QD_OK : QD_E_INVALID_HANDLE;
}

QUILLDEN_EXTERN_C QUILLDEN_API DWORD CPY_GetMediaDiskImage(HANDLE image) {
  std::shared_ptr<DiscImage> disc_image = DiscImage::FromHandle(image);
  return disc_image ? quillden::drive::ProfileToMediaFlag(disc_image->profile()) : 0;
}

QUILLDEN_EXTERN_C QUILLDEN_API BOOL CPY_IsAppendDiskImage(HANDLE image) {
  std::shared_ptr<DiscImage> disc_image = DiscImage::FromHandle(image);
  return disc_image && (disc_image->flags() & quillden::image::kFlagAppendable) ? TRUE : FALSE;
}

QUILLDEN_EXTERN_C QUILLDEN_API BOOL CPY_IsCdTextDiskImage(HANDLE image) {
  std::shared_ptr<DiscImage> disc_image = DiscImage::FromHandle(image);
  return disc_image && (disc_image->flags() & quillden::image::kFlagCdText) ? TRUE : FALSE;
}

QUILLDEN_EXTERN_C QUILLDEN_API DWORD CPY_CloseMethodDiskImage(HANDLE image) {
  std::shared_ptr<DiscImage> disc_image = DiscImage::FromHandle(image);
  if (!disc_image) return 0;
  if (disc_image->flags() & quillden::image::kFlagMiddleArea2) return 2;
  if (disc_image->flags() & quillden::image::kFlagMiddleArea4) return 4;
  return 0;
}

QUILLDEN_EXTERN_C QUILLDEN_API BOOL CPY_IsMiddleAreaExpansionDiskImage(HANDLE image) {
  std::shared_ptr<DiscImage> disc_image = DiscImage::FromHandle(image);
  return disc_image && (disc_image->flags() & quillden::image::kFlagMiddleAreaExpansion) ? TRUE
                                                                                         : FALSE;
}

QUILLDEN_EXTERN_C QUILLDEN_API WORD CPY_GetTrackInformation(HANDLE image, WORD track,
                                                            _TRACKINFORMATION* info) {
  std::shared_ptr<DiscImage> disc_image = DiscImage::FromHandle(image);
  if (!disc_image) return 0;
  const std::vector<TrackEntry>& list = disc_image->measured();
  WORD count = static_cast<WORD>(list.size());
  if (info != nullptr && track >= 1 && track <= count) {
    const TrackEntry& entry = list[track - 1];
    std::memset(info, 0, sizeof(*info));
    info->dwStart = entry.start;
    info->dwSize = entry.sector_count;
    info->dwMode = entry.mode;
    info->wTrack = entry.track_number;
    info->wSession = entry.session_number;
  }
  return count;
}
