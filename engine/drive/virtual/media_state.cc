#include "drive/virtual/media_state.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <sstream>

#include "platform/env.h"

namespace quillden::drive::virt {
namespace {

constexpr char kMagic[] = "quillden-virtual-disc";
constexpr int kFormatVersion = 1;
// Nothing we model comes near this; it bounds what a damaged file can make us believe.
constexpr uint64_t kMaxCapacity = 16u * 1024 * 1024;
constexpr size_t kMaxTracks = 99;
constexpr uint64_t kMaxStateFileBytes = 64 * 1024;

uint32_t Crc32(const std::string& data) {
  uint32_t crc = 0xFFFFFFFFu;
  for (unsigned char c : data) {
    crc ^= c;
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ ((crc & 1) ? 0xEDB88320u : 0);
  }
  return ~crc;
}

struct KindInfo {
  const char* name;
  uint16_t profile;
  uint32_t capacity;
  bool dual_layer;
};

// Standard user capacities of 12 cm media: CD 80 minutes; DVD-R(W) and DVD+R(W) differ slightly.
constexpr KindInfo kKinds[] = {
    {"cd-r", kProfileCdR, 359849, false},
    {"cd-rw", kProfileCdRw, 359849, false},
    {"dvd-r", kProfileDvdMinusR, 2298496, false},
    {"dvd-rw", kProfileDvdMinusRwSequential, 2298496, false},
    {"dvd-rw-ro", kProfileDvdMinusRwOverwrite, 2298496, false},
    {"dvd+r", kProfileDvdPlusR, 2295104, false},
    {"dvd+rw", kProfileDvdPlusRw, 2295104, false},
    {"dvd+r-dl", kProfileDvdPlusRDl, 4173824, true},
    {"dvd-r-dl", kProfileDvdMinusRDlSequential, 4171712, true},
    {"dvd-r-dl-lj", kProfileDvdMinusRDlJump, 4171712, true},
};
constexpr uint32_t kCdRomMaxBlocks = 405000;      // 90 minutes
constexpr uint32_t kDvdRomLayerBlocks = 2298496;
constexpr uint32_t kDvdRomDualBlocks = 4173824;

const KindInfo* FindKind(const std::string& kind) {
  for (const KindInfo& k : kKinds) {
    if (kind == k.name) return &k;
  }
  return nullptr;
}

bool ParseInt(const std::string& text, int64_t min, int64_t max, int64_t* value) {
  int64_t v = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, v);
  if (ec != std::errc() || ptr != end || v < min || v > max) return false;
  *value = v;
  return true;
}

bool KnownProfile(int64_t p) {
  switch (p) {
    case kProfileCdRom: case kProfileCdR: case kProfileCdRw: case kProfileDvdRom:
    case kProfileDvdMinusR: case kProfileDvdMinusRwOverwrite: case kProfileDvdMinusRwSequential:
    case kProfileDvdMinusRDlSequential: case kProfileDvdMinusRDlJump: case kProfileDvdPlusRw:
    case kProfileDvdPlusR: case kProfileDvdPlusRDl:
      return true;
    default:
      return false;
  }
}

}  // namespace

bool MakeBlankMedium(const std::string& kind, uint32_t capacity, MediaState* state,
                     std::string* error) {
  MediaState fresh;
  if (kind == "none") {
    fresh.kind = "none";
    *state = fresh;
    return true;
  }
  const KindInfo* k = FindKind(kind);
  if (k == nullptr) {
    *error = "unknown media kind \"" + kind + "\"";
    return false;
  }
  if (capacity == 0) capacity = k->capacity;
  if (capacity > kMaxCapacity || capacity < 1024) {
    *error = "capacity " + std::to_string(capacity) + " is out of range for " + kind;
    return false;
  }
  fresh.kind = kind;
  fresh.profile = k->profile;
  fresh.has_medium = true;
  if (k->dual_layer) {
    capacity &= ~31u;  // both layers hold whole ECC blocks
    fresh.capacity = capacity;
    fresh.layer0_capacity = capacity / 2;
  } else {
    fresh.capacity = capacity;
  }
  if (fresh.profile == kProfileDvdMinusRwOverwrite) fresh.formatted_blocks = capacity;
  *state = fresh;
  return true;
}

bool MakePressedMedium(const std::string& kind, const std::string& image_path,
                       uint64_t image_bytes, MediaState* state, std::string* error) {
  if (image_bytes == 0 || image_bytes % 2048 != 0) {
    *error = "image size " + std::to_string(image_bytes) + " is not a whole number of 2048-byte blocks";
    return false;
  }
  if (image_path.find('\n') != std::string::npos) {
    *error = "image path contains a line break";
    return false;
  }
  const uint64_t blocks = image_bytes / 2048;
  MediaState fresh;
  fresh.kind = kind;
  fresh.has_medium = true;
  fresh.finalized = true;
  fresh.closed_sessions = 1;
  fresh.image_path = image_path;
  fresh.image_blocks = blocks;
  if (kind == "cd-rom") {
    if (blocks > kCdRomMaxBlocks) {
      *error = "image of " + std::to_string(blocks) + " blocks is too large for a CD";
      return false;
    }
    fresh.profile = kProfileCdRom;
  } else if (kind == "dvd-rom") {
    if (blocks > kDvdRomDualBlocks) {
      *error = "image of " + std::to_string(blocks) + " blocks is too large for a DVD";
      return false;
    }
    fresh.profile = kProfileDvdRom;
    if (blocks > kDvdRomLayerBlocks) fresh.layer0_capacity = static_cast<uint32_t>((blocks + 31) / 32 * 16);
  } else {
    *error = "pressed media must be \"cd-rom\" or \"dvd-rom\", not \"" + kind + "\"";
    return false;
  }
  fresh.capacity = static_cast<uint32_t>(blocks);
  TrackState track;
  track.number = 1;
  track.session = 1;
  track.start = 0;
  track.size = static_cast<uint32_t>(blocks);
  track.written = static_cast<uint32_t>(blocks);
  track.closed = true;
  fresh.tracks.push_back(track);
  *state = fresh;
  return true;
}

std::string StateFilePath(const std::string& backing_path) { return backing_path + ".state"; }
std::string RawFilePath(const std::string& backing_path) { return backing_path + ".raw"; }

std::string SerializeState(const MediaState& s) {
  std::ostringstream out;
  out << kMagic << ' ' << kFormatVersion << '\n';
  out << "tray " << (s.tray_open ? "open" : "closed") << '\n';
  out << "medium " << (s.has_medium ? "present" : "absent") << '\n';
  out << "lock " << (s.locked ? 1 : 0) << '\n';
  out << "kind " << (s.kind.empty() ? "none" : s.kind) << '\n';
  out << "profile " << s.profile << '\n';
  out << "capacity " << s.capacity << '\n';
  out << "layer0 " << s.layer0_capacity << '\n';
  out << "layer_fixed " << (s.layer_boundary_fixed ? 1 : 0) << '\n';
  out << "finalized " << (s.finalized ? 1 : 0) << '\n';
  out << "closed_sessions " << s.closed_sessions << '\n';
  out << "next_session_start " << s.next_session_start << '\n';
  out << "formatted " << s.formatted_blocks << '\n';
  out << "bg_format " << static_cast<int>(s.background_format) << '\n';
  out << "plus_rw_write " << (s.drive_writes_dvd_plus_rw ? 1 : 0) << '\n';
  out << "timing " << s.timing.blank_ms << ' ' << s.timing.format_ms << ' ' << s.timing.close_ms
      << ' ' << s.timing.flush_ms << ' ' << s.timing.background_format_ms << '\n';
  out << "image_blocks " << s.image_blocks << '\n';
  if (!s.image_path.empty()) out << "image " << s.image_path << '\n';
  if (!s.cd_text.empty()) {
    static const char kHex[] = "0123456789abcdef";
    out << "cd_text ";
    for (uint8_t b : s.cd_text) out << kHex[b >> 4] << kHex[b & 0x0F];
    out << '\n';
  }
  for (const TrackState& t : s.tracks) {
    out << "track " << t.number << ' ' << t.session << ' ' << t.start << ' ' << t.size << ' '
        << t.written << ' ' << (t.reserved ? 1 : 0) << ' ' << (t.closed ? 1 : 0) << ' '
        << static_cast<int>(t.mode);
    if (t.layer0_blocks != 0) out << ' ' << t.layer0_blocks;
    out << '\n';
  }
  std::string body = out.str();
  char crc[32];
  std::snprintf(crc, sizeof(crc), "crc %08x\n", Crc32(body));
  return body + crc;
}

bool ParseState(const std::string& text, MediaState* state, std::string* error) {
  // The body ends with the CRC line; anything after it, or a missing one, means damage.
  size_t crc_pos = text.rfind("\ncrc ");
  if (crc_pos == std::string::npos) {
    *error = "state file has no checksum line (truncated?)";
    return false;
  }
  std::string body = text.substr(0, crc_pos + 1);
  std::string crc_line = text.substr(crc_pos + 1);
  char expected[32];
  std::snprintf(expected, sizeof(expected), "crc %08x\n", Crc32(body));
  if (crc_line != expected) {
    *error = "state file checksum mismatch (damaged file)";
    return false;
  }

  MediaState s;
  s.kind.clear();
  std::istringstream in(body);
  std::string line;
  if (!std::getline(in, line)) {
    *error = "state file is empty";
    return false;
  }
  {
    std::string magic_prefix = std::string(kMagic) + ' ';
    int64_t version = 0;
    if (line.compare(0, magic_prefix.size(), magic_prefix) != 0 ||
        !ParseInt(line.substr(magic_prefix.size()), 0, 1000000, &version)) {
      *error = "not a virtual disc state file";
      return false;
    }
    if (version != kFormatVersion) {
      *error = "state file version " + std::to_string(version) + " is not supported";
      return false;
    }
  }
  std::set<std::string> seen;
  int line_number = 1;
  auto fail = [&](const std::string& what) {
    *error = "state file line " + std::to_string(line_number) + ": " + what;
    return false;
  };
  while (std::getline(in, line)) {
    ++line_number;
    size_t space = line.find(' ');
    std::string key = line.substr(0, space);
    std::string value = space == std::string::npos ? std::string() : line.substr(space + 1);
    if (key != "track" && !seen.insert(key).second) return fail("duplicate \"" + key + "\"");
    std::istringstream fields(value);
    std::vector<std::string> parts;
    for (std::string p; fields >> p;) parts.push_back(p);
    auto number = [&](size_t i, int64_t min, int64_t max, int64_t* v) {
      return i < parts.size() && ParseInt(parts[i], min, max, v);
    };
    int64_t v = 0;
    if (key == "tray") {
      if (value != "open" && value != "closed") return fail("bad tray");
      s.tray_open = value == "open";
    } else if (key == "medium") {
      if (value != "present" && value != "absent") return fail("bad medium");
      s.has_medium = value == "present";
    } else if (key == "lock") {
      if (!number(0, 0, 1, &v) || parts.size() != 1) return fail("bad lock");
      s.locked = v != 0;
    } else if (key == "kind") {
      if (value.empty()) return fail("bad kind");
      s.kind = value;
    } else if (key == "profile") {
      if (!number(0, 0, 0xFFFF, &v) || (v != 0 && !KnownProfile(v))) return fail("unknown profile");
      s.profile = static_cast<uint16_t>(v);
    } else if (key == "capacity") {
      if (!number(0, 0, kMaxCapacity, &v)) return fail("bad capacity");
      s.capacity = static_cast<uint32_t>(v);
    } else if (key == "layer0") {
      if (!number(0, 0, kMaxCapacity, &v)) return fail("bad layer0");
      s.layer0_capacity = static_cast<uint32_t>(v);
    } else if (key == "layer_fixed") {
      if (!number(0, 0, 1, &v)) return fail("bad layer_fixed");
      s.layer_boundary_fixed = v != 0;
    } else if (key == "finalized") {
      if (!number(0, 0, 1, &v)) return fail("bad finalized");
      s.finalized = v != 0;
    } else if (key == "closed_sessions") {
      if (!number(0, 0, kMaxTracks, &v)) return fail("bad closed_sessions");
      s.closed_sessions = static_cast<uint32_t>(v);
    } else if (key == "next_session_start") {
      if (!number(0, -150, kMaxCapacity, &v)) return fail("bad next_session_start");
      s.next_session_start = v;
    } else if (key == "formatted") {
      if (!number(0, 0, kMaxCapacity, &v)) return fail("bad formatted");
      s.formatted_blocks = static_cast<uint32_t>(v);
    } else if (key == "bg_format") {
      if (!number(0, 0, 3, &v)) return fail("bad bg_format");
      s.background_format = static_cast<uint8_t>(v);
    } else if (key == "plus_rw_write") {
      if (!number(0, 0, 1, &v)) return fail("bad plus_rw_write");
      s.drive_writes_dvd_plus_rw = v != 0;
    } else if (key == "timing") {
      int64_t t[5];
      for (size_t i = 0; i < 5; ++i) {
        if (!number(i, 0, 3600000, &t[i])) return fail("bad timing");
      }
      s.timing = {static_cast<uint32_t>(t[0]), static_cast<uint32_t>(t[1]),
                  static_cast<uint32_t>(t[2]), static_cast<uint32_t>(t[3]),
                  static_cast<uint32_t>(t[4])};
    } else if (key == "image_blocks") {
      if (!number(0, 0, kMaxCapacity, &v)) return fail("bad image_blocks");
      s.image_blocks = static_cast<uint64_t>(v);
    } else if (key == "image") {
      if (value.empty()) return fail("empty image path");
      s.image_path = value;
    } else if (key == "cd_text") {
      // Whole 18-byte packs, at most 255 per block of eight.
      if (value.empty() || value.size() % 36 != 0 || value.size() > 8 * 255 * 36) return fail("bad cd_text");
      s.cd_text.clear();
      for (size_t i = 0; i < value.size(); i += 2) {
        int v = 0;
        for (size_t j = 0; j < 2; ++j) {
          const char ch = value[i + j];
          const int digit = ch >= '0' && ch <= '9' ? ch - '0' : ch >= 'a' && ch <= 'f' ? ch - 'a' + 10 : -1;
          if (digit < 0) return fail("bad cd_text");
          v = v * 16 + digit;
        }
        s.cd_text.push_back(static_cast<uint8_t>(v));
      }
    } else if (key == "track") {
      // The ninth field (blocks on layer 0 of a layer jump track) is written only when not 0.
      int64_t f[9] = {};
      static const int64_t kMin[9] = {1, 1, -150, 0, 0, 0, 0, 1, 1};
      static const int64_t kMax[9] = {kMaxTracks, kMaxTracks, kMaxCapacity, kMaxCapacity,
                                      kMaxCapacity, 1, 1, 3, kMaxCapacity};
      if (parts.size() != 8 && parts.size() != 9) return fail("bad track");
      for (size_t i = 0; i < parts.size(); ++i) {
        if (!number(i, kMin[i], kMax[i], &f[i])) return fail("bad track field " + std::to_string(i + 1));
      }
      if (s.tracks.size() >= kMaxTracks) return fail("too many tracks");
      TrackState t;
      t.number = static_cast<uint32_t>(f[0]);
      t.session = static_cast<uint32_t>(f[1]);
      t.start = f[2];
      t.size = static_cast<uint32_t>(f[3]);
      t.written = static_cast<uint32_t>(f[4]);
      t.reserved = f[5] != 0;
      t.closed = f[6] != 0;
      t.mode = static_cast<TrackMode>(f[7]);
      t.layer0_blocks = static_cast<uint32_t>(f[8]);
      s.tracks.push_back(t);
    } else {
      return fail("unknown field \"" + key + "\"");
    }
  }
  static const char* kRequired[] = {"tray", "medium", "lock", "kind", "profile", "capacity",
                                    "finalized", "closed_sessions"};
  for (const char* key : kRequired) {
    if (!seen.count(key)) {
      *error = std::string("state file lacks \"") + key + "\"";
      return false;
    }
  }
  // Consistency: what the recorder relies on when it answers from this state.
  auto bad = [&](const std::string& what) {
    *error = "inconsistent state file: " + what;
    return false;
  };
  if (s.has_medium && s.profile == kProfileNone) return bad("a medium without a profile");
  if (s.layer0_capacity > s.capacity) return bad("layer 0 larger than the disc");
  if (s.formatted_blocks > s.capacity) return bad("formatted zone larger than the disc");
  if (s.has_medium && (s.profile == kProfileCdRom || s.profile == kProfileDvdRom) &&
      (s.image_path.empty() || s.image_blocks != s.capacity)) {
    return bad("pressed medium without its image");
  }
  uint32_t previous_session = 1;
  int64_t previous_end = -150;
  for (size_t i = 0; i < s.tracks.size(); ++i) {
    const TrackState& t = s.tracks[i];
    if (t.number != i + 1) return bad("track numbers are not consecutive");
    if (t.session < previous_session || t.session > s.closed_sessions + 1) return bad("track session order");
    if (t.session > previous_session + 1) return bad("a session without tracks");
    previous_session = t.session;
    if (t.start < previous_end) return bad("overlapping tracks");
    if ((t.reserved || t.closed) && t.written > t.size) return bad("track written beyond its size");
    if (t.layer0_blocks != 0) {
      // Both halves inside their layers, the layer 1 half mirroring the layer 0 half.
      if (s.profile != kProfileDvdMinusRDlJump || !t.reserved || t.size != 2 * uint64_t{t.layer0_blocks} ||
          t.start < 0 || t.start + t.layer0_blocks > s.layer0_capacity) {
        return bad("layer jump track outside layer 0");
      }
      previous_end = t.start + t.layer0_blocks;
      continue;
    }
    const int64_t extent = t.start + std::max<int64_t>(t.size, t.written);
    if (extent > static_cast<int64_t>(s.capacity)) return bad("track beyond the capacity");
    if (!t.closed && i + 1 != s.tracks.size() && !t.reserved) return bad("open track before the last");
    previous_end = extent;
  }
  *state = s;
  return true;
}

bool LoadStateFile(quenvar::platform::Env* env, const std::string& path, MediaState* state,
                   std::string* error) {
  std::unique_ptr<quenvar::platform::ReadableFile> file;
  quenvar::platform::Status st = env->OpenReadable(path, &file);
  if (!st.ok()) {
    *error = "cannot open state file: " + st.ToString();
    return false;
  }
  const uint64_t size = file->Size();
  if (size > kMaxStateFileBytes) {
    *error = "state file " + path + " is too large to be a virtual disc state";
    return false;
  }
  std::string text(static_cast<size_t>(size), '\0');
  size_t got = 0;
  st = file->ReadAt(0, text.size(), text.data(), &got);
  if (!st.ok() || got != text.size()) {
    *error = "cannot read state file " + path + (st.ok() ? std::string(": short read") : ": " + st.ToString());
    return false;
  }
  std::string parse_error;
  if (!ParseState(text, state, &parse_error)) {
    *error = path + ": " + parse_error;
    return false;
  }
  return true;
}

bool SaveStateFile(quenvar::platform::Env* env, const std::string& path, const MediaState& state,
                   std::string* error) {
  const std::string text = SerializeState(state);
  const std::string temp = path + ".tmp";
  std::unique_ptr<quenvar::platform::WritableFile> file;
  quenvar::platform::Status st = env->OpenWritable(temp, quenvar::platform::WriteMode::kCreateOrTruncate, &file);
  if (st.ok()) st = file->Append(text.data(), text.size());
  if (st.ok()) st = file->Sync();
  if (st.ok()) st = file->Close();
  if (st.ok()) st = env->RenameFile(temp, path);
  if (!st.ok()) {
    env->RemoveFile(temp);
    *error = "cannot write state file: " + st.ToString();
    return false;
  }
  return true;
}

const char* ProfileName(uint16_t profile) {
  switch (profile) {
    case kProfileNone: return "no medium";
    case kProfileCdRom: return "CD-ROM";
    case kProfileCdR: return "CD-R";
    case kProfileCdRw: return "CD-RW";
    case kProfileDvdRom: return "DVD-ROM";
    case kProfileDvdMinusR: return "DVD-R sequential";
    case kProfileDvdMinusRwOverwrite: return "DVD-RW restricted overwrite";
    case kProfileDvdMinusRwSequential: return "DVD-RW sequential";
    case kProfileDvdMinusRDlSequential: return "DVD-R DL sequential";
    case kProfileDvdMinusRDlJump: return "DVD-R DL layer jump";
    case kProfileDvdPlusRw: return "DVD+RW";
    case kProfileDvdPlusR: return "DVD+R";
    case kProfileDvdPlusRDl: return "DVD+R DL";
    default: return "unknown";
  }
}

}  // namespace quillden::drive::virt
