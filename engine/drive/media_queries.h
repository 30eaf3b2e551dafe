// Small questions about the media in a drive that several drive operations ask: the current
// profile, the DVD book type, the write parameters that make a drive report its next writable
// address, and the size of the file system on a disc.
#ifndef QUILLDEN_DRIVE_MEDIA_QUERIES_H_
#define QUILLDEN_DRIVE_MEDIA_QUERIES_H_

#include <cstdint>
#include <vector>

#include "quillden/types.h"

namespace quillden::drive {

struct DiscInformation;
struct TrackInformation;

// The state of a recorded or recordable track, decided the one way that image creation, copying,
// the media questions and the checks after recording share. A drive describes a track by several
// fields at once (reserved, blank, packet/incremental and fixed packet bits, next writable address
// valid, free blocks) and the disc information says whether its session is complete; no one of
// them alone says whether the track is still open. The reserved bit in particular stays set on a
// reserved CD track that has been recorded and closed: on its own it means nothing.
enum class TrackState {
  kBlank,     // nothing recorded in it: the invisible track or an empty reserved track
  kReserved,  // reserved with a fixed end and partly recorded; more can be written up to that end
  kOpen,      // recorded and not closed: its next writable address is valid and it has free blocks
  kClosed,    // complete: nothing more can be written into it
};

// The state of track (READ TRACK INFORMATION) on a disc described by disc (READ DISC INFORMATION).
// Tracks of a complete session, of a complete disc and of overwritable media (packet and fixed
// packet bits together: writes go anywhere, nothing is left to close) are closed.
TrackState ClassifyTrack(const TrackInformation& track, const DiscInformation& disc);

// True for the states in which a track still takes data: blank, reserved and open.
inline bool TrackIsOpen(TrackState state) {
  return state != TrackState::kClosed;
}

const char* TrackStateName(TrackState state);

// The current profile from GET CONFIGURATION (feature 0x2A). A DVD+RW in a drive that cannot write
// it counts as DVD-ROM (0x10). 0 when the command fails.
uint16_t CurrentProfile(HANDLE drive);

// The book type of DVD and HD DVD media as a profile (0 when unknown or the command fails).
uint16_t BookTypeProfile(HANDLE drive);

// MODE SELECT of the write parameters page for track at once, next session allowed, mode 1, so
// that the drive reports next writable addresses. Only a handle that holds the drive, or that can
// take it for the moment, changes the page: while another job holds the drive the page that job
// set stays as it is and the result is 0x08000019.
uint32_t WriteTrackAtOnceParameters(HANDLE drive);

// The size in blocks of the file system recorded from start: the larger of the ISO 9660 volume
// space size and the end of the UDF volume (the partition and the anchors recorded after it);
// 0 when neither is found.
uint32_t ProbeFileSystemSize(HANDLE drive, uint32_t start);

// True when sectors 16 and 256 read back as all zeros (an overwritable disc that was never
// written).
bool LooksBlank(HANDLE drive);

// A stretch of consecutive blocks on the disc.
struct BlockRun {
  uint32_t lba = 0;
  uint32_t blocks = 0;
};

// Where the count blocks of the track that starts at start lie, in the order they were recorded.
// A DVD-R dual layer track recorded in layer jump mode (READ TRACK INFORMATION's layer jump
// recording status not 0) goes on after its layer jump address, the last block it records on
// layer 0, at the block opposite that one on layer 1 (opposite track path: block x of layer 0
// faces 2 * L0 - 1 - x, L0 the layer 0 capacity from READ DISC STRUCTURE format 0x20); it then
// takes two runs. Every other track is one run from its start. 0; 0x08000033 when the drive's
// answers place the track outside the disc (a layout this engine cannot read in order); or the
// failing command's result.
uint32_t TrackBlockRuns(HANDLE drive, uint32_t start, uint32_t count, std::vector<BlockRun>* runs);

// The block at index of a track laid out as runs, and how many blocks from it on follow in a row.
// False when index lies beyond the runs.
bool BlockOfRuns(const std::vector<BlockRun>& runs, uint32_t index, uint32_t* lba,
                 uint32_t* in_row);

struct TrackInformation;
// What READ TRACK INFORMATION would say about a recorded track, taken from the table of contents
// (start, extent up to the next entry or the lead-out, control) and its multi-session information
// (session), for drives that do not know the command. False when the TOC lacks the track.
bool TrackFromToc(HANDLE drive, uint16_t track_number, TrackInformation* track);

// BCD helpers for CD addresses.
inline uint8_t ToBcd(uint32_t v) {
  return static_cast<uint8_t>(((v / 10) << 4) | (v % 10));
}
inline uint32_t FromBcd(uint8_t v) {
  return (v >> 4) * 10u + (v & 0x0F);
}

}  // namespace quillden::drive

#endif  // QUILLDEN_DRIVE_MEDIA_QUERIES_H_
