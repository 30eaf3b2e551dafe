// quillden blank X: [--full] — erases the rewritable disc in a drive, with a progress bar.
#include <cctype>
#include <cstdio>
#include <cstring>

#include "command.h"
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
    } else if (letter == nullptr && std::isalpha(static_cast<unsigned char>(argv[i][0])) &&
               (argv[i][1] == '\0' || std::strcmp(argv[i] + 1, ":") == 0)) {
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
  const DWORD number = static_cast<DWORD>(std::toupper(static_cast<unsigned char>(letter[0])) - 'A' + 1);
  HANDLE drive = DRV_OpenDrive(number);
  if (drive == nullptr) {
    std::fprintf(stderr, "quillden: drive %c: cannot be opened\n", static_cast<char>('A' + number - 1));
    return 1;
  }
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
