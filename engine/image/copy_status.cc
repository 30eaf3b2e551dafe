#include "image/copy_status.h"

#include <cstddef>

#include "drive/mmc_vocabulary.h"

namespace quillden::image {

namespace mmc = drive::mmc;
namespace {

// Target columns of the DVD and CD part of the table.
enum Column {
  kCd,
  kDvdMinusR,
  kDvdMinusRw,
  kDvdMinusRDl,
  kDvdMinusRDlJump,
  kDvdPlusRw,
  kDvdPlusR,
  kDvdPlusRDl,
  kColumns
};

// A cell: the status for write modes 1, 2 and 3.
struct Cell {
  uint8_t mode[3];
};

constexpr Cell kAll(uint8_t v) {
  return Cell{{v, v, v}};
}
constexpr Cell kNone = {{0, 0, 0}};

struct Row {
  int kinds[4];  // the source kinds sharing the row; 0 ends the list
  Cell cells[kColumns];
};

// Rows for the source kinds of CD and DVD media, columns in Column order.
constexpr Row kRows[] = {
    {{1}, {kAll(1), kAll(1), {{4, 1, 1}}, {{0, 0, 1}}, kNone, {{1, 0, 0}}, kAll(1), kAll(1)}},
    {{2}, {kAll(1), kNone, {{4, 0, 0}}, kNone, kNone, {{4, 0, 0}}, kNone, kNone}},
    {{3, 4, 5, 6}, {kAll(1), kNone, kNone, kNone, kNone, kNone, kNone, kNone}},
    {{7, 10, 12},
     {kAll(2), kAll(1), {{4, 1, 1}}, {{0, 0, 1}}, kNone, {{1, 0, 0}}, kAll(1), kAll(1)}},
    {{8}, {kNone, kAll(1), kAll(1), kNone, kNone, {{4, 0, 0}}, kNone, kNone}},
    {{9}, {kAll(2), kAll(1), kAll(1), {{0, 0, 1}}, kNone, {{1, 0, 0}}, kAll(1), kAll(1)}},
    {{11}, {kNone, kNone, {{4, 0, 0}}, kNone, kNone, {{4, 0, 0}}, kAll(1), kAll(1)}},
    {{13}, {kAll(2), kAll(2), kAll(2), {{0, 0, 1}}, kNone, {{2, 0, 0}}, kAll(2), kAll(1)}},
    {{14}, {kNone, kNone, {{6, 0, 0}}, kNone, kNone, {{6, 0, 0}}, kAll(2), kAll(1)}},
    {{15, 16}, {kAll(2), kAll(2), kAll(2), kAll(1), kNone, {{2, 0, 0}}, kAll(2), kAll(1)}},
    {{17}, {kNone, kNone, kNone, {{1, 1, 0}}, kNone, kNone, kNone, kNone}},
    {{23}, {kNone, kNone, kNone, {{1, 1, 0}}, {{1, 1, 0}}, kNone, kNone, kNone}},
};

int ColumnOf(uint16_t profile) {
  switch (profile) {
    case mmc::kProfileCdR:
    case mmc::kProfileCdRw:
      return kCd;
    case mmc::kProfileDvdMinusR:
      return kDvdMinusR;
    case mmc::kProfileDvdMinusRwOverwrite:
    case mmc::kProfileDvdMinusRwSequential:
      return kDvdMinusRw;
    case mmc::kProfileDvdMinusRDlSequential:
      return kDvdMinusRDl;
    case mmc::kProfileDvdMinusRDlJump:
      return kDvdMinusRDlJump;
    case mmc::kProfileDvdPlusRw:
      return kDvdPlusRw;
    case mmc::kProfileDvdPlusR:
      return kDvdPlusR;
    case mmc::kProfileDvdPlusRDl:
      return kDvdPlusRDl;
    default:
      return -1;
  }
}

// HD DVD targets do not depend on the write mode.
uint32_t HdDvdStatus(int kind, uint16_t profile) {
  const bool r = profile == mmc::kProfileHdDvdR, rw = profile == mmc::kProfileHdDvdRw,
             r_dl = profile == mmc::kProfileHdDvdRDl, rw_dl = profile == mmc::kProfileHdDvdRwDl;
  if (!r && !rw && !r_dl && !rw_dl) return 0;
  switch (kind) {
    case kSourceHdDvdRSingle:
    case kSourceHdDvdRwOpen:
    case kSourceHdDvdRw:
    case kSourceHdDvdRwDlOpen:
    case kSourceHdDvdRwDl:
      return 1;
    case kSourceHdDvdRMulti:
      return r ? 1 : 0;
    case kSourceHdDvdRDlSingle:
    case kSourceHdDvdRom:
      return (r || rw) ? 2 : 1;
    case kSourceHdDvdRDlMulti:
      return r_dl ? 1 : 0;
    default:
      return 0;
  }
}

int CdKind(const std::vector<TrackEntry>& tracks) {
  if (tracks.empty()) return kSourceUnknown;
  bool mode1 = false, mode2 = false, audio = false;
  for (const TrackEntry& t : tracks) {
    mode1 |= t.mode == kModeData1;
    mode2 |= t.mode == kModeData2;
    audio |= t.mode == kModeAudio;
  }
  const bool single = tracks.size() == 1;
  if (mode1 + mode2 + audio > 1) return kSourceCdMixed;
  if (audio) return kSourceCdAudio;
  if (mode2) return single ? kSourceCdMode2Single : kSourceCdMode2Multi;
  if (mode1) return single ? kSourceCdMode1Single : kSourceCdMode1Multi;
  return kSourceUnknown;  // a mode the image format does not know
}

}  // namespace

int SourceKind(uint16_t profile, uint32_t flags, const std::vector<TrackEntry>& tracks) {
  if (tracks.empty()) return kSourceUnknown;
  const bool single = tracks.size() == 1;
  const bool flags_open = flags == 1 || flags == 2;
  switch (profile) {
    case mmc::kProfileCdRom:
    case mmc::kProfileCdR:
    case mmc::kProfileCdRw:
      return CdKind(tracks);
    case mmc::kProfileDvdMinusR:
    case mmc::kProfileDvdMinusRwSequential:
      return single ? kSourceDvdMinusRSingle : kSourceDvdMinusRMulti;
    case mmc::kProfileDvdRam:
    case mmc::kProfileDvdMinusRwOverwrite:
      return kSourceDvdOverwrite;
    case mmc::kProfileDvdPlusR:
      return single ? kSourceDvdPlusRSingle : kSourceDvdPlusRMulti;
    case mmc::kProfileDvdPlusRw:
      return kSourceDvdPlusRw;
    case mmc::kProfileDvdPlusRDl:
      return single ? kSourceDvdPlusRDlSingle : kSourceDvdPlusRDlMulti;
    case mmc::kProfileDvdMinusRDlSequential:
      return single ? kSourceDvdMinusRDlSingle : kSourceDvdMinusRDlMulti;
    case mmc::kProfileDvdRom:
      return kSourceDvdRom;
    case mmc::kProfileDvdMinusRDlJump:
      return kSourceDvdMinusRDlJump;
    case mmc::kProfileHdDvdR:
      return single ? kSourceHdDvdRSingle : kSourceHdDvdRMulti;
    case mmc::kProfileHdDvdRDl:
      return single ? kSourceHdDvdRDlSingle : kSourceHdDvdRDlMulti;
    case mmc::kProfileHdDvdRom:
      return kSourceHdDvdRom;
    case mmc::kProfileHdDvdRw:
      return flags_open ? kSourceHdDvdRwOpen : kSourceHdDvdRw;
    case mmc::kProfileHdDvdRwDl:
      return flags_open ? kSourceHdDvdRwDlOpen : kSourceHdDvdRwDl;
    default:
      return kSourceUnknown;
  }
}

uint32_t CopyableStatus(int source_kind, uint16_t target_profile, uint32_t write_mode) {
  if (write_mode < 1 || write_mode > 3 || source_kind == kSourceUnknown) return 0;
  const int column = ColumnOf(target_profile);
  if (column < 0) return HdDvdStatus(source_kind, target_profile);
  for (const Row& row : kRows) {
    for (int kind : row.kinds) {
      if (kind == 0) break;
      if (kind == source_kind) return row.cells[column].mode[write_mode - 1];
    }
  }
  return 0;
}

}  // namespace quillden::image
