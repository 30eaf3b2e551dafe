#include "tools/common/drive_arg.h"

#include <cstdio>

#include "quillden/drive.h"

namespace quenvar::tools {

int DriveNumberOf(std::string_view text) {
  if (text.size() == 2 && text[1] == ':') text.remove_suffix(1);
  if (text.size() != 1) return 0;
  const char c = text[0];
  if (c >= 'A' && c <= 'Z') return c - 'A' + 1;
  if (c >= 'a' && c <= 'z') return c - 'a' + 1;
  return 0;
}

char DriveLetterOf(int number) {
  return number >= 1 && number <= 26 ? static_cast<char>('A' + number - 1) : '?';
}

HANDLE OpenDriveOrSay(const char* prefix, int number) {
  HANDLE drive = number >= 1 && number <= 26 ? DRV_OpenDrive(static_cast<DWORD>(number)) : nullptr;
  if (drive == nullptr) {
    std::fprintf(stderr,
                 "%s: drive %c: cannot be opened (no such drive in the drive map, or it is gone)\n",
                 prefix, DriveLetterOf(number));
  }
  return drive;
}

}  // namespace quenvar::tools
