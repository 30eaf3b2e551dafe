#include "app/startup/usb_media_set.h"

#include <cstdio>

namespace quenvar::app {

int HasUsbMediaSet(const std::u16string& top_level_path, const IniLoader& loader) {
  const platform::IniFile top = loader(top_level_path);
  const std::u16string contents_path = top.GetString(u"CONTENTS01", u"IniPath", u"", kValueCapacity);
  if (contents_path.empty()) return 0;
  const platform::IniFile contents = loader(contents_path);
  for (int set = 1;; ++set) {
    char name[32];
    std::snprintf(name, sizeof(name), "Disc%02d%02d", set, 1);
    const std::u16string section(name, name + std::char_traits<char>::length(name));
    const std::u16string type = contents.GetString(section, u"DiscType", u"", kValueCapacity);
    if (type.empty()) return 0;
    if (type == u"USB") return 1;
  }
}

}  // namespace quenvar::app
