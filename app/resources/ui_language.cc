#include "app/resources/ui_language.h"

#include "platform/system_info.h"

namespace quenvar::app {

LangId LanguageFromEnvironment() {
  // Without a Hong Kong table the platform reports Hong Kong Chinese as traditional Chinese.
  return platform::UserInterfaceLanguage(/*accept_hong_kong=*/false);
}

}  // namespace quenvar::app
