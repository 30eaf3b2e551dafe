// What the launcher library asks of the platform (internal).
#ifndef QUENVAR_LUMBREL_LUMBREL_PLATFORM_H_
#define QUENVAR_LUMBREL_LUMBREL_PLATFORM_H_

#include <cstdint>

namespace lumbrel {

// The language of the user interface: 1028, 1033, 1041, 1042, 2052 or 3076.
int32_t LauncherLanguage();

// True when the platform version is 6.1 or later (major above 6, or 6 with a non-zero minor).
bool PlatformIsAtLeast61();

}  // namespace lumbrel

#endif  // QUENVAR_LUMBREL_LUMBREL_PLATFORM_H_
