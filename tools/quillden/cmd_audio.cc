// quillden audio X: a.wav [--title T] [--performer P] b.wav ... [--dao|--tao]
// Records an audio CD from WAVE files. --title and --performer before the first file name the disc,
// after a file that track; CD-Text is recorded session at once (--dao, the default) only.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "command.h"
#include "tools/common/drive_arg.h"
#include "platform/unicode.h"
#include "progress_view.h"
#include "quillden/audio.h"
#include "quillden/drive.h"
#include "quillden/progress.h"
#include "quillden/result.h"

namespace quillden::tool {
namespace {

constexpr DWORD kEnglish = 0x09;

int Usage() {
  std::fputs("usage: quillden audio X: FILE.wav [--title T] [--performer P] ... [--dao|--tao]\n", stderr);
  return 2;
}

// Texts of one CD-Text type: index 0 the disc, n track n.
DWORD AddText(HANDLE disc, int type, std::vector<std::u16string> strings) {
  bool any = false;
  for (const auto& s : strings) any = any || !s.empty();
  if (!any) return QD_OK;
  std::vector<WCHAR*> pointers;
  size_t longest = 0;
  for (auto& s : strings) {
    pointers.push_back(s.data());
    longest = std::max(longest, s.size());
  }
  _CDTEXTITEM item{kEnglish, 0, pointers.data(), static_cast<DWORD>(longest + 1), static_cast<DWORD>(pointers.size())};
  return AUD_AddCdTextItem(disc, &item, type);
}

int Fail(const char* what, DWORD result) {
  std::fprintf(stderr, "quillden: %s: 0x%08X %s (last command error 0x%08X)\n", what, result, UTL_GetResultText(result),
               DRV_GetLastCommandError(nullptr));
  return 1;
}

int RunAudio(int argc, char** argv) {
  const int number = argc >= 3 ? quenvar::tools::DriveNumberOf(argv[1]) : 0;
  if (number == 0) return Usage();
  std::vector<std::string> files;
  std::vector<std::u16string> titles(1), performers(1);
  DWORD mode = 3;
  for (int i = 2; i < argc; ++i) {
    const bool title = std::strcmp(argv[i], "--title") == 0;
    if (title || std::strcmp(argv[i], "--performer") == 0) {
      if (i + 1 >= argc) return Usage();
      (title ? titles : performers).back() = quenvar::platform::Utf8ToUtf16(argv[++i]);
    } else if (std::strcmp(argv[i], "--dao") == 0) {
      mode = 3;
    } else if (std::strcmp(argv[i], "--tao") == 0) {
      mode = 2;
    } else if (argv[i][0] == '-' && argv[i][1] == '-') {
      return Usage();
    } else {
      files.push_back(argv[i]);
      titles.emplace_back();
      performers.emplace_back();
    }
  }
  if (files.empty()) return Usage();
  HANDLE drive = quenvar::tools::OpenDriveOrSay("quillden audio", number);
  if (drive == nullptr) return 1;
  HANDLE disc = AUD_CreateAudiodisk(drive);
  int code = 0;
  DWORD result = disc == INVALID_HANDLE_VALUE ? QD_E_OUT_OF_MEMORY : QD_OK;
  for (size_t i = 0; result == QD_OK && i < files.size(); ++i) {
    result = AUD_AddAudioTrack(disc, quenvar::platform::Utf8ToUtf16(files[i]).c_str());
    if (result != QD_OK) std::fprintf(stderr, "quillden: %s: cannot be used as a track\n", files[i].c_str());
  }
  if (result == QD_OK) result = AddText(disc, 0, titles);
  if (result == QD_OK) result = AddText(disc, 1, performers);
  if (result == QD_OK) {
    result = RunJob([&](HANDLE progress) { return AUD_WriteAudiodisk(disc, mode, progress); }, ProgressViewOptions())
                 .result;
  }
  if (result != QD_OK) {
    code = Fail("audio", result);
  } else {
    std::printf("recorded %zu tracks\n", files.size());
  }
  if (disc != INVALID_HANDLE_VALUE) AUD_DestroyAudiodisk(disc);
  DRV_CloseDrive(drive);
  return code;
}

}  // namespace

QUILLDEN_COMMAND("audio", "audio X: FILE.wav [--title T] [--performer P] ... [--dao|--tao]",
                 "record an audio CD from WAVE files, with CD-Text when recorded session at once", RunAudio);

}  // namespace quillden::tool
