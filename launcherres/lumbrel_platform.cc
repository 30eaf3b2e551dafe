#include "lumbrel_platform.h"

#include "platform/system_info.h"

namespace lumbrel {

int32_t LauncherLanguage() {
  // The launcher has a Hong Kong table of its own.
  return quenvar::platform::UserInterfaceLanguage(/*accept_hong_kong=*/true);
}

bool PlatformIsAtLeast61() { return quenvar::platform::GetPlatformVersion().AtLeast(6, 1); }

}  // namespace lumbrel
