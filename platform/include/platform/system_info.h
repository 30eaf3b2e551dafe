// Platform layer: the platform version and the user-interface language.
//
// The version is what the system branches on where the original branched on the Windows version:
// 10.0 on Linux, overridden by QUENVAR_PLATFORM_VERSION ("6.0", "6.1", "5") for tests. The
// user-interface language is a language identifier taken from the first set of LANGUAGE (its
// first entry), LC_ALL, LC_MESSAGES, LANG: zh_TW 1028, ja 1041, ko 1042, zh_CN (and other
// simplified Chinese) 2052, zh_HK 3076 when the caller knows that language (else 1028), anything
// else 1033. The environment is read at each call. Thread-safe.
#ifndef QUENVAR_PLATFORM_SYSTEM_INFO_H_
#define QUENVAR_PLATFORM_SYSTEM_INFO_H_

#include <cstdint>

namespace quenvar::platform {

struct PlatformVersion {
  uint32_t major = 10;
  uint32_t minor = 0;
  bool operator==(const PlatformVersion&) const = default;
  bool AtLeast(uint32_t want_major, uint32_t want_minor) const {
    return major > want_major || (major == want_major && minor >= want_minor);
  }
};

// 10.0, or QUENVAR_PLATFORM_VERSION when it is "MAJOR" or "MAJOR.MINOR" (otherwise ignored with
// a line on stderr).
PlatformVersion GetPlatformVersion();

inline constexpr uint16_t kLanguageTraditionalChinese = 1028;
inline constexpr uint16_t kLanguageEnglish = 1033;
inline constexpr uint16_t kLanguageJapanese = 1041;
inline constexpr uint16_t kLanguageKorean = 1042;
inline constexpr uint16_t kLanguageSimplifiedChinese = 2052;
inline constexpr uint16_t kLanguageHongKongChinese = 3076;

// The user-interface language; accept_hong_kong says whether 3076 may be returned.
uint16_t UserInterfaceLanguage(bool accept_hong_kong = false);

}  // namespace quenvar::platform

#endif  // QUENVAR_PLATFORM_SYSTEM_INFO_H_
