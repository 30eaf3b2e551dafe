// DRV_EraseMedia: blanking CD-RW, DVD-RW and HD DVD-RW, and overwriting the start of a DVD+RW.
#include <algorithm>
#include <memory>
#include <new>

#include "drive/drive_command.h"
#include "drive/drive_handle.h"
#include "drive/driver_control.h"
#include "drive/media_queries.h"
#include "drive/mmc_commands.h"
#include "drive/mmc_vocabulary.h"
#include "drive/profiles.h"
#include "drive/recording/close_wait.h"
#include "drive/recording/ring_writer.h"
#include "drive/recording/write_parameters.h"
#include "progress/progress_record.h"
#include "quillden/drive.h"
#include "quillden/progress.h"
#include "quillden/result.h"
#include "util/byte_order.h"

namespace quillden::drive {
namespace {

constexpr uint32_t kPhaseErasing = 16;
constexpr uint32_t kFractionEnd = 65535;
constexpr uint32_t kQuickOverwriteSectors = 513;  // the volume structures of a data disc
constexpr uint8_t kDeviceBusyClass = 0x40;

enum class EraseKind { kBlank, kHdDvdBlank, kOverwrite, kNone };

EraseKind KindFor(uint16_t profile) {
  switch (profile) {
    case mmc::kProfileCdRw:
    case mmc::kProfileDvdMinusRwOverwrite:
    case mmc::kProfileDvdMinusRwSequential:
      return EraseKind::kBlank;
    case mmc::kProfileDvdPlusRw:
      return EraseKind::kOverwrite;
    case mmc::kProfileHdDvdRw:
    case mmc::kProfileHdDvdRwDl:
      return EraseKind::kHdDvdBlank;
    default:
      return EraseKind::kNone;
  }
}

// Polls one not-ready-rule command while the drive works, raising done from its indication.
template <typename Ask>
uint32_t PollErase(const ProgressReporter& progress, Ask ask) {
  DriveClock* clock = CurrentDriveClock();
  for (;;) {
    uint16_t indication = 0;
    const uint32_t result = ask(&indication);
    if (result != kOperationInProgress) return result;
    if (indication < kFractionEnd) progress.RaiseDone(indication);
    if (progress.CancelRequested()) return QD_E_CANCELLED;
    clock->SleepMs(1000);
  }
}

// The drive of the quirk table reports how long blanking will still take instead of a fraction.
uint32_t PollBusyTime(HANDLE drive, const ProgressReporter& progress) {
  DriveClock* clock = CurrentDriveClock();
  const uint64_t start = clock->TickMs();
  for (;;) {
    uint8_t event[8] = {};
    uint32_t fraction = 0;
    if (GetEventStatusNotification(drive, kDeviceBusyClass, event, sizeof(event)) == QD_OK &&
        event[5] != 0) {
      const uint64_t elapsed = (clock->TickMs() - start) / 100;  // tenths of a second
      const uint64_t remaining = GetBe16(event + 6);
      fraction = remaining + elapsed == 0
                     ? 0
                     : static_cast<uint32_t>(std::min<uint64_t>(
                           (elapsed << 16) / (remaining + elapsed), kFractionEnd));
    }
    if (fraction >= kFractionEnd) {
      clock->SleepMs(1000);
      return QD_OK;  // the sense-data polling takes over
    }
    if (progress.CancelRequested()) return QD_E_CANCELLED;
    progress.RaiseDone(fraction);
    clock->SleepMs(1000);
    DiscInformation disc;
    if (ReadDiscInformation(drive, &disc) != kOperationInProgress) return QD_OK;
  }
}

uint32_t EraseProgressWorker(HANDLE drive, const ProgressReporter& progress) {
  uint8_t inquiry[36] = {};
  if (Inquiry(drive, inquiry) == QD_OK && IsBusyTimeEraseDrive(inquiry)) {
    const uint32_t result = PollBusyTime(drive, progress);
    if (result != QD_OK) return result;
  }
  DiscInformation disc;
  uint32_t result =
      PollErase(progress, [&](uint16_t* p) { return ReadDiscInformation(drive, &disc, p); });
  if (result != QD_OK) return result;
  return PollErase(progress, [&](uint16_t* p) { return TestUnitReady(drive, p); });
}

uint32_t StartBlank(HANDLE drive, HANDLE progress, bool quick, bool hd_dvd) {
  if (!hd_dvd) {
    SetCdSpeed(drive, 0xFFFF, 0xFFFF);  // DVD drives may refuse it; the speed is only a wish
    // The write parameters page goes back with its header cleared, as some drives refuse
    // blanking until the page has been selected once.
    uint8_t page[60] = {};
    uint32_t result = ModeSense10(drive, mmc::kModePageWriteParameters, page, sizeof(page));
    if (result != QD_OK) return result;
    std::fill(page, page + mmc::kModeHeaderSize, 0);
    result = ModeSelect10(drive, page, sizeof(page));
    if (result != QD_OK) return result;
  }
  NotifyRecordingStart(DriveNumberOf(drive));
  const uint32_t result = Blank(drive, true, quick ? 1 : 0, 0);
  if (result != QD_OK) return result;
  return RunOperation(
      progress, kPhaseErasing, kFractionEnd,
      [drive](const ProgressReporter& reporter) { return EraseProgressWorker(drive, reporter); });
}

uint32_t OverwriteWorker(HANDLE drive, uint32_t sectors, const ProgressReporter& progress) {
  recording::RingWriterOptions options;
  options.drive = drive;
  options.progress = progress;
  uint32_t result = QD_OK;
  std::unique_ptr<recording::RingWriter> writer = recording::RingWriter::Start(options, &result);
  if (!writer) return result;
  result = writer->WriteZeros(sectors);
  const uint32_t ended = writer->End();
  if (result == QD_OK) result = ended;
  if (result != QD_OK) return result;
  result = recording::SynchronizeCacheWait(drive, progress);
  if (result != QD_OK) return result;
  return recording::CloseWithFunction(drive, progress, 0, 0);  // stop the background format
}

uint32_t StartOverwrite(HANDLE drive, HANDLE progress, bool quick) {
  NotifyRecordingStart(DriveNumberOf(drive));
  uint32_t sectors = kQuickOverwriteSectors;
  if (!quick) {
    _MEDIAINFORMATION info{};
    if (DRV_GetMediaInformation(drive, &info) == QD_OK)
      sectors = std::max(info.dwCapacity, kQuickOverwriteSectors);
  }
  // Formatting as for recording: the disc must be (background-)formatted to take the writes.
  FormatCapacity current;
  std::vector<FormatCapacity> formattable;
  uint32_t result = ReadAllFormatCapacities(drive, &current, &formattable);
  if (result != QD_OK) return result;
  uint32_t blocks = 0;
  for (const FormatCapacity& c : formattable) {
    if (c.type == mmc::kFormatDvdPlusRw) blocks = c.block_count;  // the type comes unshifted
  }
  DiscInformation disc;
  result = WaitWhileDiscBusy(drive, &disc, 0);
  if (result == QD_OK) result = recording::StreamAtMaximum(drive, 0, sectors);
  if (result != QD_OK) return result;
  const uint8_t background = disc.raw[mmc::kDiscInfoFlags] & mmc::kBackgroundFormatMask;
  if (background <= 1) {
    FormatList list;
    list.options = 0x82;
    list.block_count = blocks;
    list.format_type = mmc::kFormatDvdPlusRw;
    list.type_parameter = background;
    result = FormatUnit(drive, list);
    if (result == QD_OK) result = WaitWhileDiscBusy(drive, &disc, 0);
    if (result != QD_OK) return result;
  }
  return RunOperation(progress, kPhaseErasing, sectors,
                      [drive, sectors](const ProgressReporter& reporter) {
                        return OverwriteWorker(drive, sectors, reporter);
                      });
}

}  // namespace
}  // namespace quillden::drive

using namespace quillden::drive;

QUILLDEN_EXTERN_C QUILLDEN_API DWORD DRV_EraseMedia(HANDLE drive, HANDLE progress, BOOL quick) {
  if (!DriveFromHandle(drive)) return QD_E_INVALID_HANDLE;
  if (progress != nullptr) {
    std::shared_ptr<quillden::ProgressRecord> record =
        quillden::ProgressRecord::FromHandle(progress);
    if (!record) return QD_E_INVALID_HANDLE;
    if (quillden::ProgressBusy(record->status.load())) return QD_E_BUSY;
  }
  try {
    switch (KindFor(CurrentProfile(drive))) {
      case EraseKind::kBlank:
        return StartBlank(drive, progress, quick != FALSE, false);
      case EraseKind::kHdDvdBlank:
        return StartBlank(drive, progress, quick != FALSE, true);
      case EraseKind::kOverwrite:
        return StartOverwrite(drive, progress, quick != FALSE);
      case EraseKind::kNone:
        return QD_E_CANNOT_ERASE;
    }
  } catch (const std::bad_alloc&) {
    return QD_E_OUT_OF_MEMORY;
  }
  return QD_E_CANNOT_ERASE;
}
