// quillden virtual: create, load, eject and describe virtual drives (the backing files of
// "virtual:" drive map entries), through the engine's exported virtual drive functions.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "command.h"
#include "platform/unicode.h"
#include "quillden/result.h"
#include "quillden/virtual.h"

namespace quillden::tool {
namespace {

constexpr char kUsage[] =
    "usage: quillden virtual create BACKING KIND [--capacity BLOCKS]\n"
    "       quillden virtual load BACKING IMAGE [--kind cd-rom|dvd-rom]\n"
    "       quillden virtual eject BACKING [--force]\n"
    "       quillden virtual close BACKING\n"
    "       quillden virtual describe BACKING\n"
    "       quillden virtual timing BACKING BLANK_MS FORMAT_MS CLOSE_MS FLUSH_MS BGFORMAT_MS\n"
    "kinds: cd-r cd-rw dvd-r dvd-rw dvd-rw-ro dvd+r dvd+rw dvd+r-dl dvd-r-dl dvd-r-dl-lj none\n";

bool ParseNumber(const char* text, uint32_t* value) {
  char* end = nullptr;
  const unsigned long v = std::strtoul(text, &end, 10);
  if (end == text || *end != '\0' || v > 0xFFFFFFFFul) return false;
  *value = static_cast<uint32_t>(v);
  return true;
}

int Fail(const std::string& error) {
  std::fprintf(stderr, "quillden virtual: %s\n", error.c_str());
  return 1;
}

// The engine's reason for the failure of the last virtual drive call.
int FailWithReason(DWORD result) {
  std::u16string reason(512, u'\0');
  reason.resize(DRV_GetVirtualDriveError(reason.data(), static_cast<DWORD>(reason.size())));
  if (reason.empty()) return Fail(UTL_GetResultText(result));
  return Fail(quenvar::platform::Utf16ToUtf8(reason));
}

std::u16string Wide(const std::string& text) {
  return quenvar::platform::Utf8ToUtf16(text);
}

// The description of a drive, asking again when it outgrew the first buffer.
DWORD Describe(const std::u16string& backing, std::string* text) {
  std::u16string buffer(1024, u'\0');
  DWORD length = 0;
  DWORD result = DRV_DescribeVirtualDrive(backing.c_str(), buffer.data(),
                                          static_cast<DWORD>(buffer.size()), &length);
  if (result == QD_E_INVALID_ARGUMENT && length >= buffer.size()) {
    buffer.assign(length + 1, u'\0');
    result = DRV_DescribeVirtualDrive(backing.c_str(), buffer.data(),
                                      static_cast<DWORD>(buffer.size()), &length);
  }
  if (result == QD_OK)
    *text = quenvar::platform::Utf16ToUtf8(std::u16string_view(buffer.data(), length));
  return result;
}

int Usage() {
  std::fputs(kUsage, stderr);
  return 2;
}

int RunVirtual(int argc, char** argv) {
  if (argc < 3) return Usage();
  const std::string verb = argv[1];
  const std::u16string backing = Wide(argv[2]);
  std::vector<std::string> rest(argv + 3, argv + argc);
  DWORD result = QD_OK;
  if (verb == "create") {
    if (rest.empty()) return Usage();
    uint32_t capacity = 0;
    if (rest.size() == 3 && rest[1] == "--capacity") {
      if (!ParseNumber(rest[2].c_str(), &capacity)) return Fail("bad capacity \"" + rest[2] + "\"");
    } else if (rest.size() != 1) {
      return Usage();
    }
    result = DRV_CreateVirtualMedium(backing.c_str(), Wide(rest[0]).c_str(), capacity);
    return result == QD_OK ? 0 : FailWithReason(result);
  }
  if (verb == "load") {
    std::string kind;
    if (rest.size() == 3 && rest[1] == "--kind") {
      kind = rest[2];
    } else if (rest.size() != 1) {
      return Usage();
    }
    result = DRV_LoadVirtualImage(backing.c_str(), Wide(rest[0]).c_str(), Wide(kind).c_str());
    return result == QD_OK ? 0 : FailWithReason(result);
  }
  if (verb == "eject" || verb == "close") {
    const bool force = rest.size() == 1 && rest[0] == "--force";
    if (!rest.empty() && !(verb == "eject" && force)) return Usage();
    result = DRV_SetVirtualTray(backing.c_str(), verb == "eject", force);
    return result == QD_OK ? 0 : FailWithReason(result);
  }
  if (verb == "describe") {
    if (!rest.empty()) return Usage();
    std::string text;
    result = Describe(backing, &text);
    if (result != QD_OK) return FailWithReason(result);
    std::fputs(text.c_str(), stdout);
    return 0;
  }
  if (verb == "timing") {
    uint32_t v[5];
    if (rest.size() != 5) return Usage();
    for (size_t i = 0; i < 5; ++i) {
      if (!ParseNumber(rest[i].c_str(), &v[i])) return Fail("bad time \"" + rest[i] + "\"");
    }
    const _VIRTUALTIMING timing = {v[0], v[1], v[2], v[3], v[4]};
    result = DRV_SetVirtualTiming(backing.c_str(), &timing);
    return result == QD_OK ? 0 : FailWithReason(result);
  }
  return Usage();
}

QUILLDEN_COMMAND("virtual", "virtual create|load|eject|close|describe BACKING ...",
                 "manage the media of virtual drives", RunVirtual);

}  // namespace
}  // namespace quillden::tool
