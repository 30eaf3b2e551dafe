// Small questions about the media in a drive that several drive operations ask: the current
// profile, the DVD book type, the write parameters that make a drive report its next writable
// address, and the size of the file system on a disc.
#ifndef QUILLDEN_DRIVE_MEDIA_QUERIES_H_
#define QUILLDEN_DRIVE_MEDIA_QUERIES_H_

#include <cstdint>

#include "quillden/types.h"

namespace quillden::drive {

// The current profile from GET CONFIGURATION (feature 0x2A). A DVD+RW in a drive that cannot write
// it counts as DVD-ROM (0x10). 0 when the command fails.
uint16_t CurrentProfile(HANDLE drive);

// The book type of DVD and HD DVD media as a profile (0 when unknown or the command fails).
uint16_t BookTypeProfile(HANDLE drive);

// MODE SELECT of the write parameters page for track at once, next session allowed, mode 1.
uint32_t WriteTrackAtOnceParameters(HANDLE drive);

// The size in blocks of the file system recorded from start: the larger of the ISO 9660 volume
// space size and the end of the UDF partition; 0 when neither is found.
uint32_t ProbeFileSystemSize(HANDLE drive, uint32_t start);

// True when sectors 16 and 256 read back as all zeros (an overwritable disc that was never written).
bool LooksBlank(HANDLE drive);

struct TrackInformation;
// What READ TRACK INFORMATION would say about a recorded track, taken from the table of contents
// (start, extent up to the next entry or the lead-out, control) and its multi-session information
// (session), for drives that do not know the command. False when the TOC lacks the track.
bool TrackFromToc(HANDLE drive, uint16_t track_number, TrackInformation* track);

// BCD helpers for CD addresses.
inline uint8_t ToBcd(uint32_t v) { return static_cast<uint8_t>(((v / 10) << 4) | (v % 10)); }
inline uint32_t FromBcd(uint8_t v) { return (v >> 4) * 10u + (v & 0x0F); }

}  // namespace quillden::drive

#endif  // QUILLDEN_DRIVE_MEDIA_QUERIES_H_
