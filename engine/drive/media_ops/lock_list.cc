// DRV_LockMedia, the lock list and the lock monitor thread.
#include "drive/media_ops/lock_list.h"

#include <cstdint>
#include <list>
#include <memory>
#include <new>

#include "drive/drive_handle.h"
#include "drive/lock_monitor_hooks.h"
#include "drive/mmc_commands.h"
#include "platform/message_window.h"
#include "platform/mutex.h"
#include "platform/sync.h"
#include "quillden/drive.h"
#include "quillden/result.h"
#include "util/byte_order.h"

namespace quillden::drive {
namespace {

using quenvar::platform::Event;

constexpr uint32_t kPollMs = 1000;
constexpr uint32_t kUnlockWaitMs = 300000;
constexpr uint8_t kMediaClass = 0x10;
constexpr uint8_t kMediaEventEjectRequest = 1;

// What one monitor thread works with; it touches nothing else.
struct MonitorRecord {
  HANDLE drive = nullptr;
  HWND window = nullptr;
  UINT message = 0;
  Event run{Event::Kind::kManualReset, true};    // set while monitoring may poll
  Event alive{Event::Kind::kManualReset, true};  // set while the monitor shall keep running
  Event quit{Event::Kind::kManualReset, false};  // cuts the pauses short when unlocking
};

struct LockNode {
  uint32_t drive_number = 0;
  HANDLE drive = nullptr;  // tells apart drives the driver layer knows no letter for
  std::shared_ptr<MonitorRecord> record;
  std::unique_ptr<quenvar::platform::Thread> thread;
};

quenvar::platform::Mutex g_lock_mutex;
std::list<LockNode>& LockList() REQUIRES(g_lock_mutex) {
  static auto* list = new std::list<LockNode>();
  return *list;
}

std::list<LockNode>::iterator FindLocked(uint32_t number, HANDLE drive) REQUIRES(g_lock_mutex) {
  std::list<LockNode>& list = LockList();
  for (auto it = list.begin(); it != list.end(); ++it) {
    if (number != 0 ? it->drive_number == number : (it->drive_number == 0 && it->drive == drive))
      return it;
  }
  return list.end();
}

bool DriverRequest(HANDLE drive, uint32_t code, void* buffer, uint32_t in_size, uint32_t out_size,
                   uint32_t* returned) {
  std::shared_ptr<DriveDevice> device = DriveFromHandle(drive);
  return device && device->Request(code, buffer, in_size, out_size, returned);
}

void CatchEjectRequests(HANDLE drive, bool on) {
  uint8_t buffer[4];
  PutLe32(buffer, on ? 1 : 0);
  uint32_t returned = 0;
  DriverRequest(drive, kRequestCatchEject, buffer, 4, 1, &returned);
}

// Reads (and so clears) the driver's eject-request flag; false when the request failed.
bool ReadEjectFlag(HANDLE drive, uint8_t* flag) {
  uint32_t returned = 0;
  *flag = 0;
  return DriverRequest(drive, kRequestEjectFlag, flag, 0, 1, &returned) && returned >= 1;
}

// Waits up to ms unless the monitor is told to stop; true while it shall keep running.
bool Pause(MonitorRecord& r, uint32_t ms) {
  r.quit.Wait(ms);
  return r.alive.IsSet();
}

uint32_t RunMonitor(const std::shared_ptr<MonitorRecord>& record) {
  MonitorRecord& r = *record;
  uint8_t mode_bytes[4] = {};
  uint32_t returned = 0;
  const uint32_t mode =
      DriverRequest(r.drive, kRequestEjectDetectionMode, mode_bytes, 0, 4, &returned) &&
              returned >= 4
          ? GetLe32(mode_bytes)
          : 0;
  if (!r.alive.Wait(kPollMs)) return QD_OK;
  uint32_t failure = QD_OK;
  for (;;) {
    r.run.Wait(quenvar::platform::kInfinite);
    if (!r.alive.IsSet()) return QD_OK;
    if (mode == 2) {
      uint8_t flag = 0;
      const bool ok = ReadEjectFlag(r.drive, &flag);
      if (!Pause(r, kPollMs)) return QD_OK;
      if (ok && flag == 1) {
        quenvar::platform::PostMessage(r.window, r.message, kEjectRequestNotice, 0);
        ReadEjectFlag(r.drive, &flag);
      }
    } else {
      uint8_t event[8] = {};
      const uint32_t result =
          GetEventStatusNotification(r.drive, kMediaClass, event, sizeof(event));
      if (!Pause(r, kPollMs)) return QD_OK;
      if (result != QD_OK) {
        failure = result;
        break;
      }
      // Media event descriptor (MMC 6.7.2.3): event code in the low nibble of byte 4.
      if ((event[2] & 0x07) == 4 && (event[4] & 0x0F) == kMediaEventEjectRequest) {
        quenvar::platform::PostMessage(r.window, r.message, kEjectRequestNotice, 0);
        uint8_t flag = 0;
        ReadEjectFlag(r.drive, &flag);
        GetEventStatusNotification(r.drive, kMediaClass, event, sizeof(event));
      }
    }
  }
  // The event channel broke: the program hears about it the same way as about a press.
  quenvar::platform::PostMessage(r.window, r.message, kEjectRequestNotice, 0);
  return failure;
}

void SetMonitorRunning(uint32_t drive_number, bool running) {
  if (drive_number == 0) return;
  quenvar::platform::MutexLock lock(&g_lock_mutex);
  auto it = FindLocked(drive_number, nullptr);
  if (it == LockList().end()) return;
  if (running) {
    it->record->run.Set();
  } else {
    it->record->run.Reset();
  }
}

}  // namespace

void PauseLockMonitor(uint32_t drive_number) {
  SetMonitorRunning(drive_number, false);
}
void ResumeLockMonitor(uint32_t drive_number) {
  SetMonitorRunning(drive_number, true);
}

size_t LockedDriveCount() {
  quenvar::platform::MutexLock lock(&g_lock_mutex);
  return LockList().size();
}

}  // namespace quillden::drive

using namespace quillden::drive;

QUILLDEN_EXTERN_C QUILLDEN_API DWORD DRV_LockMedia(HWND window, HANDLE drive, BOOL lock,
                                                   UINT message) {
  if (!DriveFromHandle(drive)) return QD_E_INVALID_HANDLE;
  const uint32_t number = DriveNumberOf(drive);
  try {
    uint32_t result;
    LockNode taken;
    {
      quenvar::platform::MutexLock guard(&g_lock_mutex);
      auto node = FindLocked(number, drive);
      if (lock) {
        if (node != LockList().end()) return QD_OK;
        LockList().emplace_back();
        node = std::prev(LockList().end());
        node->drive_number = number;
        node->drive = drive;
      }
      PreventAllowMediumRemoval(drive, lock != FALSE, true);
      result = PreventAllowMediumRemoval(drive, lock != FALSE, false);

      if (lock) {
        auto record = std::make_shared<MonitorRecord>();
        record->drive = drive;
        record->window = window;
        record->message = message;
        CatchEjectRequests(drive, true);
        node->record = record;
        node->thread = quenvar::platform::Thread::Start([record] { return RunMonitor(record); });
        if (!node->thread) {
          LockList().erase(node);
          CatchEjectRequests(drive, false);
          return QD_E_THREAD;
        }
        return result;
      }
      if (node == LockList().end()) return result;
      taken = std::move(*node);
      LockList().erase(node);
    }
    // Stopped without the list: the monitor may be pausing itself through it right now.
    taken.record->run.Set();
    taken.record->alive.Reset();
    taken.record->quit.Set();
    if (taken.thread) taken.thread->Join(kUnlockWaitMs);
    CatchEjectRequests(drive, false);
    return result;
  } catch (const std::bad_alloc&) {
    return QD_E_OUT_OF_MEMORY;
  }
}
