// quillden rip X: TRACK OUT — copies one track of the disc in a drive into a file: a WAVE file for
// audio tracks, raw 2352-byte sectors for mode 2 data, 2048-byte blocks for mode 1 data.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "command.h"
#include "tools/common/drive_arg.h"
#include "platform/unicode.h"
#include "progress_view.h"
#include "quillden/drive.h"
#include "quillden/progress.h"
#include "quillden/result.h"

namespace quillden::tool {
namespace {

int RunRip(int argc, char** argv) {
  char* end = nullptr;
  const long track = argc == 4 ? std::strtol(argv[2], &end, 10) : 0;
  const int number = argc == 4 ? quenvar::tools::DriveNumberOf(argv[1]) : 0;
  if (number == 0 || end == argv[2] || *end != '\0' || track < 1 || track > 99) {
    std::fputs("usage: quillden rip X: TRACK OUT\n", stderr);
    return 2;
  }
  HANDLE drive = quenvar::tools::OpenDriveOrSay("quillden rip", number);
  if (drive == nullptr) return 1;
  const std::u16string path = quenvar::platform::Utf8ToUtf16(argv[3]);
  const DWORD result = RunJob(
                           [&](HANDLE progress) {
                             return DRV_RippingTrack(drive, static_cast<WORD>(track), progress, path.c_str());
                           },
                           ProgressViewOptions())
                           .result;
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
