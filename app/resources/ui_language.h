// Orvex resources: which of the five table languages the signed-in user reads.
#ifndef QUENVAR_APP_RESOURCES_UI_LANGUAGE_H_
#define QUENVAR_APP_RESOURCES_UI_LANGUAGE_H_

#include "app/resources/string_table.h"

namespace quenvar::app {

// The user-interface language of the process as a table language. The platform may report a
// language the program has no table for (Hong Kong Chinese); it is read as traditional Chinese.
LangId LanguageFromEnvironment();

}  // namespace quenvar::app

#endif  // QUENVAR_APP_RESOURCES_UI_LANGUAGE_H_
