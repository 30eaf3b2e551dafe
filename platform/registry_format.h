// Internal: the text form of a registry hive (the format is described in platform/registry.h).
#ifndef QUENVAR_PLATFORM_REGISTRY_FORMAT_H_
#define QUENVAR_PLATFORM_REGISTRY_FORMAT_H_

#include <string>
#include <string_view>
#include <vector>

#include "platform/registry.h"

namespace quenvar::platform::internal {

struct ValueData {
  std::u16string name;
  RegistryValue value;
};

struct KeyData {
  std::u16string path;
  std::vector<ValueData> values;
};

struct HiveData {
  std::vector<KeyData> keys;
  bool damaged = false;
};

// Registry names compare without regard to ASCII case.
bool SameName(std::u16string_view a, std::u16string_view b);
// A key path without empty components: leading, trailing and doubled separators go.
std::u16string NormalizePath(std::u16string_view path);
KeyData* FindKey(HiveData* hive, std::u16string_view path);
ValueData* FindValue(KeyData* key, std::u16string_view name);

// Parses a hive file; bad lines set damaged and, with report, are named on stderr.
HiveData ParseHive(const std::string& file, std::string_view text, bool report);
std::string SerializeHive(const HiveData& hive);

}  // namespace quenvar::platform::internal

#endif  // QUENVAR_PLATFORM_REGISTRY_FORMAT_H_
