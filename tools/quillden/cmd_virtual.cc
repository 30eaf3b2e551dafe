// quillden virtual: create, load, eject and describe virtual drives (the backing files of
// "virtual:" drive map entries).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "command.h"
#include "drive/virtual/virtual_admin.h"

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

int Usage() {
  std::fputs(kUsage, stderr);
  return 2;
}

int RunVirtual(int argc, char** argv) {
  if (argc < 3) return Usage();
  const std::string verb = argv[1];
  const std::string backing = argv[2];
  std::vector<std::string> rest(argv + 3, argv + argc);
  std::string error;
  if (verb == "create") {
    if (rest.empty()) return Usage();
    uint32_t capacity = 0;
    if (rest.size() == 3 && rest[1] == "--capacity") {
      if (!ParseNumber(rest[2].c_str(), &capacity)) return Fail("bad capacity \"" + rest[2] + "\"");
    } else if (rest.size() != 1) {
      return Usage();
    }
    if (!drive::CreateVirtualBlank(backing, rest[0], capacity, &error)) return Fail(error);
    return 0;
  }
  if (verb == "load") {
    std::string kind;
    if (rest.size() == 3 && rest[1] == "--kind") {
      kind = rest[2];
    } else if (rest.size() != 1) {
      return Usage();
    }
    if (!drive::LoadVirtualImage(backing, rest[0], kind, &error)) return Fail(error);
    return 0;
  }
  if (verb == "eject" || verb == "close") {
    const bool force = rest.size() == 1 && rest[0] == "--force";
    if (!rest.empty() && !(verb == "eject" && force)) return Usage();
    if (!drive::SetVirtualTray(backing, verb == "eject", force, &error)) return Fail(error);
    return 0;
  }
  if (verb == "describe") {
    if (!rest.empty()) return Usage();
    std::string text;
    if (!drive::DescribeVirtualDrive(backing, &text, &error)) return Fail(error);
    std::fputs(text.c_str(), stdout);
    return 0;
  }
  if (verb == "timing") {
    uint32_t v[5];
    if (rest.size() != 5) return Usage();
    for (size_t i = 0; i < 5; ++i) {
      if (!ParseNumber(rest[i].c_str(), &v[i])) return Fail("bad time \"" + rest[i] + "\"");
    }
    drive::VirtualTiming timing{v[0], v[1], v[2], v[3], v[4]};
    if (!drive::SetVirtualTiming(backing, timing, &error)) return Fail(error);
    return 0;
  }
  return Usage();
}

QUILLDEN_COMMAND("virtual", "virtual create|load|eject|close|describe BACKING ...",
                 "manage the media of virtual drives", RunVirtual);

}  // namespace
}  // namespace quillden::tool
