#include "recording_args.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "quillden/drive.h"
#include "quillden/result.h"

namespace quillden::tool {
namespace {

bool ParseNumber(const char* text, long min, long max, long* value) {
  char* end = nullptr;
  errno = 0;
  const long parsed = std::strtol(text, &end, 0);
  if (errno || end == text || *end || parsed < min || parsed > max) return false;
  *value = parsed;
  return true;
}

}  // namespace

HANDLE OpenDriveOrSay(const char* command, int number) {
  return quenvar::tools::OpenDriveOrSay(("quillden " + std::string(command)).c_str(), number);
}

int ParseRecordingOptions(const char* command, const char* usage, int argc, char** argv,
                          const std::vector<std::string>& accepted, RecordingOptions* options) {
  auto takes = [&](const char* name) { return std::find(accepted.begin(), accepted.end(), name) != accepted.end(); };
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      std::fputs(usage, stdout);
      return -1;
    }
    if (arg == "-q" || arg == "--quiet") {
      options->quiet = true;
      continue;
    }
    if (arg == "-f" || arg == "--force") {
      if (!takes("force")) {
        std::fprintf(stderr, "quillden %s: unknown option '%s' (see --help)\n", command, argv[i]);
        return 2;
      }
      options->force = true;
      continue;
    }
    if (arg.size() < 2 || arg[0] != '-') {
      options->operands.push_back(arg);
      continue;
    }
    std::string name = arg.substr(arg.rfind('-', 1) + 1);  // "--write-type" and "-write-type" alike
    std::string value;
    if (size_t eq = name.find('='); eq != std::string::npos) {
      value = name.substr(eq + 1);
      name.erase(eq);
    } else if (takes(name.c_str()) && i + 1 < argc) {
      value = argv[++i];
    }
    long number = 0;
    if (!takes(name.c_str())) {
      std::fprintf(stderr, "quillden %s: unknown option '%s' (see --help)\n", command, argv[i]);
      return 2;
    } else if (name == "write-type") {
      if (!ParseNumber(value.c_str(), 1, 3, &number)) {
        std::fprintf(stderr, "quillden %s: --write-type takes 1, 2 or 3, not '%s'\n", command, value.c_str());
        return 2;
      }
      options->write_mode = static_cast<DWORD>(number);
    } else if (name == "close-mode") {
      if (!ParseNumber(value.c_str(), 0, 0xFFFF, &number)) {
        std::fprintf(stderr, "quillden %s: bad close mode '%s'\n", command, value.c_str());
        return 2;
      }
      options->finalize_kind = static_cast<DWORD>(number);
    } else if (name == "mode") {
      if (!ParseNumber(value.c_str(), 1, 2, &number)) {
        std::fprintf(stderr, "quillden %s: --mode takes 1 (2048-byte sectors) or 2 (raw 2352-byte sectors)\n",
                     command);
        return 2;
      }
      options->iso_mode = static_cast<int>(number);
    }
  }
  return 0;
}

std::string ExplainRecordingResult(DWORD code) {
  switch (code) {
    case QD_E_INVALID_SETTING:
      return "the target disc is not blank (or is DVD-RW in restricted overwrite mode)";
    case QD_E_MEDIA_UNSUPPORTED:
      return "this media cannot take the source (see the write type, or use other media)";
    case QD_E_MEDIA_NOT_WRITABLE:
      return "the media cannot be written (closed or not recordable)";
    case QD_E_NO_SPACE:
      return "the media has not enough free blocks";
    case QD_E_WRONG_FORM:
      return "the image is damaged or not a whole number of sectors";
    case QD_E_SOURCE_BLANK:
      return "the source disc is blank";
    case QD_E_CANNOT_COPY_HERE:
      return "this drive and media cannot copy a DVD-R source";
    case QD_E_INVALID_ARGUMENT:
      return "the media does not allow this write type";
    case QD_E_FILE_OPEN:
      return "the file cannot be opened or created";
    case QD_E_CANCELLED:
      return "cancelled";
    case QD_E_COMPARE_DIFFERS:
      return "the media does not hold the sessions and tracks that were recorded (not a usable copy)";
    default:
      return UTL_GetResultText(code);
  }
}

int ReportFailure(const char* command, const std::string& what, DWORD code) {
  std::fprintf(stderr, "quillden %s: %s failed: %s (0x%08X, last command error 0x%08X)\n", command, what.c_str(),
               ExplainRecordingResult(code).c_str(), code, DRV_GetLastCommandError(nullptr));
  return 1;
}

std::string DescribeMedium(HANDLE drive) {
  _MEDIAINFORMATION info{};
  const DWORD code = DRV_GetMediaInformation(drive, &info);
  char line[200];
  if (code != QD_OK) {
    std::snprintf(line, sizeof line, "the state of the medium cannot be read: %s (0x%08X)",
                  UTL_GetResultText(code), code);
  } else if (info.dwMedia == 0) {
    std::snprintf(line, sizeof line, "there is no medium in the drive");
  } else if (info.dwStatus == MEDIA_STATUS_BLANK) {
    std::snprintf(line, sizeof line, "the medium is blank: nothing was recorded");
  } else if (info.dwStatus == MEDIA_STATUS_APPENDABLE) {
    std::snprintf(line, sizeof line, "the medium is appendable: %u blocks recorded, %u blocks free",
                  info.dwUsed, info.dwFree);
  } else {
    std::snprintf(line, sizeof line, "the medium is complete (closed): %u blocks recorded",
                  info.dwUsed);
  }
  return line;
}

int ReportRecordingFailure(const char* command, const std::string& what, DWORD code, HANDLE drive) {
  if (code == QD_E_CANCELLED) {
    std::fprintf(stderr, "quillden %s: %s cancelled (0x%08X)\n", command, what.c_str(), code);
  } else {
    ReportFailure(command, what, code);
  }
  std::fprintf(stderr, "quillden %s: %s\n", command, DescribeMedium(drive).c_str());
  return 1;
}

}  // namespace quillden::tool
