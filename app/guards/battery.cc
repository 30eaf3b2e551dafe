#include "app/guards/battery.h"

#include <dirent.h>

#include <fstream>

#include "app/resources/string_ids.h"
#include "app/resources/string_table.h"

namespace quenvar::app {
namespace {

// The first line of a sysfs attribute without its line end; false when it cannot be read (a
// supply may vanish while it is read, or refuse the read while the device sleeps).
bool ReadAttribute(const std::string& path, std::string* value) {
  std::ifstream in(path);
  if (!in) return false;
  std::getline(in, *value);
  if (in.bad()) return false;
  while (!value->empty() && (value->back() == '\n' || value->back() == '\r' || value->back() == ' '))
    value->pop_back();
  return true;
}

// Supplies that feed the machine from outside.
bool IsExternal(const std::string& type) {
  return type == "Mains" || type == "USB" || type.rfind("USB_", 0) == 0;
}

}  // namespace

AcLineStatus ReadAcLineStatus(const std::string& folder) {
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return AcLineStatus::kUnknown;
  bool system_battery = false;
  bool external_known = false;
  bool external_online = false;
  while (const struct dirent* item = ::readdir(dir)) {
    const std::string name = item->d_name;
    if (name.empty() || name[0] == '.') continue;
    const std::string base = folder + "/" + name + "/";
    std::string type;
    if (!ReadAttribute(base + "type", &type)) continue;
    std::string scope;
    // Batteries of mice and keyboards carry the scope "Device"; they do not power the machine.
    if (ReadAttribute(base + "scope", &scope) && scope == "Device") continue;
    if (type == "Battery") {
      system_battery = true;
    } else if (IsExternal(type)) {
      std::string online;
      if (!ReadAttribute(base + "online", &online) || online.empty()) continue;
      external_known = true;
      if (online != "0") external_online = true;
    }
  }
  ::closedir(dir);
  if (external_online) return AcLineStatus::kOnline;
  if (system_battery && external_known) return AcLineStatus::kOffline;
  return AcLineStatus::kUnknown;
}

int CheckBattery(PromptWindow owner, const std::string& folder) {
  if (ReadAcLineStatus(folder) != AcLineStatus::kOffline) return 1;
  const int answer = ShowAppMessage(LoadString(ids::kOnBattery), PromptButtons::kYesNo,
                                    PromptIcon::kInformation, owner);
  return answer == kIdNo ? 0 : 1;
}

}  // namespace quenvar::app
