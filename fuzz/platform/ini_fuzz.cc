// Feeds arbitrary bytes to the INI reader and checks what callers rely on: every lookup of every
// section and key answers, and a value is always cut to the buffer and NUL-terminated.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/ini_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using quenvar::platform::IniFile;
  IniFile ini = IniFile::Parse(std::string_view(reinterpret_cast<const char*>(data), size), "fuzz", false);
  char16_t buffer[16];
  for (const std::u16string& section : ini.SectionNames()) {
    if (!ini.HasSection(section)) std::abort();
    for (const std::u16string& key : ini.KeyNames(section)) {
      const std::u16string* value = ini.Find(section, key);
      if (!value) std::abort();
      for (size_t capacity : {size_t{1}, size_t{2}, size_t{16}}) {
        buffer[capacity - 1] = u'#';
        size_t n = ini.GetString(section, key, u"", buffer, capacity);
        if (n > capacity - 1 || buffer[n] != 0 || n > value->size()) std::abort();
      }
      ini.GetInt(section, key, 5);
    }
  }
  ini.GetString(u"missing", u"key", u"default ", buffer, 16);
  return 0;
}
