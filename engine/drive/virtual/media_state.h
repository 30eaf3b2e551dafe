// The persistent state of a virtual recorder's medium and tray, and its state file.
//
// A virtual disc is three files: the backing file (user data, block n at byte n * 2048, sparse,
// so a finished data disc is a plain image), "<backing>.raw" (2352-byte raw sectors of audio and
// mode 2 CD tracks, block n at byte n * 2352) and "<backing>.state", the text written here. The
// state file carries a format version and a CRC of its body; it is replaced atomically (temporary
// file, sync, rename) and checked field by field when read, so a damaged file is reported, never
// trusted.
//
// MediaState is a plain value; callers serialise access to it.
#ifndef QUILLDEN_DRIVE_VIRTUAL_MEDIA_STATE_H_
#define QUILLDEN_DRIVE_VIRTUAL_MEDIA_STATE_H_

#include <cstdint>
#include <string>
#include <vector>

#include "drive/mmc_vocabulary.h"

namespace quenvar::platform {
class Env;
}

namespace quillden::drive::virt {

// What a recorded track holds; decides where its blocks are stored.
enum class TrackMode : uint8_t {
  kData = 1,   // mode 1 (and every DVD track): 2048-byte blocks in the backing file
  kMode2 = 2,  // CD-ROM XA: user data of form 1 in the backing file, raw sectors in .raw
  kAudio = 3,  // CD-DA: raw sectors in .raw only
};

struct TrackState {
  uint32_t number = 0;
  uint32_t session = 0;
  int64_t start = 0;      // LBA of the first user block (index 1)
  uint32_t size = 0;      // fixed size of a reserved or closed track; 0 while open-ended
  uint32_t written = 0;   // blocks written from start; the next writable address is start + written
  bool reserved = false;  // RESERVE TRACK fixed its size before writing
  bool closed = false;
  TrackMode mode = TrackMode::kData;
  // Layer jump recording (DVD-R DL): the track was reserved over both layers at the same radii.
  // Its first layer0_blocks blocks lie on layer 0 from start; the rest continue on layer 1 from the
  // block opposite the last of them. 0 for a track recorded in one piece.
  uint32_t layer0_blocks = 0;
};

// Busy periods (milliseconds) of immediate-mode long operations, during which the drive answers
// NOT READY, LONG WRITE IN PROGRESS with a progress indication. A close ends by the engine's first
// poll (100 ms after the command, see close_wait.h), as a quick close of a real drive does, so a
// recording does not wait a whole poll interval for it.
struct Timing {
  uint32_t blank_ms = 1500;
  uint32_t format_ms = 1500;
  uint32_t close_ms = 100;
  uint32_t flush_ms = 0;
  uint32_t background_format_ms = 3000;  // DVD+RW background formatting
};

struct MediaState {
  // Tray and medium.
  bool has_medium = false;  // a medium is in the tray
  bool tray_open = false;
  bool locked = false;  // PREVENT ALLOW MEDIUM REMOVAL
  // The medium.
  std::string kind;  // media kind name it was created as ("dvd+r", "cd-rom", ...)
  uint16_t profile = mmc::kProfileNone;
  uint32_t capacity = 0;         // user blocks
  uint32_t layer0_capacity = 0;  // dual layer media: blocks on layer 0
  bool layer_boundary_fixed = false;
  bool finalized = false;  // disc closed: nothing more can be appended
  uint32_t closed_sessions = 0;
  int64_t next_session_start = 0;  // program area start of the open session
  uint32_t formatted_blocks = 0;   // DVD-RW restricted overwrite: extent of the formatted zone
  uint8_t background_format = 0;   // DVD+RW: 0 none, 1 stopped, 2 running, 3 complete
  uint64_t background_format_started_ms = 0;  // clock reading when it started (not persisted)
  std::string image_path;                     // pressed media: the image that holds the data
  uint64_t image_blocks = 0;
  bool drive_writes_dvd_plus_rw = true;  // the drive's DVD+RW feature has its Write bit
  Timing timing;
  std::vector<TrackState> tracks;
  // CD-Text packs (18 bytes each) the host wrote into the first lead-in as R-W sub-channel data,
  // one copy of each, in the order they first came.
  std::vector<uint8_t> cd_text;

  bool medium_present() const { return has_medium && !tray_open; }
  bool is_cd() const { return profile >= mmc::kProfileCdRom && profile <= mmc::kProfileCdRw; }
  bool is_dual_layer() const {
    return profile == mmc::kProfileDvdMinusRDlSequential ||
           profile == mmc::kProfileDvdMinusRDlJump || profile == mmc::kProfileDvdPlusRDl ||
           (profile == mmc::kProfileDvdRom && layer0_capacity != 0);
  }
  bool is_pressed() const {
    return profile == mmc::kProfileCdRom || profile == mmc::kProfileDvdRom;
  }
  bool is_rewritable() const {
    return profile == mmc::kProfileCdRw || profile == mmc::kProfileDvdMinusRwOverwrite ||
           profile == mmc::kProfileDvdMinusRwSequential || profile == mmc::kProfileDvdPlusRw;
  }
  bool is_random_writable() const {
    return profile == mmc::kProfileDvdMinusRwOverwrite || profile == mmc::kProfileDvdPlusRw;
  }
  bool is_dvd_minus_sequential() const {
    return profile == mmc::kProfileDvdMinusR || profile == mmc::kProfileDvdMinusRwSequential ||
           profile == mmc::kProfileDvdMinusRDlSequential || profile == mmc::kProfileDvdMinusRDlJump;
  }
  bool is_dvd_plus_sequential() const {
    return profile == mmc::kProfileDvdPlusR || profile == mmc::kProfileDvdPlusRDl;
  }
  bool is_sequential() const {
    return profile == mmc::kProfileCdR || profile == mmc::kProfileCdRw ||
           is_dvd_minus_sequential() || is_dvd_plus_sequential();
  }
};

// A fresh blank medium of one of the kinds a virtual drive can be seeded with ("cd-r", "cd-rw",
// "dvd-r", "dvd-rw", "dvd-rw-ro" (formatted for restricted overwrite), "dvd+r", "dvd+rw",
// "dvd+r-dl", "dvd-r-dl", "dvd-r-dl-lj" (layer jump), "none" (empty tray)) in a closed tray;
// capacity 0 means the kind's standard size. "cd-rom" and "dvd-rom" need an image (below).
// Returns false with *error for an unknown kind.
bool MakeBlankMedium(const std::string& kind, uint32_t capacity, MediaState* state,
                     std::string* error);
// Pressed media from an image of 2048-byte blocks: CD-ROM or DVD-ROM (dual layer when larger
// than one layer). Returns false with *error when the size does not fit the kind.
bool MakePressedMedium(const std::string& kind, const std::string& image_path, uint64_t image_bytes,
                       MediaState* state, std::string* error);

std::string StateFilePath(const std::string& backing_path);
std::string RawFilePath(const std::string& backing_path);

// Serialisation. Parse returns false with a message naming the offending line.
std::string SerializeState(const MediaState& state);
bool ParseState(const std::string& text, MediaState* state, std::string* error);

// File access through env: Load fails with a clear message for a missing, unreadable or damaged
// state file; Save writes a temporary file, syncs it and renames it over the old one.
bool LoadStateFile(quenvar::platform::Env* env, const std::string& path, MediaState* state,
                   std::string* error);
bool SaveStateFile(quenvar::platform::Env* env, const std::string& path, const MediaState& state,
                   std::string* error);

const char* ProfileName(uint16_t profile);

}  // namespace quillden::drive::virt

#endif  // QUILLDEN_DRIVE_VIRTUAL_MEDIA_STATE_H_
