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

// Which of the reasons for refusing a copy source applies to the disc in drive; asked only after
// the engine refused it with 0x08000033.
std::string WhyNotACopySource(HANDLE drive) {
  _MEDIAINFORMATION media{};
  const DWORD result = DRV_GetMediaInformation(drive, &media);
  if (result == QD_E_MEDIA_UNSUPPORTED)
    return "the drive holds media of a kind that cannot be read for a copy";
  if (result != QD_OK)
    return "the disc cannot be described (" + ExplainRecordingResult(result) + ")";
  const bool cd = (media.dwMedia & (MEDIA_CDROM | MEDIA_CDR | MEDIA_CDRW)) != 0;
  if (cd && media.dwDataMode == 2) {
    const WORD last = DRV_GetLastTrack(drive);
    for (WORD number = 1; number <= last; ++number) {
      _TRACKINFORMATION track{};
      if (DRV_GetTrackInformation(drive, number, &track, FALSE) != 0 &&
          track.wSession != track.wTrack) {
        return "a multi-session mode 2 CD";
      }
    }
  }
  if (DRV_GetLastTrack(drive) == 0) return "the disc holds no track that can be read";
  return "a disc written by a packet-writing driver, or one whose background formatting has not "
         "completed";
}

int RunCopy(int argc, char** argv) {
  RecordingOptions options;
  const int parsed =
      ParseRecordingOptions("copy", kUsage, argc, argv, {"write-type", "close-mode"}, &options);
  if (parsed == -1) return 0;
  if (parsed != 0) return parsed;
  const int source_number =
      options.operands.size() == 2 ? quenvar::tools::DriveNumberOf(options.operands[0].c_str()) : 0;
  const int target_number =
      options.operands.size() == 2 ? quenvar::tools::DriveNumberOf(options.operands[1].c_str()) : 0;
  if (source_number == 0 || target_number == 0) {
    std::fputs("usage: quillden copy X: Y: [OPTIONS] (see --help)\n", stderr);
    return 2;
  }
  if (source_number == target_number) {
    std::fputs("quillden copy: the source and the target must be different drives\n", stderr);
    return 2;
  }
  const char source_letter = quenvar::tools::DriveLetterOf(source_number);
  const char target_letter = quenvar::tools::DriveLetterOf(target_number);
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
      const DWORD last_error = DRV_GetLastCommandError(nullptr);
      std::fprintf(stderr,
                   "quillden copy: the disc in %c: cannot be copied: %s (0x%08X, last command "
                   "error 0x%08X)\n",
                   source_letter, WhyNotACopySource(source).c_str(), support, last_error);
      exit_code = 1;
    } else {
      exit_code =
          ReportFailure("copy", std::string("reading the disc in ") + source_letter + ":", support);
    }
  } else {
    ProgressViewOptions view;
    view.label = "copying";
    view.quiet = options.quiet;
    const JobOutcome outcome = RunJob(
        [&](HANDLE progress) {
          return CPY_WriteDrive(target, source, options.write_mode, progress,
                                options.finalize_kind);
        },
        view);
    if (outcome.result != QD_OK) {
      exit_code = ReportFailure(
          "copy", std::string("copying ") + source_letter + ": onto " + target_letter + ":",
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

QUILLDEN_COMMAND("copy", "copy X: Y: [--write-type N]",
                 "copy the disc in drive X: onto the blank media in drive Y:", RunCopy);

}  // namespace quillden::tool
