// Platform layer: the system code page ("ANSI") and conversions to and from it.
//
// The code page is 1252 unless the locale (the first set of LC_ALL, LC_CTYPE, LANG) is Japanese
// (932), simplified Chinese (936), Korean (949) or traditional Chinese, zh_TW or zh_HK (950).
// QUENVAR_CODEPAGE (a number such as "932") overrides it when iconv knows that code page. The
// environment is read at each call, so tests may change it. Conversions go through iconv and never
// fail: a character the code page cannot represent becomes '?', and bytes that do not decode
// become U+FFFD. The five bytes code page 1252 leaves undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D)
// map to the C1 controls of the same value, both ways, so every byte string round-trips in 1252.
// ASCII text in a code page that keeps ASCII as it is (the Windows single-byte pages, the four
// double-byte pages and UTF-8) is copied without iconv: file names are nearly always ASCII.
// Thread-safe.
#ifndef QUENVAR_PLATFORM_CODE_PAGE_H_
#define QUENVAR_PLATFORM_CODE_PAGE_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace quenvar::platform {

// The system code page number as described above.
uint32_t AnsiCodePage();
// True when conversions to and from code_page are available (65001 is UTF-8).
bool IsCodePageSupported(uint32_t code_page);

// code_page 0 means AnsiCodePage(). An unsupported code page converts as 1252.
std::string ToAnsi(std::u16string_view text, uint32_t code_page = 0);
std::u16string FromAnsi(std::string_view bytes, uint32_t code_page = 0);

// True when byte starts a two-byte character in a double-byte code page (932, 936, 949, 950);
// always false for the others.
bool IsLeadByte(uint8_t byte, uint32_t code_page = 0);
// True when byte may close a two-byte character in a double-byte code page; always false for the
// others.
bool IsTrailByte(uint8_t byte, uint32_t code_page = 0);

}  // namespace quenvar::platform

#endif  // QUENVAR_PLATFORM_CODE_PAGE_H_
