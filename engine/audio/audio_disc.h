// The audio disc object behind the AUD_ handles: drive, tracks, CD-Text and the error file.
//
// Handles given to callers are the objects' addresses; a process-wide registry tells live handles
// from stale or foreign ones. A write job copies what it records, so destroying the object while
// the job runs is safe.
#ifndef QUILLDEN_AUDIO_AUDIO_DISC_H_
#define QUILLDEN_AUDIO_AUDIO_DISC_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "audio/cd_text.h"
#include "quillden/types.h"

namespace quillden {
class ProgressReporter;
}

namespace quenvar::platform {
class Env;
}

namespace quillden::audio {

inline constexpr uint32_t kMaxTracks = 99;

struct AudioTrack {
  std::u16string path;
  uint64_t data_offset = 0;
  uint32_t data_bytes = 0;
  uint32_t sectors = 0;
};

struct AudioDisc {
  HANDLE drive = nullptr;
  std::vector<AudioTrack> tracks;
  CdTextBlocks cd_text;
  std::u16string error_file;
  uint16_t error_index = 0;

  int BlockCount() const;
  void SetErrorFile(const std::u16string& path, uint16_t index) {
    error_file = path.substr(0, MAX_PATH);
    error_index = index;
  }

  static HANDLE Register(std::shared_ptr<AudioDisc> disc);
  static std::shared_ptr<AudioDisc> FromHandle(HANDLE handle);
  static std::shared_ptr<AudioDisc> Release(HANDLE handle);
};

// File access of the audio module (tests inject faults); null restores Env::Default().
quenvar::platform::Env* AudioEnv();
void SetAudioEnvForTesting(quenvar::platform::Env* env);

// Reads the CD-Text of the disc in drive (READ TOC/PMA/ATIP format 5). Returns the number of
// blocks found; 0 when the disc has none or the drive does not answer.
int ReadDiscCdText(HANDLE drive, CdTextBlocks* blocks);

// The cue sheet of a session of audio tracks of the given sector counts, numbered from first_track.
// Addresses count from the first track's pregap: its index 0 is at start_address, its index 1 (the
// block the drive reports as next writable) 150 blocks later. With cd_text the lead-in takes R-W
// sub-channel data from the host.
std::vector<uint8_t> BuildAudioCueSheet(uint32_t start_address, const std::vector<uint32_t>& sectors, bool cd_text,
                                        uint8_t first_track = 1);

// Writes the CD-Text packs (repeated cyclically) as R-W sub-channel data from the lead-in start of
// the session being recorded at once up to the pregap of its first track, whose index 1 is at
// start. Needs a cue sheet whose lead-in takes host sub-channel data. 0 or the failing command's
// result.
uint32_t WriteCdTextLeadIn(HANDLE drive, const std::vector<Pack>& packs, uint32_t start,
                           const ProgressReporter& progress);

}  // namespace quillden::audio

#endif  // QUILLDEN_AUDIO_AUDIO_DISC_H_
