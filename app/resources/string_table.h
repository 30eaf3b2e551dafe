// Orvex resources: the string tables and dialog texts in the five user-interface languages.
//
// Every text the program shows comes from here, looked up by its numeric id and a language id
// (1028 Chinese traditional, 1033 English, 1041 Japanese, 1042 Korean, 2052 Chinese simplified).
// A language that has no table falls back to English, and so does an id that a table lacks, so a
// lookup never fails for a known id; an unknown id gives an empty text. The tables are constant data
// compiled into the program: lookups are thread-safe and the returned views live for the whole
// process.
//
// Dialog texts are addressed by (dialog template, item). Item 0 is the window title; other items are
// the control ids of the template; fixed texts that carry no control id of their own use the
// kStaticText* numbers below.
#ifndef QUENVAR_APP_RESOURCES_STRING_TABLE_H_
#define QUENVAR_APP_RESOURCES_STRING_TABLE_H_

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace quenvar::app {

using LangId = uint16_t;

inline constexpr LangId kLangChineseTraditional = 1028;
inline constexpr LangId kLangEnglish = 1033;
inline constexpr LangId kLangJapanese = 1041;
inline constexpr LangId kLangKorean = 1042;
inline constexpr LangId kLangChineseSimplified = 2052;

// The languages that carry a complete table, English first.
std::span<const LangId> SupportedLanguages();

struct StringEntry {
  uint32_t id;
  std::u16string_view text;
};

struct DialogTextEntry {
  uint16_t dialog;
  uint16_t item;
  std::u16string_view text;
};

// The raw table of one language (empty for a language without a table). Sorted by id.
std::span<const StringEntry> StringTable(LangId language);
// The raw dialog texts of one language. Sorted by (dialog, item).
std::span<const DialogTextEntry> DialogTable(LangId language);

// The text of string id in language, falling back to English; empty when English lacks it too.
std::u16string_view LoadString(uint32_t id, LangId language);
// The same in the process's user-interface language (see UiLanguage()).
std::u16string_view LoadString(uint32_t id);

// The text of one dialog item in language, falling back to English; empty when there is none.
std::u16string_view DialogText(uint16_t dialog, uint16_t item, LangId language);
std::u16string_view DialogText(uint16_t dialog, uint16_t item);

// The language the program shows its texts in. Chosen once from the environment on first use
// (LANGUAGE, LC_ALL, LC_MESSAGES, LANG); SetUiLanguage overrides it (tests, the headless front end).
// A language without a table behaves as English.
LangId UiLanguage();
void SetUiLanguage(LangId language);

// Formats a printf-style template of the tables with UTF-16 arguments. Only the conversions the
// tables use are understood: %s (a UTF-16 string), %d/%u/%X/%x with flags, width and the 0 flag,
// %f with a precision, and %%. Missing arguments print as empty/zero; extra ones are ignored, so a
// template never reads past what it was given.
class FormatArg {
 public:
  FormatArg(std::u16string_view text) : kind_(kText), text_(text) {}  // NOLINT: implicit by design
  FormatArg(const char16_t* text) : kind_(kText), text_(text ? text : u"") {}  // NOLINT
  FormatArg(const std::u16string& text) : kind_(kText), text_(text) {}  // NOLINT
  FormatArg(int value) : kind_(kInteger), integer_(value) {}  // NOLINT
  FormatArg(unsigned value) : kind_(kInteger), integer_(value) {}  // NOLINT
  FormatArg(long value) : kind_(kInteger), integer_(value) {}  // NOLINT
  FormatArg(unsigned long value) : kind_(kInteger), integer_(static_cast<long long>(value)) {}  // NOLINT
  FormatArg(long long value) : kind_(kInteger), integer_(value) {}  // NOLINT
  FormatArg(double value) : kind_(kReal), real_(value) {}  // NOLINT

  enum Kind { kText, kInteger, kReal };
  Kind kind() const { return kind_; }
  std::u16string_view text() const { return text_; }
  long long integer() const { return integer_; }
  double real() const { return real_; }

 private:
  Kind kind_;
  std::u16string_view text_;
  long long integer_ = 0;
  double real_ = 0.0;
};

std::u16string FormatText(std::u16string_view format, std::initializer_list<FormatArg> args);

// Loads string id in the user-interface language and formats it.
inline std::u16string FormatString(uint32_t id, std::initializer_list<FormatArg> args) {
  return FormatText(LoadString(id), args);
}

}  // namespace quenvar::app

#endif  // QUENVAR_APP_RESOURCES_STRING_TABLE_H_
