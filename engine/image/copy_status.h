// Whether a disc, described by its image header, can be copied onto a kind of media.
//
// A source is first reduced to its source kind: the media it came from and how many tracks of
// which modes it holds (kSourceKind* below). The copyable status of a (source kind, target
// profile, write mode) triple then comes from one fixed table: 0 means the copy is not possible,
// 1, 2, 4 and 6 that it is (the values grade how closely the copy matches its source; callers
// treat every non-zero value alike). Pure functions; thread-safe.
#ifndef QUILLDEN_IMAGE_COPY_STATUS_H_
#define QUILLDEN_IMAGE_COPY_STATUS_H_

#include <cstdint>
#include <vector>

#include "image/image_format.h"

namespace quillden::image {

// Source kinds. 0 is a source that cannot be copied.
inline constexpr int kSourceUnknown = 0;
inline constexpr int kSourceCdMode1Single = 1;
inline constexpr int kSourceCdMode1Multi = 2;
inline constexpr int kSourceCdMode2Single = 3;
inline constexpr int kSourceCdMode2Multi = 4;
inline constexpr int kSourceCdAudio = 5;
inline constexpr int kSourceCdMixed = 6;
inline constexpr int kSourceDvdMinusRSingle = 7;
inline constexpr int kSourceDvdMinusRMulti = 8;
inline constexpr int kSourceDvdOverwrite = 9;
inline constexpr int kSourceDvdPlusRSingle = 10;
inline constexpr int kSourceDvdPlusRMulti = 11;
inline constexpr int kSourceDvdPlusRw = 12;
inline constexpr int kSourceDvdPlusRDlSingle = 13;
inline constexpr int kSourceDvdPlusRDlMulti = 14;
inline constexpr int kSourceDvdMinusRDlSingle = 15;
inline constexpr int kSourceDvdRom = 16;
inline constexpr int kSourceDvdMinusRDlMulti = 17;
inline constexpr int kSourceHdDvdRSingle = 18;
inline constexpr int kSourceHdDvdRMulti = 19;
inline constexpr int kSourceHdDvdRDlSingle = 20;
inline constexpr int kSourceHdDvdRDlMulti = 21;
inline constexpr int kSourceHdDvdRom = 22;
inline constexpr int kSourceDvdMinusRDlJump = 23;
inline constexpr int kSourceHdDvdRwOpen = 24;
inline constexpr int kSourceHdDvdRw = 26;
inline constexpr int kSourceHdDvdRwDlOpen = 27;
inline constexpr int kSourceHdDvdRwDl = 28;

// The source kind of a disc of profile with header flags and the tracks of the first list.
int SourceKind(uint16_t profile, uint32_t flags, const std::vector<TrackEntry>& tracks);

// The copyable status of a source kind onto media of target_profile recorded with write_mode
// (1 to 3; any other mode gives 0).
uint32_t CopyableStatus(int source_kind, uint16_t target_profile, uint32_t write_mode);

}  // namespace quillden::image

#endif  // QUILLDEN_IMAGE_COPY_STATUS_H_
