// quillden ls X: [PATH] — the files and folders of a disc as the engine's own reader sees them.
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

#include "command.h"
#include "platform/unicode.h"
#include "quillden/result.h"
#include "quillden/util.h"
#include "quillden/volume.h"

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
  std::snprintf(text, sizeof text, "%04lld-%02u-%02u %02lld:%02lld:%02lld", static_cast<long long>(year), month,
                day, static_cast<long long>(rest / 3600), static_cast<long long>(rest / 60 % 60),
                static_cast<long long>(rest % 60));
  return text;
}

int ListFolder(HANDLE volume, const std::u16string& path, int depth) {
  if (depth > 256) return 0;  // a disc path never nests deeper
  for (DWORD index = 0;; ++index) {
    WIN32_FIND_DATAW data{};
    DWORD result = DRV_FindVolumeFile(volume, path.c_str(), index, &data);
    if (result == QD_E_NOT_FOUND) return 0;
    if (result != QD_OK) {
      std::fprintf(stderr, "quillden: %s: 0x%08X %s\n", quenvar::platform::Utf16ToUtf8(path).c_str(), result,
                   UTL_GetResultText(result));
      return 1;
    }
    std::u16string child = path + u"\\" + data.cFileName;
    const bool folder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    const uint64_t size = (uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
    std::printf("%c %12llu %s %s\n", folder ? 'd' : '-', static_cast<unsigned long long>(size),
                FormatTime(data.ftLastWriteTime).c_str(), quenvar::platform::Utf16ToUtf8(child.substr(1)).c_str());
    if (folder && ListFolder(volume, child, depth + 1) != 0) return 1;
  }
}

int RunLs(int argc, char** argv) {
  if (argc < 2 || argc > 3 || !std::isalpha(static_cast<unsigned char>(argv[1][0])) ||
      (argv[1][1] != '\0' && std::strcmp(argv[1] + 1, ":") != 0)) {
    std::fputs("usage: quillden ls X: [PATH]\n", stderr);
    return 2;
  }
  const DWORD number = static_cast<DWORD>(std::toupper(static_cast<unsigned char>(argv[1][0])) - 'A' + 1);
  HANDLE volume = nullptr;
  DWORD result = DRV_OpenVolume(number, &volume);
  if (result != QD_OK) {
    std::fprintf(stderr, "quillden: volume %c: 0x%08X %s\n", argv[1][0], result, UTL_GetResultText(result));
    return 1;
  }
  std::u16string path;
  if (argc == 3) {
    path = quenvar::platform::Utf8ToUtf16(argv[2]);
    for (char16_t& c : path) {
      if (c == u'/') c = u'\\';
    }
    while (!path.empty() && path.back() == u'\\') path.pop_back();
    if (!path.empty() && path.front() != u'\\') path.insert(path.begin(), u'\\');
  }
  int status = ListFolder(volume, path, 0);
  DRV_CloseVolume(volume);
  return status;
}

}  // namespace

QUILLDEN_COMMAND("ls", "ls X: [PATH]", "list the files of a disc (UDF, then Joliet, then ISO 9660)", RunLs);

}  // namespace quillden::tool
