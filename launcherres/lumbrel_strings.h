// The string tables of the launcher library (internal).
#ifndef QUENVAR_LUMBREL_LUMBREL_STRINGS_H_
#define QUENVAR_LUMBREL_LUMBREL_STRINGS_H_

#include <cstdint>
#include <string_view>

namespace lumbrel {

inline constexpr int32_t kFirstId = 2001;
inline constexpr int32_t kTextCount = 28;
inline constexpr int32_t kLanguageCount = 6;

// The languages with a table, English first.
extern const int32_t kLanguages[kLanguageCount];

// The text of id in language; English for a language without a table; empty for an unknown id.
std::u16string_view Text(int32_t language, int64_t id);

}  // namespace lumbrel

#endif  // QUENVAR_LUMBREL_LUMBREL_STRINGS_H_
