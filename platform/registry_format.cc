#include "registry_format.h"

#include <cstdint>
#include <cstdio>

#include "platform/unicode.h"

namespace quenvar::platform::internal {

bool SameName(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiUpper(a[i]) != AsciiUpper(b[i])) return false;
  }
  return true;
}

std::u16string NormalizePath(std::u16string_view path) {
  std::u16string out;
  size_t i = 0;
  while (i < path.size()) {
    size_t j = path.find(u'\\', i);
    if (j == std::u16string_view::npos) j = path.size();
    if (j > i) {
      if (!out.empty()) out.push_back(u'\\');
      out.append(path.substr(i, j - i));
    }
    i = j + 1;
  }
  return out;
}

KeyData* FindKey(HiveData* hive, std::u16string_view path) {
  for (KeyData& key : hive->keys) {
    if (SameName(key.path, path)) return &key;
  }
  return nullptr;
}

ValueData* FindValue(KeyData* key, std::u16string_view name) {
  for (ValueData& value : key->values) {
    if (SameName(value.name, name)) return &value;
  }
  return nullptr;
}

namespace {

constexpr char kHeader[] = "quenvar-registry 1";

// ---- Text encoding of strings ----

void AppendQuoted(std::u16string_view text, std::string* out) {
  static const char kHex[] = "0123456789ABCDEF";
  out->push_back('"');
  size_t run_start = 0;
  auto flush = [&](size_t end) {
    if (end > run_start) out->append(Utf16ToUtf8(text.substr(run_start, end - run_start)));
  };
  for (size_t i = 0; i < text.size(); ++i) {
    char16_t c = text[i];
    bool high = c >= 0xD800 && c <= 0xDBFF;
    bool low = c >= 0xDC00 && c <= 0xDFFF;
    if (high && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      ++i;  // a valid pair stays in the UTF-8 run
      continue;
    }
    if (high || low || c < 0x20 || c == 0x7F || c == u'"' || c == u'\\') {
      flush(i);
      run_start = i + 1;
      if (c == u'"' || c == u'\\') {
        out->push_back('\\');
        out->push_back(static_cast<char>(c));
      } else {
        out->append("\\u");
        for (int shift = 12; shift >= 0; shift -= 4) out->push_back(kHex[(c >> shift) & 0xF]);
      }
    }
  }
  flush(text.size());
  out->push_back('"');
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads a quoted string at line[*pos] (which must be '"'); advances *pos past it.
bool ReadQuoted(std::string_view line, size_t* pos, std::u16string* out) {
  out->clear();
  if (*pos >= line.size() || line[*pos] != '"') return false;
  std::string run;
  for (size_t i = *pos + 1; i < line.size(); ++i) {
    char c = line[i];
    if (c == '"') {
      out->append(Utf8ToUtf16(run));
      *pos = i + 1;
      return true;
    }
    if (c != '\\') {
      run.push_back(c);
      continue;
    }
    if (i + 1 >= line.size()) return false;
    char e = line[++i];
    if (e == '"' || e == '\\') {
      run.push_back(e);
      continue;
    }
    if (e != 'u' || i + 4 >= line.size()) return false;
    int unit = 0;
    for (int k = 1; k <= 4; ++k) {
      int d = HexDigit(line[i + k]);
      if (d < 0) return false;
      unit = unit * 16 + d;
    }
    i += 4;
    out->append(Utf8ToUtf16(run));
    run.clear();
    out->push_back(static_cast<char16_t>(unit));
  }
  return false;
}

void SkipBlanks(std::string_view line, size_t* pos) {
  while (*pos < line.size() && (line[*pos] == ' ' || line[*pos] == '\t')) ++*pos;
}

std::string_view ReadWord(std::string_view line, size_t* pos) {
  SkipBlanks(line, pos);
  size_t start = *pos;
  while (*pos < line.size() && line[*pos] != ' ' && line[*pos] != '\t') ++*pos;
  return line.substr(start, *pos - start);
}

// ---- Hive files ----

bool ParseValue(std::string_view line, size_t pos, ValueData* out) {
  SkipBlanks(line, &pos);
  if (!ReadQuoted(line, &pos, &out->name)) return false;
  std::string_view type = ReadWord(line, &pos);
  SkipBlanks(line, &pos);
  if (type == "dword") {
    std::string_view digits = ReadWord(line, &pos);
    if (digits.empty() || digits.size() > 10) return false;
    uint64_t v = 0;
    for (char c : digits) {
      if (c < '0' || c > '9') return false;
      v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    if (v > UINT32_MAX) return false;
    out->value = RegistryValue::Dword(static_cast<uint32_t>(v));
  } else if (type == "sz") {
    std::u16string text;
    if (!ReadQuoted(line, &pos, &text)) return false;
    out->value = RegistryValue::Sz(std::move(text));
  } else if (type == "multi_sz") {
    std::vector<std::u16string> texts;
    while (true) {
      SkipBlanks(line, &pos);
      if (pos >= line.size()) break;
      std::u16string text;
      if (!ReadQuoted(line, &pos, &text)) return false;
      texts.push_back(std::move(text));
    }
    out->value = RegistryValue::MultiSz(std::move(texts));
  } else {
    return false;
  }
  SkipBlanks(line, &pos);
  return pos == line.size();
}

void ReportBadLine(bool report, const std::string& file, size_t number, const char* why) {
  if (!report) return;
  std::fprintf(stderr, "quenvar: registry %s line %zu: %s; ignored\n", file.c_str(), number, why);
}

}  // namespace

HiveData ParseHive(const std::string& file, std::string_view text, bool report) {
  HiveData hive;
  KeyData* current = nullptr;
  bool header_seen = false;
  size_t number = 0;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    start = end + 1;
    ++number;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    size_t pos = 0;
    SkipBlanks(line, &pos);
    if (pos == line.size() || line[pos] == '#') continue;
    if (!header_seen) {
      header_seen = true;
      if (line == kHeader) continue;
      hive.damaged = true;
      ReportBadLine(report, file, number, "not a registry hive of this version");
    }
    std::string_view word = ReadWord(line, &pos);
    if (word == "key") {
      SkipBlanks(line, &pos);
      std::u16string path;
      size_t after = pos;
      if (!ReadQuoted(line, &after, &path) || (SkipBlanks(line, &after), after != line.size())) {
        hive.damaged = true;
        current = nullptr;  // its values would land in the wrong key
        ReportBadLine(report, file, number, "malformed key line");
        continue;
      }
      path = NormalizePath(path);
      current = FindKey(&hive, path);
      if (!current) {
        hive.keys.push_back(KeyData{path, {}});
        current = &hive.keys.back();
      }
    } else if (word == "value") {
      ValueData value;
      if (!current || !ParseValue(line, pos, &value)) {
        hive.damaged = true;
        ReportBadLine(report, file, number, current ? "malformed value line" : "value outside a key");
        continue;
      }
      if (!FindValue(current, value.name)) current->values.push_back(std::move(value));
    } else {
      hive.damaged = true;
      ReportBadLine(report, file, number, "unknown line");
    }
  }
  return hive;
}

std::string SerializeHive(const HiveData& hive) {
  std::string out = std::string(kHeader) + "\n";
  for (const KeyData& key : hive.keys) {
    out += "key ";
    AppendQuoted(key.path, &out);
    out += "\n";
    for (const ValueData& value : key.values) {
      out += "value ";
      AppendQuoted(value.name, &out);
      switch (value.value.type) {
        case RegistryType::kDword:
          out += " dword " + std::to_string(value.value.dword);
          break;
        case RegistryType::kSz:
          out += " sz ";
          AppendQuoted(value.value.text, &out);
          break;
        case RegistryType::kMultiSz:
          out += " multi_sz";
          for (const std::u16string& text : value.value.texts) {
            out += " ";
            AppendQuoted(text, &out);
          }
          break;
      }
      out += "\n";
    }
  }
  return out;
}

}  // namespace quenvar::platform::internal
