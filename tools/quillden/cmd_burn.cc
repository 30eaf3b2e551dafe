// quillden burn X: — records a data disc built from local files, or a plain ISO image, onto the
// media in a drive, with a progress bar showing the phase, the percentage and the speed.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "command.h"
#include "disc_tree.h"
#include "platform/unicode.h"
#include "quillden/datadisk.h"
#include "quillden/drive.h"
#include "quillden/image.h"
#include "quillden/mastering.h"
#include "quillden/progress.h"
#include "quillden/result.h"

namespace quillden::tool {
namespace {

constexpr const char* kUsage =
    "usage: quillden burn X: [OPTIONS] --graft TARGET=SOURCE...\n"
    "       quillden burn X: [--write-type N] IMAGE.iso\n"
    "\n"
    "Records a data disc onto the blank media in drive X:, built from local files and folders, or\n"
    "a plain image of 2048-byte sectors as one track.\n"
    "\n"
    "      --graft TARGET=SOURCE   place SOURCE at TARGET on the disc: a folder becomes the folder\n"
    "                              TARGET (\"/\" or \"\" puts its contents at the root); a file goes\n"
    "                              into TARGET when it ends in \"/\", else it is placed at TARGET\n"
    "  -V, --volid LABEL           volume label: A-Z, 0-9 and _ only, at most 32 characters\n"
    "      --fs SELECTION          iso (ISO 9660 + Joliet), udf, iso+udf (the default), udf250,\n"
    "                              iso+udf250, or the number 1 to 5\n"
    "      --write-type N          1 leave the disc open, 2 close it (the default), 3 disc at once\n"
    "      --close-mode N          how the recorder closes the media (0, the default, or 4 for a\n"
    "                              minimally finalized DVD+R dual layer disc)\n"
    "      --job-date              record the time of the run instead of each file's time\n"
    "  -q, --quiet                 no progress bar\n"
    "  -h, --help                  this text\n";

struct Options {
  int drive_number = 0;
  std::string image;
  std::vector<std::pair<std::string, std::string>> grafts;  // target, source
  bool label_given = false;
  std::string label;
  DWORD file_system = 3;
  DWORD write_type = 2;
  DWORD close_mode = 0;
  bool file_dates = true;
  bool quiet = false;
};

std::u16string U16(const std::string& text) { return quenvar::platform::Utf8ToUtf16(text); }

bool ParseNumber(const std::string& text, long min, long max, DWORD* value) {
  char* end = nullptr;
  errno = 0;
  long parsed = std::strtol(text.c_str(), &end, 0);
  if (errno || end == text.c_str() || *end || parsed < min || parsed > max) return false;
  *value = static_cast<DWORD>(parsed);
  return true;
}

bool IsDriveLetter(const char* text) {
  return std::isalpha(static_cast<unsigned char>(text[0])) && (text[1] == '\0' || std::strcmp(text + 1, ":") == 0);
}

// Returns 0 to go on, -1 after --help, else the exit code.
int ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg.size() > 2 && arg[0] == '-' && arg[1] == '-') arg.erase(0, 1);
    auto value = [&](std::string* out) {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "quillden burn: %s needs a value\n", argv[i]);
        return false;
      }
      *out = argv[++i];
      return true;
    };
    std::string v;
    if (arg == "-h" || arg == "-help") {
      std::fputs(kUsage, stdout);
      return -1;
    } else if (arg == "-graft") {
      if (!value(&v)) return 2;
      size_t eq = v.find('=');
      if (eq == std::string::npos || eq + 1 == v.size()) {
        std::fprintf(stderr, "quillden burn: --graft wants TARGET=SOURCE, not '%s'\n", v.c_str());
        return 2;
      }
      options->grafts.emplace_back(v.substr(0, eq), v.substr(eq + 1));
    } else if (arg == "-V" || arg == "-volid") {
      if (!value(&options->label)) return 2;
      options->label_given = true;
    } else if (arg == "-fs") {
      if (!value(&v)) return 2;
      if (!ParseFileSystem(v, &options->file_system)) {
        std::fprintf(stderr, "quillden burn: unknown file system selection '%s'\n", v.c_str());
        return 2;
      }
    } else if (arg == "-write-type") {
      if (!value(&v)) return 2;
      if (!ParseNumber(v, 1, 3, &options->write_type)) {
        std::fprintf(stderr, "quillden burn: --write-type takes 1, 2 or 3, not '%s'\n", v.c_str());
        return 2;
      }
    } else if (arg == "-close-mode") {
      if (!value(&v)) return 2;
      if (!ParseNumber(v, 0, 0xFFFF, &options->close_mode)) {
        std::fprintf(stderr, "quillden burn: bad close mode '%s'\n", v.c_str());
        return 2;
      }
    } else if (arg == "-job-date") {
      options->file_dates = false;
    } else if (arg == "-q" || arg == "-quiet") {
      options->quiet = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      std::fprintf(stderr, "quillden burn: unknown option '%s' (see --help)\n", argv[i]);
      return 2;
    } else if (options->drive_number == 0 && IsDriveLetter(argv[i])) {
      options->drive_number = std::toupper(static_cast<unsigned char>(argv[i][0])) - 'A' + 1;
    } else if (options->image.empty()) {
      options->image = argv[i];
    } else {
      std::fprintf(stderr, "quillden burn: unexpected argument '%s' (see --help)\n", argv[i]);
      return 2;
    }
  }
  if (options->drive_number == 0) {
    std::fputs("quillden burn: no drive given (X:)\n", stderr);
    return 2;
  }
  if (options->image.empty() == options->grafts.empty()) {
    std::fputs(options->image.empty() ? "quillden burn: nothing to record (--graft TARGET=SOURCE or an image)\n"
                                      : "quillden burn: an image and --graft cannot be recorded together\n",
               stderr);
    return 2;
  }
  return 0;
}

const char* PhaseName(DWORD phase) {
  switch (phase) {
    case PRG_PHASE_WRITING:
      return "writing";
    case PRG_PHASE_FLUSHING:
      return "flushing";
    case PRG_PHASE_CLOSING:
      return "closing";
    case PRG_PHASE_ERASING:
      return "formatting";
    default:
      return "working";
  }
}

// Polls the job until it ends; returns its result.
DWORD ShowProgress(HANDLE progress, bool quiet) {
  using Clock = std::chrono::steady_clock;
  Clock::time_point last_time = Clock::now();
  DWORD last_done = 0, last_phase = 0;
  double speed = 0;  // MB/s of the writing phase
  for (;;) {
    DWORD phase = 0, done = 0, end = 0;
    const DWORD status = PRG_GetProgressStatus(progress, &phase, &done, &end);
    const bool running = status == PRG_STATUS_RUNNING || status == PRG_STATUS_CANCEL_REQUESTED;
    if (!quiet) {
      const Clock::time_point now = Clock::now();
      const double seconds = std::chrono::duration<double>(now - last_time).count();
      if (phase != last_phase || done < last_done) {
        speed = 0;
      } else if (phase == PRG_PHASE_WRITING && end != PRG_END_FRACTION && seconds > 0.5) {
        speed = (done - last_done) * 2048.0 / 1e6 / seconds;
      }
      if (phase != last_phase || done < last_done || seconds > 0.5) {
        last_time = now;
        last_done = done;
        last_phase = phase;
      }
      const double fraction = end ? std::min(1.0, static_cast<double>(done) / end) : 0.0;
      std::fprintf(stderr, "\r%-10s %5.1f%%", PhaseName(phase), fraction * 100);
      if (phase == PRG_PHASE_WRITING && end != PRG_END_FRACTION) {
        std::fprintf(stderr, "  %u / %u MiB  %6.2f MB/s", static_cast<unsigned>(uint64_t{done} * 2048 >> 20),
                     static_cast<unsigned>(uint64_t{end} * 2048 >> 20), speed);
      } else {
        std::fprintf(stderr, "%36s", "");
      }
      std::fflush(stderr);
    }
    if (!running) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  if (!quiet) std::fputc('\n', stderr);
  // The status is set just before the worker ends; its exit code follows a moment later.
  DWORD result;
  while ((result = PRG_GetProgressErrorCode(progress)) == QD_E_BUSY) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return result;
}

int BurnFiles(const Options& options, HANDLE drive) {
  DiscTreeBuilder builder("burn");
  if (!builder.Prepare(options.file_system, options.label_given ? &options.label : nullptr)) return 1;
  HANDLE disc = builder.disc();
  DWORD code;
  for (const auto& [target, source] : options.grafts) {
    if (!builder.AddGraft(target, source)) return 1;
  }

  HANDLE progress = PRG_CreateProgress();
  code = MST_WriteDatadisk(drive, disc, options.write_type, progress, options.file_dates ? TRUE : FALSE,
                           options.close_mode);
  if (code == QD_OK && progress) code = ShowProgress(progress, options.quiet);
  if (progress) PRG_DestroyProgress(progress);
  if (code != QD_OK) {
    if (code == QD_E_SOURCE_MISSING || code == QD_E_READ_FILE) {
      WCHAR name[1024] = {};
      MST_GetErrorFileName(disc, name);
      std::fprintf(stderr, "quillden burn: %s\n",
                   quenvar::platform::Utf16ToUtf8(quenvar::platform::Utf16View(name)).c_str());
    }
    std::fprintf(stderr, "quillden burn: recording failed: %s (0x%08X, last command error 0x%08X)\n",
                 UTL_GetResultText(code), code, DRV_GetLastCommandError(nullptr));
    return 1;
  }
  std::puts("recorded");
  return 0;
}

int BurnImage(const Options& options, HANDLE drive) {
  HANDLE progress = PRG_CreateProgress();
  DWORD code = CPY_WriteISOImage(drive, options.write_type, 1, U16(AbsolutePath(options.image)).c_str(), progress);
  if (code == QD_OK && progress) code = ShowProgress(progress, options.quiet);
  if (progress) PRG_DestroyProgress(progress);
  if (code != QD_OK) {
    std::fprintf(stderr, "quillden burn: recording %s failed: %s (0x%08X, last command error 0x%08X)\n",
                 options.image.c_str(),
                 code == QD_E_WRONG_FORM ? "not an image of whole 2048-byte sectors" : UTL_GetResultText(code), code,
                 DRV_GetLastCommandError(nullptr));
    return 1;
  }
  std::puts("recorded");
  return 0;
}

int RunBurn(int argc, char** argv) {
  Options options;
  const int parsed = ParseOptions(argc, argv, &options);
  if (parsed == -1) return 0;
  if (parsed) return parsed;
  HANDLE drive = DRV_OpenDrive(static_cast<DWORD>(options.drive_number));
  if (drive == nullptr) {
    std::fprintf(stderr, "quillden burn: drive %c: cannot be opened\n", static_cast<char>('A' + options.drive_number - 1));
    return 1;
  }
  const int exit_code = options.image.empty() ? BurnFiles(options, drive) : BurnImage(options, drive);
  DRV_CloseDrive(drive);
  return exit_code;
}

}  // namespace

QUILLDEN_COMMAND("burn", "burn X: [OPTIONS] --graft TARGET=SOURCE... | burn X: IMAGE.iso",
                 "record a data disc of local files, or an ISO image, onto the media in a drive", RunBurn);

}  // namespace quillden::tool
