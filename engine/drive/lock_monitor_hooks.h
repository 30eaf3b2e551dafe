// What the drive layer needs from the list of locked drives, which lives with the lock and eject
// code (media_ops/lock_list.cc).
#ifndef QUILLDEN_DRIVE_LOCK_MONITOR_HOOKS_H_
#define QUILLDEN_DRIVE_LOCK_MONITOR_HOOKS_H_

#include <cstdint>

#include "quillden/drive.h"

namespace quillden::drive {

// Pauses (recording starts) and resumes (recording ended) the lock monitor of a drive, if one runs.
void PauseLockMonitor(uint32_t drive_number);
void ResumeLockMonitor(uint32_t drive_number);

}  // namespace quillden::drive

#endif  // QUILLDEN_DRIVE_LOCK_MONITOR_HOOKS_H_
