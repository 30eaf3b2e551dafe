// Opening the volume named by a command's "X:" argument, shared by ls and cat: every failure ends
// with its reason on one line, an empty drive as "no medium" with the drive's own sense.
#ifndef QUILLDEN_TOOL_VOLUME_ARG_H_
#define QUILLDEN_TOOL_VOLUME_ARG_H_

#include <cctype>
#include <cstdio>
#include <cstring>

#include "quillden/drive.h"
#include "quillden/result.h"
#include "quillden/util.h"
#include "quillden/volume.h"
#include "tools/common/drive_arg.h"

namespace quillden::tool {

inline bool IsDriveArgument(const char* text) { return quenvar::tools::DriveNumberOf(text) != 0; }

// Opens the volume of drive argument text into *volume; false with the reason printed.
inline bool OpenVolumeArgument(const char* text, HANDLE* volume) {
  const int number = quenvar::tools::DriveNumberOf(text);
  const char letter = quenvar::tools::DriveLetterOf(number);
  const DWORD result = DRV_OpenVolume(static_cast<DWORD>(number), volume);
  if (result == QD_OK) return true;
  if (result == QD_E_NOT_READY) {
    std::fprintf(stderr, "quillden: volume %c: no medium (0x%08X, last command error 0x%08X)\n",
                 letter, result, DRV_GetLastCommandError(nullptr));
  } else {
    std::fprintf(stderr, "quillden: volume %c: 0x%08X %s\n", letter, result,
                 UTL_GetResultText(result));
  }
  return false;
}

}  // namespace quillden::tool

#endif  // QUILLDEN_TOOL_VOLUME_ARG_H_
