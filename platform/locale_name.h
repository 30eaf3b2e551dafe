// Internal: the parts of a POSIX locale name such as "zh_TW.UTF-8@euro".
#ifndef QUENVAR_PLATFORM_LOCALE_NAME_H_
#define QUENVAR_PLATFORM_LOCALE_NAME_H_

#include <string>
#include <string_view>

namespace quenvar::platform::internal {

struct LocaleName {
  std::string language;   // "zh"
  std::string territory;  // "TW"; also a script such as "Hant" when written zh-Hant
};

inline LocaleName SplitLocaleName(std::string_view name) {
  LocaleName out;
  size_t end = name.find_first_of(".@");
  name = name.substr(0, end);
  size_t sep = name.find_first_of("_-");
  out.language = std::string(name.substr(0, sep));
  if (sep != std::string_view::npos) out.territory = std::string(name.substr(sep + 1));
  return out;
}

}  // namespace quenvar::platform::internal

#endif  // QUENVAR_PLATFORM_LOCALE_NAME_H_
