// The state file of a virtual disc: a header line, one "name value" line per field in the order
// of kFields, and a CRC line over everything before it. Every field is named, written, read and
// range-checked in one place, the table; the file's shape and the consistency of what it says are
// checked after that, so a damaged or hand-edited file is refused with the reason.
#include <algorithm>
#include <charconv>
#include <cstdio>
#include <memory>
#include <set>
#include <sstream>
#include <type_traits>

#include "drive/virtual/media_state.h"
#include "platform/env.h"

namespace quillden::drive::virt {
namespace {

constexpr char kMagic[] = "quillden-virtual-disc";
constexpr int kFormatVersion = 1;
// Nothing we model comes near these; they bound what a damaged file can make us believe.
constexpr int64_t kMaxCapacity = 16 * 1024 * 1024;
constexpr int64_t kMaxTracks = 99;
constexpr int64_t kMaxBusyMs = 3600000;
constexpr int64_t kFirstPregap = -150;
constexpr uint64_t kMaxStateFileBytes = 64 * 1024;
// Whole 18-byte packs, at most 255 per block of eight, as hex digits.
constexpr size_t kMaxCdTextHex = 8 * 255 * 36;

uint32_t Crc32(const std::string& data) {
  uint32_t crc = 0xFFFFFFFFu;
  for (unsigned char c : data) {
    crc ^= c;
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ ((crc & 1) ? 0xEDB88320u : 0);
  }
  return ~crc;
}

std::string CrcLine(const std::string& body) {
  char line[32];
  std::snprintf(line, sizeof(line), "crc %08x\n", Crc32(body));
  return line;
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
    case mmc::kProfileCdRom:
    case mmc::kProfileCdR:
    case mmc::kProfileCdRw:
    case mmc::kProfileDvdRom:
    case mmc::kProfileDvdMinusR:
    case mmc::kProfileDvdMinusRwOverwrite:
    case mmc::kProfileDvdMinusRwSequential:
    case mmc::kProfileDvdMinusRDlSequential:
    case mmc::kProfileDvdMinusRDlJump:
    case mmc::kProfileDvdPlusRw:
    case mmc::kProfileDvdPlusR:
    case mmc::kProfileDvdPlusRDl:
      return true;
    default:
      return false;
  }
}

// One line's value: the text after the name, and the same split at blanks.
struct FieldValue {
  std::string text;
  std::vector<std::string> words;
};

// The values a field writes, one line each; none leaves the field out of the file.
using Values = std::vector<std::string>;

struct Field {
  const char* name;
  bool required;
  bool repeated;  // one line per element (tracks); any other field appears at most once
  void (*format)(const MediaState& s, Values* out);
  // Sets the field from its value. False when the value is malformed or out of range; *why then
  // holds "bad <name>" unless the parser says more.
  bool (*parse)(const FieldValue& v, MediaState* s, std::string* why);
};

// Fields holding one integer of the state, written in decimal.
template <auto Member>
void FormatNumber(const MediaState& s, Values* out) {
  out->push_back(std::to_string(static_cast<int64_t>(s.*Member)));
}

template <auto Member, int64_t kMin, int64_t kMax>
bool ParseNumber(const FieldValue& v, MediaState* s, std::string*) {
  int64_t n = 0;
  if (v.words.size() != 1 || !ParseInt(v.words[0], kMin, kMax, &n)) return false;
  using Type = std::remove_reference_t<decltype(s->*Member)>;
  s->*Member = static_cast<Type>(n);
  return true;
}

// Fields holding one of two words.
template <auto Member, const char* kTrue, const char* kFalse>
void FormatWord(const MediaState& s, Values* out) {
  out->push_back(s.*Member ? kTrue : kFalse);
}

template <auto Member, const char* kTrue, const char* kFalse>
bool ParseWord(const FieldValue& v, MediaState* s, std::string*) {
  if (v.text != kTrue && v.text != kFalse) return false;
  s->*Member = v.text == kTrue;
  return true;
}

constexpr char kOpen[] = "open", kClosed[] = "closed", kPresent[] = "present", kAbsent[] = "absent";

void FormatKind(const MediaState& s, Values* out) {
  out->push_back(s.kind.empty() ? "none" : s.kind);
}

bool ParseKind(const FieldValue& v, MediaState* s, std::string*) {
  if (v.text.empty()) return false;
  s->kind = v.text;
  return true;
}

bool ParseProfile(const FieldValue& v, MediaState* s, std::string* why) {
  int64_t n = 0;
  if (v.words.size() != 1 || !ParseInt(v.words[0], 0, 0xFFFF, &n) || (n != 0 && !KnownProfile(n))) {
    *why = "unknown profile";
    return false;
  }
  s->profile = static_cast<uint16_t>(n);
  return true;
}

// The busy periods, in the order of Timing.
void FormatTiming(const MediaState& s, Values* out) {
  const Timing& t = s.timing;
  std::ostringstream text;
  text << t.blank_ms << ' ' << t.format_ms << ' ' << t.close_ms << ' ' << t.flush_ms << ' '
       << t.background_format_ms;
  out->push_back(text.str());
}

bool ParseTiming(const FieldValue& v, MediaState* s, std::string*) {
  if (v.words.size() != 5) return false;
  uint32_t* periods[] = {&s->timing.blank_ms, &s->timing.format_ms, &s->timing.close_ms,
                         &s->timing.flush_ms, &s->timing.background_format_ms};
  for (size_t i = 0; i < 5; ++i) {
    int64_t n = 0;
    if (!ParseInt(v.words[i], 0, kMaxBusyMs, &n)) return false;
    *periods[i] = static_cast<uint32_t>(n);
  }
  return true;
}

// The image of pressed media: the rest of the line, blanks included.
void FormatImage(const MediaState& s, Values* out) {
  if (!s.image_path.empty()) out->push_back(s.image_path);
}

bool ParseImage(const FieldValue& v, MediaState* s, std::string* why) {
  if (v.text.empty()) {
    *why = "empty image path";
    return false;
  }
  s->image_path = v.text;
  return true;
}

void FormatCdText(const MediaState& s, Values* out) {
  if (s.cd_text.empty()) return;
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  for (uint8_t b : s.cd_text) {
    hex += kHex[b >> 4];
    hex += kHex[b & 0x0F];
  }
  out->push_back(hex);
}

int HexDigit(char ch) {
  if (ch >= '0' && ch <= '9') return ch - '0';
  if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
  return -1;
}

bool ParseCdText(const FieldValue& v, MediaState* s, std::string*) {
  const std::string& hex = v.text;
  if (hex.empty() || hex.size() % 36 != 0 || hex.size() > kMaxCdTextHex) return false;
  std::vector<uint8_t> packs;
  for (size_t i = 0; i < hex.size(); i += 2) {
    const int high = HexDigit(hex[i]), low = HexDigit(hex[i + 1]);
    if (high < 0 || low < 0) return false;
    packs.push_back(static_cast<uint8_t>(high << 4 | low));
  }
  s->cd_text = std::move(packs);
  return true;
}

// "track number session start size written reserved closed mode [layer0_blocks]": the last
// field (blocks on layer 0 of a layer jump track) is written only when not 0.
void FormatTracks(const MediaState& s, Values* out) {
  for (const TrackState& t : s.tracks) {
    std::ostringstream text;
    text << t.number << ' ' << t.session << ' ' << t.start << ' ' << t.size << ' ' << t.written
         << ' ' << (t.reserved ? 1 : 0) << ' ' << (t.closed ? 1 : 0) << ' '
         << static_cast<int>(t.mode);
    if (t.layer0_blocks != 0) text << ' ' << t.layer0_blocks;
    out->push_back(text.str());
  }
}

bool ParseTrack(const FieldValue& v, MediaState* s, std::string* why) {
  static const int64_t kMin[9] = {1, 1, kFirstPregap, 0, 0, 0, 0, 1, 1};
  static const int64_t kMax[9] = {
      kMaxTracks, kMaxTracks, kMaxCapacity, kMaxCapacity, kMaxCapacity, 1, 1, 3, kMaxCapacity};
  if (v.words.size() != 8 && v.words.size() != 9) return false;
  int64_t f[9] = {};
  for (size_t i = 0; i < v.words.size(); ++i) {
    if (!ParseInt(v.words[i], kMin[i], kMax[i], &f[i])) {
      *why = "bad track field " + std::to_string(i + 1);
      return false;
    }
  }
  if (s->tracks.size() >= static_cast<size_t>(kMaxTracks)) {
    *why = "too many tracks";
    return false;
  }
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
  s->tracks.push_back(t);
  return true;
}

using S = MediaState;
// Every field of the file, in the order it is written.
constexpr Field kFields[] = {
    {"tray", true, false, FormatWord<&S::tray_open, kOpen, kClosed>,
     ParseWord<&S::tray_open, kOpen, kClosed>},
    {"medium", true, false, FormatWord<&S::has_medium, kPresent, kAbsent>,
     ParseWord<&S::has_medium, kPresent, kAbsent>},
    {"lock", true, false, FormatNumber<&S::locked>, ParseNumber<&S::locked, 0, 1>},
    {"kind", true, false, FormatKind, ParseKind},
    {"profile", true, false, FormatNumber<&S::profile>, ParseProfile},
    {"capacity", true, false, FormatNumber<&S::capacity>,
     ParseNumber<&S::capacity, 0, kMaxCapacity>},
    {"layer0", false, false, FormatNumber<&S::layer0_capacity>,
     ParseNumber<&S::layer0_capacity, 0, kMaxCapacity>},
    {"layer_fixed", false, false, FormatNumber<&S::layer_boundary_fixed>,
     ParseNumber<&S::layer_boundary_fixed, 0, 1>},
    {"finalized", true, false, FormatNumber<&S::finalized>, ParseNumber<&S::finalized, 0, 1>},
    {"closed_sessions", true, false, FormatNumber<&S::closed_sessions>,
     ParseNumber<&S::closed_sessions, 0, kMaxTracks>},
    {"next_session_start", false, false, FormatNumber<&S::next_session_start>,
     ParseNumber<&S::next_session_start, kFirstPregap, kMaxCapacity>},
    {"formatted", false, false, FormatNumber<&S::formatted_blocks>,
     ParseNumber<&S::formatted_blocks, 0, kMaxCapacity>},
    {"bg_format", false, false, FormatNumber<&S::background_format>,
     ParseNumber<&S::background_format, 0, 3>},
    {"plus_rw_write", false, false, FormatNumber<&S::drive_writes_dvd_plus_rw>,
     ParseNumber<&S::drive_writes_dvd_plus_rw, 0, 1>},
    {"timing", false, false, FormatTiming, ParseTiming},
    {"image_blocks", false, false, FormatNumber<&S::image_blocks>,
     ParseNumber<&S::image_blocks, 0, kMaxCapacity>},
    {"image", false, false, FormatImage, ParseImage},
    {"cd_text", false, false, FormatCdText, ParseCdText},
    {"track", false, true, FormatTracks, ParseTrack},
};

const Field* FindField(const std::string& name) {
  for (const Field& f : kFields) {
    if (name == f.name) return &f;
  }
  return nullptr;
}

// Splits off the CRC line and checks it: the body ends with it, and anything after it, or a
// missing one, means damage.
bool CheckedBody(const std::string& text, std::string* body, std::string* error) {
  const size_t crc_pos = text.rfind("\ncrc ");
  if (crc_pos == std::string::npos) {
    *error = "state file has no checksum line (truncated?)";
    return false;
  }
  *body = text.substr(0, crc_pos + 1);
  if (text.compare(crc_pos + 1, std::string::npos, CrcLine(*body)) != 0) {
    *error = "state file checksum mismatch (damaged file)";
    return false;
  }
  return true;
}

bool CheckHeader(const std::string& line, std::string* error) {
  const std::string prefix = std::string(kMagic) + ' ';
  int64_t version = 0;
  if (line.compare(0, prefix.size(), prefix) != 0 ||
      !ParseInt(line.substr(prefix.size()), 0, 1000000, &version)) {
    *error = "not a virtual disc state file";
    return false;
  }
  if (version != kFormatVersion) {
    *error = "state file version " + std::to_string(version) + " is not supported";
    return false;
  }
  return true;
}

// The lines after the header, each through its field's parser.
bool ParseFields(std::istream& in, MediaState* s, std::string* error) {
  std::set<std::string> seen;
  int line_number = 1;
  auto fail = [&](const std::string& what) {
    *error = "state file line " + std::to_string(line_number) + ": " + what;
    return false;
  };
  for (std::string line; std::getline(in, line);) {
    ++line_number;
    const size_t space = line.find(' ');
    const std::string name = line.substr(0, space);
    FieldValue value;
    if (space != std::string::npos) value.text = line.substr(space + 1);
    std::istringstream words(value.text);
    for (std::string w; words >> w;) value.words.push_back(w);
    const Field* field = FindField(name);
    if (field == nullptr) return fail("unknown field \"" + name + "\"");
    if (!seen.insert(name).second && !field->repeated) return fail("duplicate \"" + name + "\"");
    std::string why = "bad " + name;
    if (!field->parse(value, s, &why)) return fail(why);
  }
  for (const Field& f : kFields) {
    if (f.required && !seen.count(f.name)) {
      *error = std::string("state file lacks \"") + f.name + "\"";
      return false;
    }
  }
  return true;
}

// What the recorder relies on when it answers from the tracks: numbered in order, sessions in
// order and without gaps, no overlaps, nothing beyond the disc. The first thing wrong, or null.
const char* TrackProblem(const MediaState& s) {
  uint32_t previous_session = 1;
  int64_t previous_end = kFirstPregap;
  for (size_t i = 0; i < s.tracks.size(); ++i) {
    const TrackState& t = s.tracks[i];
    if (t.number != i + 1) return "track numbers are not consecutive";
    if (t.session < previous_session || t.session > s.closed_sessions + 1)
      return "track session order";
    if (t.session > previous_session + 1) return "a session without tracks";
    previous_session = t.session;
    if (t.start < previous_end) return "overlapping tracks";
    if ((t.reserved || t.closed) && t.written > t.size) return "track written beyond its size";
    if (t.layer0_blocks != 0) {
      // Both halves inside their layers, the layer 1 half mirroring the layer 0 half.
      if (s.profile != mmc::kProfileDvdMinusRDlJump || !t.reserved ||
          t.size != 2 * uint64_t{t.layer0_blocks} || t.start < 0 ||
          t.start + t.layer0_blocks > s.layer0_capacity) {
        return "layer jump track outside layer 0";
      }
      previous_end = t.start + t.layer0_blocks;
      continue;
    }
    const int64_t extent = t.start + std::max<int64_t>(t.size, t.written);
    if (extent > static_cast<int64_t>(s.capacity)) return "track beyond the capacity";
    if (!t.closed && i + 1 != s.tracks.size() && !t.reserved) return "open track before the last";
    previous_end = extent;
  }
  return nullptr;
}

// The first thing in the state that contradicts the rest, or null.
const char* StateProblem(const MediaState& s) {
  if (s.has_medium && s.profile == mmc::kProfileNone) return "a medium without a profile";
  if (s.layer0_capacity > s.capacity) return "layer 0 larger than the disc";
  if (s.formatted_blocks > s.capacity) return "formatted zone larger than the disc";
  if (s.has_medium && s.is_pressed() && (s.image_path.empty() || s.image_blocks != s.capacity)) {
    return "pressed medium without its image";
  }
  return TrackProblem(s);
}

}  // namespace

std::string StateFilePath(const std::string& backing_path) {
  return backing_path + ".state";
}
std::string RawFilePath(const std::string& backing_path) {
  return backing_path + ".raw";
}

std::string SerializeState(const MediaState& s) {
  std::string body = std::string(kMagic) + ' ' + std::to_string(kFormatVersion) + '\n';
  for (const Field& f : kFields) {
    Values values;
    f.format(s, &values);
    for (const std::string& v : values) body += std::string(f.name) + ' ' + v + '\n';
  }
  return body + CrcLine(body);
}

bool ParseState(const std::string& text, MediaState* state, std::string* error) {
  std::string body;
  if (!CheckedBody(text, &body, error)) return false;
  std::istringstream in(body);
  std::string header;
  if (!std::getline(in, header)) {
    *error = "state file is empty";
    return false;
  }
  if (!CheckHeader(header, error)) return false;
  MediaState s;
  if (!ParseFields(in, &s, error)) return false;
  if (const char* problem = StateProblem(s)) {
    *error = std::string("inconsistent state file: ") + problem;
    return false;
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
    *error = "cannot read state file " + path +
             (st.ok() ? std::string(": short read") : ": " + st.ToString());
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
  quenvar::platform::Status st =
      env->OpenWritable(temp, quenvar::platform::WriteMode::kCreateOrTruncate, &file);
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

}  // namespace quillden::drive::virt
