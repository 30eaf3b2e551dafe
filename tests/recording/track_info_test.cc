// Track information of recorded discs: the exact size of a CD track followed by a pregap (the drive's
// own gap and the run-out of a data track are not the track's), and the one track of an overwritable
// DVD+RW.
#include <gtest/gtest.h>

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
    std::unique_ptr<Recorder> recorder =
        CreateRecorder(drive_, 1, static_cast<uint32_t>(types.size()), kWriteLeaveOpen, progress.reporter());
    ASSERT_NE(recorder, nullptr);
    for (size_t i = 0; i < types.size(); ++i) {
      const size_t block_bytes = types[i] == kDataAudio ? 2352 : 2048;
      const std::vector<uint8_t> data = Pattern(blocks[i] * block_bytes, static_cast<uint8_t>(i + 1));
      ASSERT_EQ(OpenRecording(*recorder, Profile(), types[i], 0, blocks[i], 0, nullptr, 0), 0u) << "track " << i + 1;
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

}  // namespace
}  // namespace quillden::recording::testing
