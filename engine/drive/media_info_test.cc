// Media information rules over a scripted drive: what MMC answers for blank, appendable and closed
// media becomes the right status, addresses and capacity; unusable answers never crash.
#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "drive/drive_command.h"
#include "drive/drive_handle.h"
#include "drive/mmc_vocabulary.h"
#include "drive/scripted_drive.h"
#include "quillden/drive.h"
#include "quillden/result.h"
#include "util/byte_order.h"

namespace quillden::drive {
namespace {

using testing::Answer;
using testing::LoggedCommand;
using testing::ScriptedDrive;

struct Track {
  uint16_t number = 1;
  uint16_t session = 1;
  bool blank = false;
  bool nwa_valid = false;
  uint32_t start = 0, nwa = 0, free = 0, size = 0, last_recorded = 0;
  bool data = true;
};

class MediaModel {
 public:
  MediaModel(ScriptedDrive& s, uint16_t profile) : s_(s) {
    s.Always(mmc::kOpTestUnitReady, Answer{});
    s.Always(mmc::kOpModeSelect10, Answer{});
    s.On(mmc::kOpGetConfiguration, [this, profile](const LoggedCommand& c) {
      Answer a;
      a.data.assign(GetBe16(c.cdb.data() + 7), 0);
      PutBe16(a.data.data() + 6, profile);
      const uint16_t feature = GetBe16(c.cdb.data() + 2);
      PutBe16(a.data.data() + 8, feature);
      if (feature == 0x2A && a.data.size() > 12) a.data[12] = plus_rw_write ? 1 : 0;
      return a;
    });
    s.On(mmc::kOpReadDiscStructure, [this](const LoggedCommand& c) {
      auto it = structures.find(c.cdb[7]);
      if (it == structures.end()) return Answer::Sense(5, 0x24, 0);
      Answer a;
      a.data = it->second;
      return a;
    });
    s.On(mmc::kOpReadDiscInformation, [this](const LoggedCommand&) {
      Answer a;
      a.data.assign(34, 0);
      PutBe16(a.data.data(), 32);
      a.data[2] = disc_byte2;
      a.data[6] = static_cast<uint8_t>(tracks.back().number);
      return a;
    });
    s.On(mmc::kOpReadTrackInformation, [this](const LoggedCommand& c) {
      const uint32_t n = GetBe32(c.cdb.data() + 2);
      for (const Track& t : tracks) {
        if (t.number != n) continue;
        Answer a;
        a.data.assign(48, 0);
        PutBe16(a.data.data(), 46);
        a.data[2] = static_cast<uint8_t>(t.number);
        a.data[3] = static_cast<uint8_t>(t.session);
        a.data[5] = t.data ? 0x04 : 0x00;
        a.data[6] = t.blank ? 0x40 : 0;
        a.data[7] = t.nwa_valid ? 1 : 0;
        PutBe32(a.data.data() + 8, t.start);
        PutBe32(a.data.data() + 12, t.nwa);
        PutBe32(a.data.data() + 16, t.free);
        PutBe32(a.data.data() + 24, t.size);
        PutBe32(a.data.data() + 28, t.last_recorded);
        return a;
      }
      return Answer::Sense(5, 0x24, 0);
    });
    s.On(mmc::kOpReadToc, [this](const LoggedCommand& c) {
      const uint8_t format = c.cdb[2] & 0x0F;
      if (format == 4 && atip) {
        Answer a;
        a.data.assign(28, 0);
        PutBe16(a.data.data(), 26);
        a.data[12] = 79;
        a.data[13] = 59;
        a.data[14] = 74;
        return a;
      }
      if (format != 0) return Answer::Sense(5, 0x24, 0);
      std::vector<const Track*> recorded;
      for (const Track& t : tracks) {
        if (!t.blank) recorded.push_back(&t);
      }
      if (recorded.empty()) return Answer::Sense(5, 0x24, 0);
      Answer a;
      a.data.assign(4 + 8 * (recorded.size() + 1), 0);
      PutBe16(a.data.data(), static_cast<uint16_t>(2 + 8 * (recorded.size() + 1)));
      a.data[2] = 1;
      a.data[3] = static_cast<uint8_t>(recorded.size());
      size_t i = 0;
      for (; i < recorded.size(); ++i) {
        if (recorded[i]->number < c.cdb[6]) continue;
        break;
      }
      size_t out = 0;
      for (size_t k = i; k < recorded.size(); ++k, ++out) {
        a.data[4 + out * 8 + 1] = recorded[k]->data ? 0x14 : 0x10;
        a.data[4 + out * 8 + 2] = static_cast<uint8_t>(recorded[k]->number);
        PutBe32(a.data.data() + 4 + out * 8 + 4, recorded[k]->start);
      }
      a.data[4 + out * 8 + 2] = 0xAA;
      PutBe32(a.data.data() + 4 + out * 8 + 4, recorded.back()->start + recorded.back()->size);
      PutBe16(a.data.data(), static_cast<uint16_t>(2 + 8 * (out + 1)));
      return a;
    });
  }

  void BookType(uint8_t book) {
    std::vector<uint8_t> pfi(2052, 0);
    pfi[4] = static_cast<uint8_t>(book << 4);
    structures[0x00] = pfi;
  }

  bool plus_rw_write = true;
  bool atip = false;
  uint8_t disc_byte2 = 0;
  std::vector<Track> tracks;
  std::map<uint8_t, std::vector<uint8_t>> structures;

 private:
  ScriptedDrive& s_;
};

class MediaInfoTest : public ::testing::Test {
 protected:
  void SetUp() override { drive_ = script_.Open('V'); }
  void TearDown() override { CloseDriveHandle(drive_); }
  ScriptedDrive script_;
  HANDLE drive_ = nullptr;
};

TEST_F(MediaInfoTest, BlankDvdMinusR) {
  MediaModel m(script_, 0x11);
  m.BookType(2);
  std::vector<uint8_t> pri(68, 0);
  PutBe24(pri.data() + 7, 0xFFFFFF - 155981);  // data zone ends at 2 495 696 / 16 - 1
  m.structures[0x0E] = pri;
  m.disc_byte2 = 0x10;  // erasable bit clear would be DVD-R; keep the blank disc status 0
  m.disc_byte2 = 0x00;
  m.tracks = {Track{1, 1, true, true, 0, 0, 2298496, 2298496, 0}};
  _MEDIAINFORMATION info{};
  ASSERT_EQ(DRV_GetMediaInformation(drive_, &info), QD_OK);
  EXPECT_EQ(info.dwMedia, MEDIA_DVDR);
  EXPECT_EQ(info.dwStatus, MEDIA_STATUS_BLANK);
  EXPECT_EQ(info.dwNextWritable, 0u);
  EXPECT_EQ(info.dwCapacity, 155981u * 16 - 197200);
  EXPECT_EQ(info.dwFree, 2298496u - 608);
  EXPECT_EQ(info.dwBookType, static_cast<uint32_t>(BOOK_DVDR));
  EXPECT_EQ(info.dwProtection, 65535u);
  EXPECT_EQ(info.dwDataMode, 1u);
}

TEST_F(MediaInfoTest, CdRWithOneClosedSessionIsAppendable) {
  MediaModel m(script_, 0x09);
  m.atip = true;
  m.disc_byte2 = 0x01;  // incomplete disc: the next session may be written
  m.tracks = {Track{1, 1, false, false, 0, 0, 0, 20000, 0},
              Track{2, 2, true, true, 31400, 31400, 300000, 300000, 0}};
  _MEDIAINFORMATION info{};
  ASSERT_EQ(DRV_GetMediaInformation(drive_, &info), QD_OK);
  EXPECT_EQ(info.dwMedia, MEDIA_CDR);
  EXPECT_EQ(info.dwStatus, MEDIA_STATUS_APPENDABLE);
  EXPECT_EQ(info.dwNextWritable, 31400u);
  EXPECT_EQ(info.dwUsed, 31400u);
  EXPECT_EQ(info.dwCapacity, (79u * 60 + 59) * 75 + 74 - 152);
  EXPECT_EQ(info.dwBookType, 0u);
}

TEST_F(MediaInfoTest, ClosedDvdPlusRReportsRecordedEnd) {
  MediaModel m(script_, 0x1B);
  m.BookType(10);
  std::vector<uint8_t> adip(36, 0);
  PutBe24(adip.data() + 9, 0x030000);
  PutBe24(adip.data() + 13, 0x26053F);
  m.structures[0x11] = adip;
  m.disc_byte2 = 0x0E;
  m.tracks = {Track{1, 1, false, false, 0, 0, 0, 5000, 4999}};
  _MEDIAINFORMATION info{};
  ASSERT_EQ(DRV_GetMediaInformation(drive_, &info), QD_OK);
  EXPECT_EQ(info.dwStatus, MEDIA_STATUS_CLOSED);
  EXPECT_EQ(info.dwNextWritable, 0u);
  EXPECT_EQ(info.dwUsed, 5000u);
  EXPECT_EQ(info.dwCapacity, 0x26053Fu - 0x030000 + 1);
}

TEST_F(MediaInfoTest, DvdPlusRwWithoutWriteBitIsReadOnlyMediaSizedByItsFileSystem) {
  MediaModel m(script_, 0x1A);
  m.plus_rw_write = false;
  m.BookType(9);
  script_.Always(mmc::kOpReadCapacity, [] {
    Answer a;
    a.data.assign(8, 0);
    PutBe32(a.data.data(), 2295103);
    PutBe32(a.data.data() + 4, 2048);
    return a;
  }());
  script_.On(mmc::kOpRead10, [](const LoggedCommand& c) {
    Answer a;
    a.data.assign(2048, 0);
    if (GetBe32(c.cdb.data() + 2) == 16) {
      a.data[0] = 1;
      std::memcpy(a.data.data() + 1, "CD001", 5);
      PutLe32(a.data.data() + 80, 1234);
    }
    return a;
  });
  _MEDIAINFORMATION info{};
  ASSERT_EQ(DRV_GetMediaInformation(drive_, &info), QD_OK);
  EXPECT_EQ(info.dwMedia, MEDIA_DVDROM);
  EXPECT_EQ(info.dwBookType, static_cast<uint32_t>(BOOK_DVDPRW));
  EXPECT_EQ(info.dwUsed, 1234u);
  EXPECT_EQ(info.dwCapacity, 1234u);
  EXPECT_EQ(info.dwStatus, MEDIA_STATUS_CLOSED);
}

// Drive answers that cannot describe the disc never become a capacity of 1: the figure comes from
// the next source.
TEST_F(MediaInfoTest, ImplausibleCapacityAnswersFallBackToTheNextSource) {
  {
    // A recorder whose READ DISC STRUCTURE answers zeros (ADIP start 0, end 0) on a blank DVD+R.
    MediaModel m(script_, 0x1B);
    m.BookType(10);
    m.structures[0x11] = std::vector<uint8_t>(36, 0);
    m.tracks = {Track{1, 1, true, true, 0, 0, 2295104, 2295104, 0}};
    _MEDIAINFORMATION info{};
    ASSERT_EQ(DRV_GetMediaInformation(drive_, &info), QD_OK);
    EXPECT_EQ(info.dwStatus, MEDIA_STATUS_BLANK);
    EXPECT_EQ(info.dwCapacity, 2295104u);
    EXPECT_EQ(info.dwFree, 2295104u);
  }
  {
    // A blank DVD-R dual layer disc for layer jump recording: READ CAPACITY has no recorded block
    // to report (last address 0); the layer boundary gives the size.
    MediaModel m(script_, 0x16);
    m.BookType(2);
    std::vector<uint8_t> boundary(12, 0);
    PutBe32(boundary.data() + 8, 2085856);
    m.structures[0x20] = boundary;
    script_.Always(mmc::kOpReadCapacity, [] {
      Answer a;
      a.data.assign(8, 0);
      PutBe32(a.data.data() + 4, 2048);
      return a;
    }());
    m.tracks = {Track{1, 1, true, true, 0, 0, 4171712, 4171712, 0}};
    _MEDIAINFORMATION info{};
    ASSERT_EQ(DRV_GetMediaInformation(drive_, &info), QD_OK);
    EXPECT_EQ(info.dwStatus, MEDIA_STATUS_BLANK);
    EXPECT_EQ(info.dwCapacity, 4171712u);
    EXPECT_EQ(info.dwUsed, 0u);
    // Without the layer boundary, next writable address plus free blocks.
    m.structures.erase(0x20);
    ASSERT_EQ(DRV_GetMediaInformation(drive_, &info), QD_OK);
    EXPECT_EQ(info.dwCapacity, 4171712u);
  }
  {
    // Pre-recorded information of zeros on a closed DVD-R: not an inverted address of 268 million
    // blocks; the used size stands.
    MediaModel m(script_, 0x11);
    m.BookType(2);
    m.structures[0x0E] = std::vector<uint8_t>(68, 0);
    m.disc_byte2 = 0x0E;
    m.tracks = {Track{1, 1, false, false, 0, 0, 0, 5000, 4999}};
    _MEDIAINFORMATION info{};
    ASSERT_EQ(DRV_GetMediaInformation(drive_, &info), QD_OK);
    EXPECT_EQ(info.dwStatus, MEDIA_STATUS_CLOSED);
    EXPECT_EQ(info.dwCapacity, 5000u);
  }
}

TEST_F(MediaInfoTest, NotReadyUnsupportedAndGarbage) {
  script_.Always(mmc::kOpTestUnitReady, Answer::Sense(2, 0x3A, 0));
  _MEDIAINFORMATION info{};
  EXPECT_EQ(DRV_GetMediaInformation(drive_, &info), QD_E_NOT_READY);
  EXPECT_EQ(DRV_GetMediaInformation(drive_, nullptr), QD_E_INVALID_ARGUMENT);
  {
    MediaModel m(script_, 0x43);  // BD-RE: not handled here
    EXPECT_EQ(DRV_GetMediaInformation(drive_, &info), QD_E_MEDIA_UNSUPPORTED);
  }
  // Short answers everywhere: every command succeeds but delivers no data.
  for (uint8_t op : {0x46, 0x51, 0x52, 0x43, 0xAD, 0x25, 0x23, 0x28, 0xBE})
    script_.Always(op, Answer{});
  script_.On(mmc::kOpGetConfiguration, [](const LoggedCommand&) {
    Answer a;
    a.data = {0, 0, 0, 8, 0, 0, 0, 0x11};  // DVD-R, then nothing
    return a;
  });
  // Disc and track information without even their length fields are unusable.
  EXPECT_EQ(DRV_GetMediaInformation(drive_, &info), QD_E_COMMAND_FAILED);
  script_.On(mmc::kOpReadDiscInformation, [](const LoggedCommand&) {
    Answer a;
    a.data.assign(34, 0);
    PutBe16(a.data.data(), 32);
    a.data[6] = 2;
    return a;
  });
  // An absurd next writable address beyond any capacity is unusable.
  script_.On(mmc::kOpReadTrackInformation, [](const LoggedCommand&) {
    Answer a;
    a.data.assign(48, 0);
    PutBe16(a.data.data(), 46);
    a.data[2] = 2;
    a.data[6] = 0x40;
    a.data[7] = 1;
    PutBe32(a.data.data() + 12, 0xFFFFFF00u);
    PutBe32(a.data.data() + 16, 0xFFFFFFF0u);
    return a;
  });
  EXPECT_EQ(DRV_GetMediaInformation(drive_, &info), QD_E_COMMAND_FAILED);
}

TEST_F(MediaInfoTest, TrackInformationAndLastTrack) {
  MediaModel m(script_, 0x09);
  m.disc_byte2 = 0x01;
  m.tracks = {Track{1, 1, false, false, 0, 0, 0, 20000, 0},
              Track{2, 2, false, false, 31400, 0, 0, 1000, 0},
              Track{3, 2, true, true, 39300, 39300, 200000, 200000, 0}};
  _TRACKINFORMATION info{};
  EXPECT_EQ(DRV_GetTrackInformation(drive_, 0, nullptr, FALSE), 3);
  script_.ClearLog();
  EXPECT_EQ(DRV_GetTrackInformation(drive_, 1, nullptr, FALSE), 3);
  EXPECT_EQ(script_.Count(mmc::kOpReadTrackInformation), 0u);
  EXPECT_EQ(DRV_GetTrackInformation(drive_, 1, &info, FALSE), 3);
  EXPECT_EQ(info.dwStart, 0u);
  EXPECT_EQ(info.dwSize, 31400u - 11400);  // lead-out, lead-in and pregap of the next session
  EXPECT_EQ(info.wSession, 1);
  EXPECT_EQ(info.dwMode, 1u);
  EXPECT_EQ(DRV_GetTrackInformation(drive_, 4, &info, FALSE), 0);
  EXPECT_EQ(DRV_GetLastTrack(drive_), 2);
}

}  // namespace
}  // namespace quillden::drive
