// Platform layer: UTF-16 and UTF-8 conversions.
//
// Strings cross the engine's interface as NUL-terminated UTF-16 (char16_t); local paths on disk are
// UTF-8. Invalid input never fails a conversion: an unpaired surrogate or a malformed UTF-8 sequence
// becomes U+FFFD, so a name the system cannot represent is still shown and never crashes a caller.
#ifndef QUENVAR_PLATFORM_UNICODE_H_
#define QUENVAR_PLATFORM_UNICODE_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace quenvar::platform {

std::u16string Utf8ToUtf16(std::string_view utf8);
std::string Utf16ToUtf8(std::u16string_view utf16);

// Length of a NUL-terminated UTF-16 string, reading at most max_units units (max_units when no
// NUL is found). A null pointer has length 0.
size_t Utf16Length(const char16_t* text, size_t max_units = static_cast<size_t>(-1));

// A view of a NUL-terminated UTF-16 string; empty for null.
inline std::u16string_view Utf16View(const char16_t* text) {
  return text ? std::u16string_view(text, Utf16Length(text)) : std::u16string_view();
}

// Copies text into a buffer of capacity units, always NUL-terminated (cut when too long, never
// splitting a surrogate pair). Returns the units copied without the NUL.
size_t CopyUtf16(std::u16string_view text, char16_t* buffer, size_t capacity);

// ASCII-only case folding of one UTF-16 unit ('a'..'z' → 'A'..'Z').
inline char16_t AsciiUpper(char16_t c) { return (c >= u'a' && c <= u'z') ? c - 32 : c; }

// Name equality as disc file systems look names up: a..z and A..Z equal regardless of case, every
// other unit by value.
inline bool NamesEqualIgnoringAsciiCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiUpper(a[i]) != AsciiUpper(b[i])) return false;
  }
  return true;
}

}  // namespace quenvar::platform

#endif  // QUENVAR_PLATFORM_UNICODE_H_
