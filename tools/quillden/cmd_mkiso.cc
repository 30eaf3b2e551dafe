// quillden mkiso: builds an ISO 9660 + Joliet image (optionally bootable through El Torito) from
// local files and folders. The options follow the habits of the mkisofs family: -o, -V, -J, -b,
// -no-emul-boot, -boot-load-size, -boot-load-seg, -hard-disk-boot, -eltorito-alt-boot with -e for
// the EFI entry, -N, -graft-points with TARGET=SOURCE pairs; each also has a --long spelling.
// --hybrid adds an MBR and a GPT so that the image boots from a USB stick as well.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "command.h"
#include "disc_tree.h"
#include "filesystems/hybrid_image.h"
#include "platform/unicode.h"
#include "progress_view.h"
#include "quillden/datadisk.h"
#include "quillden/image.h"
#include "quillden/mastering.h"
#include "quillden/progress.h"
#include "quillden/result.h"

namespace quillden::tool {
namespace {

constexpr const char* kUsage =
    "usage: quillden mkiso [OPTIONS] -o IMAGE [SOURCE | TARGET=SOURCE]...\n"
    "\n"
    "Builds an ISO 9660 image with Joliet names, a UDF image or a bridge of both from local files\n"
    "and folders. A folder given as SOURCE contributes its contents to the root of the image; a\n"
    "file is placed at the root.\n"
    "\n"
    "  -o, --output IMAGE          the image file to write (replaced when it exists)\n"
    "  -V, --volid LABEL           volume label: A-Z, 0-9 and _ only, at most 32 characters\n"
    "                              (default: the current date and time, YYYYMMDD_HHMMSS)\n"
    "  -J, --joliet                Joliet names (always written; accepted for habit)\n"
    "      --fs SELECTION          file systems: iso (ISO 9660 + Joliet, the default), udf\n"
    "                              (UDF 1.02), iso+udf (bridge), udf250 (UDF 2.50), iso+udf250\n"
    "                              (bridge), or the number 1 to 5\n"
    "  -N, --omit-version-number   file names without the \";1\" version suffix\n"
    "      --version-number        file names with \";1\" (the default)\n"
    "      --job-date              record the time of the run instead of each file's time\n"
    "  -graft-points, --graft-points\n"
    "                              read SOURCE arguments of the form TARGET=SOURCE as grafts\n"
    "      --graft TARGET=SOURCE   place SOURCE at TARGET in the image: a folder becomes the\n"
    "                              folder TARGET; a file goes into TARGET when it ends in \"/\",\n"
    "                              else it is placed at TARGET (renamed when the names differ)\n"
    "\n"
    "El Torito boot image:\n"
    "  -b, --boot FILE             the boot image; without an emulation option its size picks\n"
    "                              the floppy emulation (1.2, 1.44 or 2.88 MB)\n"
    "  -no-emul-boot               no emulation (the default load size is 4 sectors)\n"
    "  -hard-disk-boot             hard disk emulation\n"
    "      --emulation KIND        none, 1.2m, 1.44m, 2.88m or hd\n"
    "  -boot-load-size N           sectors of 512 bytes the firmware loads\n"
    "  -boot-load-seg SEGMENT      load segment (0 means the firmware's default, 0x07C0)\n"
    "      --boot-entry PATH       also show the boot image as the file PATH of the image\n"
    "  -eltorito-alt-boot          the options after it describe the EFI entry:\n"
    "  -e, --efi-boot FILE         the EFI boot image (a FAT image holding\n"
    "                              \\EFI\\BOOT\\BOOTX64.EFI), booted without emulation through\n"
    "                              UEFI; with -b the disc boots both ways, without it only\n"
    "                              through UEFI\n"
    "      --hybrid                also boot the image written raw to a USB stick or a disk:\n"
    "                              an MBR whose code loads the BIOS image (which must be\n"
    "                              without emulation) and a GPT whose EFI system partition is\n"
    "                              the EFI image; the image grows by 18 KiB for the backup GPT\n"
    "\n"
    "      --disc-image            write a disc image file (.wvm) holding the disc as one data\n"
    "                              track, instead of a plain ISO image\n"
    "  -q, --quiet                 no progress bar\n"
    "  -h, --help                  this text\n";

struct Options {
  std::string output;
  bool label_given = false;
  std::string label;
  DWORD file_system = MST_FS_ISO9660_JOLIET;
  DWORD version_flag = 1;
  bool file_dates = true;
  bool graft_points = false;
  std::vector<std::string> sources;                         // plain sources
  std::vector<std::pair<std::string, std::string>> grafts;  // target, source
  std::string boot;
  int emulation = -1;  // -1: from the size
  long load_size = -1;
  long load_segment = 0;
  std::string boot_entry;
  bool alt_boot = false;  // -eltorito-alt-boot seen: what follows describes the EFI entry
  std::string efi_boot;
  bool quiet = false;
  bool disc_image = false;  // write a single data track disc image instead of a plain ISO
  bool hybrid = false;      // MBR and GPT in the system area of a plain image
};

using ImageWriter = DWORD (*)(const WCHAR*, HANDLE, HANDLE, BOOL);

std::u16string U16(const std::string& text) {
  return quenvar::platform::Utf8ToUtf16(text);
}
std::string U8(const WCHAR* text) {
  return quenvar::platform::Utf16ToUtf8(quenvar::platform::Utf16View(text));
}

void Fail(const char* what, DWORD code) {
  std::fprintf(stderr, "quillden mkiso: %s: %s (0x%08X)\n", what, UTL_GetResultText(code), code);
}

bool ParseNumber(const std::string& text, long max, long* value) {
  char* end = nullptr;
  errno = 0;
  long parsed = std::strtol(text.c_str(), &end, 0);
  if (errno || end == text.c_str() || *end || parsed < 0 || parsed > max) return false;
  *value = parsed;
  return true;
}

bool ParseEmulation(const std::string& text, int* emulation) {
  static const struct {
    const char* name;
    int value;
  } kNames[] = {{"none", 0}, {"1.2m", 1}, {"1.44m", 2}, {"2.88m", 3}, {"hd", 4}};
  for (const auto& name : kNames) {
    if (text == name.name) {
      *emulation = name.value;
      return true;
    }
  }
  return false;
}

bool SplitGraft(const std::string& text, std::string* target, std::string* source) {
  size_t eq = text.find('=');
  if (eq == std::string::npos || eq + 1 == text.size()) return false;
  *target = text.substr(0, eq);
  *source = text.substr(eq + 1);
  return true;
}

// Returns 0 to go on, else the exit code.
// The command line's next value for argv[*i], or false with the reason on stderr.
bool NextValue(int argc, char** argv, int* i, std::string* out) {
  if (*i + 1 >= argc) {
    std::fprintf(stderr, "quillden mkiso: %s needs a value\n", argv[*i]);
    return false;
  }
  *out = argv[++*i];
  return true;
}

// Parses one El Torito option at argv[*i] (arg is its one-dash spelling). Returns 0 when parsed,
// 2 on a usage error (reported), or 1 when arg is not a boot option.
int ParseBootOption(const std::string& arg, int argc, char** argv, int* i, Options* options) {
  std::string v;
  if (arg == "-b" || arg == "-boot" || arg == "-eltorito-boot") {
    if (options->alt_boot) {
      std::fputs("quillden mkiso: -b after -eltorito-alt-boot: a disc has one BIOS boot image\n",
                 stderr);
      return 2;
    }
    return NextValue(argc, argv, i, &options->boot) ? 0 : 2;
  }
  if (arg == "-eltorito-alt-boot") {
    options->alt_boot = true;
    return 0;
  }
  if (arg == "-e" || arg == "-efi-boot")
    return NextValue(argc, argv, i, &options->efi_boot) ? 0 : 2;
  if (arg == "-no-emul-boot") {
    // The EFI entry is always without emulation.
    if (!options->alt_boot) options->emulation = 0;
    return 0;
  }
  const bool bios_entry_option = arg == "-hard-disk-boot" || arg == "-emulation" ||
                                 arg == "-boot-load-size" || arg == "-boot-load-seg";
  if (options->alt_boot && bios_entry_option) {
    std::fprintf(stderr,
                 "quillden mkiso: %s after -eltorito-alt-boot: the EFI entry is without emulation "
                 "and its load size is the size of its image\n",
                 argv[*i]);
    return 2;
  }
  if (arg == "-hard-disk-boot") {
    options->emulation = 4;
    return 0;
  }
  if (arg == "-emulation") {
    if (!NextValue(argc, argv, i, &v)) return 2;
    if (ParseEmulation(v, &options->emulation)) return 0;
    std::fprintf(stderr, "quillden mkiso: unknown emulation '%s'\n", v.c_str());
    return 2;
  }
  if (arg == "-boot-load-size") {
    if (!NextValue(argc, argv, i, &v)) return 2;
    if (ParseNumber(v, 0xFFFF, &options->load_size)) return 0;
    std::fprintf(stderr, "quillden mkiso: bad load size '%s'\n", v.c_str());
    return 2;
  }
  if (arg == "-boot-load-seg") {
    if (!NextValue(argc, argv, i, &v)) return 2;
    if (ParseNumber(v, 0xFFFF, &options->load_segment)) return 0;
    std::fprintf(stderr, "quillden mkiso: bad load segment '%s'\n", v.c_str());
    return 2;
  }
  if (arg == "-boot-entry") return NextValue(argc, argv, i, &options->boot_entry) ? 0 : 2;
  return 1;
}

// Refuses option combinations that would make an image other than the one asked for. Returns 0
// or 2 (reported).
int CheckOptions(const Options& options) {
  if (options.alt_boot && options.efi_boot.empty()) {
    std::fputs("quillden mkiso: -eltorito-alt-boot wants -e FILE (the EFI boot image)\n", stderr);
    return 2;
  }
  if (options.output.empty()) {
    std::fputs("quillden mkiso: no output image (-o IMAGE)\n", stderr);
    return 2;
  }
  if (options.sources.empty() && options.grafts.empty()) {
    std::fputs("quillden mkiso: nothing to put into the image\n", stderr);
    return 2;
  }
  if ((!options.boot.empty() || !options.efi_boot.empty()) &&
      (options.file_system == MST_FS_UDF102 || options.file_system == MST_FS_UDF250)) {
    // Firmware finds El Torito's boot record only beside an ISO 9660 volume descriptor; a UDF-only
    // image would be written without one and silently fail to boot.
    std::fputs(
        "quillden mkiso: a UDF-only image cannot boot (El Torito needs ISO 9660); choose --fs iso, "
        "iso+udf or iso+udf250 with -b or -e\n",
        stderr);
    return 2;
  }
  if (!options.hybrid) return 0;
  // The partition tables live in the first 16 blocks of a plain image file; a disc image file
  // holds the disc inside a container, and a device gets no padding past its end.
  std::error_code error;
  auto status = std::filesystem::status(options.output, error);
  const char* refusal = nullptr;
  if (options.disc_image)
    refusal = "it makes a plain image (-o IMAGE), not a disc image file (--disc-image)";
  else if (options.boot.empty() && options.efi_boot.empty())
    refusal = "the image needs a boot image to boot from (-b FILE -no-emul-boot and/or -e FILE)";
  else if (!options.boot.empty() && options.emulation != 0)
    refusal = "the BIOS boot image must be without emulation (-no-emul-boot)";
  else if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status))
    refusal = "the output must be a plain file";
  if (refusal) {
    std::fprintf(stderr, "quillden mkiso: --hybrid: %s\n", refusal);
    return 2;
  }
  return 0;
}

int ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg.size() > 2 && arg[0] == '-' && arg[1] == '-') arg.erase(0, 1);  // --x is -x
    std::string v;
    if (arg == "-h" || arg == "-help") {
      std::fputs(kUsage, stdout);
      return -1;
    } else if (arg == "-disc-image") {
      options->disc_image = true;
    } else if (arg == "-hybrid") {
      options->hybrid = true;
    } else if (arg == "-o" || arg == "-output") {
      if (!NextValue(argc, argv, &i, &options->output)) return 2;
    } else if (arg == "-V" || arg == "-volid") {
      if (!NextValue(argc, argv, &i, &options->label)) return 2;
      options->label_given = true;
    } else if (arg == "-J" || arg == "-joliet" || arg == "-r" || arg == "-R") {
      // Joliet is always written; Rock Ridge is not, and its absence costs nothing here.
    } else if (arg == "-fs") {
      if (!NextValue(argc, argv, &i, &v)) return 2;
      if (!ParseFileSystem(v, &options->file_system)) {
        std::fprintf(stderr, "quillden mkiso: unknown file system selection '%s'\n", v.c_str());
        return 2;
      }
    } else if (arg == "-N" || arg == "-omit-version-number") {
      options->version_flag = 0;
    } else if (arg == "-version-number") {
      options->version_flag = 1;
    } else if (arg == "-job-date") {
      options->file_dates = false;
    } else if (arg == "-graft-points") {
      options->graft_points = true;
    } else if (arg == "-graft") {
      std::string target, source;
      if (!NextValue(argc, argv, &i, &v)) return 2;
      if (!SplitGraft(v, &target, &source)) {
        std::fprintf(stderr, "quillden mkiso: --graft wants TARGET=SOURCE, not '%s'\n", v.c_str());
        return 2;
      }
      options->grafts.emplace_back(target, source);
    } else if (const int boot = ParseBootOption(arg, argc, argv, &i, options); boot != 1) {
      if (boot != 0) return boot;
    } else if (arg == "-q" || arg == "-quiet") {
      options->quiet = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      std::fprintf(stderr, "quillden mkiso: unknown option '%s' (see --help)\n", argv[i]);
      return 2;
    } else {
      std::string target, source;
      if (options->graft_points && SplitGraft(argv[i], &target, &source)) {
        options->grafts.emplace_back(target, source);
      } else {
        options->sources.push_back(argv[i]);
      }
    }
  }
  return CheckOptions(*options);
}

int BootEmulationFromSize(const std::string& path) {
  std::error_code error;
  uintmax_t size = std::filesystem::file_size(path, error);
  if (error) return -1;
  switch (size) {
    case 1228800:
      return 1;
    case 1474560:
      return 2;
    case 2949120:
      return 3;
    default:
      return -1;
  }
}

DWORD WriteWithProgressBar(ImageWriter write, const std::u16string& output, HANDLE disc,
                           bool file_dates) {
  return RunJob([&](HANDLE progress) { return write(output.c_str(), disc, progress, file_dates); },
                ProgressViewOptions())
      .result;
}

int RunMkiso(int argc, char** argv) {
  Options options;
  int parsed = ParseOptions(argc, argv, &options);
  if (parsed == -1) return 0;
  if (parsed) return parsed;

  DiscTreeBuilder builder("mkiso");
  if (!builder.Prepare(options.file_system, options.label_given ? &options.label : nullptr))
    return 1;
  HANDLE disc = builder.disc();
  DWORD code;
  MST_SetFileVersionNumber(disc, options.version_flag);

  for (const std::string& source : options.sources) {
    if (!builder.AddSource(source)) return 1;
  }
  for (const auto& [target, source] : options.grafts) {
    if (!builder.AddGraft(target, source)) return 1;
  }

  if (!options.boot.empty()) {
    int emulation =
        options.emulation >= 0 ? options.emulation : BootEmulationFromSize(options.boot);
    if (emulation < 0) {
      std::fprintf(
          stderr,
          "quillden mkiso: %s is not a 1.2, 1.44 or 2.88 MB floppy image; use -no-emul-boot "
          "or -hard-disk-boot\n",
          options.boot.c_str());
      return 1;
    }
    long load_size = options.load_size >= 0 ? options.load_size : (emulation == 0 ? 4 : 1);
    code = MST_ReadBootImageFile(
        disc, U16(AbsolutePath(options.boot)).c_str(), static_cast<BYTE>(emulation),
        static_cast<WORD>(options.load_segment), static_cast<WORD>(load_size));
    if (code != QD_OK) {
      std::fprintf(stderr, "quillden mkiso: boot image %s: %s (0x%08X)\n", options.boot.c_str(),
                   code == QD_E_NO_BOOT_IMAGE ? "its size does not fit the emulation"
                                              : UTL_GetResultText(code),
                   code);
      return 1;
    }
    if (!options.boot_entry.empty() &&
        (code = MST_CreateBootImageFileEntry(disc, U16(DiscPath(options.boot_entry)).c_str())) !=
            QD_OK) {
      Fail("boot image entry", code);
      return 1;
    }
  }

  if (!options.efi_boot.empty()) {
    code = MST_ReadEfiBootImageFile(disc, U16(AbsolutePath(options.efi_boot)).c_str());
    if (code != QD_OK) {
      std::fprintf(
          stderr, "quillden mkiso: EFI boot image %s: %s (0x%08X)\n", options.efi_boot.c_str(),
          code == QD_E_NO_BOOT_IMAGE ? "not a FAT image of 512 bytes to 65535 sectors of 512 bytes"
                                     : UTL_GetResultText(code),
          code);
      return 1;
    }
  }

  if (!builder.CheckNotEmpty()) return 1;

  std::u16string output = U16(options.output);
  bool bar = !options.quiet && isatty(STDERR_FILENO);
  ImageWriter write = options.disc_image ? MST_CreateDiskImage : MST_CreateISOImage;
  code = bar ? WriteWithProgressBar(write, output, disc, options.file_dates ? TRUE : FALSE)
             : write(output.c_str(), disc, nullptr, options.file_dates ? TRUE : FALSE);
  if (code != QD_OK) {
    std::fprintf(stderr, "quillden mkiso: %s: %s (0x%08X)\n", options.output.c_str(),
                 UTL_GetResultText(code), code);
    if (code == QD_E_SOURCE_MISSING || code == QD_E_READ_FILE) {
      WCHAR name[MAX_PATH] = {};
      MST_GetErrorFileName(disc, name);
      std::fprintf(stderr, "quillden mkiso: source: %s\n", U8(name).c_str());
    }
    return 1;
  }
  if (options.hybrid) {
    std::string why = quillden::fs::MakeImageHybrid(options.output);
    if (!why.empty()) {
      // A plain image where a hybrid one was asked for would fail later, on a stick; drop it.
      std::remove(options.output.c_str());
      std::fprintf(stderr, "quillden mkiso: %s: --hybrid: %s; the image is removed\n",
                   options.output.c_str(), why.c_str());
      return 1;
    }
  }
  return 0;
}

}  // namespace

QUILLDEN_COMMAND("mkiso", "mkiso [OPTIONS] -o IMAGE SOURCE...",
                 "build an ISO 9660 + Joliet and/or UDF image (El Torito bootable) from files",
                 RunMkiso);

}  // namespace quillden::tool
