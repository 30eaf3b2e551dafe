// quillden image info FILE: what a disc image file holds.
//
// The engine opens and checks the file (CPY_OpenDiskImage) and reports the media, the flags and the
// measured tracks through its accessors; the first track list, which describes the data in the
// file, is read here from the file's own entries once the engine has accepted it.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "command.h"
#include "platform/unicode.h"
#include "quillden/image.h"

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

int RunImage(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "info") == 0) return Info(argv[2]);
  std::fputs("usage: quillden image info FILE\n", stderr);
  return 2;
}

}  // namespace

QUILLDEN_COMMAND("image", "image info FILE", "describe a disc image file (.wvm)", RunImage);

}  // namespace quillden::tool
