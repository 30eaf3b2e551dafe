// The parameter blocks the recorder sends before writing: the write parameters mode page, the
// SET STREAMING performance descriptor and the cue sheet of a session written at once.
#ifndef QUILLDEN_DRIVE_RECORDING_WRITE_PARAMETERS_H_
#define QUILLDEN_DRIVE_RECORDING_WRITE_PARAMETERS_H_

#include <array>
#include <cstdint>
#include <vector>

#include "quillden/types.h"

namespace quillden::recording {

// MMC write types of the write parameters page.
inline constexpr uint8_t kWriteTypeIncremental = 0;
inline constexpr uint8_t kWriteTypeTrackAtOnce = 1;
inline constexpr uint8_t kWriteTypeSessionAtOnce = 2;
inline constexpr uint8_t kWriteTypeLayerJump = 4;

struct WritePage {
  uint8_t write_type = kWriteTypeTrackAtOnce;
  uint8_t multi_session = 0;    // 3: next session allowed
  uint8_t track_mode = 4;       // 4 CD data, 0 audio, 5 DVD
  uint8_t data_block_type = 8;  // 8 mode 1, 13 mode 2, 0 raw audio
  uint8_t session_format = 0;   // 0x20 CD-ROM XA
};

// The 60 bytes sent with MODE SELECT(10): an 8-byte header of zeros and page 5 with buffer
// underrun protection on and an audio pause of 150 blocks.
std::array<uint8_t, 60> BuildWritePage(const WritePage& page);
uint32_t SelectWritePage(HANDLE drive, const WritePage& page);

// SET STREAMING from start to end at the drive's maximum speed.
uint32_t StreamAtMaximum(HANDLE drive, uint32_t start_lba, uint32_t end_lba);

// The cue sheet of a session of one data track (data type 1 or 2) of sectors blocks from start:
// lead-in, pregap (index 0), index 1 at start + 150, lead-out.
std::vector<uint8_t> BuildDataCueSheet(uint32_t data_type, uint32_t start_lba, uint32_t sectors);

}  // namespace quillden::recording

#endif  // QUILLDEN_DRIVE_RECORDING_WRITE_PARAMETERS_H_
