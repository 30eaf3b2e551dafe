// quillden media X: — the media in a drive: its information record, table of contents and tracks.
#include <cctype>
#include <cstdio>
#include <cstring>

#include "command.h"
#include "tools/common/drive_arg.h"
#include "quillden/drive.h"
#include "quillden/result.h"

namespace quillden::tool {
namespace {

const char* StatusName(DWORD status) {
  switch (status) {
    case MEDIA_STATUS_BLANK: return "blank";
    case MEDIA_STATUS_APPENDABLE: return "appendable";
    default: return "closed";
  }
}

int RunMedia(int argc, char** argv) {
  const int number = argc == 2 ? quenvar::tools::DriveNumberOf(argv[1]) : 0;
  if (number == 0) {
    std::fputs("usage: quillden media X:\n", stderr);
    return 2;
  }
  HANDLE drive = quenvar::tools::OpenDriveOrSay("quillden media", number);
  if (drive == nullptr) return 1;
  _MEDIAINFORMATION info{};
  const DWORD result = DRV_GetMediaInformation(drive, &info);
  if (result != QD_OK) {
    std::fprintf(stderr, "quillden: media information: 0x%08X %s (last command error 0x%08X)\n", result,
                 UTL_GetResultText(result), DRV_GetLastCommandError(nullptr));
    DRV_CloseDrive(drive);
    return 1;
  }
  std::printf("media           0x%08X\n", info.dwMedia);
  std::printf("status          %u (%s)\n", info.dwStatus, StatusName(info.dwStatus));
  std::printf("erasable        %u\n", info.dwErasable);
  std::printf("next writable   %u\n", info.dwNextWritable);
  std::printf("used            %u\n", info.dwUsed);
  std::printf("free            %u\n", info.dwFree);
  std::printf("capacity        %u\n", info.dwCapacity);
  std::printf("data mode       %u\n", info.dwDataMode);
  std::printf("protection      %u\n", info.dwProtection);
  std::printf("book type       0x%X\n", info.dwBookType);
  std::printf("middle area     %u\n", info.dwMiddleArea);
  std::printf("layers          %u\n", DRV_GetLayerNumber(drive));

  _TOCINFORMATION toc{};
  if (DRV_GetTOCInformation(drive, &toc, sizeof(toc)) == QD_OK) {
    std::printf("toc             tracks %u to %u\n", toc.bFirstTrack, toc.bLastTrack);
    const unsigned entries = static_cast<unsigned>(toc.bLastTrack - toc.bFirstTrack + 2);
    for (unsigned i = 0; i < entries && i < 100; ++i) {
      if (i + 1 == entries) {
        std::printf("  lead-out      %u\n", toc.dwAddress[i]);
      } else {
        std::printf("  track %-7u %u\n", toc.bFirstTrack + i, toc.dwAddress[i]);
      }
    }
  } else {
    std::printf("toc             none\n");
  }
  const WORD last = DRV_GetTrackInformation(drive, 0, nullptr, FALSE);
  for (WORD track = 1; track <= last; ++track) {
    _TRACKINFORMATION t{};
    if (DRV_GetTrackInformation(drive, track, &t, TRUE) == 0) continue;
    std::printf("track %u         session %u  start %u  size %u  mode %u\n", t.wTrack, t.wSession, t.dwStart,
                t.dwSize, t.dwMode);
  }
  DRV_CloseDrive(drive);
  return 0;
}

}  // namespace

QUILLDEN_COMMAND("media", "media X:", "show the media in a drive: status, addresses, TOC and tracks", RunMedia);

}  // namespace quillden::tool
