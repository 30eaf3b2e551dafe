// quillden ls X: [PATH] — the files and folders of a disc as the engine's own reader sees them.
#include <cstdio>
#include <string>

#include "command.h"
#include "platform/unicode.h"
#include "quillden/result.h"
#include "quillden/util.h"
#include "quillden/volume.h"
#include "volume_arg.h"

namespace quillden::tool {
namespace {

// FILETIME to "YYYY-MM-DD hh:mm:ss" (UTC).
std::string FormatTime(const FILETIME& time) {
  uint64_t value = (uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
  int64_t seconds = static_cast<int64_t>(value / 10000000u) - 11644473600LL;
  int64_t days = seconds >= 0 ? seconds / 86400 : (seconds - 86399) / 86400;
  int64_t rest = seconds - days * 86400;
  // Civil date from days since 1970-01-01.
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(days - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned day = doy - (153 * mp + 2) / 5 + 1;
  const unsigned month = mp < 10 ? mp + 3 : mp - 9;
  const int64_t year = static_cast<int64_t>(yoe) + era * 400 + (month <= 2);
  char text[64];
  std::snprintf(text, sizeof text, "%04lld-%02u-%02u %02lld:%02lld:%02lld",
                static_cast<long long>(year), month, day, static_cast<long long>(rest / 3600),
                static_cast<long long>(rest / 60 % 60), static_cast<long long>(rest % 60));
  return text;
}

void PrintEntry(const std::u16string& path, const WIN32_FIND_DATAW& data) {
  const bool folder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  const uint64_t size = (uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
  std::printf("%c %12llu %s %s\n", folder ? 'd' : '-', static_cast<unsigned long long>(size),
              FormatTime(data.ftLastWriteTime).c_str(),
              quenvar::platform::Utf16ToUtf8(path.substr(1)).c_str());
}

void PrintFailure(const std::u16string& path, DWORD result) {
  std::fprintf(stderr, "quillden: %s: 0x%08X %s\n",
               path.empty() ? "\\" : quenvar::platform::Utf16ToUtf8(path).c_str(), result,
               UTL_GetResultText(result));
}

// The engine refuses a folder that a walk has entered before, or one deeper than any disc nests,
// so this recursion ends on every disc.
int ListFolder(HANDLE volume, const std::u16string& path) {
  for (DWORD index = 0;; ++index) {
    WIN32_FIND_DATAW data{};
    DWORD result = DRV_FindVolumeFile(volume, path.c_str(), index, &data);
    if (result == QD_E_NOT_FOUND) return 0;
    if (result != QD_OK) {
      PrintFailure(path, result);
      return 1;
    }
    std::u16string child = path + u"\\" + data.cFileName;
    PrintEntry(child, data);
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && ListFolder(volume, child) != 0)
      return 1;
  }
}

int RunLs(int argc, char** argv) {
  if (argc < 2 || argc > 3 || !IsDriveArgument(argv[1])) {
    std::fputs("usage: quillden ls X: [PATH]\n", stderr);
    return 2;
  }
  HANDLE volume = nullptr;
  if (!OpenVolumeArgument(argv[1], &volume)) return 1;
  std::u16string path;
  if (argc == 3) {
    path = quenvar::platform::Utf8ToUtf16(argv[2]);
    for (char16_t& c : path) {
      if (c == u'/') c = u'\\';
    }
    while (!path.empty() && path.back() == u'\\') path.pop_back();
    if (!path.empty() && path.front() != u'\\') path.insert(path.begin(), u'\\');
  }
  // A path that names nothing is an error; a file lists itself.
  WIN32_FIND_DATAW named{};
  DWORD result = DRV_GetVolumeFileInformation(volume, path.c_str(), &named);
  int status = 0;
  if (result != QD_OK) {
    PrintFailure(path, result);
    status = 1;
  } else if ((named.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    PrintEntry(path.substr(0, path.rfind(u'\\') + 1) + named.cFileName, named);
  } else {
    status = ListFolder(volume, path);
  }
  DRV_CloseVolume(volume);
  return status;
}

}  // namespace

QUILLDEN_COMMAND("ls", "ls X: [PATH]", "list the files of a disc (UDF, then Joliet, then ISO 9660)",
                 RunLs);

}  // namespace quillden::tool
