// The copyable-status table walked cell by cell, and the source kinds of typical discs.
#include "image/copy_status.h"

#include <map>
#include <tuple>

#include <gtest/gtest.h>

namespace quillden::image {
namespace {

std::vector<TrackEntry> Tracks(std::initializer_list<uint32_t> modes) {
  std::vector<TrackEntry> tracks;
  uint16_t number = 1;
  for (uint32_t mode : modes) {
    TrackEntry t;
    t.mode = mode;
    t.track_number = number++;
    tracks.push_back(t);
  }
  return tracks;
}

TEST(SourceKindTest, CdKindsFollowTrackModes) {
  EXPECT_EQ(SourceKind(0x09, 0, Tracks({1})), kSourceCdMode1Single);
  EXPECT_EQ(SourceKind(0x0A, 0, Tracks({1, 1})), kSourceCdMode1Multi);
  EXPECT_EQ(SourceKind(0x08, 0, Tracks({2})), kSourceCdMode2Single);
  EXPECT_EQ(SourceKind(0x09, 0, Tracks({2, 2, 2})), kSourceCdMode2Multi);
  EXPECT_EQ(SourceKind(0x09, 0, Tracks({3, 3})), kSourceCdAudio);
  EXPECT_EQ(SourceKind(0x09, 0, Tracks({1, 3})), kSourceCdMixed);
  EXPECT_EQ(SourceKind(0x09, 0, Tracks({})), kSourceUnknown);
}

TEST(SourceKindTest, DvdAndHdDvdKinds) {
  EXPECT_EQ(SourceKind(0x11, 0, Tracks({1})), kSourceDvdMinusRSingle);
  EXPECT_EQ(SourceKind(0x14, 0, Tracks({1, 1})), kSourceDvdMinusRMulti);
  EXPECT_EQ(SourceKind(0x13, 0, Tracks({1})), kSourceDvdOverwrite);
  EXPECT_EQ(SourceKind(0x12, 0, Tracks({1})), kSourceDvdOverwrite);
  EXPECT_EQ(SourceKind(0x1B, 0, Tracks({1, 1})), kSourceDvdPlusRMulti);
  EXPECT_EQ(SourceKind(0x1A, 1, Tracks({1})), kSourceDvdPlusRw);
  EXPECT_EQ(SourceKind(0x2B, 0, Tracks({1})), kSourceDvdPlusRDlSingle);
  EXPECT_EQ(SourceKind(0x15, 0, Tracks({1, 1})), kSourceDvdMinusRDlMulti);
  EXPECT_EQ(SourceKind(0x16, 0, Tracks({1})), kSourceDvdMinusRDlJump);
  EXPECT_EQ(SourceKind(0x10, 0, Tracks({1})), kSourceDvdRom);
  EXPECT_EQ(SourceKind(0x58, 0, Tracks({1, 1})), kSourceHdDvdRDlMulti);
  EXPECT_EQ(SourceKind(0x50, 0, Tracks({1})), kSourceHdDvdRom);
  // HD DVD-RW: only the flags words 1 and 2 exactly count as the open variant.
  EXPECT_EQ(SourceKind(0x53, 1, Tracks({1})), kSourceHdDvdRwOpen);
  EXPECT_EQ(SourceKind(0x53, 2, Tracks({1})), kSourceHdDvdRwOpen);
  EXPECT_EQ(SourceKind(0x53, 3, Tracks({1})), kSourceHdDvdRw);
  EXPECT_EQ(SourceKind(0x5A, 0x10002, Tracks({1})), kSourceHdDvdRwDl);
  EXPECT_EQ(SourceKind(0x5A, 1, Tracks({1})), kSourceHdDvdRwDlOpen);
  EXPECT_EQ(SourceKind(0x43, 0, Tracks({1})), kSourceUnknown);
}

// The whole table as written down for the product, row by row: for each source kind and target
// column the statuses of write modes 1, 2 and 3.
struct Expected {
  int kind;
  const char* cells;  // 8 columns of three digits: CD, -R, -RW, -R DL, -R DL jump, +RW, +R, +R DL
};

constexpr Expected kTable[] = {
    {1, "111 111 411 001 000 100 111 111"},  {2, "111 000 400 000 000 400 000 000"},
    {3, "111 000 000 000 000 000 000 000"},  {4, "111 000 000 000 000 000 000 000"},
    {5, "111 000 000 000 000 000 000 000"},  {6, "111 000 000 000 000 000 000 000"},
    {7, "222 111 411 001 000 100 111 111"},  {8, "000 111 111 000 000 400 000 000"},
    {9, "222 111 111 001 000 100 111 111"},  {10, "222 111 411 001 000 100 111 111"},
    {11, "000 000 400 000 000 400 111 111"}, {12, "222 111 411 001 000 100 111 111"},
    {13, "222 222 222 001 000 200 222 111"}, {14, "000 000 600 000 000 600 222 111"},
    {15, "222 222 222 111 000 200 222 111"}, {16, "222 222 222 111 000 200 222 111"},
    {17, "000 000 000 110 000 000 000 000"}, {23, "000 000 000 110 110 000 000 000"},
};

TEST(CopyableStatusTest, WalksTheWholeTable) {
  // Target profiles of each column; DVD-RW has two.
  const std::vector<std::vector<uint16_t>> columns = {{0x09, 0x0A}, {0x11}, {0x13, 0x14}, {0x15},
                                                      {0x16},       {0x1A}, {0x1B},       {0x2B}};
  std::map<int, const char*> rows;
  for (const Expected& e : kTable) rows[e.kind] = e.cells;
  for (int kind = 0; kind <= 30; ++kind) {
    for (size_t column = 0; column < columns.size(); ++column) {
      for (uint16_t profile : columns[column]) {
        for (uint32_t mode = 1; mode <= 3; ++mode) {
          const uint32_t expected = rows.count(kind) ? static_cast<uint32_t>(rows[kind][column * 4 + mode - 1] - '0') : 0;
          EXPECT_EQ(CopyableStatus(kind, profile, mode), expected)
              << "kind " << kind << " profile 0x" << std::hex << profile << " mode " << mode;
        }
      }
    }
    // Write modes outside 1 to 3 and targets outside the table never copy.
    for (uint16_t profile : {0x09, 0x11, 0x1B}) {
      EXPECT_EQ(CopyableStatus(kind, profile, 0), 0u);
      EXPECT_EQ(CopyableStatus(kind, profile, 4), 0u);
    }
    for (uint16_t profile : {0x00, 0x08, 0x10, 0x12, 0x50, 0x43}) EXPECT_EQ(CopyableStatus(kind, profile, 1), 0u);
  }
}

TEST(CopyableStatusTest, HdDvdTargetsAcceptOnlyHdDvdSources) {
  // Columns HD DVD-R, HD DVD-RW, HD DVD-R DL, HD DVD-RW DL; any write mode.
  const std::map<int, std::string> expected = {
      {18, "1111"}, {24, "1111"}, {26, "1111"}, {27, "1111"}, {28, "1111"},
      {19, "1000"}, {20, "2211"}, {22, "2211"}, {21, "0010"}};
  const uint16_t profiles[] = {0x51, 0x53, 0x58, 0x5A};
  for (int kind = 0; kind <= 30; ++kind) {
    for (int column = 0; column < 4; ++column) {
      const auto row = expected.find(kind);
      const uint32_t want = row == expected.end() ? 0 : static_cast<uint32_t>(row->second[column] - '0');
      for (uint32_t mode = 1; mode <= 3; ++mode) {
        EXPECT_EQ(CopyableStatus(kind, profiles[column], mode), want) << "kind " << kind << " column " << column;
      }
    }
  }
}

TEST(CopyableStatusTest, SingleTrackDvdMinusRImageOntoCdR) {
  EXPECT_EQ(CopyableStatus(SourceKind(0x11, 0, Tracks({1})), 0x09, 2), 2u);
  // A CD with an audio track cannot go onto DVD+R.
  EXPECT_EQ(CopyableStatus(SourceKind(0x09, 0, Tracks({1, 3})), 0x1B, 1), 0u);
}

}  // namespace
}  // namespace quillden::image
