#include "platform/drive_map.h"

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>

#include "platform/mutex.h"
#include "platform/thread_annotations.h"

namespace quenvar::platform {
namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

void Reject(std::string_view entry, const char* why) {
  std::fprintf(stderr, "quenvar: drive map entry \"%.*s\" skipped: %s\n", static_cast<int>(entry.size()),
               entry.data(), why);
}

// Parses one entry; false (after one line on stderr) when it is malformed.
bool ParseEntry(std::string_view entry, DriveMapEntry* out) {
  size_t equals = entry.find('=');
  if (equals == std::string_view::npos) {
    Reject(entry, "no '='");
    return false;
  }
  std::string_view letter = Trim(entry.substr(0, equals));
  if (letter.size() == 2 && letter[1] == ':') letter.remove_suffix(1);
  if (letter.size() != 1 || !((letter[0] >= 'A' && letter[0] <= 'Z') || (letter[0] >= 'a' && letter[0] <= 'z'))) {
    Reject(entry, "the drive is not a letter A to Z");
    return false;
  }
  out->letter = static_cast<char>(letter[0] & ~0x20);
  std::string_view spec = Trim(entry.substr(equals + 1));
  auto device = [&](DriveKind kind, std::string_view path) {
    if (path.empty() || path.front() != '/') {
      Reject(entry, "the device is not an absolute path");
      return false;
    }
    out->kind = kind;
    out->device_path = std::string(path);
    return true;
  };
  if (spec.starts_with("virtual:") || spec.starts_with("virtual(")) {
    std::string_view rest = spec.substr(7);
    if (rest.front() == '(') {
      const size_t close = rest.find(')');
      if (close == std::string_view::npos || close + 1 >= rest.size() || rest[close + 1] != ':') {
        Reject(entry, "a declared virtual drive needs virtual(DRIVE):MEDIA:BACKING-FILE");
        return false;
      }
      out->virtual_drive = std::string(rest.substr(1, close - 1));
      rest = rest.substr(close + 1);
    }
    rest.remove_prefix(1);  // the ':'
    size_t colon = rest.find(':');
    if (colon == std::string_view::npos || colon == 0) {
      Reject(entry, "a virtual drive needs virtual:MEDIA:BACKING-FILE");
      return false;
    }
    std::string_view backing = rest.substr(colon + 1);
    if (backing.empty()) {
      Reject(entry, "a virtual drive needs a backing file");
      return false;
    }
    out->kind = DriveKind::kVirtual;
    out->virtual_media = std::string(rest.substr(0, colon));
    out->backing_path = std::string(backing);
    return true;
  }
  if (spec.starts_with("usb:")) return device(DriveKind::kUsb, spec.substr(4));
  if (spec.starts_with("fixed:")) return device(DriveKind::kFixed, spec.substr(6));
  if (spec.starts_with("optical:")) return device(DriveKind::kOptical, spec.substr(8));
  if (!spec.empty() && spec.front() != '/') {
    Reject(entry, "unknown drive kind");
    return false;
  }
  return device(DriveKind::kOptical, spec);
}

bool ReadFile(const std::string& path, std::string* text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::stringstream s;
  s << in.rdbuf();
  *text = s.str();
  return true;
}

std::string ReadSysfsWord(const std::string& path) {
  std::string text;
  if (!ReadFile(path, &text)) return "";
  return std::string(Trim(std::string_view(text).substr(0, text.find('\n'))));
}

// The number that follows prefix in name ("sr10" -> 10), or -1.
long DeviceNumber(const std::string& name, std::string_view prefix) {
  if (!std::string_view(name).starts_with(prefix) || name.size() == prefix.size()) return -1;
  long n = 0;
  for (size_t i = prefix.size(); i < name.size(); ++i) {
    if (name[i] < '0' || name[i] > '9') return -1;
    n = n * 10 + (name[i] - '0');
  }
  return n;
}

// Orders sda < sdb < ... < sdz < sdaa, as the kernel names them.
bool DiskNameLess(const std::string& a, const std::string& b) {
  return a.size() != b.size() ? a.size() < b.size() : a < b;
}

Mutex g_current_mu;
const DriveMap* g_current GUARDED_BY(g_current_mu) = nullptr;
// Maps replaced by Reload stay alive: callers may still hold references to them.
std::vector<std::unique_ptr<DriveMap>>* g_all_maps GUARDED_BY(g_current_mu) = nullptr;

}  // namespace

DriveType DriveMapEntry::type() const {
  switch (kind) {
    case DriveKind::kOptical:
    case DriveKind::kVirtual:
      return DriveType::kCdRom;
    case DriveKind::kUsb:
      return DriveType::kRemovable;
    case DriveKind::kFixed:
      return DriveType::kFixed;
  }
  return DriveType::kNoRootDir;
}

DriveMap DriveMap::Parse(std::string_view text) {
  DriveMap map;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find_first_of("\n;,", start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view entry = Trim(text.substr(start, end - start));
    start = end + 1;
    if (entry.empty() || entry.front() == '#') continue;
    DriveMapEntry parsed;
    if (!ParseEntry(entry, &parsed)) continue;
    if (map.Find(parsed.letter)) {
      Reject(entry, "the letter is already mapped");
      continue;
    }
    map.entries_.push_back(std::move(parsed));
  }
  std::sort(map.entries_.begin(), map.entries_.end(),
            [](const DriveMapEntry& a, const DriveMapEntry& b) { return a.letter < b.letter; });
  return map;
}

DriveMap DriveMap::FromSysfs(const std::string& sys_class_block) {
  std::vector<std::pair<long, std::string>> optical;
  std::vector<std::string> usb;
  if (DIR* dir = opendir(sys_class_block.c_str())) {
    while (dirent* entry = readdir(dir)) {
      std::string name = entry->d_name;
      std::string base = sys_class_block + "/" + name;
      long number = DeviceNumber(name, "sr");
      if (number >= 0) {
        optical.emplace_back(number, name);
        continue;
      }
      if (!name.starts_with("sd") || name.size() < 3) continue;
      if (std::any_of(name.begin() + 2, name.end(), [](char c) { return c < 'a' || c > 'z'; })) continue;
      if (ReadSysfsWord(base + "/removable") != "1") continue;
      // The device must hang below a USB controller.
      char resolved[PATH_MAX];
      if (!realpath(base.c_str(), resolved) || std::string_view(resolved).find("/usb") == std::string_view::npos) continue;
      usb.push_back(name);
    }
    closedir(dir);
  }
  std::sort(optical.begin(), optical.end());
  std::sort(usb.begin(), usb.end(), DiskNameLess);
  DriveMap map;
  char letter = 'D';
  for (const auto& [number, name] : optical) {
    if (letter > 'Z') break;
    DriveMapEntry e;
    e.letter = letter++;
    e.kind = DriveKind::kOptical;
    e.device_path = "/dev/" + name;
    map.entries_.push_back(std::move(e));
  }
  for (const std::string& name : usb) {
    if (letter > 'Z') break;
    DriveMapEntry e;
    e.letter = letter++;
    e.kind = DriveKind::kUsb;
    e.device_path = "/dev/" + name;
    map.entries_.push_back(std::move(e));
  }
  return map;
}

DriveMap DriveMap::Load() {
  if (const char* text = std::getenv("QUENVAR_DRIVES")) return Parse(text);
  std::string text;
  if (ReadFile("/etc/quenvar/drives", &text)) return Parse(text);
  const char* config = std::getenv("XDG_CONFIG_HOME");
  std::string base;
  if (config && config[0] == '/') {
    base = config;
  } else if (const char* home = std::getenv("HOME")) {
    base = std::string(home) + "/.config";
  }
  if (!base.empty() && ReadFile(base + "/quenvar/drives", &text)) return Parse(text);
  return FromSysfs("/sys/class/block");
}

const DriveMap& DriveMap::Current() {
  MutexLock lock(&g_current_mu);
  if (!g_current) {
    if (!g_all_maps) g_all_maps = new std::vector<std::unique_ptr<DriveMap>>;
    g_all_maps->push_back(std::make_unique<DriveMap>(Load()));
    g_current = g_all_maps->back().get();
  }
  return *g_current;
}

void DriveMap::Reload() {
  auto fresh = std::make_unique<DriveMap>(Load());
  MutexLock lock(&g_current_mu);
  if (!g_all_maps) g_all_maps = new std::vector<std::unique_ptr<DriveMap>>;
  g_all_maps->push_back(std::move(fresh));
  g_current = g_all_maps->back().get();
}

const DriveMapEntry* DriveMap::Find(char letter) const {
  char upper = (letter >= 'a' && letter <= 'z') ? static_cast<char>(letter - 32) : letter;
  for (const DriveMapEntry& e : entries_) {
    if (e.letter == upper) return &e;
  }
  return nullptr;
}

std::vector<char> DriveMap::Letters() const {
  std::vector<char> letters;
  for (const DriveMapEntry& e : entries_) letters.push_back(e.letter);
  return letters;
}

}  // namespace quenvar::platform
