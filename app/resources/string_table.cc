#include "app/resources/string_table.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>

#include "app/resources/string_tables_data.h"
#include "app/resources/ui_language.h"

namespace quenvar::app {
namespace {

struct LanguageTables {
  LangId language;
  const StringEntry* strings;
  size_t string_count;
  const DialogTextEntry* dialogs;
  size_t dialog_count;
};

#define QUENVAR_LANGUAGE_TABLES(lang)                                               \
  LanguageTables {                                                                  \
    lang, data::kStrings##lang, data::kStrings##lang##Count, data::kDialogs##lang,  \
        data::kDialogs##lang##Count                                                 \
  }

const LanguageTables* FindLanguage(LangId language) {
  static const LanguageTables kTables[] = {
      QUENVAR_LANGUAGE_TABLES(1033), QUENVAR_LANGUAGE_TABLES(1028), QUENVAR_LANGUAGE_TABLES(1041),
      QUENVAR_LANGUAGE_TABLES(1042), QUENVAR_LANGUAGE_TABLES(2052),
  };
  for (const LanguageTables& tables : kTables) {
    if (tables.language == language) return &tables;
  }
  return nullptr;
}

constexpr LangId kLanguages[] = {kLangEnglish, kLangChineseTraditional, kLangJapanese, kLangKorean,
                                 kLangChineseSimplified};

// 0 means "not chosen yet": the environment decides on first use.
std::atomic<LangId> g_ui_language{0};

const StringEntry* FindString(const LanguageTables* tables, uint32_t id) {
  if (!tables) return nullptr;
  const StringEntry* end = tables->strings + tables->string_count;
  const StringEntry* it = std::lower_bound(tables->strings, end, id,
                                           [](const StringEntry& e, uint32_t v) { return e.id < v; });
  return (it != end && it->id == id) ? it : nullptr;
}

const DialogTextEntry* FindDialogText(const LanguageTables* tables, uint16_t dialog, uint16_t item) {
  if (!tables) return nullptr;
  const DialogTextEntry* end = tables->dialogs + tables->dialog_count;
  const uint32_t key = (uint32_t{dialog} << 16) | item;
  const DialogTextEntry* it = std::lower_bound(
      tables->dialogs, end, key,
      [](const DialogTextEntry& e, uint32_t v) { return ((uint32_t{e.dialog} << 16) | e.item) < v; });
  return (it != end && it->dialog == dialog && it->item == item) ? it : nullptr;
}

void AppendAscii(std::u16string& out, const char* text) {
  for (; *text; ++text) out.push_back(static_cast<unsigned char>(*text));
}

}  // namespace

std::span<const LangId> SupportedLanguages() { return kLanguages; }

std::span<const StringEntry> StringTable(LangId language) {
  const LanguageTables* tables = FindLanguage(language);
  if (!tables) return {};
  return {tables->strings, tables->string_count};
}

std::span<const DialogTextEntry> DialogTable(LangId language) {
  const LanguageTables* tables = FindLanguage(language);
  if (!tables) return {};
  return {tables->dialogs, tables->dialog_count};
}

std::u16string_view LoadString(uint32_t id, LangId language) {
  if (const StringEntry* entry = FindString(FindLanguage(language), id)) return entry->text;
  if (const StringEntry* entry = FindString(FindLanguage(kLangEnglish), id)) return entry->text;
  return {};
}

std::u16string_view LoadString(uint32_t id) { return LoadString(id, UiLanguage()); }

std::u16string_view DialogText(uint16_t dialog, uint16_t item, LangId language) {
  if (const DialogTextEntry* e = FindDialogText(FindLanguage(language), dialog, item)) return e->text;
  if (const DialogTextEntry* e = FindDialogText(FindLanguage(kLangEnglish), dialog, item)) return e->text;
  return {};
}

std::u16string_view DialogText(uint16_t dialog, uint16_t item) {
  return DialogText(dialog, item, UiLanguage());
}

LangId UiLanguage() {
  LangId language = g_ui_language.load(std::memory_order_acquire);
  if (language == 0) {
    language = LanguageFromEnvironment();
    if (!FindLanguage(language)) language = kLangEnglish;
    LangId expected = 0;
    // A concurrent SetUiLanguage wins over the environment.
    if (!g_ui_language.compare_exchange_strong(expected, language)) language = expected;
  }
  return language;
}

void SetUiLanguage(LangId language) {
  g_ui_language.store(FindLanguage(language) ? language : kLangEnglish, std::memory_order_release);
}

std::u16string FormatText(std::u16string_view format, std::initializer_list<FormatArg> args) {
  std::u16string out;
  out.reserve(format.size() + 32);
  const FormatArg* next = args.begin();
  auto take = [&]() -> const FormatArg* { return next != args.end() ? next++ : nullptr; };

  for (size_t i = 0; i < format.size(); ++i) {
    const char16_t c = format[i];
    if (c != u'%') {
      out.push_back(c);
      continue;
    }
    // Parse "%[flags][width][.precision]conversion" of the subset the tables use.
    size_t j = i + 1;
    std::string spec = "%";
    while (j < format.size() && (format[j] == u'0' || format[j] == u'-' || format[j] == u'+' ||
                                 format[j] == u' ' || format[j] == u'#')) {
      spec.push_back(static_cast<char>(format[j++]));
    }
    while (j < format.size() && format[j] >= u'0' && format[j] <= u'9' && spec.size() < 12) {
      spec.push_back(static_cast<char>(format[j++]));
    }
    if (j < format.size() && format[j] == u'.') {
      spec.push_back('.');
      ++j;
      while (j < format.size() && format[j] >= u'0' && format[j] <= u'9' && spec.size() < 16) {
        spec.push_back(static_cast<char>(format[j++]));
      }
    }
    if (j >= format.size()) {  // a lone '%' at the end prints as itself
      out.append(format.substr(i));
      break;
    }
    const char16_t conversion = format[j];
    char buffer[64];
    switch (conversion) {
      case u'%':
        out.push_back(u'%');
        break;
      case u's': {
        const FormatArg* arg = take();
        if (arg && arg->kind() == FormatArg::kText) out.append(arg->text());
        break;
      }
      case u'd':
      case u'i':
      case u'u':
      case u'x':
      case u'X': {
        const FormatArg* arg = take();
        long long value = 0;
        if (arg && arg->kind() == FormatArg::kInteger) value = arg->integer();
        if (arg && arg->kind() == FormatArg::kReal) value = static_cast<long long>(arg->real());
        if (conversion == u'd' || conversion == u'i') {
          spec += "lld";
          std::snprintf(buffer, sizeof buffer, spec.c_str(), value);
        } else {
          // A negative 32-bit value prints as its 32-bit pattern, as with a DWORD argument.
          unsigned long long bits = static_cast<unsigned long long>(value);
          if (value < 0 && value >= INT32_MIN) bits &= 0xFFFFFFFFull;
          spec += "ll";
          spec.push_back(static_cast<char>(conversion));
          std::snprintf(buffer, sizeof buffer, spec.c_str(), bits);
        }
        AppendAscii(out, buffer);
        break;
      }
      case u'f': {
        const FormatArg* arg = take();
        double value = 0.0;
        if (arg && arg->kind() == FormatArg::kReal) value = arg->real();
        if (arg && arg->kind() == FormatArg::kInteger) value = static_cast<double>(arg->integer());
        if (!std::isfinite(value)) value = 0.0;
        spec += "f";
        // Bound the magnitude so the text always fits the buffer.
        value = std::clamp(value, -1e18, 1e18);
        std::snprintf(buffer, sizeof buffer, spec.c_str(), value);
        AppendAscii(out, buffer);
        break;
      }
      default:  // not a conversion the tables use: keep the text as written
        out.append(format.substr(i, j - i + 1));
        break;
    }
    i = j;
  }
  return out;
}

}  // namespace quenvar::app
