// ISO 9660 names: 8.3 identifiers in the system code page derived from entry names, made unique
// within one folder by a counter.
//
// A name is cut to an 8-byte base and a 4-byte extension (dot included; folders keep their whole
// name as base, so a dot inside a folder name stays), turned to upper case, and every byte other
// than A-Z, 0-9, "_" and "." becomes "_", except that a lead byte followed by a trail byte of a
// double-byte code page is kept as one character. "long_filename_a.txt" gives "LONG_FIL.TXT".
#ifndef QUILLDEN_FILESYSTEMS_ISO_NAME_H_
#define QUILLDEN_FILESYSTEMS_ISO_NAME_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>

#include "filesystems/ansi_code_page.h"

namespace quillden::fs {

// The ISO name (code page bytes) of an entry name.
std::string DeriveIsoName(const AnsiCodePage& code_page, std::u16string_view name, bool is_folder);

// The name derived again from an ISO name with a collision counter: the base loses as many bytes
// as the counter has hexadecimal digits and the counter takes their place ("LONG_FIL.TXT" with 0
// gives "LONG_FI0.TXT").
std::string DeriveIsoNameWithCounter(const AnsiCodePage& code_page, std::string_view iso_name,
                                     bool is_folder, uint32_t counter);

// Names the entries of one folder, given in tree order, so that no two of them share an ISO name.
class FolderIsoNamer {
 public:
  explicit FolderIsoNamer(const AnsiCodePage& code_page) : code_page_(code_page) {}
  // The unique ISO name of the next entry of the folder.
  std::string Next(std::u16string_view name, bool is_folder);

 private:
  const AnsiCodePage& code_page_;
  std::unordered_set<std::string> taken_;
  uint32_t counter_ = 0;
};

}  // namespace quillden::fs

#endif  // QUILLDEN_FILESYSTEMS_ISO_NAME_H_
