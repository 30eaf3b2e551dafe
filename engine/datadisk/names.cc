// Entry names: hashing, comparison, the bad-character test and the shortening rules.
#include "datadisk/names.h"

#include "datadisk/datadisk.h"
#include "filesystems/crc32.h"

namespace quillden {
namespace {

inline char16_t AsciiLower(char16_t c) { return (c >= u'A' && c <= u'Z') ? c + 32 : c; }
inline char16_t AsciiUpper(char16_t c) { return (c >= u'a' && c <= u'z') ? c - 32 : c; }

}  // namespace

uint32_t NameHash(std::u16string_view name) {
  uint32_t crc = fs::kCrc32Start;
  for (char16_t unit : name) {
    char16_t c = AsciiUpper(unit);
    const uint8_t bytes[2] = {static_cast<uint8_t>(c & 0xFF), static_cast<uint8_t>(c >> 8)};  // UTF-16LE
    crc = fs::Crc32Update(crc, bytes, sizeof(bytes));
  }
  return fs::Crc32Finish(crc);
}

bool HasBadCharacter(std::u16string_view name) {
  for (char16_t c : name) {
    switch (c) {
      case u'\\': case u'/': case u':': case u'*': case u'?':
      case u'"': case u'<': case u'>': case u'|':
        return true;
      default:
        break;
    }
  }
  return false;
}

bool IsDotName(std::u16string_view name) {
  return name == u"." || name == u"..";
}

int CompareSortNames(std::u16string_view a, std::u16string_view b) {
  // An empty name counts as starting below 128.
  bool fold = (a.empty() || a[0] < 128) && (b.empty() || b[0] < 128);
  size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    char16_t x = fold ? AsciiLower(a[i]) : a[i];
    char16_t y = fold ? AsciiLower(b[i]) : b[i];
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

std::u16string_view LastDiscComponent(std::u16string_view disc_path) {
  size_t slash = disc_path.rfind(u'\\');
  return slash == std::u16string_view::npos ? disc_path : disc_path.substr(slash + 1);
}

std::u16string ShortenName(std::u16string_view name) {
  if (name.size() <= kMaxEntryName) return std::u16string(name);
  size_t dot = name.rfind(u'.');
  if (dot == std::u16string_view::npos || name.size() - dot > kMaxEntryName) {
    return std::u16string(name.substr(0, kMaxEntryName));
  }
  std::u16string_view extension = name.substr(dot);
  std::u16string result(name.substr(0, kMaxEntryName - extension.size()));
  result.append(extension);
  return result;
}

bool NormaliseName(std::u16string* name) {
  bool changed = false;
  if (name->size() > kMaxEntryName) {
    *name = ShortenName(*name);
    changed = true;
  }
  for (char16_t& c : *name) {
    if (c == u';') {
      c = u'_';
      changed = true;
    }
  }
  return changed;
}

std::u16string CounterName(std::u16string_view normalised, uint32_t counter) {
  static const char16_t kHex[] = u"0123456789abcdef";
  std::u16string digits;
  do {
    digits.insert(digits.begin(), kHex[counter & 0xF]);
    counter >>= 4;
  } while (counter != 0);

  size_t dot = normalised.rfind(u'.');
  std::u16string_view base = normalised;
  std::u16string_view extension;
  if (dot != std::u16string_view::npos && normalised.size() - dot < kMaxEntryName + 1) {
    base = normalised.substr(0, dot);
    extension = normalised.substr(dot);
  }
  // The counter must not push a name past 108 characters. When even an empty base leaves no room
  // (an extension of nearly 108 characters), the extension gives way instead.
  if (extension.size() + digits.size() > kMaxEntryName) {
    base = normalised;
    extension = {};
  }
  if (normalised.size() >= kMaxEntryName || base.size() + digits.size() + extension.size() > kMaxEntryName) {
    size_t keep = kMaxEntryName - digits.size() - extension.size();
    if (base.size() > keep) base = base.substr(0, keep);
  }
  std::u16string result(base);
  result.append(digits);
  result.append(extension);
  return result;
}

}  // namespace quillden
