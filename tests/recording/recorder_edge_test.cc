// The recorder's edge cases and faults: command sizes and alignment, the track at once address of
// a second track, cancellation, write errors, a drive that stays busy, a medium that vanishes.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>

#include "drive/mmc_vocabulary.h"
#include "quillden/drive.h"
#include "quillden/result.h"
#include "recording_fixture.h"

namespace quillden::recording::testing {
namespace {

std::vector<uint8_t> Pattern(uint32_t blocks, uint8_t seed) {
  std::vector<uint8_t> data(static_cast<size_t>(blocks) * 2048);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(seed + i / 2048 + i * 7);
  return data;
}

std::vector<uint16_t> WriteLengths(const LoggingTransport& log) {
  std::vector<uint16_t> lengths;
  for (const LoggedCommand& c : log.Commands(0x2A)) lengths.push_back(c.blocks());
  return lengths;
}

using RecorderEdgeTest = VirtualDriveTest;

TEST_F(RecorderEdgeTest, HundredSectorsOnDvdPlusRAreThreeFullCommandsAndOneShort) {
  OpenDrive("dvd+r");
  const std::vector<uint8_t> data = Pattern(100, 3);
  TestProgress progress;
  ASSERT_EQ(RecordImage(drive_, 1, data, 0, 0, progress.reporter()), 0u);
  EXPECT_EQ(WriteLengths(*log_), (std::vector<uint16_t>{32, 32, 32, 4}));
  EXPECT_EQ(ReadBacking(0, 100), data);
  // Flushed, then the track and the session closed.
  const std::vector<LoggedCommand> all = log_->All();
  auto last_write = std::find_if(all.rbegin(), all.rend(),
                                 [](const LoggedCommand& c) { return c.opcode == 0x2A; });
  auto sync = std::find_if(all.rbegin(), last_write,
                           [](const LoggedCommand& c) { return c.opcode == 0x35; });
  EXPECT_NE(sync, last_write);
  const std::vector<LoggedCommand> closes = log_->Commands(0x5B);
  ASSERT_EQ(closes.size(), 2u);
  EXPECT_EQ(closes[0].cdb[2] & 7, 1);
  EXPECT_EQ(closes[0].cdb[5], 1);  // track 1
  EXPECT_EQ(closes[1].cdb[2] & 7, 2);
}

TEST_F(RecorderEdgeTest, RestrictedOverwritePadsTheLastWriteWithZeros) {
  OpenDrive("dvd-rw");
  const std::vector<uint8_t> data = Pattern(100, 9);
  TestProgress progress;
  // Write mode 2 from block 0 quick-formats a sequential DVD-RW for restricted overwrite.
  ASSERT_EQ(RecordImage(drive_, 2, data, 0, 0, progress.reporter()), 0u);
  EXPECT_EQ(Profile(), 0x13);
  const std::vector<LoggedCommand> formats = log_->Commands(0x04);
  ASSERT_EQ(formats.size(), 1u);
  EXPECT_EQ(WriteLengths(*log_), (std::vector<uint16_t>{32, 32, 32, 32}));
  const std::vector<uint8_t> disc = ReadBacking(0, 128);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), disc.begin()));
  EXPECT_TRUE(
      std::all_of(disc.begin() + data.size(), disc.end(), [](uint8_t b) { return b == 0; }));
  EXPECT_EQ(progress.record->session_track[2].load(), 128u);
}

TEST_F(RecorderEdgeTest, UnalignedStartOnOverwriteMediaWritesLeadingZeros) {
  OpenDrive("dvd-rw-ro");
  // Something recorded before, so the zeros are visible.
  TestProgress first;
  ASSERT_EQ(RecordImage(drive_, 1, Pattern(64, 1), 0, 0, first.reporter()), 0u);
  log_->Clear();
  const std::vector<uint8_t> data = Pattern(40, 5);
  TestProgress progress;
  ASSERT_EQ(RecordImage(drive_, 1, data, 100, 0, progress.reporter()), 0u);
  const std::vector<LoggedCommand> writes = log_->Commands(0x2A);
  ASSERT_FALSE(writes.empty());
  EXPECT_EQ(writes.front().lba(), 96u);  // 100 rounded down to a 16-block unit
  for (const LoggedCommand& w : writes) EXPECT_EQ(w.lba() % 16, 0u);
  const std::vector<uint8_t> lead = ReadBacking(96, 4);
  EXPECT_TRUE(std::all_of(lead.begin(), lead.end(), [](uint8_t b) { return b == 0; }));
  EXPECT_EQ(ReadBacking(100, 40), data);
  // Appending grows the last session (format type 0x13), it does not wipe the disc.
  const std::vector<LoggedCommand> formats = log_->Commands(0x04);
  ASSERT_EQ(formats.size(), 1u);
  EXPECT_EQ(ReadBacking(0, 64), Pattern(64, 1));
}

TEST_F(RecorderEdgeTest, SecondTrackAtOnceTrackStartsAtTheDrivesNextWritableAddress) {
  OpenDrive("cd-r");
  TestProgress progress;
  std::unique_ptr<Recorder> recorder =
      CreateRecorder(drive_, 1, 2, kWriteLeaveOpen, progress.reporter());
  ASSERT_NE(recorder, nullptr);
  const std::vector<uint8_t> one = Pattern(300, 1);
  ASSERT_EQ(OpenRecording(*recorder, 0x09, kDataMode1, 0, 300, 0, nullptr, 0), 0u);
  ASSERT_EQ(WriteRecordingData(*recorder, one.data(), one.size()), 0u);
  ASSERT_EQ(FinishRecording(*recorder, 0x09, nullptr, 0, 0, nullptr), 0u);
  drive::TrackInformation invisible;
  ASSERT_EQ(drive::ReadTrackInformation(drive_, 1, 0xFF, &invisible), 0u);
  ASSERT_GT(invisible.next_writable, 300u);  // after the run-out of track 1
  log_->Clear();
  const std::vector<uint8_t> two = Pattern(50, 2);
  // The caller's guess (300) is wrong; the recorder asks the drive.
  ASSERT_EQ(OpenRecording(*recorder, 0x09, kDataMode1, 300, 50, 0, nullptr, 0), 0u);
  EXPECT_EQ(recorder->track_start(), invisible.next_writable);
  ASSERT_EQ(WriteRecordingData(*recorder, two.data(), two.size()), 0u);
  ASSERT_EQ(FinishRecording(*recorder, 0x09, nullptr, 0, 0, nullptr), 0u);
  EXPECT_EQ(log_->Commands(0x2A).front().lba(), invisible.next_writable);
  EXPECT_EQ(ReadBacking(invisible.next_writable, 50), two);
  EXPECT_EQ(progress.record->session_track[1].load(), 2u);
  EXPECT_EQ(progress.record->session_track[2].load(), 350u);
  // Both tracks are in the one session of the job.
  _TRACKINFORMATION track{};
  ASSERT_GE(DRV_GetTrackInformation(drive_, 2, &track, FALSE), 2);
  EXPECT_EQ(track.wSession, 1);
}

TEST_F(RecorderEdgeTest, CancelEndsWithCancelledAndASynchronizedCache) {
  OpenDrive("dvd+r");
  TestProgress progress;
  std::unique_ptr<Recorder> recorder =
      CreateRecorder(drive_, 1, 1, kWriteLeaveOpen, progress.reporter());
  ASSERT_EQ(OpenRecording(*recorder, 0x1B, kDataMode1, 0, 20000, 0, nullptr, 0), 0u);
  const std::vector<uint8_t> piece = Pattern(512, 4);
  uint32_t result = 0;
  for (int i = 0; i < 39 && result == 0; ++i) {
    if (i == 10) progress.record->status = 16;  // the user cancels
    result = WriteRecordingData(*recorder, piece.data(), piece.size());
  }
  const uint32_t finished = FinishRecording(*recorder, 0x1B, nullptr, 0, 0, nullptr);
  EXPECT_EQ(finished, QD_E_CANCELLED);
  EXPECT_TRUE(result == QD_E_CANCELLED || result == 0);
  const std::vector<LoggedCommand> all = log_->All();
  ASSERT_FALSE(all.empty());
  auto last_write = std::find_if(all.rbegin(), all.rend(),
                                 [](const LoggedCommand& c) { return c.opcode == 0x2A; });
  EXPECT_TRUE(std::any_of(all.rbegin(), last_write,
                          [](const LoggedCommand& c) { return c.opcode == 0x35; }));
  EXPECT_TRUE(log_->Commands(0x5B).empty());  // nothing closed after a cancel
  EXPECT_LT(log_->Commands(0x2A).size(), 20000u / 32);
}

TEST_F(RecorderEdgeTest, WriteErrorStopsTheProducerAndTheWriter) {
  OpenDrive("dvd-r");
  TestProgress progress;
  virtual_->InjectSense(drive::mmc::kOpWrite10, 5, 3, 0x0C,
                        0x00);  // the fifth WRITE fails: write error
  const uint32_t result = RecordImage(drive_, 1, Pattern(2000, 1), 0, 0, progress.reporter());
  EXPECT_EQ(result, QD_E_COMMAND_FAILED);
  EXPECT_EQ(log_->Commands(0x2A).size(), 5u);  // nothing written after the failure
  EXPECT_EQ(DRV_GetLastCommandError(nullptr), 0x2A030C00u);
  EXPECT_TRUE(log_->Commands(0x5B).empty());
}

TEST_F(RecorderEdgeTest, DriveBusyLongerThan180SecondsTimesOut) {
  OpenDrive("dvd+r", 0, &env_);
  FastClock clock(&env_.now_ms);
  drive::SetDriveClockForTesting(&clock);
  TestProgress progress;
  std::unique_ptr<Recorder> recorder =
      CreateRecorder(drive_, 1, 1, kWriteLeaveOpen, progress.reporter());
  ASSERT_EQ(OpenRecording(*recorder, 0x1B, kDataMode1, 0, 256, 0, nullptr, 0), 0u);
  virtual_->SetNotReadyForMs(200000);
  const std::vector<uint8_t> data = Pattern(256, 1);
  const uint32_t written = WriteRecordingData(*recorder, data.data(), data.size());
  const uint32_t finished = FinishRecording(*recorder, 0x1B, nullptr, 0, 0, nullptr);
  drive::SetDriveClockForTesting(nullptr);
  EXPECT_TRUE(written == 0 || written == QD_E_TIMEOUT);
  EXPECT_EQ(finished, QD_E_TIMEOUT);
}

TEST_F(RecorderEdgeTest, ShortBusyPeriodIsRiddenOut) {
  OpenDrive("dvd+r", 0, &env_);
  FastClock clock(&env_.now_ms);
  drive::SetDriveClockForTesting(&clock);
  TestProgress progress;
  std::unique_ptr<Recorder> recorder =
      CreateRecorder(drive_, 1, 1, kWriteLeaveOpen, progress.reporter());
  ASSERT_EQ(OpenRecording(*recorder, 0x1B, kDataMode1, 0, 64, 0, nullptr, 0), 0u);
  virtual_->SetNotReadyForMs(30000);
  const std::vector<uint8_t> data = Pattern(64, 1);
  EXPECT_EQ(WriteRecordingData(*recorder, data.data(), data.size()), 0u);
  EXPECT_EQ(FinishRecording(*recorder, 0x1B, nullptr, 0, 0, nullptr), 0u);
  drive::SetDriveClockForTesting(nullptr);
  EXPECT_EQ(ReadBacking(0, 64), data);
}

TEST_F(RecorderEdgeTest, MediumRemovedMidWriteFailsTheJob) {
  OpenDrive("dvd+r");
  TestProgress progress;
  std::unique_ptr<Recorder> recorder =
      CreateRecorder(drive_, 1, 1, kWriteLeaveOpen, progress.reporter());
  ASSERT_EQ(OpenRecording(*recorder, 0x1B, kDataMode1, 0, 20000, 0, nullptr, 0), 0u);
  const std::vector<uint8_t> piece = Pattern(512, 4);
  uint32_t result = 0;
  for (int i = 0; i < 39 && result == 0; ++i) {
    if (i == 12) virtual_->RemoveMedium();
    result = WriteRecordingData(*recorder, piece.data(), piece.size());
  }
  EXPECT_EQ(FinishRecording(*recorder, 0x1B, nullptr, 0, 0, nullptr), QD_E_COMMAND_FAILED);
  EXPECT_EQ(DRV_GetLastCommandError(nullptr) & 0xFFFF00u, 0x023A00u);
}

TEST_F(RecorderEdgeTest, ModeTwoTrackCarriesTheSubheader) {
  OpenDrive("cd-r");
  TestProgress progress;
  const std::vector<uint8_t> data = Pattern(40, 8);
  ASSERT_EQ(RecordImage(drive_, 2, data, 0, 0, progress.reporter(), kDataMode2), 0u);
  // The user data of form 1 blocks is what the producer pushed.
  EXPECT_EQ(ReadBacking(0, 40), data);
  _MEDIAINFORMATION info{};
  ASSERT_EQ(DRV_GetMediaInformation(drive_, &info), 0u);
  EXPECT_EQ(info.dwDataMode, 2u);
}

// A producer that builds blocks in place: what it commits goes out exactly as written blocks do,
// in whole commands, and blocks it reserved but gave up (a failed read) never reach the drive.
TEST_F(RecorderEdgeTest, BlocksBuiltInPlaceGoOutAsWrittenAndUncommittedOnesNever) {
  OpenDrive("dvd+r");
  TestProgress progress;
  const uint32_t total = 300;
  const std::vector<uint8_t> data = Pattern(total, 5);
  std::unique_ptr<Recorder> recorder =
      CreateRecorder(drive_, 1, 1, kWriteLeaveOpen, progress.reporter());
  ASSERT_EQ(OpenRecording(*recorder, 0x1B, kDataMode1, 0, total, 0, nullptr, 0), 0u);
  ASSERT_TRUE(recorder->takes_data_blocks_in_place());
  ASSERT_EQ(WriteRecordingData(*recorder, data.data(), 10 * 2048),
            0u);  // reservations start mid-frame

  uint32_t next = 10;
  for (uint32_t round = 0; next < total; ++round) {
    uint8_t* room = nullptr;
    uint32_t blocks = 0;
    const uint32_t asked = std::min<uint32_t>(total - next, 5 + round * 11 % 40);
    ASSERT_EQ(recorder->Reserve(asked, &room, &blocks), 0u);
    ASSERT_GE(blocks, 1u);
    ASSERT_LE(blocks, asked);
    ASSERT_LE((next % 32) + blocks, 32u);                 // never past the end of a frame
    std::fill(room, room + size_t{blocks} * 2048, 0xEE);  // half-read data of a failing source
    if (round % 3 == 1) {
      // Given up once, then reserved again: the same place, the stale bytes overwritten.
      ASSERT_EQ(recorder->Commit(0), 0u);
      uint8_t* again = nullptr;
      ASSERT_EQ(recorder->Reserve(asked, &again, &blocks), 0u);
      EXPECT_EQ(again, room);
    }
    EXPECT_EQ(recorder->Commit(blocks + 1), QD_E_INVALID_ARGUMENT);  // more than lent
    ASSERT_EQ(recorder->Reserve(asked, &room, &blocks), 0u);
    const uint32_t committed = blocks > 1 && round % 4 == 2 ? blocks - 1 : blocks;
    std::copy_n(data.begin() + size_t{next} * 2048, size_t{committed} * 2048, room);
    ASSERT_EQ(recorder->Commit(committed), 0u);
    next += committed;
    if (round == 5 && next + 3 <= total) {
      ASSERT_EQ(WriteRecordingData(*recorder, data.data() + size_t{next} * 2048, 3 * 2048), 0u);
      next += 3;
    }
  }
  ASSERT_EQ(FinishRecording(*recorder, 0x1B, nullptr, 0, 0, nullptr), 0u);
  EXPECT_EQ(ReadBacking(0, total), data);
  std::vector<uint16_t> expected(total / 32, 32);
  expected.push_back(total % 32);
  EXPECT_EQ(WriteLengths(*log_), expected);
}

TEST_F(RecorderEdgeTest, BuildingInPlaceStopsAtTheWritersFailure) {
  OpenDrive("dvd-r");
  TestProgress progress;
  virtual_->InjectSense(0x2A, 3, 3, 0x0C, 0x00);  // the third WRITE fails: write error
  std::unique_ptr<Recorder> recorder =
      CreateRecorder(drive_, 1, 1, kWriteLeaveOpen, progress.reporter());
  ASSERT_EQ(OpenRecording(*recorder, 0x11, kDataMode1, 0, 20000, 0, nullptr, 0), 0u);
  uint32_t result = 0;
  for (uint32_t pushed = 0; pushed < 20000 && result == 0;) {
    uint8_t* room = nullptr;
    uint32_t blocks = 0;
    result = recorder->Reserve(32, &room, &blocks);
    if (result == 0) result = recorder->Commit(blocks);
    pushed += blocks;
  }
  EXPECT_EQ(result, QD_E_COMMAND_FAILED);
  EXPECT_EQ(FinishRecording(*recorder, 0x11, nullptr, 0, 0, nullptr), QD_E_COMMAND_FAILED);
  EXPECT_EQ(log_->Commands(0x2A).size(), 3u);
}

TEST_F(RecorderEdgeTest, ModeTwoTrackLendsNoBlocks) {
  OpenDrive("cd-r");
  TestProgress progress;
  std::unique_ptr<Recorder> cd = CreateRecorder(drive_, 1, 1, kWriteLeaveOpen, progress.reporter());
  ASSERT_EQ(OpenRecording(*cd, 0x09, kDataMode2, 0, 40, 0, nullptr, 0), 0u);
  EXPECT_FALSE(cd->takes_data_blocks_in_place());
  uint8_t* room = nullptr;
  uint32_t blocks = 7;
  EXPECT_EQ(cd->Reserve(8, &room, &blocks), QD_E_INVALID_ARGUMENT);
  EXPECT_EQ(room, nullptr);
  EXPECT_EQ(blocks, 0u);
}

TEST_F(RecorderEdgeTest, OtherProfilesAreRefused) {
  OpenDrive("dvd+r");
  std::unique_ptr<Recorder> recorder =
      CreateRecorder(drive_, 1, 1, kWriteLeaveOpen, ProgressReporter());
  EXPECT_EQ(OpenRecording(*recorder, 0x10, kDataMode1, 0, 16, 0, nullptr, 0),
            QD_E_INVALID_ARGUMENT);
  EXPECT_EQ(OpenRecording(*recorder, 0x43, kDataMode1, 0, 16, 0, nullptr, 0),
            QD_E_INVALID_ARGUMENT);
  EXPECT_TRUE(log_->Commands(0x2A).empty());
}

}  // namespace
}  // namespace quillden::recording::testing
