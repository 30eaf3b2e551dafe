// quillden copy X: Y: — copies the disc in drive X: onto the blank media in drive Y:, track by
// track and session by session, reading X: as the copy goes (CPY_WriteDrive).
#include <cstdio>
#include <string>

#include "command.h"
#include "progress_view.h"
#include "quillden/drive.h"
#include "quillden/image.h"
#include "quillden/result.h"
#include "recording_args.h"

namespace quillden::tool {
namespace {

constexpr const char* kUsage =
    "usage: quillden copy X: Y: [OPTIONS]\n"
    "\n"
    "Copies the disc in drive X: onto the blank media in drive Y:, track by track and session by\n"
    "session, with the source's layout: tracks and sessions the source left open stay open.\n"
    "\n"
    "      --write-type N    1 leave the disc open, 2 close it (the default), 3 disc at once\n"
    "      --close-mode N    how the recorder finalizes the media (default 4)\n"
    "  -q, --quiet           no progress bar\n"
    "  -h, --help            this text\n";

int RunCopy(int argc, char** argv) {
  RecordingOptions options;
  const int parsed = ParseRecordingOptions("copy", kUsage, argc, argv, {"write-type", "close-mode"}, &options);
  if (parsed == -1) return 0;
  if (parsed != 0) return parsed;
  const int source_number = options.operands.size() == 2 ? DriveNumber(options.operands[0].c_str()) : 0;
  const int target_number = options.operands.size() == 2 ? DriveNumber(options.operands[1].c_str()) : 0;
  if (source_number == 0 || target_number == 0) {
    std::fputs("usage: quillden copy X: Y: [OPTIONS] (see --help)\n", stderr);
    return 2;
  }
  if (source_number == target_number) {
    std::fputs("quillden copy: the source and the target must be different drives\n", stderr);
    return 2;
  }
  const char source_letter = static_cast<char>('A' + source_number - 1);
  const char target_letter = static_cast<char>('A' + target_number - 1);
  HANDLE source = OpenDriveOrSay("copy", source_number);
  if (source == nullptr) return 1;
  HANDLE target = OpenDriveOrSay("copy", target_number);
  if (target == nullptr) {
    DRV_CloseDrive(source);
    return 1;
  }
  int exit_code = 0;
  const DWORD support = CPY_GetBackupSupportMedia(source);
  if (support != QD_OK) {
    if (support == QD_E_MEDIA_UNSUPPORTED) {
      std::fprintf(stderr, "quillden copy: the disc in %c: cannot be copied (a multi-session mode 2 CD, a disc "
                           "of a packet-writing driver, or unfinished formatting)\n", source_letter);
      exit_code = 1;
    } else {
      exit_code = ReportFailure("copy", std::string("reading the disc in ") + source_letter + ":", support);
    }
  } else {
    ProgressViewOptions view;
    view.label = "copying";
    view.quiet = options.quiet;
    const JobOutcome outcome = RunJob(
        [&](HANDLE progress) {
          return CPY_WriteDrive(target, source, options.write_mode, progress, options.finalize_kind);
        },
        view);
    if (outcome.result != QD_OK) {
      exit_code = ReportFailure("copy", std::string("copying ") + source_letter + ": onto " + target_letter + ":",
                                outcome.result);
    } else {
      std::printf("copied the disc in %c: onto the media in %c:\n", source_letter, target_letter);
    }
  }
  DRV_CloseDrive(target);
  DRV_CloseDrive(source);
  return exit_code;
}

}  // namespace

QUILLDEN_COMMAND("copy", "copy X: Y: [--write-type N]", "copy the disc in drive X: onto the blank media in drive Y:",
                 RunCopy);

}  // namespace quillden::tool
