// The process-wide list of locked drives and their lock monitors.
//
// DRV_LockMedia(TRUE) prevents media removal, asks the driver layer to catch eject requests and
// starts one monitor thread per drive, which posts (message, 32, 0) to the caller's window each time
// the user presses the eject button. Recording pauses a drive's monitor (so that it sends no
// commands between WRITEs) and resumes it afterwards. A drive appears at most once.
//
// The list is guarded by a mutex: DRV_LockMedia is called from the program's main thread while
// recording threads pause and resume monitors.
#ifndef QUILLDEN_DRIVE_MEDIA_OPS_LOCK_LIST_H_
#define QUILLDEN_DRIVE_MEDIA_OPS_LOCK_LIST_H_

#include <cstddef>
#include <cstdint>

#include "quillden/types.h"

namespace quillden::drive {

// What a press of the eject button posts as wParam.
inline constexpr WPARAM kEjectRequestNotice = 32;

// Number of drives in the lock list (tests).
size_t LockedDriveCount();

}  // namespace quillden::drive

#endif  // QUILLDEN_DRIVE_MEDIA_OPS_LOCK_LIST_H_
