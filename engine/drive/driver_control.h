// The driver's control requests and the outside service.
//
// The command filter of the original platform had a control device of its own; on Linux the
// transport layer answers its requests in process: the anti-DLA switch and the per-drive "recording"
// mark that the recording pipeline sets around a job (so that a drive closed in the middle of a job
// still gets its end notice). Tests may put a different control device in place, or none.
//
// The outside service (a Unix socket) is asked for help when the engine lacks rights: to fix a
// device's filter list, or to grant access to a drive node.
#ifndef QUILLDEN_DRIVE_DRIVER_CONTROL_H_
#define QUILLDEN_DRIVE_DRIVER_CONTROL_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "quillden/types.h"

namespace quillden::drive {

inline constexpr uint32_t kControlAntiDla = 0xECD0201C;
inline constexpr uint32_t kControlRecordingStart = 0xECD02084;
inline constexpr uint32_t kControlRecordingEnd = 0xECD02088;
inline constexpr uint32_t kControlRecordingState = 0xECD0208C;

class ControlDevice {
 public:
  virtual ~ControlDevice() = default;
  // One request: in_size bytes in, up to out_size bytes out. False when the request failed.
  virtual bool Request(uint32_t code, const void* in, uint32_t in_size, void* out, uint32_t out_size,
                       uint32_t* returned) = 0;
};

// Opens the control device for one request; null when it is absent.
std::unique_ptr<ControlDevice> OpenControlDevice();
// Replaces how the control device is opened (an opener returning null means "absent"); an empty
// function restores the built-in device.
void SetControlDeviceOpenerForTesting(std::function<std::unique_ptr<ControlDevice>()> opener);

// Recording notices (drive numbers 1 to 26). Start pauses the drive's lock monitor, if any; end
// opens and closes the drive once, resumes the monitor and clears the mark.
void NotifyRecordingStart(uint32_t drive_number);
void NotifyRecordingEnd(uint32_t drive_number);
// 1 when the drive is marked as recording, 2 when not, 0 when the request failed.
uint32_t QueryRecordingState(uint32_t drive_number);

// Sends text (without a terminating zero) to the outside service and reads its 4-byte reply.
// Returns 0, 0x08000048 when the service cannot be reached, 0x09000000 when writing or reading failed.
uint32_t RequestServiceAccess(const std::string& text);
// The socket path; QUENVAR_SERVICE_SOCKET overrides the default /run/quenvar/vestrilpon.sock.
std::string ServiceSocketPath();

}  // namespace quillden::drive

#endif  // QUILLDEN_DRIVE_DRIVER_CONTROL_H_
