// Flushing and closing with progress.
#include "drive/recording/close_wait.h"

#include <algorithm>

#include "drive/drive_command.h"
#include "drive/mmc_commands.h"
#include "quillden/progress.h"
#include "quillden/result.h"

namespace quillden::recording {
namespace {

constexpr uint32_t kPhaseFlushing = 2;
constexpr uint32_t kPhaseClosing = 3;
constexpr uint32_t kFractionEnd = 65535;
// Most flushes and closes of a fast drive end within a fraction of a second, so the first poll
// comes soon; the interval then doubles up to once a second, so a close of tens of seconds is
// asked about hardly more often than at a fixed second.
constexpr uint32_t kFirstPollMs = 100;
constexpr uint32_t kPollMs = 1000;

template <typename Ask>
uint32_t PollWhileBusy(const ProgressReporter& progress, Ask ask) {
  drive::DriveClock* clock = drive::CurrentDriveClock();
  uint32_t wait_ms = kFirstPollMs;
  for (;;) {
    uint16_t indication = 0;
    const uint32_t result = ask(&indication);
    if (result != drive::kOperationInProgress) return result;
    progress.RaiseDone(indication);
    if (progress.CancelRequested()) return QD_E_CANCELLED;
    clock->SleepMs(wait_ms);
    wait_ms = std::min(2 * wait_ms, kPollMs);
    if (progress.CancelRequested()) return QD_E_CANCELLED;
  }
}

}  // namespace

uint32_t WaitForDriveOperation(HANDLE drive, const ProgressReporter& progress) {
  uint32_t result = PollWhileBusy(progress, [&](uint16_t* p) { return drive::TestUnitReady(drive, p); });
  if (result != QD_OK) return result;
  drive::DiscInformation info;
  return PollWhileBusy(progress, [&](uint16_t* p) { return drive::ReadDiscInformation(drive, &info, p); });
}

uint32_t CloseWithFunction(HANDLE drive, const ProgressReporter& progress, uint8_t function, uint16_t track) {
  const uint32_t result = drive::CloseTrackSession(drive, true, static_cast<uint8_t>(function & 7), track);
  if (result != QD_OK) return result;
  progress.BeginPhase(kPhaseClosing, kFractionEnd);
  return WaitForDriveOperation(drive, progress);
}

uint32_t CloseTrackSession(HANDLE drive, const ProgressReporter& progress, bool f0, bool f1, uint16_t track,
                           bool f2) {
  return CloseWithFunction(drive, progress, static_cast<uint8_t>((f2 ? 4 : 0) | (f1 ? 2 : 0) | (f0 ? 1 : 0)),
                           track);
}

uint32_t SynchronizeCacheWait(HANDLE drive, const ProgressReporter& progress) {
  const uint32_t result = drive::SynchronizeCache(drive, true);
  if (result != QD_OK) return result;
  progress.BeginPhase(kPhaseFlushing, kFractionEnd);
  return WaitForDriveOperation(drive, progress);
}

}  // namespace quillden::recording
