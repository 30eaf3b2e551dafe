// Drive arguments of the command-line tools. Every tool names a drive the same way: one letter
// from A to Z, in either case, optionally followed by a colon ("d", "D", "D:"). The letters are
// the drive map's; anything else (digits, two letters, "D:/", a letter outside ASCII) is not a
// drive argument, whatever the locale says a letter is.
#ifndef QUENVAR_TOOLS_COMMON_DRIVE_ARG_H_
#define QUENVAR_TOOLS_COMMON_DRIVE_ARG_H_

#include <string_view>

#include "quillden/types.h"

namespace quenvar::tools {

// The drive number (1 for A ... 26 for Z) of a drive argument; 0 when text is none.
int DriveNumberOf(std::string_view text);

// The upper-case letter of drive number 1..26; '?' for any other number.
char DriveLetterOf(int number);

// Opens drive number; on failure prints "PREFIX: drive X: cannot be opened (why)" on standard
// error and returns null. prefix names the tool and command ("quillden burn").
HANDLE OpenDriveOrSay(const char* prefix, int number);

}  // namespace quenvar::tools

#endif  // QUENVAR_TOOLS_COMMON_DRIVE_ARG_H_
