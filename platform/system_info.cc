#include "platform/system_info.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "locale_name.h"

namespace quenvar::platform {
namespace {

bool ParseNumber(std::string_view text, uint32_t* value) {
  if (text.empty() || text.size() > 5) return false;
  uint32_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint32_t>(c - '0');
  }
  *value = v;
  return true;
}

}  // namespace

PlatformVersion GetPlatformVersion() {
  PlatformVersion version;
  const char* forced = std::getenv("QUENVAR_PLATFORM_VERSION");
  if (!forced || !*forced) return version;
  std::string_view text(forced);
  size_t dot = text.find('.');
  PlatformVersion parsed;
  parsed.minor = 0;
  if (ParseNumber(text.substr(0, dot), &parsed.major) &&
      (dot == std::string_view::npos || ParseNumber(text.substr(dot + 1), &parsed.minor))) {
    return parsed;
  }
  static std::atomic<bool> reported{false};
  if (!reported.exchange(true)) {
    std::fprintf(stderr, "quenvar: QUENVAR_PLATFORM_VERSION=%s is not a version such as 6.0; ignored\n", forced);
  }
  return version;
}

uint16_t UserInterfaceLanguage(bool accept_hong_kong) {
  std::string locale;
  for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(name);
    if (value && *value) {
      locale = value;
      break;
    }
  }
  // LANGUAGE lists several; the first is preferred.
  internal::LocaleName name = internal::SplitLocaleName(locale.substr(0, locale.find(':')));
  if (name.language == "ja") return kLanguageJapanese;
  if (name.language == "ko") return kLanguageKorean;
  if (name.language != "zh") return kLanguageEnglish;
  if (name.territory.starts_with("HK")) {
    return accept_hong_kong ? kLanguageHongKongChinese : kLanguageTraditionalChinese;
  }
  if (name.territory.starts_with("TW") || name.territory.starts_with("MO") || name.territory.starts_with("Hant")) {
    return kLanguageTraditionalChinese;
  }
  return kLanguageSimplifiedChinese;
}

}  // namespace quenvar::platform
