// Filter installation: keeping the engine's command filter in the lower filter list of every
// optical device. The lists live behind a device configuration interface; on Linux that is the
// machine registry store (one key per optical device), and restarting a device means reopening its
// node and checking that SG_IO still works. Meant to be called once, from start-up or uninstall.
#ifndef QUILLDEN_DRIVE_FILTER_INSTALL_H_
#define QUILLDEN_DRIVE_FILTER_INSTALL_H_

#include <cstdint>
#include <string>
#include <vector>

namespace quillden::drive {

enum class ConfigFailure {
  kNone,
  kAccessDenied,  // the caller lacks the rights; the outside service may do it
  kOther,
};

class DeviceConfiguration {
 public:
  virtual ~DeviceConfiguration() = default;
  // The optical devices: present ones only, or every one known. False when no list can be had.
  virtual bool ListDevices(bool present_only, std::vector<std::string>* ids) = 0;
  // The lower filter list; empty when there is none or it is not a list of strings.
  virtual void ReadLowerFilters(const std::string& id, std::vector<std::u16string>* filters) = 0;
  // Writes the list (an empty list removes it).
  virtual ConfigFailure WriteLowerFilters(const std::string& id, const std::vector<std::u16string>& filters) = 0;
  // Stops and starts the device. *reboot is set when only a restart of the machine can apply it.
  virtual ConfigFailure RestartDevice(const std::string& id, bool* reboot) = 0;
  // Releases the device list taken by ListDevices; false on failure.
  virtual bool ReleaseList() { return true; }
  // The LowestSet setting: 1 asks for the filter in first place.
  virtual uint32_t LowestSet() = 0;
};

// The machine's configuration (registry store and device nodes).
DeviceConfiguration* SystemDeviceConfiguration();
// Replaces the configuration DRV_Initialize and DRV_Uninstall use; null restores the system one.
void SetDeviceConfigurationForTesting(DeviceConfiguration* configuration);

// The filter's name in the lists.
inline constexpr char16_t kFilterName[] = u"ralmotex";

uint32_t InitializeFilter(DeviceConfiguration& configuration);
uint32_t UninstallFilter(DeviceConfiguration& configuration);

}  // namespace quillden::drive

#endif  // QUILLDEN_DRIVE_FILTER_INSTALL_H_
