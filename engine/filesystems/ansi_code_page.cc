#include "filesystems/ansi_code_page.h"

#include <strings.h>

#include <cstdlib>

#include "platform/code_page.h"

namespace quillden::fs {
namespace {

// The conversions and byte classes are the platform's; 0 stands for the system code page, which
// the platform reads at each call so that a changed locale takes effect.
class PlatformCodePage : public AnsiCodePage {
 public:
  explicit PlatformCodePage(uint32_t code_page) : code_page_(code_page) {}

  std::string FromUtf16(std::u16string_view text) const override {
    return quenvar::platform::ToAnsi(text, code_page_);
  }
  std::u16string ToUtf16(std::string_view bytes) const override {
    return quenvar::platform::FromAnsi(bytes, code_page_);
  }
  bool IsLeadByte(uint8_t byte) const override {
    return quenvar::platform::IsLeadByte(byte, code_page_);
  }
  bool IsTrailByte(uint8_t byte) const override {
    return quenvar::platform::IsTrailByte(byte, code_page_);
  }

 private:
  const uint32_t code_page_;
};

// "CP932" is 932 and "UTF-8" is 65001; 0 for anything else.
uint32_t CodePageNumber(const std::string& name) {
  if (strcasecmp(name.c_str(), "UTF-8") == 0) return 65001;
  if (name.size() < 3 || strncasecmp(name.c_str(), "CP", 2) != 0) return 0;
  char* end = nullptr;
  unsigned long number = std::strtoul(name.c_str() + 2, &end, 10);
  if (*end != '\0' || number == 0 || number > 65535) return 0;
  return static_cast<uint32_t>(number);
}

}  // namespace

std::unique_ptr<AnsiCodePage> AnsiCodePage::Create(const std::string& name) {
  uint32_t code_page = CodePageNumber(name);
  if (code_page == 0 || !quenvar::platform::IsCodePageSupported(code_page)) return nullptr;
  return std::make_unique<PlatformCodePage>(code_page);
}

const AnsiCodePage& AnsiCodePage::System() {
  static const PlatformCodePage system(0);
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
