#include "platform/code_page.h"

#include <errno.h>
#include <iconv.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "locale_name.h"
#include "platform/mutex.h"

namespace quenvar::platform {
namespace {

constexpr uint32_t kDefaultCodePage = 1252;
constexpr uint32_t kUtf8CodePage = 65001;

std::string IconvName(uint32_t code_page) {
  if (code_page == kUtf8CodePage) return "UTF-8";
  return "CP" + std::to_string(code_page);
}

bool Undefined1252(uint32_t c) {
  return c == 0x81 || c == 0x8D || c == 0x8F || c == 0x90 || c == 0x9D;
}

uint32_t CodePageOfLocale() {
  const char* locale = nullptr;
  for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    const char* value = std::getenv(name);
    if (value && *value) {
      locale = value;
      break;
    }
  }
  if (!locale) return kDefaultCodePage;
  internal::LocaleName name = internal::SplitLocaleName(locale);
  if (name.language == "ja") return 932;
  if (name.language == "ko") return 949;
  if (name.language != "zh") return kDefaultCodePage;
  const std::string& t = name.territory;
  if (t.starts_with("TW") || t.starts_with("HK") || t.starts_with("MO") || t.starts_with("Hant"))
    return 950;
  return 936;
}

uint32_t Resolve(uint32_t code_page) {
  if (code_page == 0) code_page = AnsiCodePage();
  return IsCodePageSupported(code_page) ? code_page : kDefaultCodePage;
}

// No double-byte code page has a lead byte below 0x80, and these pages map bytes below 0x80 to
// the same code points.
bool KeepsAscii(uint32_t code_page) {
  return (code_page >= 1250 && code_page <= 1258) || code_page == 874 || code_page == 932 ||
         code_page == 936 || code_page == 949 || code_page == 950 || code_page == kUtf8CodePage;
}

template <typename Unit>
bool IsAscii(std::basic_string_view<Unit> text) {
  for (Unit unit : text) {
    if (static_cast<uint32_t>(static_cast<std::make_unsigned_t<Unit>>(unit)) >= 0x80) return false;
  }
  return true;
}

// The answers of IsCodePageSupported so far.
Mutex g_known_mu;
std::unordered_map<uint32_t, bool>* KnownCodePages() REQUIRES(g_known_mu) {
  static auto* known = new std::unordered_map<uint32_t, bool>;
  return known;
}

}  // namespace

bool IsCodePageSupported(uint32_t code_page) {
  if (code_page == 0) return false;
  // Asked per byte by lead-byte tests: remember the answers.
  MutexLock lock(&g_known_mu);
  std::unordered_map<uint32_t, bool>* known = KnownCodePages();
  auto found = known->find(code_page);
  if (found != known->end()) return found->second;
  bool supported = false;
  iconv_t cd = iconv_open("UTF-16LE", IconvName(code_page).c_str());
  if (cd != reinterpret_cast<iconv_t>(-1)) {
    iconv_t back = iconv_open(IconvName(code_page).c_str(), "UTF-16LE");
    if (back != reinterpret_cast<iconv_t>(-1)) {
      supported = true;
      iconv_close(back);
    }
    iconv_close(cd);
  }
  (*known)[code_page] = supported;
  return supported;
}

uint32_t AnsiCodePage() {
  const char* forced = std::getenv("QUENVAR_CODEPAGE");
  if (forced && *forced) {
    char* end = nullptr;
    unsigned long value = std::strtoul(forced, &end, 10);
    if (*end == '\0' && value > 0 && value <= 65535 &&
        IsCodePageSupported(static_cast<uint32_t>(value))) {
      return static_cast<uint32_t>(value);
    }
    static std::atomic<bool> reported{false};
    if (!reported.exchange(true))
      std::fprintf(
          stderr,
          "quenvar: QUENVAR_CODEPAGE=%s is not a code page this system can convert; ignored\n",
          forced);
  }
  return CodePageOfLocale();
}

std::string ToAnsi(std::u16string_view text, uint32_t code_page) {
  code_page = Resolve(code_page);
  if (IsAscii(text) && KeepsAscii(code_page)) return std::string(text.begin(), text.end());
  std::string out;
  iconv_t cd = iconv_open(IconvName(code_page).c_str(), "UTF-16LE");
  if (cd == reinterpret_cast<iconv_t>(-1)) return out;
  std::vector<char> in(text.size() * 2);
  for (size_t i = 0; i < text.size(); ++i) {
    in[2 * i] = static_cast<char>(text[i] & 0xFF);
    in[2 * i + 1] = static_cast<char>(text[i] >> 8);
  }
  char* in_ptr = in.data();
  size_t in_left = in.size();
  char buffer[4096];
  while (in_left > 0) {
    char* out_ptr = buffer;
    size_t out_left = sizeof(buffer);
    size_t result = iconv(cd, &in_ptr, &in_left, &out_ptr, &out_left);
    out.append(buffer, static_cast<size_t>(out_ptr - buffer));
    if (result != static_cast<size_t>(-1) || errno == E2BIG) continue;
    // One character iconv cannot take: a lone surrogate or one the code page lacks.
    size_t unit = static_cast<size_t>(in_ptr - in.data()) / 2;
    char16_t c = text[unit];
    size_t units = 1;
    if (c >= 0xD800 && c <= 0xDBFF && unit + 1 < text.size() && text[unit + 1] >= 0xDC00 &&
        text[unit + 1] <= 0xDFFF) {
      units = 2;
    }
    out.push_back(code_page == 1252 && Undefined1252(c) ? static_cast<char>(c) : '?');
    in_ptr += 2 * units;
    in_left -= 2 * units;
  }
  char* out_ptr = buffer;
  size_t out_left = sizeof(buffer);
  iconv(cd, nullptr, nullptr, &out_ptr, &out_left);
  out.append(buffer, static_cast<size_t>(out_ptr - buffer));
  iconv_close(cd);
  return out;
}

std::u16string FromAnsi(std::string_view bytes, uint32_t code_page) {
  code_page = Resolve(code_page);
  if (IsAscii(bytes) && KeepsAscii(code_page)) return std::u16string(bytes.begin(), bytes.end());
  std::u16string out;
  iconv_t cd = iconv_open("UTF-16LE", IconvName(code_page).c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return out;
  std::vector<char> in(bytes.begin(), bytes.end());
  char* in_ptr = in.data();
  size_t in_left = in.size();
  char buffer[4096];
  auto flush = [&](char* end) {
    for (char* p = buffer; p + 1 < end; p += 2) {
      out.push_back(
          static_cast<char16_t>(static_cast<uint8_t>(p[0]) | (static_cast<uint8_t>(p[1]) << 8)));
    }
  };
  while (in_left > 0) {
    char* out_ptr = buffer;
    size_t out_left = sizeof(buffer);
    size_t result = iconv(cd, &in_ptr, &in_left, &out_ptr, &out_left);
    flush(out_ptr);
    if (result != static_cast<size_t>(-1) || errno == E2BIG) continue;
    // EILSEQ: a byte that starts no character; EINVAL: a lead byte cut off by the end.
    uint8_t byte = static_cast<uint8_t>(*in_ptr);
    out.push_back(code_page == 1252 && Undefined1252(byte) ? char16_t(byte) : char16_t(0xFFFD));
    ++in_ptr;
    --in_left;
  }
  iconv_close(cd);
  return out;
}

bool IsLeadByte(uint8_t byte, uint32_t code_page) {
  if (byte < 0x80) return false;  // asked for every byte of a name: no need to read the locale
  switch (Resolve(code_page)) {
    case 932:
      return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
    case 936:
    case 949:
    case 950:
      return byte >= 0x81 && byte <= 0xFE;
    default:
      return false;
  }
}

bool IsTrailByte(uint8_t byte, uint32_t code_page) {
  switch (Resolve(code_page)) {
    case 932:
      return (byte >= 0x40 && byte <= 0x7E) || (byte >= 0x80 && byte <= 0xFC);
    case 936:
      return byte >= 0x40 && byte <= 0xFE && byte != 0x7F;
    case 949:
      return (byte >= 0x41 && byte <= 0x5A) || (byte >= 0x61 && byte <= 0x7A) || byte >= 0x81;
    case 950:
      return (byte >= 0x40 && byte <= 0x7E) || (byte >= 0xA1 && byte <= 0xFE);
    default:
      return false;
  }
}

}  // namespace quenvar::platform
