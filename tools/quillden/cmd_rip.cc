// quillden rip X: TRACK OUT — copies one track of the disc in a drive into a file: a WAVE file for
// audio tracks, raw 2352-byte sectors for mode 2 data, 2048-byte blocks for mode 1 data.
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "command.h"
#include "platform/unicode.h"
#include "quillden/drive.h"
#include "quillden/progress.h"
#include "quillden/result.h"

namespace quillden::tool {
namespace {

int RunRip(int argc, char** argv) {
  char* end = nullptr;
  const long track = argc == 4 ? std::strtol(argv[2], &end, 10) : 0;
  if (argc != 4 || !std::isalpha(static_cast<unsigned char>(argv[1][0])) ||
      (argv[1][1] != '\0' && std::strcmp(argv[1] + 1, ":") != 0) || end == argv[2] || *end != '\0' || track < 1 ||
      track > 99) {
    std::fputs("usage: quillden rip X: TRACK OUT\n", stderr);
    return 2;
  }
  const DWORD number = static_cast<DWORD>(std::toupper(static_cast<unsigned char>(argv[1][0])) - 'A' + 1);
  HANDLE drive = DRV_OpenDrive(number);
  if (drive == nullptr) {
    std::fprintf(stderr, "quillden: drive %c: cannot be opened\n", static_cast<char>('A' + number - 1));
    return 1;
  }
  HANDLE progress = PRG_CreateProgress();
  DWORD result = DRV_RippingTrack(drive, static_cast<WORD>(track), progress,
                                  quenvar::platform::Utf8ToUtf16(argv[3]).c_str());
  if (result == QD_OK) {
    for (;;) {
      DWORD phase = 0, done = 0, total = 0;
      const DWORD status = PRG_GetProgressStatus(progress, &phase, &done, &total);
      if (status != PRG_STATUS_RUNNING && status != PRG_STATUS_CANCEL_REQUESTED) break;
      const unsigned percent =
          total == 0 ? 0 : static_cast<unsigned>(static_cast<unsigned long long>(done) * 100 / total);
      std::fprintf(stderr, "\rripping %3u%%", percent);
      std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    std::fputc('\n', stderr);
    result = PRG_GetProgressErrorCode(progress);
  }
  PRG_DestroyProgress(progress);
  DRV_CloseDrive(drive);
  if (result != QD_OK) {
    std::fprintf(stderr, "quillden: rip: 0x%08X %s (last command error 0x%08X)\n", result, UTL_GetResultText(result),
                 DRV_GetLastCommandError(nullptr));
    return 1;
  }
  std::printf("track %ld written to %s\n", track, argv[3]);
  return 0;
}

}  // namespace

QUILLDEN_COMMAND("rip", "rip X: TRACK OUT", "copy one track of a disc into a file (WAVE for audio tracks)", RunRip);

}  // namespace quillden::tool
