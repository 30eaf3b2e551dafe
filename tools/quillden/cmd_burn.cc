// quillden burn X: — records a data disc built from local files, or a plain ISO image, onto the
// media in a drive, with a progress bar showing the phase, the percentage and the speed.
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "command.h"
#include "tools/common/drive_arg.h"
#include "disc_tree.h"
#include "platform/unicode.h"
#include "progress_view.h"
#include "quillden/datadisk.h"
#include "quillden/drive.h"
#include "quillden/image.h"
#include "quillden/mastering.h"
#include "quillden/progress.h"
#include "quillden/result.h"
#include "recording_args.h"

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
    "                              iso+udf250, or the number 1 to 5; dual layer DVD-R media take\n"
    "                              udf alone unless written disc at once\n"
    "      --write-type N          1 leave the disc open, 2 close it (the default), 3 disc at once\n"
    "      --close-mode N          how the recorder closes the media (0, the default, or 4 for a\n"
    "                              minimally finalized DVD+R dual layer disc)\n"
    "      --job-date              record the time of the run instead of each file's time\n"
    "      --append                write a further session: the disc's last session is read and\n"
    "                              listed with the new files (its file systems stay; a file graft\n"
    "                              onto the path of an old file replaces that file)\n"
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
  bool append = false;
  bool file_system_given = false;
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
      options->file_system_given = true;
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
    } else if (arg == "-append") {
      options->append = true;
    } else if (arg == "-job-date") {
      options->file_dates = false;
    } else if (arg == "-q" || arg == "-quiet") {
      options->quiet = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      std::fprintf(stderr, "quillden burn: unknown option '%s' (see --help)\n", argv[i]);
      return 2;
    } else if (options->drive_number == 0 && quenvar::tools::DriveNumberOf(argv[i]) != 0) {
      options->drive_number = quenvar::tools::DriveNumberOf(argv[i]);
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
  if (options->append && (options->grafts.empty() || options->file_system_given)) {
    std::fputs(options->grafts.empty() ? "quillden burn: --append needs --graft TARGET=SOURCE\n"
                                       : "quillden burn: --append keeps the disc's file systems; drop --fs\n",
               stderr);
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

// The number of the last session that holds data: the session of the last track in the table of
// contents (the track information also lists the open track behind it). Media that do not say, as
// overwritable media, hold one session.
WORD LastSession(HANDLE drive) {
  _TOCINFORMATION toc{};
  _TRACKINFORMATION track{};
  if (DRV_GetTOCInformation(drive, &toc, sizeof toc) != QD_OK || toc.bLastTrack == 0 ||
      DRV_GetTrackInformation(drive, toc.bLastTrack, &track, FALSE) == 0 || track.wSession == 0) {
    return 1;
  }
  return track.wSession;
}

// Reads the disc's last session into disc; without a label of the user's the old one stays.
bool ImportLastSession(HANDLE drive, HANDLE disc, bool keep_label) {
  const WORD session = LastSession(drive);
  DWORD code = MST_ReadFileSystem(disc, drive, session, nullptr);
  if (code != QD_OK) {
    std::fprintf(stderr, "quillden burn: --append: session %u cannot be read: %s (0x%08X)\n", session,
                 UTL_GetResultText(code), code);
    return false;
  }
  _FILESYSTEMINFORMATION info{};
  if (keep_label && DRV_GetFileSystemInformation(drive, session, &info) == QD_OK && info.szVolumeLabel[0] != 0) {
    MST_SetVolumeLabel(disc, info.szVolumeLabel);  // a label the setter refuses leaves the default
  }
  return true;
}

// Removes the old file whose place a file graft is about to take.
void DropReplacedFile(HANDLE disc, const std::string& target, const std::string& source) {
  std::error_code error;
  if (std::filesystem::is_directory(source, error)) return;
  std::string path = DiscPath(target);
  if (target.empty() || target.back() == '/' || target.back() == '\\') {
    if (!path.empty() && path.back() != '\\') path.push_back('\\');
    path += std::filesystem::path(source).filename().string();
  }
  WIN32_FIND_DATAW data{};
  HANDLE entry = MST_FindFullPathDatadiskFile(disc, U16(path).c_str(), &data);
  if (entry != INVALID_HANDLE_VALUE && entry != nullptr && (data.dwFileAttributes & DDF_ATTR_IMPORTED) &&
      !(data.dwFileAttributes & 0x10u)) {
    MST_DeleteDatadiskFile(disc, entry);
  }
}

// The selection to record: the one asked for, else the default, except on dual layer DVD-R media
// written with a layer jump (every write type but disc at once), which take UDF alone: only its
// structures can follow the files to the other layer.
DWORD ChooseFileSystem(const Options& options, HANDLE drive) {
  if (options.file_system_given || options.append || options.write_type == 3) return options.file_system;
  _MEDIAINFORMATION media{};
  if (DRV_GetMediaInformation(drive, &media) != QD_OK) return options.file_system;
  if ((media.dwMedia & (MEDIA_DVDR_DL | MEDIA_DVDR_DL_LJ)) == 0) return options.file_system;
  std::fputs("quillden burn: dual layer DVD-R media written with a layer jump take UDF alone; recording UDF 1.02 "
             "without ISO 9660 (use --write-type 3 to keep ISO 9660)\n",
             stderr);
  return MST_FS_UDF102;
}

int BurnFiles(const Options& options, HANDLE drive) {
  DiscTreeBuilder builder("burn");
  if (!builder.Prepare(ChooseFileSystem(options, drive), options.label_given ? &options.label : nullptr)) return 1;
  HANDLE disc = builder.disc();
  if (options.append && !ImportLastSession(drive, disc, !options.label_given)) return 1;
  DWORD code;
  for (const auto& [target, source] : options.grafts) {
    if (options.append) DropReplacedFile(disc, target, source);
    if (!builder.AddGraft(target, source)) return 1;
  }
  if (!builder.CheckNotEmpty()) return 1;

  ProgressViewOptions view;
  view.quiet = options.quiet;
  code = RunJob(
             [&](HANDLE progress) {
               return MST_WriteDatadisk(drive, disc, options.write_type, progress,
                                        options.file_dates ? TRUE : FALSE, options.close_mode);
             },
             view)
             .result;
  if (code != QD_OK) {
    if (code == QD_E_SOURCE_MISSING || code == QD_E_READ_FILE) {
      WCHAR name[1024] = {};
      MST_GetErrorFileName(disc, name);
      std::fprintf(stderr, "quillden burn: %s\n",
                   quenvar::platform::Utf16ToUtf8(quenvar::platform::Utf16View(name)).c_str());
    }
    if (code == QD_E_CANCELLED) {
      std::fprintf(stderr, "quillden burn: recording cancelled (0x%08X)\n", code);
    } else {
      std::fprintf(stderr,
                   "quillden burn: recording failed: %s (0x%08X, last command error 0x%08X)\n",
                   UTL_GetResultText(code), code, DRV_GetLastCommandError(nullptr));
    }
    std::fprintf(stderr, "quillden burn: %s\n", DescribeMedium(drive).c_str());
    return 1;
  }
  std::puts("recorded");
  return 0;
}

int BurnImage(const Options& options, HANDLE drive) {
  ProgressViewOptions view;
  view.quiet = options.quiet;
  const std::u16string path = U16(AbsolutePath(options.image));
  const DWORD code = RunJob(
                         [&](HANDLE progress) {
                           return CPY_WriteISOImage(drive, options.write_type, 1, path.c_str(), progress);
                         },
                         view)
                         .result;
  if (code != QD_OK) {
    if (code == QD_E_CANCELLED) {
      std::fprintf(stderr, "quillden burn: recording %s cancelled (0x%08X)\n",
                   options.image.c_str(), code);
    } else {
      std::fprintf(stderr,
                   "quillden burn: recording %s failed: %s (0x%08X, last command error 0x%08X)\n",
                   options.image.c_str(),
                   code == QD_E_WRONG_FORM ? "not an image of whole 2048-byte sectors"
                                           : UTL_GetResultText(code),
                   code, DRV_GetLastCommandError(nullptr));
    }
    std::fprintf(stderr, "quillden burn: %s\n", DescribeMedium(drive).c_str());
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
  HANDLE drive = quenvar::tools::OpenDriveOrSay("quillden burn", options.drive_number);
  if (drive == nullptr) return 1;
  const int exit_code = options.image.empty() ? BurnFiles(options, drive) : BurnImage(options, drive);
  DRV_CloseDrive(drive);
  return exit_code;
}

}  // namespace

QUILLDEN_COMMAND("burn", "burn X: [OPTIONS] --graft TARGET=SOURCE... | burn X: IMAGE.iso",
                 "record a data disc of local files, or an ISO image, onto the media in a drive", RunBurn);

}  // namespace quillden::tool
