// Orvex resources: the per-language tables, defined one language per file. Only string_table.cc and
// the tests read them directly; everything else goes through string_table.h.
#ifndef QUENVAR_APP_RESOURCES_STRING_TABLES_DATA_H_
#define QUENVAR_APP_RESOURCES_STRING_TABLES_DATA_H_

#include <cstddef>
#include <iterator>

#include "app/resources/string_table.h"

namespace quenvar::app::data {

#define QUENVAR_DECLARE_LANGUAGE(lang)            \
  extern const StringEntry kStrings##lang[];      \
  extern const size_t kStrings##lang##Count;      \
  extern const DialogTextEntry kDialogs##lang[];  \
  extern const size_t kDialogs##lang##Count;

QUENVAR_DECLARE_LANGUAGE(1028)
QUENVAR_DECLARE_LANGUAGE(1033)
QUENVAR_DECLARE_LANGUAGE(1041)
QUENVAR_DECLARE_LANGUAGE(1042)
QUENVAR_DECLARE_LANGUAGE(2052)

#undef QUENVAR_DECLARE_LANGUAGE

}  // namespace quenvar::app::data

#endif  // QUENVAR_APP_RESOURCES_STRING_TABLES_DATA_H_
