// Drive handles: what DRV_OpenDrive hands out and every DRV_ export takes.
//
// A handle is the address of a DriveDevice kept in a process-wide registry, so exports can refuse
// handles that are null, INVALID_HANDLE_VALUE, closed or foreign instead of touching them. Lookups
// share ownership: closing a handle while another thread still sends a command on it leaves that
// command's device alive until it returns.
//
// Each device sits on a driver layer over the device transport. The layer answers the driver's
// private requests (drive letter, eject catching, eject-request flag, eject detection mode) itself
// and passes commands and anything it does not know to the device transport below it, which is the
// SG_IO transport of a real drive or a virtual recorder.
#ifndef QUILLDEN_DRIVE_DRIVE_HANDLE_H_
#define QUILLDEN_DRIVE_DRIVE_HANDLE_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "drive/transport.h"
#include "quillden/types.h"

namespace quenvar::platform {
struct DriveMapEntry;
}

namespace quillden::drive {

class DriveDevice {
 public:
  explicit DriveDevice(std::unique_ptr<Transport> device);

  // A driver request on the drive handle (see transport.h). False when the request failed.
  bool Request(uint32_t code, void* buffer, uint32_t in_size, uint32_t out_size,
               uint32_t* returned);

  // Takes the drive for this handle alone before the first command that changes the medium (see
  // Transport::ClaimExclusive); held until the handle closes. 0, or 0x08000019 while another job
  // holds the drive, or 0x08000049 when the claim cannot be made.
  uint32_t ClaimForChange();

  // For a query that sets drive state only to read an answer (the write parameters page that
  // makes a drive report its next writable address): runs set under this handle's claim, or under
  // one taken for the moment and given back afterwards, so that nothing a running job relies on
  // changes. 0x08000019 without running set while another job holds the drive; else set's result.
  uint32_t WithClaimForQuery(const std::function<uint32_t()>& set);

  // Closes the device transport; false when the transport reported a failure on closing.
  bool Close();

 private:
  std::unique_ptr<Transport> device_;
  std::atomic<bool> claimed_{false};
  std::atomic<char> letter_{0};
  std::atomic<bool> catching_eject_{false};
};

// Registers a device and returns its handle (never null).
HANDLE RegisterDrive(std::shared_ptr<DriveDevice> device);
// The device of a live handle; null for null, INVALID_HANDLE_VALUE, closed and unknown handles.
std::shared_ptr<DriveDevice> DriveFromHandle(HANDLE drive);
// Removes a handle from the registry and returns its device (null when it was not live).
std::shared_ptr<DriveDevice> UnregisterDrive(HANDLE drive);

inline bool IsBadHandle(HANDLE drive) {
  return drive == nullptr || drive == INVALID_HANDLE_VALUE;
}

// Opens the device transport of a drive map entry: SG_IO for device nodes, the virtual recorder for
// virtual entries. On failure returns null and sets *error_number (EACCES when the node may not be
// opened, which the caller may hand to the outside service) and *error.
std::unique_ptr<Transport> OpenEntryTransport(const quenvar::platform::DriveMapEntry& entry,
                                              int* error_number, std::string* error);

// Opens drive number 1 to 26 of the current drive map as a handle, asking the outside service for
// access once when the node may not be opened; tells the driver layer the drive letter. Null on any
// failure. Used by DRV_OpenDrive and by the driver notices that reopen a drive.
HANDLE OpenDriveNumber(uint32_t drive_number);

// A handle on an already opened transport (tests, tools). The letter may be 0 (none known).
HANDLE OpenDriveOnTransport(std::unique_ptr<Transport> transport, char letter);

// Closes a handle: unregisters it and closes its transport. 0, 0x08000010 or 0x08000025.
uint32_t CloseDriveHandle(HANDLE drive);

// The drive number the driver layer knows for the handle: 1 to 26, 0 when none.
uint32_t DriveNumberOf(HANDLE drive);

}  // namespace quillden::drive

#endif  // QUILLDEN_DRIVE_DRIVE_HANDLE_H_
