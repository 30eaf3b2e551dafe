// The medium as MMC describes it: sessions, tracks, where the next track starts, the room left
// and the disc status, read from a MediaState alone. Every command family answers from these, so
// a question about the disc's layout has one answer whichever command asks it.
//
// Plain functions over a MediaState; callers serialise access to it.
#ifndef QUILLDEN_DRIVE_VIRTUAL_MEDIA_MODEL_H_
#define QUILLDEN_DRIVE_VIRTUAL_MEDIA_MODEL_H_

#include <cstdint>

#include "drive/virtual/media_state.h"

namespace quillden::drive::virt {

// CD geometry in blocks: the first session's lead-in and pregap, what closing a session takes
// (lead-out, then the next lead-in and pregap), the pregap a track at once recording leaves and
// the run-out blocks after a data track; the lead-in start the ATIP reports.
inline constexpr uint32_t kCdLeadInFirstSession = 4500 + 150;
inline constexpr uint32_t kCdFirstSessionOverhead = 6750 + 4500 + 150;  // lead-out 90 s first
inline constexpr uint32_t kCdLaterSessionOverhead = 2250 + 4500 + 150;  // lead-out 30 s later
inline constexpr uint32_t kCdTaoPregap = 150;
inline constexpr uint32_t kCdRunOutBlocks = 2;
inline constexpr int64_t kCdAtipLeadInStart = -11634;  // 97:26:66
// DVD: a DVD-R border (border-out and border-in), the closure and intro zones between DVD+R
// sessions, and the first physical sector of the data zone.
inline constexpr uint32_t kDvdMinusBorderBlocks = 16384;
inline constexpr uint32_t kDvdPlusSessionGap = 4096;
inline constexpr uint32_t kDvdFirstPsn = 0x30000;

// DVD tracks and reservations come in whole ECC blocks of 16 sectors; the fixed packet size a DVD
// track reports is one ECC block.
inline constexpr uint32_t kDvdEccBlocks = 16;
inline uint32_t RoundUp16(uint64_t blocks) {
  return static_cast<uint32_t>((blocks + 15) / 16 * 16);
}

// The session being written (one past the closed ones).
uint32_t OpenSession(const MediaState& s);
// Sessions as READ DISC INFORMATION counts them: the open session of an appendable disc counts.
uint32_t SessionCount(const MediaState& s);
// Disc status of READ DISC INFORMATION: 0 blank, 1 appendable, 2 complete.
uint8_t DiscStatus(const MediaState& s);
// The ATIP lead-in start for a first session, else the lead-in before the open session.
int64_t SessionLeadInStart(const MediaState& s);

// The last track when it is open-ended (neither closed nor reserved), else null.
TrackState* OpenEndedTrack(MediaState* s);
// Blocks a track takes: its fixed size once reserved or closed, else what is written.
uint32_t TrackExtent(const TrackState& t);
// Layer jump recording: the block of layer 1 at the radius of block lba of layer 0 (opposite
// track path), the address of the kth block of a track, and the reverse (false when lba is not
// within the track's extent).
inline int64_t Opposite(const MediaState& s, int64_t lba) {
  return 2 * int64_t{s.layer0_capacity} - 1 - lba;
}
int64_t TrackBlockLba(const MediaState& s, const TrackState& t, uint32_t k);
bool TrackBlockIndex(const MediaState& s, const TrackState& t, int64_t lba, int64_t* k);
bool HasLayerJumpTracks(const MediaState& s);

// The first block above the room left for new tracks.
int64_t FreeEnd(const MediaState& s);
// Where a new track would start.
int64_t NextTrackStart(const MediaState& s);
// A sequential disc with room for another track shows it as the invisible track.
bool HasInvisibleTrack(const MediaState& s);
TrackState InvisibleTrack(const MediaState& s);
// The track (or the invisible track) holding lba, the pregap before a CD track included.
bool TrackForLba(const MediaState& s, int64_t lba, TrackState* out, bool* invisible);

// Closes *t, an element of s.tracks: an open-ended track gets its final size (a CD data track
// its run-out blocks, a DVD track whole ECC blocks).
void CloseTrack(const MediaState& s, TrackState* t);

}  // namespace quillden::drive::virt

#endif  // QUILLDEN_DRIVE_VIRTUAL_MEDIA_MODEL_H_
