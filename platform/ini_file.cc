#include "platform/ini_file.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>

#include "platform/code_page.h"
#include "platform/unicode.h"

namespace quenvar::platform {
namespace {

std::u16string Fold(std::u16string_view s) {
  std::u16string out(s);
  for (char16_t& c : out) c = AsciiUpper(c);
  return out;
}

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }

std::u16string_view Trim(std::u16string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

bool IsValidUtf8(std::string_view bytes) {
  size_t i = 0;
  while (i < bytes.size()) {
    uint8_t b = static_cast<uint8_t>(bytes[i]);
    size_t extra;
    uint32_t c;
    if (b < 0x80) {
      ++i;
      continue;
    } else if ((b & 0xE0) == 0xC0) {
      extra = 1, c = b & 0x1F;
    } else if ((b & 0xF0) == 0xE0) {
      extra = 2, c = b & 0x0F;
    } else if ((b & 0xF8) == 0xF0) {
      extra = 3, c = b & 0x07;
    } else {
      return false;
    }
    if (i + extra >= bytes.size()) return false;
    for (size_t k = 1; k <= extra; ++k) {
      uint8_t t = static_cast<uint8_t>(bytes[i + k]);
      if ((t & 0xC0) != 0x80) return false;
      c = (c << 6) | (t & 0x3F);
    }
    static const uint32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
    if (c < kMinimum[extra] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
    i += extra + 1;
  }
  return true;
}

std::u16string DecodeUtf16(std::string_view bytes, bool little_endian) {
  std::u16string out;
  out.reserve(bytes.size() / 2);
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    uint8_t a = static_cast<uint8_t>(bytes[i]);
    uint8_t b = static_cast<uint8_t>(bytes[i + 1]);
    out.push_back(static_cast<char16_t>(little_endian ? (a | (b << 8)) : ((a << 8) | b)));
  }
  if (bytes.size() % 2) out.push_back(0xFFFD);  // a dangling odd byte
  return out;
}

}  // namespace

std::u16string DecodeTextFile(std::string_view bytes) {
  if (bytes.starts_with("\xEF\xBB\xBF")) return Utf8ToUtf16(bytes.substr(3));
  if (bytes.starts_with("\xFF\xFE")) return DecodeUtf16(bytes.substr(2), true);
  if (bytes.starts_with("\xFE\xFF")) return DecodeUtf16(bytes.substr(2), false);
  if (IsValidUtf8(bytes)) return Utf8ToUtf16(bytes);
  return FromAnsi(bytes);
}

Status IniFile::Load(const std::string& path, IniFile* file, Env* env) {
  // Opening a FIFO for reading waits for a writer: look at what the path is first.
  FileInfo info;
  Status s = env->Stat(path, /*follow_links=*/true, &info);
  if (!s.ok()) return s;
  if (!info.is_regular) return Status::FromErrno(EINVAL, "not a regular file: " + path);
  if (info.size > kMaxIniFileBytes) return Status::FromErrno(EFBIG, "too large: " + path);
  std::unique_ptr<ReadableFile> in;
  s = env->OpenReadable(path, &in);
  if (!s.ok()) return s;
  // The path may have been replaced since it was looked at.
  if (const int fd = in->NativeHandle(); fd >= 0) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
      return Status::FromErrno(EINVAL, "not a regular file: " + path);
  }
  std::string bytes;
  // Read until the end rather than trusting the size, which may change under us, but never more
  // than the limit.
  char buffer[65536];
  uint64_t offset = 0;
  while (true) {
    size_t got = 0;
    s = in->ReadAt(offset, sizeof(buffer), buffer, &got);
    if (!s.ok()) return s;
    if (got == 0) break;
    if (offset + got > kMaxIniFileBytes) return Status::FromErrno(EFBIG, "too large: " + path);
    bytes.append(buffer, got);
    offset += got;
  }
  *file = Parse(bytes, path);
  return Status::Ok();
}

IniFile IniFile::Parse(std::string_view bytes, std::string_view name, bool report) {
  IniFile file;
  std::u16string text = DecodeTextFile(bytes);
  std::u16string_view rest = text;
  // Where keys go: the current section, or nowhere (before any section, after a malformed header,
  // or in a repeated section, which the first one of its name hides).
  Section* current = nullptr;
  bool in_section = false;
  size_t line_number = 0;
  auto malformed = [&](const char* why) {
    ++file.malformed_lines_;
    if (report) {
      std::fprintf(stderr, "quenvar: %.*s line %zu: %s; ignored\n", static_cast<int>(name.size()), name.data(),
                   line_number, why);
    }
  };
  while (!rest.empty()) {
    size_t end = rest.find_first_of(u"\r\n");
    std::u16string_view line = rest.substr(0, end);
    if (end == std::u16string_view::npos) {
      rest = {};
    } else {
      size_t next = end + 1;
      if (rest[end] == u'\r' && next < rest.size() && rest[next] == u'\n') ++next;
      rest.remove_prefix(next);
    }
    ++line_number;
    line = Trim(line);
    if (line.empty() || line.front() == u';') continue;
    if (line.front() == u'[') {
      size_t close = line.find(u']');
      current = nullptr;
      in_section = true;
      if (close == std::u16string_view::npos) {
        malformed("section header without ']'");
        continue;
      }
      std::u16string section_name(Trim(line.substr(1, close - 1)));
      std::u16string folded = Fold(section_name);
      if (file.section_index_.count(folded)) continue;  // a repeated section: the first one counts
      file.section_index_[folded] = file.sections_.size();
      file.sections_.push_back(Section{section_name, {}, {}});
      current = &file.sections_.back();
      continue;
    }
    size_t equals = line.find(u'=');
    if (equals == std::u16string_view::npos) {
      malformed("no '=' in a key line");
      continue;
    }
    std::u16string_view key = Trim(line.substr(0, equals));
    if (key.empty()) {
      malformed("empty key name");
      continue;
    }
    if (!in_section) {
      malformed("key before any section");
      continue;
    }
    if (!current) continue;
    std::u16string_view value = Trim(line.substr(equals + 1));
    if (value.size() >= 2 && (value.front() == u'"' || value.front() == u'\'') && value.back() == value.front()) {
      value = value.substr(1, value.size() - 2);
    }
    std::u16string folded = Fold(key);
    if (current->index.count(folded)) continue;  // first occurrence wins
    current->index[folded] = current->keys.size();
    current->keys.emplace_back(std::u16string(key), std::u16string(value));
  }
  return file;
}

const IniFile::Section* IniFile::FindSection(std::u16string_view name) const {
  auto found = section_index_.find(Fold(Trim(name)));
  return found == section_index_.end() ? nullptr : &sections_[found->second];
}

bool IniFile::HasSection(std::u16string_view section) const { return FindSection(section) != nullptr; }

std::vector<std::u16string> IniFile::SectionNames() const {
  std::vector<std::u16string> names;
  for (const Section& section : sections_) names.push_back(section.name);
  return names;
}

std::vector<std::u16string> IniFile::KeyNames(std::u16string_view section) const {
  std::vector<std::u16string> names;
  if (const Section* s = FindSection(section)) {
    for (const auto& [key, value] : s->keys) names.push_back(key);
  }
  return names;
}

const std::u16string* IniFile::Find(std::u16string_view section, std::u16string_view key) const {
  const Section* s = FindSection(section);
  if (!s) return nullptr;
  auto found = s->index.find(Fold(Trim(key)));
  return found == s->index.end() ? nullptr : &s->keys[found->second].second;
}

std::u16string IniFile::GetString(std::u16string_view section, std::u16string_view key,
                                  std::u16string_view default_value, size_t capacity) const {
  if (capacity == 0) return {};
  const std::u16string* value = Find(section, key);
  std::u16string_view text = value ? std::u16string_view(*value) : default_value;
  if (!value) {
    while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  }
  size_t n = std::min(text.size(), capacity - 1);
  if (n > 0 && n < text.size() && text[n - 1] >= 0xD800 && text[n - 1] <= 0xDBFF) --n;
  return std::u16string(text.substr(0, n));
}

size_t IniFile::GetString(std::u16string_view section, std::u16string_view key, std::u16string_view default_value,
                          char16_t* buffer, size_t capacity) const {
  if (!buffer || capacity == 0) return 0;
  return CopyUtf16(GetString(section, key, default_value, capacity), buffer, capacity);
}

uint32_t IniFile::GetInt(std::u16string_view section, std::u16string_view key, uint32_t default_value) const {
  const std::u16string* value = Find(section, key);
  if (!value) return default_value;
  size_t i = 0;
  bool negative = false;
  if (i < value->size() && ((*value)[i] == u'-' || (*value)[i] == u'+')) negative = (*value)[i++] == u'-';
  uint32_t result = 0;
  for (; i < value->size() && (*value)[i] >= u'0' && (*value)[i] <= u'9'; ++i) {
    result = result * 10 + static_cast<uint32_t>((*value)[i] - u'0');
  }
  return negative ? 0u - result : result;
}

}  // namespace quenvar::platform
