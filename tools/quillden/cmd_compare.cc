// quillden compare X: SOURCE — reads the disc in drive X: back and compares it with its source: a
// plain image (.iso, or raw 2352-byte sectors of a mode 2 track), a disc image file (.wvm), or the
// disc in another drive Y:. Exit status as cmp: 0 equal, 1 different, 2 trouble.
#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "command.h"
#include "tools/common/drive_arg.h"
#include "disc_tree.h"
#include "platform/unicode.h"
#include "progress_view.h"
#include "quillden/drive.h"
#include "quillden/image.h"
#include "quillden/progress.h"
#include "quillden/result.h"

namespace quillden::tool {
namespace {

constexpr const char* kUsage =
    "usage: quillden compare X: [OPTIONS] IMAGE.iso|IMAGE.wvm|Y:\n"
    "\n"
    "Reads the disc in drive X: back and compares its user data with a plain image of one track,\n"
    "with every track of a disc image file, or with the disc in drive Y:. Audio tracks are not\n"
    "compared. Exit status: 0 equal, 1 different, 2 trouble.\n"
    "\n"
    "      --track N     the disc's track that a plain image holds (default: the last track)\n"
    "      --mode N      sectors of the plain image: 1 for 2048 bytes, 2 for raw 2352 bytes\n"
    "                    (default: 2 for a mode 2 track, else 1)\n"
    "  -q, --quiet       no progress bar\n"
    "  -h, --help        this text\n";

struct Options {
  int drive_number = 0;
  int source_drive_number = 0;
  std::string source;
  long track = 0;
  long mode = 0;
  bool quiet = false;
};

bool ParseNumber(const char* text, long min, long max, long* value) {
  char* end = nullptr;
  errno = 0;
  const long parsed = std::strtol(text, &end, 10);
  if (errno || end == text || *end || parsed < min || parsed > max) return false;
  *value = parsed;
  return true;
}

// Returns 0 to go on, -1 after --help, else the exit code.
int ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg.size() > 2 && arg[0] == '-' && arg[1] == '-') arg.erase(0, 1);
    if (arg == "-h" || arg == "-help") {
      std::fputs(kUsage, stdout);
      return -1;
    } else if (arg == "-track" || arg == "-mode") {
      const bool track = arg == "-track";
      if (i + 1 >= argc || !ParseNumber(argv[i + 1], 1, track ? 99 : 2, track ? &options->track : &options->mode)) {
        std::fprintf(stderr, "quillden compare: %s takes %s\n", argv[i], track ? "a track number 1 to 99" : "1 or 2");
        return 2;
      }
      ++i;
    } else if (arg == "-q" || arg == "-quiet") {
      options->quiet = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      std::fprintf(stderr, "quillden compare: unknown option '%s' (see --help)\n", argv[i]);
      return 2;
    } else if (options->drive_number == 0 && quenvar::tools::DriveNumberOf(argv[i]) != 0) {
      options->drive_number = quenvar::tools::DriveNumberOf(argv[i]);
    } else if (options->source.empty()) {
      options->source = argv[i];
      // A source is a drive only in the colon form: "d" may be an image file of that name.
      options->source_drive_number = arg.back() == ':' ? quenvar::tools::DriveNumberOf(argv[i]) : 0;
    } else {
      std::fprintf(stderr, "quillden compare: unexpected argument '%s' (see --help)\n", argv[i]);
      return 2;
    }
  }
  if (options->drive_number == 0 || options->source.empty()) {
    std::fputs("usage: quillden compare X: IMAGE.iso|IMAGE.wvm|Y: (see --help)\n", stderr);
    return 2;
  }
  if (options->source_drive_number != 0 && (options->track != 0 || options->mode != 0)) {
    std::fputs("quillden compare: --track and --mode apply to plain images only\n", stderr);
    return 2;
  }
  return 0;
}

// Starts the compare that fits the source; returns the start result. *image and *fd get what
// must be released afterwards.
DWORD StartCompare(const Options& options, HANDLE drive, HANDLE source_drive, HANDLE progress, HANDLE* image, int* fd,
                   std::string* why) {
  if (source_drive != nullptr) return CPY_CompareDrive(drive, source_drive, progress);
  const std::u16string path = quenvar::platform::Utf8ToUtf16(AbsolutePath(options.source));
  *image = CPY_OpenDiskImage(path.c_str());
  if (*image != nullptr) return CPY_CompareDiskImage(drive, *image, progress);

  *fd = ::open(options.source.c_str(), O_RDONLY | O_CLOEXEC);
  if (*fd < 0) {
    *why = options.source + ": " + std::strerror(errno);
    return QD_E_FILE_OPEN;
  }
  WORD track = static_cast<WORD>(options.track);
  if (track == 0) track = DRV_GetLastTrack(drive);
  DWORD mode = static_cast<DWORD>(options.mode);
  if (mode == 0) {
    _TRACKINFORMATION info{};
    mode = track != 0 && DRV_GetTrackInformation(drive, track, &info, FALSE) != 0 && info.dwMode == 2 ? 2 : 1;
  }
  return CPY_CompareDiskISO(drive, track, mode, reinterpret_cast<HANDLE>(static_cast<intptr_t>(*fd)), progress);
}

const char* Explain(DWORD code) {
  switch (code) {
    case QD_E_WRONG_FORM:
      return "the image is not a whole number of sectors";
    case QD_E_INVALID_ARGUMENT:
      return "the track does not exist, or holds other sectors than the image (see --mode)";
    case QD_E_COMMAND_FAILED:
      return "the disc could not be read";
    default:
      return UTL_GetResultText(code);
  }
}

int RunCompare(int argc, char** argv) {
  Options options;
  const int parsed = ParseOptions(argc, argv, &options);
  if (parsed == -1) return 0;
  if (parsed) return parsed;
  const char letter = quenvar::tools::DriveLetterOf(options.drive_number);
  HANDLE drive = quenvar::tools::OpenDriveOrSay("quillden compare", options.drive_number);
  if (drive == nullptr) return 2;
  HANDLE source_drive = nullptr;
  if (options.source_drive_number != 0) {
    source_drive = quenvar::tools::OpenDriveOrSay("quillden compare", options.source_drive_number);
    if (source_drive == nullptr) {
      DRV_CloseDrive(drive);
      return 2;
    }
  }
  HANDLE image = nullptr;
  int fd = -1;
  std::string why;
  ProgressViewOptions view;
  view.quiet = options.quiet;
  const JobOutcome outcome = RunJob(
      [&](HANDLE progress) { return StartCompare(options, drive, source_drive, progress, &image, &fd, &why); }, view);
  const DWORD code = outcome.result;
  const DWORD compared = outcome.done;
  if (image != nullptr) CPY_CloseDiskImage(image);
  if (fd >= 0) ::close(fd);
  const DWORD command_error = DRV_GetLastCommandError(nullptr);
  if (source_drive != nullptr) DRV_CloseDrive(source_drive);
  DRV_CloseDrive(drive);

  const double mib = compared * 2048.0 / (1 << 20);
  switch (code) {
    case QD_OK:
      std::printf("equal: the disc in %c: matches %s (%.1f MiB compared)\n", letter, options.source.c_str(), mib);
      return 0;
    case QD_E_COMPARE_DIFFERS:
      std::printf("different: the disc in %c: does not match %s (first difference after about %.1f MiB)\n",
                  letter, options.source.c_str(), mib);
      return 1;
    case QD_E_CANCELLED:
      std::fprintf(stderr, "quillden compare: cancelled after %.1f MiB\n", mib);
      return 2;
    default:
      if (!why.empty()) {
        std::fprintf(stderr, "quillden compare: %s\n", why.c_str());
      } else {
        std::fprintf(stderr, "quillden compare: %s (0x%08X, last command error 0x%08X)\n", Explain(code), code,
                     command_error);
      }
      return 2;
  }
}

}  // namespace

QUILLDEN_COMMAND("compare", "compare X: IMAGE.iso|IMAGE.wvm|Y:",
                 "compare the disc in a drive with an image file or with the disc in another drive", RunCompare);

}  // namespace quillden::tool
