// Platform layer: reading INI files as the profile-string functions do.
//
// An IniFile is the parsed text of one file. Section and key names compare without regard to ASCII
// case; the first section of a name is the one used (later sections of the same name are ignored)
// and within it the first key of a name wins. Names and values lose their surrounding blanks, and
// a value enclosed in one pair of matching quotes (" or ') loses them. Lines starting with ';' are
// comments. A malformed line (no '=', an empty key, a key before any section, a '[' without ']')
// is ignored with one line on stderr; keys following a malformed section header belong to no
// section. Lines end with LF, CR LF or CR.
//
// The bytes are decoded as UTF-8 when they start with its byte order mark or are valid UTF-8, as
// UTF-16 with a byte order mark (either byte order), and otherwise in the system code page
// (platform/code_page.h). Everything returned is UTF-16.
//
// Only regular files are read (a device, a FIFO or a socket is refused before it is opened for
// reading, so that nothing blocks or streams without end), and at most kMaxIniFileBytes of them:
// a longer file is refused whole rather than cut.
//
// An IniFile is immutable after loading and may be read from several threads.
#ifndef QUENVAR_PLATFORM_INI_FILE_H_
#define QUENVAR_PLATFORM_INI_FILE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/env.h"
#include "platform/status.h"

namespace quenvar::platform {

// Far above what any configuration needs (a few thousand keys of at most 259 characters), far
// below what could exhaust memory.
inline constexpr uint64_t kMaxIniFileBytes = 16u << 20;

class IniFile {
 public:
  IniFile() = default;

  // Reads and parses path. ENOENT when the file is missing; EINVAL when it is no regular file;
  // EFBIG when it is longer than kMaxIniFileBytes; other errno values for unreadable files.
  // Malformed lines are reported on stderr naming path and the line number.
  static Status Load(const std::string& path, IniFile* file, Env* env = Env::Default());
  // Parses bytes; name only labels the diagnostics, report false silences them.
  static IniFile Parse(std::string_view bytes, std::string_view name = "", bool report = true);

  bool HasSection(std::u16string_view section) const;
  // Section names (first occurrence of each), in file order.
  std::vector<std::u16string> SectionNames() const;
  // Key names of a section (first occurrence of each), in file order; empty when the section is
  // missing or has no keys.
  std::vector<std::u16string> KeyNames(std::u16string_view section) const;
  // The value, or null when the section or the key is missing.
  const std::u16string* Find(std::u16string_view section, std::u16string_view key) const;

  // The value, or default_value (without its trailing blanks) when missing, cut to capacity - 1
  // units as a caller's buffer of capacity units would hold it (never splitting a surrogate pair).
  std::u16string GetString(std::u16string_view section, std::u16string_view key,
                           std::u16string_view default_value, size_t capacity = SIZE_MAX) const;
  // The same into buffer, always NUL-terminated when capacity > 0; returns the units copied.
  size_t GetString(std::u16string_view section, std::u16string_view key, std::u16string_view default_value,
                   char16_t* buffer, size_t capacity) const;
  // The leading decimal number of the value (an optional '-', then digits; 0 when there are none),
  // or default_value when the key is missing. Wraps to 32 bits like the original.
  uint32_t GetInt(std::u16string_view section, std::u16string_view key, uint32_t default_value) const;

  // How many lines were ignored as malformed.
  size_t malformed_lines() const { return malformed_lines_; }

 private:
  struct Section {
    std::u16string name;
    std::vector<std::pair<std::u16string, std::u16string>> keys;  // first occurrences only
    std::unordered_map<std::u16string, size_t> index;             // folded key name -> keys index
  };
  const Section* FindSection(std::u16string_view name) const;

  std::vector<Section> sections_;
  std::unordered_map<std::u16string, size_t> section_index_;  // folded name -> sections_ index
  size_t malformed_lines_ = 0;
};

// Decodes the bytes of a text file as described above (BOMs removed).
std::u16string DecodeTextFile(std::string_view bytes);

}  // namespace quenvar::platform

#endif  // QUENVAR_PLATFORM_INI_FILE_H_
