// quillden image: disc image files.
//   image info FILE      what a disc image file holds. The engine opens and checks the file
//                        (CPY_OpenDiskImage) and reports the media, the flags and the measured
//                        tracks through its accessors; the first track list, which describes the
//                        data in the file, is read here from the file's own entries once the engine
//                        has accepted it.
//   image create X: OUT  a disc image file of the disc in drive X: (CPY_CreateDiskImage).
//   image write X: IN    records a disc image file (CPY_WriteDiskImage) or a plain sector image
//                        (CPY_WriteISOImage) onto the media in drive X:.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "command.h"
#include "disc_tree.h"
#include "platform/unicode.h"
#include "progress_view.h"
#include "quillden/image.h"
#include "quillden/progress.h"
#include "quillden/result.h"
#include "recording_args.h"

namespace quillden::tool {
namespace {

uint32_t Le(const uint8_t* p, int bytes) {
  uint32_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = (value << 8) | p[i];
  return value;
}
uint64_t Le64(const uint8_t* p) { return Le(p, 4) | (uint64_t{Le(p + 4, 4)} << 32); }

const char* MediaName(uint32_t flag) {
  switch (flag) {
    case MEDIA_CDROM: return "CD-ROM";
    case MEDIA_CDR: return "CD-R";
    case MEDIA_CDRW: return "CD-RW";
    case MEDIA_DVDROM: return "DVD-ROM";
    case MEDIA_DVDR: return "DVD-R";
    case MEDIA_DVDRAM: return "DVD-RAM";
    case MEDIA_DVDRW_RO: return "DVD-RW (restricted overwrite)";
    case MEDIA_DVDRW_SEQ: return "DVD-RW (sequential)";
    case MEDIA_DVDPRW: return "DVD+RW";
    case MEDIA_DVDPR: return "DVD+R";
    case MEDIA_DDCDROM: return "DDCD-ROM";
    case MEDIA_DDCDR: return "DDCD-R";
    case MEDIA_DDCDRW: return "DDCD-RW";
    case MEDIA_DVDPR_DL: return "DVD+R DL";
    case MEDIA_DVDR_DL: return "DVD-R DL";
    case MEDIA_DVDR_DL_LJ: return "DVD-R DL (layer jump)";
    case MEDIA_HDDVDROM: return "HD DVD-ROM";
    case MEDIA_HDDVDR: return "HD DVD-R";
    case MEDIA_HDDVDRAM: return "HD DVD-RAM";
    case MEDIA_HDDVDR_DL: return "HD DVD-R DL";
    case MEDIA_HDDVDRW: return "HD DVD-RW";
    case MEDIA_HDDVDRW_DL: return "HD DVD-RW DL";
    case MEDIA_BDR: return "BD-R";
    case MEDIA_BDRE: return "BD-RE";
    default: return "unknown";
  }
}

const char* ModeName(uint32_t mode) {
  switch (mode) {
    case 1: return "mode 1";
    case 2: return "mode 2";
    case 3: return "audio";
    default: return "?";
  }
}

std::string FlagNames(uint32_t flags) {
  static const struct {
    uint32_t bit;
    const char* name;
  } kNames[] = {{CPY_IMAGE_APPENDABLE, "appendable"},
                {CPY_IMAGE_INCOMPLETE_SESSION, "incomplete-session"},
                {CPY_IMAGE_CDTEXT, "cd-text"},
                {CPY_IMAGE_MIDDLE_AREA_2, "middle-area-2"},
                {CPY_IMAGE_MIDDLE_AREA_4, "middle-area-4"},
                {CPY_IMAGE_MIDDLE_AREA_EXPANSION, "middle-area-expansion"},
                {CPY_IMAGE_ROW, "volume-header"},
                {CPY_IMAGE_SINGLE_DATA_TRACK, "single-data-track"}};
  std::string text;
  for (const auto& entry : kNames) {
    if (flags & entry.bit) text += std::string(text.empty() ? "" : " ") + entry.name;
  }
  return text.empty() ? "none" : text;
}

int Info(const char* path) {
  std::u16string wide = quenvar::platform::Utf8ToUtf16(path);
  HANDLE image = CPY_OpenDiskImage(wide.c_str());
  if (image == nullptr) {
    std::fprintf(stderr, "quillden image: %s is not a readable disc image (missing, damaged, "
                         "truncated, or a name the engine refuses)\n", path);
    return 1;
  }
  // The engine accepted the file, so its blocks are all there; read them for the first list.
  std::ifstream in(path, std::ios::binary);
  uint8_t header[32];
  in.seekg(32);
  in.read(reinterpret_cast<char*>(header), sizeof header);
  const uint32_t count = Le(header + 8, 2);
  const uint32_t flags = Le(header + 12, 4);
  std::streamoff lists = 64 + ((flags & CPY_IMAGE_CDTEXT) ? 16 : 0) + ((flags & CPY_IMAGE_ROW) ? 16 : 0);
  std::vector<uint8_t> first(size_t{count} * 61);
  in.seekg(lists);
  in.read(reinterpret_cast<char*>(first.data()), static_cast<std::streamsize>(first.size()));
  if (!in) {
    std::fprintf(stderr, "quillden image: %s: cannot read the track list\n", path);
    CPY_CloseDiskImage(image);
    return 1;
  }

  const DWORD media = CPY_GetMediaDiskImage(image);
  std::printf("file:          %s\n", path);
  std::printf("kind:          %s\n",
              (flags & CPY_IMAGE_SINGLE_DATA_TRACK) ? "single data track image" : "multi-track image");
  std::printf("media:         %s (flag 0x%08X, profile 0x%04X)\n", MediaName(media), media,
              Le(header + 10, 2));
  std::printf("flags:         0x%08X %s\n", flags, FlagNames(flags).c_str());
  std::printf("appendable:    %s\n", CPY_IsAppendDiskImage(image) ? "yes" : "no");
  std::printf("cd-text:       %s\n", CPY_IsCdTextDiskImage(image) ? "yes" : "no");
  std::printf("close method:  %u\n", CPY_CloseMethodDiskImage(image));
  std::printf("middle area expansion: %s\n", CPY_IsMiddleAreaExpansionDiskImage(image) ? "yes" : "no");
  std::printf("total size:    %llu bytes\n", static_cast<unsigned long long>(Le64(header + 24)));
  std::printf("tracks:        %u\n", count);

  std::printf("\ndata in the file (first list):\n");
  std::printf("  %5s %7s %10s %10s %6s %-6s %5s %10s %14s  %s\n", "track", "session", "start",
              "sectors", "bytes", "mode", "open", "reported", "offset", "layer jump");
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* e = first.data() + i * 61;
    std::printf("  %5u %7u %10u %10u %6u %-6s %5s %10u %14llu  %u %u %u %u\n", Le(e + 24, 2),
                Le(e + 26, 2), Le(e + 8, 4), Le(e + 12, 4), Le(e + 16, 4), ModeName(Le(e + 20, 4)),
                (Le(e + 28, 4) & 1) ? "yes" : "no", Le(e + 32, 4),
                static_cast<unsigned long long>(Le64(e + 40)), e[48], Le(e + 49, 4), Le(e + 53, 4),
                Le(e + 57, 4));
  }

  std::printf("\nreported tracks (%s):\n", (flags & CPY_IMAGE_SINGLE_DATA_TRACK)
                                               ? "the data track; no measurement list"
                                               : "second list, exact measurement");
  std::printf("  %5s %7s %10s %10s %-6s\n", "track", "session", "start", "sectors", "mode");
  const WORD reported = CPY_GetTrackInformation(image, 0, nullptr);
  for (WORD track = 1; track <= reported && track != 0; ++track) {
    _TRACKINFORMATION info;
    std::memset(&info, 0, sizeof info);
    CPY_GetTrackInformation(image, track, &info);
    std::printf("  %5u %7u %10u %10u %-6s\n", info.wTrack, info.wSession, info.dwStart, info.dwSize,
                ModeName(info.dwMode));
  }
  return CPY_CloseDiskImage(image) == 0 ? 0 : 1;
}

constexpr const char* kUsage =
    "usage: quillden image info FILE.wvm\n"
    "       quillden image create X: [-f] [-q] OUT.wvm\n"
    "       quillden image write X: [OPTIONS] IN.wvm|IN.iso\n"
    "\n"
    "info    describes a disc image file.\n"
    "create  reads the disc in drive X: track by track into a disc image file.\n"
    "write   records a disc image file, or a plain image of one data track, onto the media in\n"
    "        drive X:. Disc image files are recognised by their signature, whatever their name.\n"
    "\n"
    "  -f, --force           create: replace an existing file\n"
    "      --write-type N    write: 1 leave the disc open, 2 close it (the default), 3 disc at once\n"
    "      --close-mode N    write: how the recorder finalizes the media (default 4)\n"
    "      --mode N          write, plain images: 1 for 2048-byte sectors (the default), 2 for raw\n"
    "                        2352-byte sectors recorded as CD mode 2\n"
    "  -q, --quiet           no progress bar\n"
    "  -h, --help            this text\n";

// True when the file opens with the signature of a disc image file; such a file is never recorded
// as a plain image, damaged or not.
bool HasImageSignature(const std::string& path) {
  static const char kSignature[] = "VARNOLD DISCIMAGE";
  char head[sizeof kSignature - 1] = {};
  std::ifstream in(path, std::ios::binary);
  return in.read(head, sizeof head) && std::memcmp(head, kSignature, sizeof head) == 0;
}

// The drive of "X: FILE" operands; 0 (after the usage line) when they are not that.
int DriveOfOperands(const RecordingOptions& options, const char* usage) {
  const int number = options.operands.size() == 2 ? quenvar::tools::DriveNumberOf(options.operands[0].c_str()) : 0;
  if (number == 0) std::fprintf(stderr, "usage: %s\n", usage);
  return number;
}

int Create(const RecordingOptions& options) {
  const int number = DriveOfOperands(options, "quillden image create X: [-f] [-q] OUT.wvm");
  if (number == 0) return 2;
  const std::string& out = options.operands[1];
  std::error_code error;
  if (!options.force && std::filesystem::exists(out, error)) {
    std::fprintf(stderr, "quillden image: %s exists (use --force to replace it)\n", out.c_str());
    return 1;
  }
  HANDLE drive = OpenDriveOrSay("image", number);
  if (drive == nullptr) return 1;
  const std::u16string path = quenvar::platform::Utf8ToUtf16(AbsolutePath(out));
  ProgressViewOptions view;
  view.label = "reading";
  view.quiet = options.quiet;
  const JobOutcome outcome =
      RunJob([&](HANDLE progress) { return CPY_CreateDiskImage(drive, path.c_str(), progress); }, view);
  DRV_CloseDrive(drive);
  if (outcome.result != QD_OK) return ReportFailure("image", "creating " + out, outcome.result);
  HANDLE image = CPY_OpenDiskImage(path.c_str());
  const WORD tracks = image ? CPY_GetTrackInformation(image, 0, nullptr) : 0;
  if (image) CPY_CloseDiskImage(image);
  const uintmax_t bytes = std::filesystem::file_size(out, error);
  std::printf("created %s from the disc in %c: (%u track%s, %.1f MiB)\n", out.c_str(),
              quenvar::tools::DriveLetterOf(number), tracks, tracks == 1 ? "" : "s",
              error ? 0.0 : static_cast<double>(bytes) / (1 << 20));
  return 0;
}

int Write(const RecordingOptions& options) {
  const int number = DriveOfOperands(options, "quillden image write X: [OPTIONS] IN.wvm|IN.iso");
  if (number == 0) return 2;
  const std::string& in = options.operands[1];
  std::error_code error;
  if (!std::filesystem::is_regular_file(in, error)) {
    std::fprintf(stderr, "quillden image: %s is not a readable file\n", in.c_str());
    return 1;
  }
  const bool disc_image = HasImageSignature(in);
  if (disc_image && options.iso_mode != 0) {
    std::fputs("quillden image: --mode applies to plain images only\n", stderr);
    return 2;
  }
  const std::u16string path = quenvar::platform::Utf8ToUtf16(AbsolutePath(in));
  HANDLE image = nullptr;
  if (disc_image && (image = CPY_OpenDiskImage(path.c_str())) == nullptr) {
    std::fprintf(stderr, "quillden image: %s is a damaged or truncated disc image; nothing recorded\n", in.c_str());
    return 1;
  }
  HANDLE drive = OpenDriveOrSay("image", number);
  if (drive == nullptr) {
    if (image) CPY_CloseDiskImage(image);
    return 1;
  }
  ProgressViewOptions view;
  view.quiet = options.quiet;
  const DWORD iso_mode = options.iso_mode == 0 ? 1 : static_cast<DWORD>(options.iso_mode);
  const JobOutcome outcome = RunJob(
      [&](HANDLE progress) {
        return image ? CPY_WriteDiskImage(drive, image, options.write_mode, progress, options.finalize_kind)
                     : CPY_WriteISOImage(drive, options.write_mode, iso_mode, path.c_str(), progress);
      },
      view);
  if (image) CPY_CloseDiskImage(image);
  if (outcome.result != QD_OK) {
    ReportRecordingFailure("image", "recording " + in, outcome.result, drive);
    DRV_CloseDrive(drive);
    return 1;
  }
  DRV_CloseDrive(drive);
  std::printf("recorded %s onto the media in %c:\n", in.c_str(), quenvar::tools::DriveLetterOf(number));
  return 0;
}

int RunImage(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "info") == 0) return Info(argv[2]);
  const bool create = argc >= 2 && std::strcmp(argv[1], "create") == 0;
  const bool write = argc >= 2 && std::strcmp(argv[1], "write") == 0;
  if (!create && !write) {
    if (argc >= 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    std::fputs(kUsage, stderr);
    return 2;
  }
  RecordingOptions options;
  const int parsed =
      ParseRecordingOptions("image", kUsage, argc - 1, argv + 1,
                            create ? std::vector<std::string>{"force"}
                                   : std::vector<std::string>{"write-type", "close-mode", "mode"},
                            &options);
  if (parsed == -1) return 0;
  if (parsed != 0) return parsed;
  return create ? Create(options) : Write(options);
}

}  // namespace

QUILLDEN_COMMAND("image", "image info|create|write ...",
                 "describe a disc image file (.wvm), create one from a disc, or record one", RunImage);

}  // namespace quillden::tool
