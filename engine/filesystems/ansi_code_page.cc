#include "filesystems/ansi_code_page.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/code_page.h"

namespace quillden::fs {
namespace {

bool IsDoubleByteName(const std::string& name, int* kind) {
  static const struct {
    const char* name;
    int kind;
  } kKnown[] = {{"CP932", 932}, {"CP936", 936}, {"CP949", 949}, {"CP950", 950}};
  for (const auto& known : kKnown) {
    if (strcasecmp(name.c_str(), known.name) == 0) {
      *kind = known.kind;
      return true;
    }
  }
  *kind = 0;
  return false;
}

// iconv conversions, one character at a time so that one unmappable character costs only itself.
// Names are short; ASCII text (the common case) never reaches iconv.
class IconvCodePage : public AnsiCodePage {
 public:
  IconvCodePage(iconv_t to_ansi, iconv_t from_ansi, int double_byte_kind)
      : to_ansi_(to_ansi), from_ansi_(from_ansi), double_byte_kind_(double_byte_kind) {}
  ~IconvCodePage() override {
    iconv_close(to_ansi_);
    iconv_close(from_ansi_);
  }

  std::string FromUtf16(std::u16string_view text) const override {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
      char16_t unit = text[i];
      if (unit < 0x80) {
        out.push_back(static_cast<char>(unit));
        continue;
      }
      char16_t in[2] = {unit, 0};
      size_t in_units = 1;
      if (unit >= 0xD800 && unit < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
          text[i + 1] < 0xE000) {
        in[1] = text[++i];
        in_units = 2;
      }
      char buffer[8];
      size_t written = Convert(to_ansi_, in, in_units * 2, buffer, sizeof buffer);
      if (written == 0) {
        out.push_back('?');
      } else {
        out.append(buffer, written);
      }
    }
    return out;
  }

  std::u16string ToUtf16(std::string_view bytes) const override {
    std::u16string out;
    out.reserve(bytes.size());
    for (size_t i = 0; i < bytes.size(); ++i) {
      auto byte = static_cast<uint8_t>(bytes[i]);
      if (byte < 0x80) {
        out.push_back(byte);
        continue;
      }
      size_t n = IsPairAt(bytes, i) ? 2 : 1;
      char16_t buffer[4];
      size_t written = Convert(from_ansi_, bytes.data() + i, n, buffer, sizeof buffer);
      if (written < 2) {
        out.push_back(u'\uFFFD');
      } else {
        out.append(buffer, written / 2);
      }
      i += n - 1;
    }
    return out;
  }

  bool IsLeadByte(uint8_t byte) const override {
    switch (double_byte_kind_) {
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

  bool IsTrailByte(uint8_t byte) const override {
    switch (double_byte_kind_) {
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

 private:
  // Returns the bytes written, 0 when the input cannot be converted.
  size_t Convert(iconv_t cd, const void* in, size_t in_size, void* out, size_t out_size) const {
    std::lock_guard<std::mutex> lock(mutex_);
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char* in_ptr = const_cast<char*>(static_cast<const char*>(in));
    char* out_ptr = static_cast<char*>(out);
    size_t in_left = in_size, out_left = out_size;
    if (iconv(cd, &in_ptr, &in_left, &out_ptr, &out_left) == static_cast<size_t>(-1) || in_left) {
      return 0;
    }
    return out_size - out_left;
  }

  iconv_t to_ansi_;
  iconv_t from_ansi_;
  int double_byte_kind_;
  mutable std::mutex mutex_;
};

// The platform's code page, with the trail-byte ranges of its double-byte pages.
// The Windows code pages keep ASCII as it is, and no double-byte code page has a lead byte below
// 0x80: ASCII text (nearly every name) is converted without iconv, and bytes below 0x80 are
// tested without asking which code page is set.
bool KeepsAscii(uint32_t code_page) {
  return (code_page >= 1250 && code_page <= 1258) || code_page == 874 || code_page == 932 ||
         code_page == 936 || code_page == 949 || code_page == 950;
}

class PlatformCodePage : public AnsiCodePage {
 public:
  std::string FromUtf16(std::u16string_view text) const override {
    if (std::all_of(text.begin(), text.end(), [](char16_t unit) { return unit < 0x80; }) &&
        KeepsAscii(quenvar::platform::AnsiCodePage())) {
      return std::string(text.begin(), text.end());
    }
    return quenvar::platform::ToAnsi(text);
  }
  std::u16string ToUtf16(std::string_view bytes) const override {
    if (std::all_of(bytes.begin(), bytes.end(),
                    [](char byte) { return static_cast<uint8_t>(byte) < 0x80; }) &&
        KeepsAscii(quenvar::platform::AnsiCodePage())) {
      return std::u16string(bytes.begin(), bytes.end());
    }
    return quenvar::platform::FromAnsi(bytes);
  }
  bool IsLeadByte(uint8_t byte) const override {
    return byte >= 0x80 && quenvar::platform::IsLeadByte(byte);
  }
  bool IsTrailByte(uint8_t byte) const override {
    switch (quenvar::platform::AnsiCodePage()) {
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
};

}  // namespace

std::unique_ptr<AnsiCodePage> AnsiCodePage::Create(const std::string& name) {
  iconv_t to_ansi = iconv_open(name.c_str(), "UTF-16LE");
  if (to_ansi == reinterpret_cast<iconv_t>(-1)) return nullptr;
  iconv_t from_ansi = iconv_open("UTF-16LE", name.c_str());
  if (from_ansi == reinterpret_cast<iconv_t>(-1)) {
    iconv_close(to_ansi);
    return nullptr;
  }
  int kind = 0;
  IsDoubleByteName(name, &kind);
  return std::make_unique<IconvCodePage>(to_ansi, from_ansi, kind);
}

const AnsiCodePage& AnsiCodePage::System() {
  static const PlatformCodePage system;
  return system;
}

std::string ToAnsiName(const AnsiCodePage& code_page, std::u16string_view text) {
  constexpr size_t kLimit = 260;
  std::string bytes = code_page.FromUtf16(text);
  if (bytes.size() <= kLimit) return bytes;
  size_t end = 0;
  while (end < bytes.size()) {
    size_t step = code_page.IsPairAt(bytes, end) ? 2 : 1;
    if (end + step > kLimit) break;
    end += step;
  }
  bytes.resize(end);
  return bytes;
}

}  // namespace quillden::fs
