// DRV_EjectMedia and DRV_FlushDrive.
//
// The volume requests of the original platform (dismount, lock, unlock) have no counterpart here:
// the engine reads optical volumes through its own file system reader straight from the drive's
// sectors, so there is no mounted file system whose cached view could go stale. Flushing therefore
// only makes the drive read the new file system once, which is what mounting it again did.
#include "drive/drive_handle.h"
#include "drive/media_queries.h"
#include "drive/mmc_commands.h"
#include "quillden/drive.h"
#include "quillden/result.h"

using namespace quillden::drive;

QUILLDEN_EXTERN_C QUILLDEN_API DWORD DRV_EjectMedia(HANDLE drive, BOOL eject) {
  if (!DriveFromHandle(drive)) return QD_E_INVALID_HANDLE;
  // Open the tray (Start 0) or load it (Start 1).
  return StartStopUnit(drive, true, eject == FALSE);
}

QUILLDEN_EXTERN_C QUILLDEN_API DWORD DRV_FlushDrive(HANDLE drive) {
  if (!DriveFromHandle(drive)) return QD_E_INVALID_HANDLE;
  ProbeFileSystemSize(drive, 0);
  return QD_OK;
}
