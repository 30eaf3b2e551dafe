// quillden drives: the drive letters of the drive map with what each drive is and can do.
#include <cstdio>
#include <string>

#include "command.h"
#include "platform/drive_map.h"
#include "platform/unicode.h"
#include "quillden/drive.h"

namespace quillden::tool {
namespace {

struct MediaName {
  DWORD flag;
  const char* name;
};

constexpr MediaName kMediaNames[] = {
    {MEDIA_CDROM, "CD-ROM"},       {MEDIA_CDR, "CD-R"},           {MEDIA_CDRW, "CD-RW"},
    {MEDIA_DVDROM, "DVD-ROM"},     {MEDIA_DVDR, "DVD-R"},         {MEDIA_DVDRAM, "DVD-RAM"},
    {MEDIA_DVDRW_RO, "DVD-RW(RO)"}, {MEDIA_DVDRW_SEQ, "DVD-RW"},   {MEDIA_DVDPRW, "DVD+RW"},
    {MEDIA_DVDPR, "DVD+R"},        {MEDIA_DDCDROM, "DDCD-ROM"},   {MEDIA_DDCDR, "DDCD-R"},
    {MEDIA_DDCDRW, "DDCD-RW"},     {MEDIA_DVDPR_DL, "DVD+R DL"},  {MEDIA_DVDR_DL, "DVD-R DL"},
    {MEDIA_DVDR_DL_LJ, "DVD-R DL(LJ)"}, {MEDIA_HDDVDROM, "HD DVD-ROM"}, {MEDIA_HDDVDR, "HD DVD-R"},
    {MEDIA_HDDVDRAM, "HD DVD-RAM"}, {MEDIA_HDDVDR_DL, "HD DVD-R DL"}, {MEDIA_HDDVDRW, "HD DVD-RW"},
    {MEDIA_HDDVDRW_DL, "HD DVD-RW DL"}, {MEDIA_BDR, "BD-R"},      {MEDIA_BDRE, "BD-RE"},
};

std::string MediaList(DWORD flags) {
  std::string out;
  for (const MediaName& m : kMediaNames) {
    if (flags & m.flag) {
      if (!out.empty()) out += ", ";
      out += m.name;
    }
  }
  return out.empty() ? "-" : out;
}

std::string Text(const WCHAR* text) { return quenvar::platform::Utf16ToUtf8(quenvar::platform::Utf16View(text)); }

int RunDrives(int argc, char** argv) {
  (void)argv;
  if (argc != 1) {
    std::fputs("usage: quillden drives\n", stderr);
    return 2;
  }
  int shown = 0;
  for (const auto& entry : quenvar::platform::DriveMap::Current().entries()) {
    if (entry.kind != quenvar::platform::DriveKind::kOptical && entry.kind != quenvar::platform::DriveKind::kVirtual) {
      continue;
    }
    ++shown;
    HANDLE drive = DRV_OpenDrive(entry.drive_number());
    const std::string where = entry.kind == quenvar::platform::DriveKind::kVirtual ? "virtual:" + entry.backing_path
                                                                                    : entry.device_path;
    if (drive == nullptr) {
      std::printf("%c:  (cannot be opened: %s)\n", entry.letter, where.c_str());
      continue;
    }
    _DEVICEINFO info{};
    const DWORD result = DRV_GetDeviceInfo(drive, &info);
    if (result != 0) {
      std::printf("%c:  (no answer to INQUIRY: 0x%08X)  %s\n", entry.letter, result, where.c_str());
    } else {
      std::printf("%c:  vendor \"%s\"  product \"%s\"  revision \"%s\"  %s\n", entry.letter, Text(info.szVendor).c_str(),
                  Text(info.szProduct).c_str(), Text(info.szRevision).c_str(), where.c_str());
    }
    _DEVICESPECIFICATIONS spec{};
    DWORD write_speeds[16] = {};
    spec.pWriteSpeeds = write_speeds;
    spec.dwWriteSpeeds = 16;
    const DWORD spec_result = DRV_GetDeviceSpecifications(drive, &spec);
    std::printf("    reads:  %s\n    writes: %s\n", MediaList(spec.dwReadableMedia).c_str(),
                MediaList(spec.dwWritableMedia).c_str());
    if (spec_result == 0 && spec.dwWriteSpeeds != 0) {
      std::printf("    write speeds (kB/s):");
      for (DWORD i = 0; i < spec.dwWriteSpeeds && i < 16; ++i) std::printf(" %u", write_speeds[i]);
      std::printf("\n");
    }
    DRV_CloseDrive(drive);
  }
  if (shown == 0) std::puts("no optical drives (set QUENVAR_DRIVES, e.g. V=virtual:dvd-r:/tmp/v.disc)");
  return 0;
}

}  // namespace

QUILLDEN_COMMAND("drives", "drives", "list the optical drives with vendor, product and media", RunDrives);

}  // namespace quillden::tool
