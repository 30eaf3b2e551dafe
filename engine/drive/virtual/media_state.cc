// The media a virtual drive can be seeded with: their profiles, standard sizes and names.
#include "drive/virtual/media_state.h"

namespace quillden::drive::virt {
namespace {

// Nothing we model comes near this; it bounds the capacity a caller can ask for.
constexpr uint64_t kMaxCapacity = 16u * 1024 * 1024;

struct KindInfo {
  const char* name;
  uint16_t profile;
  uint32_t capacity;
  bool dual_layer;
};

// Standard user capacities of 12 cm media: CD 80 minutes; DVD-R(W) and DVD+R(W) differ slightly.
constexpr KindInfo kKinds[] = {
    {"cd-r", mmc::kProfileCdR, 359849, false},
    {"cd-rw", mmc::kProfileCdRw, 359849, false},
    {"dvd-r", mmc::kProfileDvdMinusR, 2298496, false},
    {"dvd-rw", mmc::kProfileDvdMinusRwSequential, 2298496, false},
    {"dvd-rw-ro", mmc::kProfileDvdMinusRwOverwrite, 2298496, false},
    {"dvd+r", mmc::kProfileDvdPlusR, 2295104, false},
    {"dvd+rw", mmc::kProfileDvdPlusRw, 2295104, false},
    {"dvd+r-dl", mmc::kProfileDvdPlusRDl, 4173824, true},
    {"dvd-r-dl", mmc::kProfileDvdMinusRDlSequential, 4171712, true},
    {"dvd-r-dl-lj", mmc::kProfileDvdMinusRDlJump, 4171712, true},
};
constexpr uint32_t kCdRomMaxBlocks = 405000;  // 90 minutes
constexpr uint32_t kDvdRomLayerBlocks = 2298496;
constexpr uint32_t kDvdRomDualBlocks = 4173824;

const KindInfo* FindKind(const std::string& kind) {
  for (const KindInfo& k : kKinds) {
    if (kind == k.name) return &k;
  }
  return nullptr;
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
  if (fresh.profile == mmc::kProfileDvdMinusRwOverwrite) fresh.formatted_blocks = capacity;
  *state = fresh;
  return true;
}

bool MakePressedMedium(const std::string& kind, const std::string& image_path, uint64_t image_bytes,
                       MediaState* state, std::string* error) {
  if (image_bytes == 0 || image_bytes % 2048 != 0) {
    *error =
        "image size " + std::to_string(image_bytes) + " is not a whole number of 2048-byte blocks";
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
    fresh.profile = mmc::kProfileCdRom;
  } else if (kind == "dvd-rom") {
    if (blocks > kDvdRomDualBlocks) {
      *error = "image of " + std::to_string(blocks) + " blocks is too large for a DVD";
      return false;
    }
    fresh.profile = mmc::kProfileDvdRom;
    if (blocks > kDvdRomLayerBlocks)
      fresh.layer0_capacity = static_cast<uint32_t>((blocks + 31) / 32 * 16);
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

const char* ProfileName(uint16_t profile) {
  switch (profile) {
    case mmc::kProfileNone:
      return "no medium";
    case mmc::kProfileCdRom:
      return "CD-ROM";
    case mmc::kProfileCdR:
      return "CD-R";
    case mmc::kProfileCdRw:
      return "CD-RW";
    case mmc::kProfileDvdRom:
      return "DVD-ROM";
    case mmc::kProfileDvdMinusR:
      return "DVD-R sequential";
    case mmc::kProfileDvdMinusRwOverwrite:
      return "DVD-RW restricted overwrite";
    case mmc::kProfileDvdMinusRwSequential:
      return "DVD-RW sequential";
    case mmc::kProfileDvdMinusRDlSequential:
      return "DVD-R DL sequential";
    case mmc::kProfileDvdMinusRDlJump:
      return "DVD-R DL layer jump";
    case mmc::kProfileDvdPlusRw:
      return "DVD+RW";
    case mmc::kProfileDvdPlusR:
      return "DVD+R";
    case mmc::kProfileDvdPlusRDl:
      return "DVD+R DL";
    default:
      return "unknown";
  }
}

}  // namespace quillden::drive::virt
