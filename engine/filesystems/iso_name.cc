#include "filesystems/iso_name.h"

#include <cstdio>

namespace quillden::fs {
namespace {

void SplitName(std::string_view name, bool is_folder, std::string_view* base,
               std::string_view* extension) {
  size_t dot = is_folder ? std::string_view::npos : name.rfind('.');
  if (dot == std::string_view::npos) {
    *base = name;
    *extension = {};
  } else {
    *base = name.substr(0, dot);
    *extension = name.substr(dot);
  }
}

// Upper case and the d-character filter; double-byte characters pass whole.
std::string Normalize(const AnsiCodePage& code_page, std::string_view joined) {
  std::string out(joined);
  for (size_t i = 0; i < out.size(); ++i) {
    auto byte = static_cast<uint8_t>(out[i]);
    if (code_page.IsPairAt(out, i)) {
      ++i;
      continue;
    }
    if (byte >= 'a' && byte <= 'z') byte = static_cast<uint8_t>(byte - 32);
    bool allowed = (byte >= 'A' && byte <= 'Z') || (byte >= '0' && byte <= '9') || byte == '_' ||
                   byte == '.';
    out[i] = allowed ? static_cast<char>(byte) : '_';
  }
  return out;
}

}  // namespace

std::string DeriveIsoName(const AnsiCodePage& code_page, std::u16string_view name, bool is_folder) {
  std::string bytes = ToAnsiName(code_page, name);
  std::string_view base, extension;
  SplitName(bytes, is_folder, &base, &extension);
  std::string joined(base.substr(0, 8));
  joined.append(extension.substr(0, 4));
  return Normalize(code_page, joined);
}

std::string DeriveIsoNameWithCounter(const AnsiCodePage& code_page, std::string_view iso_name,
                                     bool is_folder, uint32_t counter) {
  char digits[16];
  int digit_count = std::snprintf(digits, sizeof digits, "%X", counter);
  std::string_view base, extension;
  SplitName(iso_name, is_folder, &base, &extension);
  base = base.substr(0, 8);
  size_t keep = base.size() > static_cast<size_t>(digit_count) ? base.size() - digit_count : 0;
  std::string joined(base.substr(0, keep));
  joined.append(digits, digit_count);
  joined.append(extension.substr(0, 4));
  return Normalize(code_page, joined);
}

std::string FolderIsoNamer::Next(std::u16string_view name, bool is_folder) {
  std::string iso_name = DeriveIsoName(code_page_, name, is_folder);
  // Every entry is checked against the names given before it, also one whose name needed no
  // change: "A B.TXT" and "A_B.TXT" would otherwise both be recorded as A_B.TXT.
  while (taken_.count(iso_name)) {
    iso_name = DeriveIsoNameWithCounter(code_page_, iso_name, is_folder, counter_++);
  }
  taken_.insert(iso_name);
  return iso_name;
}

}  // namespace quillden::fs
