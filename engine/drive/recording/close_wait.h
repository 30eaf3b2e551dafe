// Flushing and closing with progress: the drive is told to work in the background (immediate
// commands) and the engine polls it, turning its progress indication into the progress object.
#ifndef QUILLDEN_DRIVE_RECORDING_CLOSE_WAIT_H_
#define QUILLDEN_DRIVE_RECORDING_CLOSE_WAIT_H_

#include <cstdint>

#include "progress/progress_record.h"
#include "quillden/types.h"

namespace quillden::recording {

// CLOSE TRACK/SESSION with close function f2 f1 f0 (immediate), then progress phase 3 while the
// drive is busy. 0, the command's result, or 0x08000032 when cancellation was requested.
uint32_t CloseTrackSession(HANDLE drive, const ProgressReporter& progress, bool f0, bool f1, uint16_t track,
                           bool f2);
// The same with the three bits as one close function (001b track, 010b session, ...).
uint32_t CloseWithFunction(HANDLE drive, const ProgressReporter& progress, uint8_t function, uint16_t track);

// SYNCHRONIZE CACHE (immediate), then progress phase 2 in the same way.
uint32_t SynchronizeCacheWait(HANDLE drive, const ProgressReporter& progress);

// The wait behind both: TEST UNIT READY, then READ DISC INFORMATION, each while the drive reports
// an operation in progress, raising done from its progress indication. The first poll follows
// after 100 ms, the interval doubling to 1000 ms.
uint32_t WaitForDriveOperation(HANDLE drive, const ProgressReporter& progress);

}  // namespace quillden::recording

#endif  // QUILLDEN_DRIVE_RECORDING_CLOSE_WAIT_H_
