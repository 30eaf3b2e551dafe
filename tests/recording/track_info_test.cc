// Track information of recorded discs: the exact size of a CD track followed by a pregap (the
// drive's own gap and the run-out of a data track are not the track's), and the one track of an
// overwritable DVD+RW.
#include <gtest/gtest.h>

#include "drive/recording/write_parameters.h"
#include "quillden/drive.h"
#include "quillden/result.h"
#include "recording_fixture.h"

namespace quillden::recording::testing {
namespace {

std::vector<uint8_t> Pattern(size_t bytes, uint8_t seed) {
  std::vector<uint8_t> data(bytes);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(seed + i * 13 + i / 2048);
  return data;
}

class TrackInfoTest : public VirtualDriveTest {
 protected:
  // Records one track at once per entry of types, each of blocks[i] blocks, into one open session.
  void RecordTracks(const std::vector<uint32_t>& types, const std::vector<uint32_t>& blocks) {
    TestProgress progress;
    std::unique_ptr<Recorder> recorder = CreateRecorder(
        drive_, 1, static_cast<uint32_t>(types.size()), kWriteLeaveOpen, progress.reporter());
    ASSERT_NE(recorder, nullptr);
    for (size_t i = 0; i < types.size(); ++i) {
      const size_t block_bytes = types[i] == kDataAudio ? 2352 : 2048;
      const std::vector<uint8_t> data =
          Pattern(blocks[i] * block_bytes, static_cast<uint8_t>(i + 1));
      ASSERT_EQ(OpenRecording(*recorder, Profile(), types[i], 0, blocks[i], 0, nullptr, 0), 0u)
          << "track " << i + 1;
      ASSERT_EQ(WriteRecordingData(*recorder, data.data(), data.size()), 0u);
      ASSERT_EQ(FinishRecording(*recorder, Profile(), nullptr, 0, 0, nullptr), 0u);
    }
  }
  _TRACKINFORMATION Track(WORD number, BOOL exact) {
    _TRACKINFORMATION info{};
    EXPECT_NE(DRV_GetTrackInformation(drive_, number, &info, exact), 0) << "track " << number;
    return info;
  }
};

// A data track before an audio or a mode 2 track: the distance to the next track holds the next
// track's pregap (index 0) and the data track's run-out; only the exact measurement removes them.
TEST_F(TrackInfoTest, ExactSizeOfADataTrackLeavesOutPregapAndRunOut) {
  for (const uint32_t second : {kDataAudio, kDataMode2}) {
    SCOPED_TRACE(second == kDataAudio ? "audio" : "mode 2");
    OpenDrive("cd-r");
    RecordTracks({kDataMode1, second, kDataMode1}, {300, 120, 40});
    const _TRACKINFORMATION one = Track(1, FALSE);
    const _TRACKINFORMATION two = Track(2, FALSE);
    ASSERT_GT(two.dwStart, one.dwStart + 300);
    EXPECT_EQ(one.dwSize, two.dwStart - one.dwStart);
    EXPECT_EQ(one.dwMode, 1u);
    EXPECT_EQ(Track(1, TRUE).dwSize, 300u);

    const _TRACKINFORMATION exact_two = Track(2, TRUE);
    EXPECT_EQ(exact_two.dwMode, second == kDataAudio ? 3u : 2u);
    EXPECT_EQ(exact_two.dwSize, 120u);
    EXPECT_EQ(exact_two.dwStart, two.dwStart);
    // Nothing changes for a track without a following track in the session.
    EXPECT_EQ(Track(3, TRUE).dwSize, Track(3, FALSE).dwSize);
    TearDown();
  }
}

// Two audio tracks in a row: the gap is the second track's index 0 only; audio has no run-out.
TEST_F(TrackInfoTest, ExactSizeOfAnAudioTrackLeavesOutOnlyThePregap) {
  OpenDrive("cd-r");
  RecordTracks({kDataAudio, kDataAudio}, {200, 75});
  EXPECT_EQ(Track(1, TRUE).dwSize, 200u);
  EXPECT_EQ(Track(1, TRUE).dwMode, 3u);
  EXPECT_GT(Track(1, FALSE).dwSize, 200u);
}

// An unreadable sub-channel leaves the reported size; it never underflows or reports garbage.
TEST_F(TrackInfoTest, FailingSubChannelReadFallsBackToTheReportedSize) {
  OpenDrive("cd-r");
  RecordTracks({kDataMode1, kDataAudio}, {300, 50});
  drive::TrackInformation reported;
  ASSERT_EQ(drive::ReadTrackInformation(drive_, 1, 1, &reported), 0u);
  virtual_->InjectSense(0xBE, 1, 3, 0x11, 0x00, 100);
  const _TRACKINFORMATION one = Track(1, TRUE);
  virtual_->ClearFaults();
  EXPECT_EQ(one.dwSize, reported.size);
}

// A formatted DVD+RW holds one track over the whole medium: track 1 exists, is the last track and,
// once written, is not blank.
TEST_F(TrackInfoTest, DvdPlusRwHasOneTrack) {
  OpenDrive("dvd+rw");
  EXPECT_EQ(DRV_GetTrackInformation(drive_, 0, nullptr, FALSE), 1);
  EXPECT_EQ(DRV_GetLastTrack(drive_), 0);  // never formatted: the one track is blank
  _TRACKINFORMATION blank{};
  ASSERT_EQ(DRV_GetTrackInformation(drive_, 1, &blank, FALSE), 1);
  EXPECT_EQ(blank.wTrack, 1);
  EXPECT_EQ(blank.dwStart, 0u);
  TestProgress progress;
  const std::vector<uint8_t> data = Pattern(64 * 2048, 7);
  ASSERT_EQ(RecordImage(drive_, 2, data, 0, 0, progress.reporter()), 0u);

  _TRACKINFORMATION info{};
  ASSERT_EQ(DRV_GetTrackInformation(drive_, 1, &info, FALSE), 1);
  EXPECT_EQ(info.wTrack, 1);
  EXPECT_EQ(info.wSession, 1);
  EXPECT_EQ(info.dwStart, 0u);
  EXPECT_EQ(info.dwMode, 1u);
  _MEDIAINFORMATION media{};
  ASSERT_EQ(DRV_GetMediaInformation(drive_, &media), 0u);
  EXPECT_EQ(info.dwSize, media.dwCapacity);
  EXPECT_EQ(DRV_GetLastTrack(drive_), 1);
  EXPECT_EQ(DRV_GetTrackInformation(drive_, 2, &info, FALSE), 0);
}

// A track recorded by RESERVE TRACK, WRITE and CLOSE TRACK, as the drive reports it at each step
// and as the shared rule reads that report. A closed DVD track is an ordinary complete track; a
// closed reserved CD track keeps its reserved bit (reserved, not blank, not packet: complete) and
// is closed all the same.
TEST_F(TrackInfoTest, ReservedTrackIsReservedThenClosed) {
  for (const char* kind : {"dvd-r", "dvd+r", "cd-r"}) {
    SCOPED_TRACE(kind);
    OpenDrive(kind);
    const bool cd = std::string(kind) == "cd-r";
    WritePage page;
    page.write_type = cd ? kWriteTypeTrackAtOnce : kWriteTypeIncremental;
    page.track_mode = cd ? 4 : 5;
    page.multi_session = 3;
    ASSERT_EQ(SelectWritePage(drive_, page), 0u);
    auto state = [&](drive::TrackInformation* info) {
      drive::DiscInformation disc;
      EXPECT_EQ(drive::ReadDiscInformation(drive_, &disc), 0u);
      EXPECT_EQ(drive::ReadTrackInformation(drive_, 1, 1, info), 0u);
      return drive::ClassifyTrack(*info, disc);
    };
    ASSERT_EQ(drive::ReserveTrack(drive_, 64), 0u);
    drive::TrackInformation info;
    EXPECT_EQ(state(&info), drive::TrackState::kBlank);
    EXPECT_TRUE(info.raw[6] & 0x80);

    const std::vector<uint8_t> data = Pattern(32 * 2048, 3);
    ASSERT_EQ(
        drive::Write10(drive_, 0, 32, data.data(), static_cast<uint32_t>(data.size()), nullptr),
        0u);
    EXPECT_EQ(state(&info), drive::TrackState::kReserved);
    EXPECT_TRUE(info.nwa_valid);
    EXPECT_EQ(info.next_writable, 32u);

    ASSERT_EQ(
        drive::Write10(drive_, 32, 32, data.data(), static_cast<uint32_t>(data.size()), nullptr),
        0u);
    ASSERT_EQ(drive::CloseTrackSession(drive_, false, 1, 1), 0u);
    EXPECT_EQ(state(&info), drive::TrackState::kClosed);
    EXPECT_FALSE(info.blank);
    EXPECT_FALSE(info.nwa_valid);
    EXPECT_EQ(info.free_blocks, 0u);
    EXPECT_EQ((info.raw[6] & 0x80) != 0, cd) << "reserved bit of the closed track";
    TearDown();
  }
}

// The rule itself on the answers of the MMC track status table: the reserved bit alone never makes
// a track open; the next writable address with free blocks does, unless the session or the disc
// is complete.
TEST(TrackStateRuleTest, FollowsTheTrackStatusTable) {
  struct Case {
    const char* what;
    uint8_t bits;  // byte 6: RT, Blank, Packet/Inc, FP
    bool nwa_valid;
    uint32_t free_blocks;
    uint16_t session;
    uint8_t disc_status, last_session_state;
    uint16_t sessions;
    drive::TrackState want;
  };
  using S = drive::TrackState;
  const Case cases[] = {
      {"invisible track", 0x40, true, 1000, 1, 0, 0, 1, S::kBlank},
      {"empty reserved track", 0xC0, true, 64, 1, 1, 1, 1, S::kBlank},
      {"partially recorded reserved track", 0xA0, true, 32, 1, 1, 1, 1, S::kReserved},
      {"incomplete incremental track", 0x20, true, 5000, 1, 1, 1, 1, S::kOpen},
      {"incomplete track on DVD+R", 0x00, true, 5000, 1, 1, 1, 1, S::kOpen},
      {"complete reserved CD track", 0x80, false, 0, 1, 1, 1, 1, S::kClosed},
      {"complete incremental track", 0x20, false, 0, 1, 1, 1, 1, S::kClosed},
      {"complete track at once", 0x00, false, 0, 1, 1, 1, 1, S::kClosed},
      {"valid address but no free blocks", 0x20, true, 0, 1, 1, 1, 1, S::kClosed},
      {"track of an earlier session", 0x20, true, 100, 1, 1, 0, 2, S::kClosed},
      {"track on a finalized disc", 0xA0, true, 100, 1, 2, 3, 1, S::kClosed},
      {"track of a complete last session", 0x20, true, 100, 2, 1, 3, 2, S::kClosed},
      {"formatted restricted overwrite", 0x30, true, 1000, 1, 2, 3, 1, S::kClosed},
  };
  for (const Case& c : cases) {
    drive::TrackInformation track;
    track.raw[6] = c.bits;
    track.blank = (c.bits & 0x40) != 0;
    track.nwa_valid = c.nwa_valid;
    track.free_blocks = c.free_blocks;
    track.session = c.session;
    drive::DiscInformation disc;
    disc.disc_status = c.disc_status;
    disc.last_session_state = c.last_session_state;
    disc.sessions = c.sessions;
    EXPECT_EQ(drive::ClassifyTrack(track, disc), c.want) << c.what;
  }
}

}  // namespace
}  // namespace quillden::recording::testing
