// Drive handles, the driver layer and opening drives of the drive map.
#include "drive/drive_handle.h"

#include <cerrno>
#include <cstring>
#include <new>
#include <unordered_map>

#include "drive/driver_control.h"
#include "drive/sg_io_transport.h"
#include "drive/virtual/virtual_recorder.h"
#include "platform/drive_map.h"
#include "platform/mutex.h"
#include "quillden/result.h"
#include "util/byte_order.h"

namespace quillden::drive {
namespace {

quenvar::platform::Mutex g_registry_mutex;
std::unordered_map<HANDLE, std::shared_ptr<DriveDevice>>& Registry() REQUIRES(g_registry_mutex) {
  static auto* registry = new std::unordered_map<HANDLE, std::shared_ptr<DriveDevice>>();
  return *registry;
}

bool WriteOutput(void* buffer, uint32_t out_size, const void* value, uint32_t size,
                 uint32_t* returned) {
  if (buffer == nullptr || out_size < size) return false;
  std::memcpy(buffer, value, size);
  *returned = size;
  return true;
}

}  // namespace

DriveDevice::DriveDevice(std::unique_ptr<Transport> device) : device_(std::move(device)) {}

bool DriveDevice::Request(uint32_t code, void* buffer, uint32_t in_size, uint32_t out_size,
                          uint32_t* returned) {
  uint32_t ignored = 0;
  if (returned == nullptr) returned = &ignored;
  *returned = 0;
  const uint8_t* in = static_cast<const uint8_t*>(buffer);
  switch (code) {
    case kRequestSetDriveLetter: {
      if (in == nullptr || in_size < 1) return false;
      const char letter = static_cast<char>(in[0]);
      letter_ = (letter >= 'a' && letter <= 'z') ? static_cast<char>(letter - 32) : letter;
      return true;
    }
    case kRequestGetDriveLetter: {
      const uint8_t letter = static_cast<uint8_t>(letter_.load());
      return WriteOutput(buffer, out_size, &letter, 1, returned);
    }
    case kRequestCatchEject: {
      if (in == nullptr || in_size < 4) return false;
      catching_eject_ = GetLe32(in) != 0;
      const uint8_t done = 1;
      if (out_size >= 1) WriteOutput(buffer, out_size, &done, 1, returned);
      return true;
    }
    case kRequestEjectFlag:
    case kRequestEjectDetectionMode: {
      // A device that knows a pressed eject button (the virtual recorder) answers itself; any
      // other device is watched through media events, so the flag is never set.
      if (device_ && device_->Request(code, buffer, in_size, out_size, returned)) return true;
      const uint8_t zero[4] = {};
      return WriteOutput(buffer, out_size, zero, code == kRequestEjectFlag ? 1 : 4, returned);
    }
    default:
      return device_ != nullptr && device_->Request(code, buffer, in_size, out_size, returned);
  }
}

uint32_t DriveDevice::ClaimForChange() {
  if (claimed_.load()) return 0;
  if (!device_) return QD_E_PASS_THROUGH;
  const int error_number = device_->ClaimExclusive();
  if (error_number == EBUSY) return QD_E_BUSY;
  if (error_number != 0) return QD_E_PASS_THROUGH;
  claimed_ = true;
  return 0;
}

uint32_t DriveDevice::WithClaimForQuery(const std::function<uint32_t()>& set) {
  const bool held = claimed_.load();
  const uint32_t claimed = ClaimForChange();
  if (claimed != 0) return claimed;
  const uint32_t result = set();
  if (!held && device_) {
    claimed_ = false;
    device_->ReleaseExclusive();
  }
  return result;
}

bool DriveDevice::Close() {
  claimed_ = false;
  device_.reset();
  return true;
}

HANDLE RegisterDrive(std::shared_ptr<DriveDevice> device) {
  HANDLE handle = device.get();
  quenvar::platform::MutexLock lock(&g_registry_mutex);
  Registry()[handle] = std::move(device);
  return handle;
}

std::shared_ptr<DriveDevice> DriveFromHandle(HANDLE drive) {
  if (IsBadHandle(drive)) return nullptr;
  quenvar::platform::MutexLock lock(&g_registry_mutex);
  auto it = Registry().find(drive);
  return it == Registry().end() ? nullptr : it->second;
}

std::shared_ptr<DriveDevice> UnregisterDrive(HANDLE drive) {
  if (IsBadHandle(drive)) return nullptr;
  quenvar::platform::MutexLock lock(&g_registry_mutex);
  auto it = Registry().find(drive);
  if (it == Registry().end()) return nullptr;
  std::shared_ptr<DriveDevice> device = std::move(it->second);
  Registry().erase(it);
  return device;
}

std::unique_ptr<Transport> OpenEntryTransport(const quenvar::platform::DriveMapEntry& entry,
                                              int* error_number, std::string* error) {
  using quenvar::platform::DriveKind;
  *error_number = 0;
  if (entry.kind == DriveKind::kVirtual) {
    VirtualDriveModel model;
    if (!ParseVirtualDriveModel(entry.virtual_drive, &model, error)) {
      *error_number = EINVAL;
      return nullptr;
    }
    std::unique_ptr<Transport> transport =
        OpenVirtualRecorder(entry.backing_path, entry.virtual_media, model, error);
    if (!transport) *error_number = EIO;
    return transport;
  }
  std::unique_ptr<SgIoTransport> transport = SgIoTransport::Open(entry.device_path, error_number);
  if (!transport) *error = entry.device_path + ": " + std::strerror(*error_number);
  return transport;
}

HANDLE OpenDriveOnTransport(std::unique_ptr<Transport> transport, char letter) {
  auto device = std::make_shared<DriveDevice>(std::move(transport));
  HANDLE handle = RegisterDrive(device);
  if (letter != 0) {
    uint8_t in = static_cast<uint8_t>(letter);
    uint32_t returned = 0;
    device->Request(kRequestSetDriveLetter, &in, 1, 0, &returned);
  }
  return handle;
}

HANDLE OpenDriveNumber(uint32_t drive_number) {
  if (drive_number < 1 || drive_number > 26) return nullptr;
  try {
    const char letter = static_cast<char>('A' + drive_number - 1);
    const quenvar::platform::DriveMapEntry* entry =
        quenvar::platform::DriveMap::Current().Find(letter);
    if (entry == nullptr) return nullptr;
    int error_number = 0;
    std::string error;
    std::unique_ptr<Transport> transport = OpenEntryTransport(*entry, &error_number, &error);
    if (!transport && (error_number == EACCES || error_number == EPERM)) {
      // The outside service may grant this user access to the node; then try once more.
      if (RequestServiceAccess(std::string("\\\\.\\") + letter + ":") == 0) {
        transport = OpenEntryTransport(*entry, &error_number, &error);
      }
      if (!transport) errno = EACCES;
    }
    if (!transport) return nullptr;
    return OpenDriveOnTransport(std::move(transport), letter);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

uint32_t CloseDriveHandle(HANDLE drive) {
  std::shared_ptr<DriveDevice> device = UnregisterDrive(drive);
  if (!device) return 0x08000010u;
  return device->Close() ? 0u : 0x08000025u;
}

uint32_t DriveNumberOf(HANDLE drive) {
  std::shared_ptr<DriveDevice> device = DriveFromHandle(drive);
  if (!device) return 0;
  uint8_t letter = 0;  // one buffer: the input byte 0, then the answer
  uint32_t returned = 0;
  if (!device->Request(kRequestGetDriveLetter, &letter, 1, 1, &returned) || returned == 0) return 0;
  return letter >= 'A' && letter <= 'Z' ? static_cast<uint32_t>(letter - 'A' + 1) : 0;
}

}  // namespace quillden::drive
