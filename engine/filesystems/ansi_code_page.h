// The "ANSI" code page in which ISO 9660 names and the primary volume identifier are recorded.
//
// ISO 9660 names are bytes of the system's code page: CP1252 by default, a double-byte code page
// (CP932, CP936, CP949, CP950) under an East Asian locale, or what QUENVAR_CODEPAGE names. The name
// rules keep a lead byte followed by a trail byte as one character, so the code page also answers
// the lead-byte test. The conversions are the platform's (platform/code_page.h); this interface
// lets a layout be built for a code page other than the system's. Implementations are immutable
// and thread-safe.
#ifndef QUILLDEN_FILESYSTEMS_ANSI_CODE_PAGE_H_
#define QUILLDEN_FILESYSTEMS_ANSI_CODE_PAGE_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace quillden::fs {

class AnsiCodePage {
 public:
  virtual ~AnsiCodePage() = default;
  // Converts to code page bytes; a character the code page cannot hold becomes "?".
  virtual std::string FromUtf16(std::u16string_view text) const = 0;
  // Converts code page bytes back; an invalid sequence becomes U+FFFD.
  virtual std::u16string ToUtf16(std::string_view bytes) const = 0;
  // True when byte opens a double-byte character.
  virtual bool IsLeadByte(uint8_t byte) const = 0;
  // True when byte may close a double-byte character.
  virtual bool IsTrailByte(uint8_t byte) const = 0;
  // True when bytes[i] and bytes[i + 1] form one double-byte character.
  bool IsPairAt(std::string_view bytes, size_t i) const {
    return i + 1 < bytes.size() && IsLeadByte(static_cast<uint8_t>(bytes[i])) &&
           IsTrailByte(static_cast<uint8_t>(bytes[i + 1]));
  }

  // The code page of the system (platform/code_page.h).
  static const AnsiCodePage& System();
  // A code page by name ("CP1252", "CP932", ..., "UTF-8"); null when the system cannot convert it.
  static std::unique_ptr<AnsiCodePage> Create(const std::string& name);
};

// Converts text and cuts the result to at most 260 bytes without splitting a double-byte
// character, as every name conversion of the file systems does.
std::string ToAnsiName(const AnsiCodePage& code_page, std::u16string_view text);

}  // namespace quillden::fs

#endif  // QUILLDEN_FILESYSTEMS_ANSI_CODE_PAGE_H_
