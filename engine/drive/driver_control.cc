// Control requests, recording notices, DRV_SetAntiDLA and the outside service.
#include "drive/driver_control.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "drive/drive_handle.h"
#include "drive/lock_monitor_hooks.h"
#include "platform/mutex.h"
#include "quillden/result.h"
#include "util/byte_order.h"

namespace quillden::drive {
namespace {

// The in-process control device: the state the filter driver kept for the whole machine.
struct ControlState {
  std::atomic<bool> anti_dla{false};
  std::atomic<uint8_t> recording[27] = {};
};

ControlState& State() {
  static ControlState state;
  return state;
}

class BuiltInControlDevice : public ControlDevice {
 public:
  bool Request(uint32_t code, const void* in, uint32_t in_size, void* out, uint32_t out_size,
               uint32_t* returned) override {
    *returned = 0;
    if (in == nullptr || in_size < 4) return false;
    const uint32_t value = GetLe32(static_cast<const uint8_t*>(in));
    ControlState& state = State();
    switch (code) {
      case kControlAntiDla:
        state.anti_dla = value != 0;
        if (out != nullptr && out_size >= 1) {
          *static_cast<uint8_t*>(out) = 1;
          *returned = 1;
        }
        return true;
      case kControlRecordingStart:
      case kControlRecordingEnd:
        if (value < 1 || value > 26) return false;
        state.recording[value] = code == kControlRecordingStart ? 1 : 0;
        return true;
      case kControlRecordingState:
        if (value < 1 || value > 26 || out == nullptr || out_size < 1) return false;
        *static_cast<uint8_t*>(out) = state.recording[value].load();
        *returned = 1;
        return true;
      default:
        return false;
    }
  }
};

quenvar::platform::Mutex g_opener_mutex;
std::function<std::unique_ptr<ControlDevice>()>& Opener() REQUIRES(g_opener_mutex) {
  static std::function<std::unique_ptr<ControlDevice>()> opener;
  return opener;
}

bool SendControl(uint32_t code, uint32_t value, void* out, uint32_t out_size, uint32_t* returned) {
  std::unique_ptr<ControlDevice> device = OpenControlDevice();
  if (!device) return false;
  uint8_t in[4];
  PutLe32(in, value);
  return device->Request(code, in, sizeof(in), out, out_size, returned);
}

}  // namespace

std::unique_ptr<ControlDevice> OpenControlDevice() {
  std::function<std::unique_ptr<ControlDevice>()> opener;
  {
    quenvar::platform::MutexLock lock(&g_opener_mutex);
    opener = Opener();
  }
  if (opener) return opener();
  return std::make_unique<BuiltInControlDevice>();
}

void SetControlDeviceOpenerForTesting(std::function<std::unique_ptr<ControlDevice>()> opener) {
  quenvar::platform::MutexLock lock(&g_opener_mutex);
  Opener() = std::move(opener);
}

void NotifyRecordingStart(uint32_t drive_number) {
  PauseLockMonitor(drive_number);
  uint32_t returned = 0;
  SendControl(kControlRecordingStart, drive_number, nullptr, 0, &returned);
}

void NotifyRecordingEnd(uint32_t drive_number) {
  // Opening and closing the drive once makes the system look at the new media; the plain handle
  // close is used so that closing cannot come back here while the drive is still marked.
  HANDLE drive = OpenDriveNumber(drive_number);
  if (drive != nullptr) CloseDriveHandle(drive);
  ResumeLockMonitor(drive_number);
  uint32_t returned = 0;
  SendControl(kControlRecordingEnd, drive_number, nullptr, 0, &returned);
}

uint32_t QueryRecordingState(uint32_t drive_number) {
  uint8_t state = 0;
  uint32_t returned = 0;
  if (!SendControl(kControlRecordingState, drive_number, &state, 1, &returned) || returned == 0)
    return 0;
  return state == 1 || state == 2 ? 1 : 2;
}

std::string ServiceSocketPath() {
  const char* path = std::getenv("QUENVAR_SERVICE_SOCKET");
  return path != nullptr && *path != '\0' ? path : "/run/quenvar/vestrilpon.sock";
}

uint32_t RequestServiceAccess(const std::string& text) {
  const std::string path = ServiceSocketPath();
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof(address.sun_path)) return QD_E_NO_SERVICE;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return QD_E_NO_SERVICE;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    ::close(fd);
    return QD_E_NO_SERVICE;
  }
  uint32_t result = QD_OK;
  size_t sent = 0;
  while (sent < text.size()) {
    ssize_t n = ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      result = QD_E_DRIVER_REQUEST;
      break;
    }
    sent += static_cast<size_t>(n);
  }
  if (result == QD_OK) {
    uint8_t reply[4];
    size_t got = 0;
    while (got < sizeof(reply)) {
      ssize_t n = ::recv(fd, reply + got, sizeof(reply) - got, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    if (got != sizeof(reply)) result = QD_E_DRIVER_REQUEST;
  }
  ::close(fd);
  return result;
}

}  // namespace quillden::drive

QUILLDEN_EXTERN_C QUILLDEN_API DWORD DRV_SetAntiDLA(BOOL on) {
  std::unique_ptr<quillden::drive::ControlDevice> device;
  try {
    device = quillden::drive::OpenControlDevice();
  } catch (const std::bad_alloc&) {
    return QD_E_OUT_OF_MEMORY;
  }
  if (!device) return QD_OK;
  uint8_t in[4];
  quillden::PutLe32(in, on ? 1 : 0);
  uint8_t out = 0;
  uint32_t returned = 0;
  return device->Request(quillden::drive::kControlAntiDla, in, sizeof(in), &out, 1, &returned)
             ? QD_OK
             : QD_E_DRIVER_REQUEST;
}
