// DRV_Initialize and DRV_Uninstall over the device configuration.
#include "drive/filter_install.h"

#include <dirent.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <new>
#include <set>

#include "drive/driver_control.h"
#include "drive/sg_io_transport.h"
#include "platform/drive_map.h"
#include "platform/registry.h"
#include "platform/unicode.h"
#include "quillden/drive.h"
#include "quillden/result.h"

namespace quillden::drive {
namespace {

using quenvar::platform::RegistryHive;
using quenvar::platform::RegistryKey;

// Step results of the installation, before they become result codes.
constexpr uint32_t kStepRestartNeeded = 0x100;
constexpr uint32_t kStepNewListFailed = 0x80000001;
constexpr uint32_t kStepWriteFailed = 0x80000002;
constexpr uint32_t kStepAccessDenied = 0x80000004;

constexpr char16_t kDevicesKey[] = u"SYSTEM\\CurrentControlSet\\Enum\\Optical";
constexpr char16_t kSettingsKey[] = u"SOFTWARE\\VARNOLD\\OpticalDiscAPL\\Pelquist";

bool IsFilter(const std::u16string& entry) {
  if (entry.size() != std::char_traits<char16_t>::length(kFilterName)) return false;
  for (size_t i = 0; i < entry.size(); ++i) {
    char16_t c = entry[i] >= u'A' && entry[i] <= u'Z' ? static_cast<char16_t>(entry[i] + 32) : entry[i];
    if (c != kFilterName[i]) return false;
  }
  return true;
}

int FilterPosition(const std::vector<std::u16string>& filters) {
  for (size_t i = 0; i < filters.size(); ++i) {
    if (IsFilter(filters[i])) return static_cast<int>(i);
  }
  return -1;
}

// Device ids: "sr0" for /dev/sr0, "virtual-V" for the virtual recorder at V:.
class SystemConfiguration : public DeviceConfiguration {
 public:
  bool ListDevices(bool present_only, std::vector<std::string>* ids) override {
    std::set<std::string> found;
    for (const auto& entry : quenvar::platform::DriveMap::Current().entries()) {
      if (entry.kind == quenvar::platform::DriveKind::kVirtual) {
        found.insert(std::string("virtual-") + entry.letter);
      } else if (entry.kind == quenvar::platform::DriveKind::kOptical) {
        const size_t slash = entry.device_path.rfind('/');
        found.insert(entry.device_path.substr(slash == std::string::npos ? 0 : slash + 1));
      }
    }
    if (DIR* dir = ::opendir("/sys/class/block")) {
      while (dirent* e = ::readdir(dir)) {
        std::string name = e->d_name;
        if (name.rfind("sr", 0) == 0) found.insert(name);
      }
      ::closedir(dir);
    }
    if (!present_only) {
      RegistryKey key;
      std::vector<std::u16string> names;
      if (RegistryKey::Open(RegistryHive::kLocalMachine, kDevicesKey, false, &key).ok() &&
          key.SubkeyNames(&names).ok()) {
        for (const auto& name : names) found.insert(quenvar::platform::Utf16ToUtf8(name));
      }
    }
    ids->assign(found.begin(), found.end());
    return true;
  }

  void ReadLowerFilters(const std::string& id, std::vector<std::u16string>* filters) override {
    filters->clear();
    RegistryKey key;
    if (!RegistryKey::Open(RegistryHive::kLocalMachine, KeyPath(id), false, &key).ok()) return;
    if (!key.GetMultiString(u"LowerFilters", filters).ok()) filters->clear();
  }

  ConfigFailure WriteLowerFilters(const std::string& id, const std::vector<std::u16string>& filters) override {
    RegistryKey key;
    bool created = false;
    quenvar::platform::Status status;
    if (filters.empty()) {
      status = RegistryKey::Open(RegistryHive::kLocalMachine, KeyPath(id), true, &key);
      if (!status.ok()) return status.code() == ENOENT ? ConfigFailure::kNone : Failure(status.code());
      status = key.DeleteValue(u"LowerFilters");
      if (status.code() == ENOENT) return ConfigFailure::kNone;
    } else {
      status = RegistryKey::Create(RegistryHive::kLocalMachine, KeyPath(id), &key, &created);
      if (status.ok()) status = key.SetMultiString(u"LowerFilters", filters);
    }
    return status.ok() ? ConfigFailure::kNone : Failure(status.code());
  }

  ConfigFailure RestartDevice(const std::string& id, bool* reboot) override {
    *reboot = false;
    if (id.rfind("virtual-", 0) == 0) return ConfigFailure::kNone;
    int error_number = 0;
    std::unique_ptr<SgIoTransport> device = SgIoTransport::Open("/dev/" + id, &error_number);
    if (!device) {
      if (error_number == EACCES || error_number == EPERM) return ConfigFailure::kAccessDenied;
      *reboot = true;
      return ConfigFailure::kNone;
    }
    if (!device->Works()) *reboot = true;
    return ConfigFailure::kNone;
  }

  uint32_t LowestSet() override {
    RegistryKey key;
    uint32_t value = 0;
    if (!RegistryKey::Open(RegistryHive::kLocalMachine, kSettingsKey, false, &key).ok()) return 0;
    if (!key.GetDword(u"LowestSet", &value).ok()) return 0;
    return value;
  }

 private:
  static std::u16string KeyPath(const std::string& id) {
    return std::u16string(kDevicesKey) + u"\\" + quenvar::platform::Utf8ToUtf16(id);
  }
  static ConfigFailure Failure(int error_number) {
    return error_number == EACCES || error_number == EPERM || error_number == EROFS ? ConfigFailure::kAccessDenied
                                                                                     : ConfigFailure::kOther;
  }
};

std::atomic<DeviceConfiguration*> g_configuration{nullptr};

DeviceConfiguration& CurrentConfiguration() {
  DeviceConfiguration* configuration = g_configuration.load();
  return configuration != nullptr ? *configuration : *SystemDeviceConfiguration();
}

bool FilterInstalled(DeviceConfiguration& configuration) {
  std::vector<std::string> ids;
  if (!configuration.ListDevices(true, &ids) || ids.empty()) return true;
  bool installed = true;
  for (const std::string& id : ids) {
    std::vector<std::u16string> filters;
    configuration.ReadLowerFilters(id, &filters);
    const int position = FilterPosition(filters);
    const bool passes = configuration.LowestSet() == 1 ? position == 0 : position >= 0;
    if (!passes) {
      installed = false;
      break;
    }
  }
  configuration.ReleaseList();
  return installed;
}

}  // namespace

DeviceConfiguration* SystemDeviceConfiguration() {
  static SystemConfiguration configuration;
  return &configuration;
}

void SetDeviceConfigurationForTesting(DeviceConfiguration* configuration) { g_configuration = configuration; }

uint32_t InitializeFilter(DeviceConfiguration& configuration) {
  if (FilterInstalled(configuration)) return QD_OK;
  std::vector<std::string> ids;
  if (!configuration.ListDevices(true, &ids)) return QD_E_FILTER_INSTALL;
  uint32_t step = 0;
  for (const std::string& id : ids) {
    std::vector<std::u16string> filters;
    configuration.ReadLowerFilters(id, &filters);
    if (FilterPosition(filters) == 0 && std::count_if(filters.begin(), filters.end(), IsFilter) == 1) continue;
    filters.erase(std::remove_if(filters.begin(), filters.end(), IsFilter), filters.end());
    ConfigFailure failure = configuration.WriteLowerFilters(id, filters);
    if (failure != ConfigFailure::kNone) {
      step = failure == ConfigFailure::kAccessDenied ? kStepAccessDenied : kStepWriteFailed;
      continue;
    }
    filters.insert(filters.begin(), kFilterName);
    failure = configuration.WriteLowerFilters(id, filters);
    if (failure != ConfigFailure::kNone) {
      step = failure == ConfigFailure::kAccessDenied ? kStepAccessDenied : kStepNewListFailed;
      continue;
    }
    bool reboot = false;
    failure = configuration.RestartDevice(id, &reboot);
    if (failure == ConfigFailure::kAccessDenied) {
      step = kStepAccessDenied;
    } else if (failure != ConfigFailure::kNone || reboot) {
      step = kStepRestartNeeded;
    }
  }
  if (!configuration.ReleaseList()) step = kStepWriteFailed;
  switch (step) {
    case 0: return QD_OK;
    case kStepRestartNeeded: return QD_E_RESTART_NEEDED;
    case kStepAccessDenied: return RequestServiceAccess("LowerFiltersSet");
    default: return QD_E_FILTER_INSTALL;
  }
}

uint32_t UninstallFilter(DeviceConfiguration& configuration) {
  std::vector<std::string> ids;
  if (!configuration.ListDevices(false, &ids)) return QD_E_FILTER_REMOVE;
  bool failed = false;
  for (const std::string& id : ids) {
    std::vector<std::u16string> filters;
    configuration.ReadLowerFilters(id, &filters);
    if (FilterPosition(filters) < 0) continue;
    filters.erase(std::remove_if(filters.begin(), filters.end(), IsFilter), filters.end());
    if (configuration.WriteLowerFilters(id, filters) != ConfigFailure::kNone) failed = true;
  }
  if (!configuration.ReleaseList()) failed = true;
  return failed ? QD_E_FILTER_REMOVE : QD_OK;
}

}  // namespace quillden::drive

QUILLDEN_EXTERN_C QUILLDEN_API DWORD DRV_Initialize(void) {
  try {
    return quillden::drive::InitializeFilter(quillden::drive::CurrentConfiguration());
  } catch (const std::bad_alloc&) {
    return QD_E_OUT_OF_MEMORY;
  }
}

QUILLDEN_EXTERN_C QUILLDEN_API DWORD DRV_Uninstall(void) {
  try {
    return quillden::drive::UninstallFilter(quillden::drive::CurrentConfiguration());
  } catch (const std::bad_alloc&) {
    return QD_E_FILTER_REMOVE;
  }
}
