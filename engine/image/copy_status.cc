#include "image/copy_status.h"

#include <cstddef>

namespace quillden::image {
namespace {

// Target columns of the DVD and CD part of the table.
enum Column { kCd, kDvdMinusR, kDvdMinusRw, kDvdMinusRDl, kDvdMinusRDlJump, kDvdPlusRw, kDvdPlusR, kDvdPlusRDl,
              kColumns };

// A cell: the status for write modes 1, 2 and 3.
struct Cell {
  uint8_t mode[3];
};

constexpr Cell kAll(uint8_t v) { return Cell{{v, v, v}}; }
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
    {{7, 10, 12}, {kAll(2), kAll(1), {{4, 1, 1}}, {{0, 0, 1}}, kNone, {{1, 0, 0}}, kAll(1), kAll(1)}},
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
    case 0x09: case 0x0A: return kCd;
    case 0x11: return kDvdMinusR;
    case 0x13: case 0x14: return kDvdMinusRw;
    case 0x15: return kDvdMinusRDl;
    case 0x16: return kDvdMinusRDlJump;
    case 0x1A: return kDvdPlusRw;
    case 0x1B: return kDvdPlusR;
    case 0x2B: return kDvdPlusRDl;
    default: return -1;
  }
}

// HD DVD targets do not depend on the write mode.
uint32_t HdDvdStatus(int kind, uint16_t profile) {
  const bool r = profile == 0x51, rw = profile == 0x53, r_dl = profile == 0x58, rw_dl = profile == 0x5A;
  if (!r && !rw && !r_dl && !rw_dl) return 0;
  switch (kind) {
    case kSourceHdDvdRSingle: case kSourceHdDvdRwOpen: case kSourceHdDvdRw: case kSourceHdDvdRwDlOpen:
    case kSourceHdDvdRwDl:
      return 1;
    case kSourceHdDvdRMulti:
      return r ? 1 : 0;
    case kSourceHdDvdRDlSingle: case kSourceHdDvdRom:
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
    case 0x08: case 0x09: case 0x0A: return CdKind(tracks);
    case 0x11: case 0x14: return single ? kSourceDvdMinusRSingle : kSourceDvdMinusRMulti;
    case 0x12: case 0x13: return kSourceDvdOverwrite;
    case 0x1B: return single ? kSourceDvdPlusRSingle : kSourceDvdPlusRMulti;
    case 0x1A: return kSourceDvdPlusRw;
    case 0x2B: return single ? kSourceDvdPlusRDlSingle : kSourceDvdPlusRDlMulti;
    case 0x15: return single ? kSourceDvdMinusRDlSingle : kSourceDvdMinusRDlMulti;
    case 0x10: return kSourceDvdRom;
    case 0x16: return kSourceDvdMinusRDlJump;
    case 0x51: return single ? kSourceHdDvdRSingle : kSourceHdDvdRMulti;
    case 0x58: return single ? kSourceHdDvdRDlSingle : kSourceHdDvdRDlMulti;
    case 0x50: return kSourceHdDvdRom;
    case 0x53: return flags_open ? kSourceHdDvdRwOpen : kSourceHdDvdRw;
    case 0x5A: return flags_open ? kSourceHdDvdRwDlOpen : kSourceHdDvdRwDl;
    default: return kSourceUnknown;
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
