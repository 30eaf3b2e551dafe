// quillden blank X: [--full] — erases the rewritable disc in a drive, with a progress bar.
#include <cctype>
#include <cstdio>
#include <cstring>

#include "command.h"
#include "tools/common/drive_arg.h"
#include "progress_view.h"
#include "quillden/drive.h"
#include "quillden/progress.h"
#include "quillden/result.h"

namespace quillden::tool {
namespace {

int RunBlank(int argc, char** argv) {
  const char* letter = nullptr;
  BOOL quick = TRUE;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--full") == 0) {
      quick = FALSE;
    } else if (letter == nullptr && quenvar::tools::DriveNumberOf(argv[i]) != 0) {
      letter = argv[i];
    } else {
      letter = nullptr;
      break;
    }
  }
  if (letter == nullptr) {
    std::fputs("usage: quillden blank X: [--full]\n", stderr);
    return 2;
  }
  const int number = quenvar::tools::DriveNumberOf(letter);
  HANDLE drive = quenvar::tools::OpenDriveOrSay("quillden blank", number);
  if (drive == nullptr) return 1;
  const DWORD result =
      RunJob([&](HANDLE progress) { return DRV_EraseMedia(drive, progress, quick); }, ProgressViewOptions()).result;
  DRV_CloseDrive(drive);
  if (result != QD_OK) {
    std::fprintf(stderr, "quillden: erase: 0x%08X %s (last command error 0x%08X)\n", result, UTL_GetResultText(result),
                 DRV_GetLastCommandError(nullptr));
    return 1;
  }
  std::puts("erased");
  return 0;
}

}  // namespace

QUILLDEN_COMMAND("blank", "blank X: [--full]", "erase the rewritable disc in a drive (quickly unless --full)",
                 RunBlank);

}  // namespace quillden::tool
