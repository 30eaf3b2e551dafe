// quillden eject X: [--load] — opens (or closes) the tray of a drive.
#include <cctype>
#include <cstdio>
#include <cstring>

#include "command.h"
#include "tools/common/drive_arg.h"
#include "quillden/drive.h"
#include "quillden/result.h"

namespace quillden::tool {
namespace {

int RunEject(int argc, char** argv) {
  const bool load = argc == 3 && std::strcmp(argv[2], "--load") == 0;
  const int number = argc == 2 || load ? quenvar::tools::DriveNumberOf(argv[1]) : 0;
  if (number == 0) {
    std::fputs("usage: quillden eject X: [--load]\n", stderr);
    return 2;
  }
  HANDLE drive = quenvar::tools::OpenDriveOrSay("quillden eject", number);
  if (drive == nullptr) return 1;
  const DWORD result = DRV_EjectMedia(drive, load ? FALSE : TRUE);
  DRV_CloseDrive(drive);
  if (result != QD_OK) {
    std::fprintf(stderr, "quillden: eject: 0x%08X %s (last command error 0x%08X)\n", result, UTL_GetResultText(result),
                 DRV_GetLastCommandError(nullptr));
    return 1;
  }
  return 0;
}

}  // namespace

QUILLDEN_COMMAND("eject", "eject X: [--load]", "open the tray of a drive (or close it with --load)", RunEject);

}  // namespace quillden::tool
