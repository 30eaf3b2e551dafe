// The command record, the last command error, the builders and their retry rules, over a scripted
// drive.
#include "drive/drive_command.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "drive/drive_handle.h"
#include "drive/driver_control.h"
#include "drive/mmc_commands.h"
#include "drive/mmc_vocabulary.h"
#include "drive/profiles.h"
#include "drive/recording/recorder.h"
#include "drive/scripted_drive.h"
#include "drive/transport.h"
#include "progress/progress_record.h"
#include "quillden/drive.h"
#include "quillden/result.h"
#include "util/byte_order.h"

namespace quillden::drive {
namespace {

using testing::Answer;
using testing::ScriptedDrive;

class FakeClock : public DriveClock {
 public:
  uint64_t TickMs() override { return now; }
  void SleepMs(uint32_t ms) override {
    now += ms;
    ++sleeps;
  }
  uint64_t now = 1000;
  int sleeps = 0;
};

class DriveCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ClearLastCommandErrorForTesting();
    SetDriveClockForTesting(&clock_);
    drive_ = script_.Open('V');
  }
  void TearDown() override {
    CloseDriveHandle(drive_);
    SetDriveClockForTesting(nullptr);
  }
  FakeClock clock_;
  ScriptedDrive script_;
  HANDLE drive_ = nullptr;
};

TEST_F(DriveCommandTest, InquiryTravelsAsOneRecordWithItsFields) {
  Answer answer;
  answer.data.assign(36, 0);
  answer.data[0] = 5;
  std::memcpy(answer.data.data() + 8, "QUENVAR VIRTUAL RECORDER1.00", 28);
  script_.Always(mmc::kOpInquiry, answer);
  _DEVICEINFO info{};
  ASSERT_EQ(DRV_GetDeviceInfo(drive_, &info), QD_OK);
  ASSERT_EQ(script_.log().size(), 1u);
  const auto& c = script_.log()[0];
  EXPECT_EQ(c.cdb, (std::vector<uint8_t>{0x12, 0, 0, 0, 36, 0}));
  EXPECT_EQ(c.direction, kDataIn);
  EXPECT_EQ(c.data_length, 36u);
  EXPECT_EQ(c.timeout, 180u);
  EXPECT_EQ(info.wDeviceType, 5);
  EXPECT_EQ(std::u16string(info.szVendor), u"QUENVAR ");
  EXPECT_EQ(std::u16string(info.szProduct), u"VIRTUAL RECORDER");
  EXPECT_EQ(std::u16string(info.szRevision), u"1.00");
}

TEST_F(DriveCommandTest, ResultsKeepTransportFailureApartFromCheckCondition) {
  script_.Always(mmc::kOpTestUnitReady, Answer::Sense(2, 0x3A, 0));
  EXPECT_EQ(TestUnitReady(drive_), QD_E_COMMAND_FAILED);
  Answer fail;
  fail.fail_request = true;
  script_.Always(mmc::kOpTestUnitReady, fail);
  EXPECT_EQ(TestUnitReady(drive_), QD_E_PASS_THROUGH);
  Answer nothing;
  nothing.return_nothing = true;
  script_.Always(mmc::kOpTestUnitReady, nothing);
  EXPECT_EQ(TestUnitReady(drive_), QD_E_DRIVER_REQUEST);
  EXPECT_EQ(TestUnitReady(nullptr), QD_E_PASS_THROUGH);
}

TEST_F(DriveCommandTest, DataOutIsCopiedIntoTheRecord) {
  script_.Always(mmc::kOpModeSelect10, Answer{});
  uint8_t page[60] = {};
  page[8] = 0x05;
  page[59] = 0xAB;
  ASSERT_EQ(ModeSelect10(drive_, page, sizeof(page)), QD_OK);
  const auto& c = script_.log().back();
  EXPECT_EQ(c.direction, kDataOut);
  ASSERT_EQ(c.data_out.size(), 60u);
  EXPECT_EQ(c.data_out[8], 0x05);
  EXPECT_EQ(c.data_out[59], 0xAB);
  EXPECT_EQ(c.cdb[1], 0x10);
  EXPECT_EQ(GetBe16(c.cdb.data() + 7), 60);
}

// A transport that keeps a copy of every record it is handed and answers the way the driver
// interface fixes: status at byte 2, delivered sense length at byte 7, sense from byte 48, data
// from byte 80. Its offsets are written out as numbers on purpose: they are the other side of the
// wire (the virtual recorder and the SG_IO transport read the same bytes), so a name in transport.h
// that drifts from them fails here.
class RecordingTransport : public Transport {
 public:
  bool Request(uint32_t code, void* buffer, uint32_t in_size, uint32_t out_size,
               uint32_t* bytes_returned) override {
    uint8_t* r = static_cast<uint8_t*>(buffer);
    codes.push_back(code);
    buffers.push_back(r);
    records.emplace_back(r, r + in_size);
    out_sizes.push_back(out_size);
    if (sense_key != 0) {
      r[2] = 2;
      r[7] = 18;
      r[48] = 0x70;
      r[48 + 2] = sense_key;
      r[48 + 12] = asc;
      r[48 + 13] = ascq;
      r[48 + 16] = 0x12;
      r[48 + 17] = 0x34;
    } else if (r[8] == 1) {
      for (uint32_t i = 80; i < in_size; ++i) r[i] = static_cast<uint8_t>(i * 7);
    }
    *bytes_returned = in_size;
    return true;
  }
  std::vector<uint32_t> codes;
  std::vector<const uint8_t*> buffers;
  std::vector<std::vector<uint8_t>> records;
  std::vector<uint32_t> out_sizes;
  uint8_t sense_key = 0, asc = 0, ascq = 0;
};

TEST(PassThroughRecordTest, CommandLandsInTheFieldsTheDriverInterfaceFixes) {
  auto owned = std::make_unique<RecordingTransport>();
  RecordingTransport* transport = owned.get();
  HANDLE drive = OpenDriveOnTransport(std::move(owned), 'R');
  ASSERT_NE(drive, nullptr);

  // Data out: WRITE(10) of five bytes.
  uint8_t payload[5] = {0xA1, 0xB2, 0xC3, 0xD4, 0xE5};
  DriveCommand write;
  write.cdb[0] = mmc::kOpWrite10;
  write.cdb[5] = 0x42;
  write.cdb[15] = 0x99;  // all 16 bytes travel, whatever the length says
  write.cdb_length = 10;
  write.data = payload;
  write.data_length = sizeof(payload);
  write.timeout = 0x01020304;
  write.direction = kDataOut;
  ASSERT_EQ(SendDriveCommand(drive, write), QD_OK);
  ASSERT_EQ(transport->records.size(), 1u);
  EXPECT_EQ(transport->codes[0], kRequestPassThrough);
  std::vector<uint8_t> expected(80 + 5, 0);
  expected[0] = 44;     // header length, little-endian 16 bits
  expected[6] = 10;     // command block length
  expected[7] = 24;     // room for sense
  expected[8] = 0;      // data out
  expected[12] = 5;     // transfer length, 32 bits
  expected[16] = 0x04;  // timeout in seconds, 32 bits
  expected[17] = 0x03;
  expected[18] = 0x02;
  expected[19] = 0x01;
  expected[20] = 80;  // data offset
  expected[24] = 48;  // sense offset
  expected[28] = mmc::kOpWrite10;
  expected[28 + 5] = 0x42;
  expected[28 + 15] = 0x99;
  std::memcpy(expected.data() + 80, payload, sizeof(payload));
  EXPECT_EQ(transport->records[0], expected);
  EXPECT_EQ(transport->out_sizes[0], 85u);
  // The accessors read the fields the engine wrote.
  const uint8_t* record = transport->records[0].data();
  EXPECT_EQ(PassThroughTransferLength(record), 5u);
  EXPECT_EQ(PassThroughTimeout(record), 0x01020304u);
  EXPECT_EQ(PassThroughField32(record, kPassThroughDataField), kPassThroughDataOffset);
  EXPECT_EQ(PassThroughField32(record, kPassThroughSenseField), kPassThroughSenseOffset);

  // Data in: what the transport leaves at byte 80 is the answer, byte for byte.
  uint8_t answer[300] = {};
  DriveCommand read;
  read.cdb[0] = mmc::kOpRead10;
  read.cdb_length = 10;
  read.data = answer;
  read.data_length = sizeof(answer);
  read.timeout = 30;
  read.direction = kDataIn;
  ASSERT_EQ(SendDriveCommand(drive, read), QD_OK);
  EXPECT_EQ(transport->records[1][8], 1);
  EXPECT_EQ(GetLe32(transport->records[1].data() + 12), 300u);
  for (uint32_t i = 0; i < sizeof(answer); ++i) {
    ASSERT_EQ(answer[i], static_cast<uint8_t>((80 + i) * 7)) << i;
  }

  // CHECK CONDITION: status and sense come back from their bytes; the data is not taken.
  std::memset(answer, 0xEE, sizeof(answer));
  transport->sense_key = mmc::kSenseNotReady;
  transport->asc = mmc::kAscLogicalUnitNotReady;
  transport->ascq = 0x07;
  EXPECT_EQ(SendDriveCommand(drive, read), QD_E_COMMAND_FAILED);
  EXPECT_EQ(read.SenseTriple(), 0x020407u);
  EXPECT_TRUE(read.IsOperationInProgress());
  EXPECT_EQ(read.ProgressIndication(), 0x1234);
  EXPECT_EQ(answer[0], 0xEE);
  EXPECT_EQ(CloseDriveHandle(drive), QD_OK);
}

// A caller's record crosses to the transport itself, with the header built exactly as for a
// record of the engine's own, whatever the room in front of the data held before.
TEST(PassThroughRecordTest, CallersRecordTravelsWithoutACopy) {
  auto owned = std::make_unique<RecordingTransport>();
  RecordingTransport* transport = owned.get();
  HANDLE drive = OpenDriveOnTransport(std::move(owned), 'R');
  ASSERT_NE(drive, nullptr);
  std::vector<uint8_t> blocks(4 * 2048);
  for (size_t i = 0; i < blocks.size(); ++i) blocks[i] = static_cast<uint8_t>(i * 13 + 1);
  ASSERT_EQ(Write10(drive, 1234, 4, blocks.data(), 4 * 2048, nullptr), QD_OK);

  std::vector<uint8_t> record(kPassThroughDataOffset + blocks.size(), 0xFF);  // stale header
  std::memcpy(record.data() + kPassThroughDataOffset, blocks.data(), blocks.size());
  ASSERT_EQ(Write10InRecord(drive, 1234, 4, record.data(), 4 * 2048, nullptr), QD_OK);
  ASSERT_EQ(transport->records.size(), 2u);
  EXPECT_EQ(transport->buffers[1], record.data());
  EXPECT_EQ(transport->records[1], transport->records[0]);

  // Data in: the answer stays in the record.
  std::vector<uint8_t> in(kPassThroughDataOffset + 100, 0xFF);
  DriveCommand read;
  read.cdb[0] = mmc::kOpRead10;
  read.cdb_length = 10;
  read.data = in.data() + kPassThroughDataOffset;
  read.data_length = 100;
  read.direction = kDataIn;
  ASSERT_EQ(SendDriveCommandInRecord(drive, read, in.data()), QD_OK);
  EXPECT_EQ(in[kPassThroughDataOffset + 99], static_cast<uint8_t>((80 + 99) * 7));

  // Data that does not lie behind the header room is refused before anything is sent.
  read.data = in.data();
  EXPECT_EQ(SendDriveCommandInRecord(drive, read, in.data()), QD_E_INVALID_ARGUMENT);
  EXPECT_EQ(transport->records.size(), 3u);
  EXPECT_EQ(CloseDriveHandle(drive), QD_OK);
}

TEST_F(DriveCommandTest, LastErrorKeepsProbeMissesOutAndClampsSense) {
  Answer not_ready = Answer::Sense(3, 0x11, 0x05);
  not_ready.sense_length = 24;
  script_.Always(mmc::kOpRead10, not_ready);
  uint8_t block[2048];
  EXPECT_EQ(Read10(drive_, 100, block, 2048), QD_E_COMMAND_FAILED);
  _COMMANDERRORINFOMATION info{};
  EXPECT_EQ(DRV_GetLastCommandError(&info), 0x28031105u);
  EXPECT_EQ(info.SenseLength, 18);  // the drive said 24
  EXPECT_EQ(info.CdbLength, 10);
  EXPECT_EQ(GetBe32(info.Cdb + 2), 100u);
  EXPECT_EQ(DRV_GetLastCommandError(nullptr), 0x28031105u);

  // Probing a track or a session that does not exist leaves the record alone...
  script_.Always(mmc::kOpReadTrackInformation, Answer::Sense(5, 0x24, 0));
  script_.Always(mmc::kOpReadToc, Answer::Sense(5, 0x24, 0));
  TrackInformation track;
  EXPECT_EQ(ReadTrackInformation(drive_, 1, 7, &track), QD_E_COMMAND_FAILED);
  uint8_t toc[12];
  EXPECT_EQ(ReadToc(drive_, false, 0, 7, toc, sizeof(toc)), QD_E_COMMAND_FAILED);
  EXPECT_EQ(DRV_GetLastCommandError(nullptr), 0x28031105u);
  // ...but another sense on the same command, or the same sense on READ(10), replaces it.
  script_.Always(mmc::kOpReadTrackInformation, Answer::Sense(5, 0x24, 1));
  EXPECT_EQ(ReadTrackInformation(drive_, 1, 7, &track), QD_E_COMMAND_FAILED);
  EXPECT_EQ(DRV_GetLastCommandError(nullptr), 0x52052401u);
  script_.Always(mmc::kOpRead10, Answer::Sense(5, 0x24, 0));
  EXPECT_EQ(Read10(drive_, 0, block, 2048), QD_E_COMMAND_FAILED);
  EXPECT_EQ(DRV_GetLastCommandError(nullptr), 0x28052400u);
}

TEST_F(DriveCommandTest, ReadTocOutOfRangeSendsNothing) {
  uint8_t toc[12];
  EXPECT_EQ(ReadToc(drive_, false, 6, 0, toc, sizeof(toc)), QD_OK);
  EXPECT_EQ(ReadToc(drive_, false, 0, 0, toc, 0), QD_OK);
  TrackInformation track;
  EXPECT_EQ(ReadTrackInformation(drive_, 3, 1, &track), QD_OK);
  EXPECT_TRUE(script_.log().empty());
}

TEST_F(DriveCommandTest, NotReadyPollingAndWaitLimits) {
  Answer busy = Answer::Sense(2, 0x04, 0x07);
  busy.progress = 0x8000;
  script_.Always(mmc::kOpTestUnitReady, busy);
  uint16_t progress = 0;
  EXPECT_EQ(TestUnitReady(drive_, &progress), kOperationInProgress);
  EXPECT_EQ(progress, 0x8000);
  EXPECT_EQ(WaitUntilReady(drive_, 3), QD_E_TIMEOUT);
  EXPECT_EQ(clock_.sleeps, 3);
  // ASCQ 9 is not an operation in progress.
  script_.Always(mmc::kOpTestUnitReady, Answer::Sense(2, 0x04, 0x09));
  EXPECT_EQ(TestUnitReady(drive_), QD_E_COMMAND_FAILED);

  int calls = 0;
  script_.On(mmc::kOpReadDiscInformation, [&](const auto&) {
    if (++calls < 4) return Answer::Sense(2, 0x04, 0x08);
    Answer done;
    done.data.assign(34, 0);
    done.data[1] = 32;
    done.data[2] = 0x1E;  // erasable, complete session, complete disc
    done.data[6] = 3;
    return done;
  });
  DiscInformation disc;
  EXPECT_EQ(WaitWhileDiscBusy(drive_, &disc, 0), QD_OK);
  EXPECT_EQ(calls, 4);
  EXPECT_TRUE(disc.erasable);
  EXPECT_EQ(disc.disc_status, 2);
  EXPECT_EQ(disc.last_session_state, 3);
  EXPECT_EQ(disc.last_track_last_session, 3);
}

TEST_F(DriveCommandTest, WriteRetriesWhileBusyAndStopsOnCancelOrTimeOut) {
  int writes = 0;
  script_.On(mmc::kOpWrite10,
             [&](const auto&) { return ++writes < 3 ? Answer::Sense(2, 0x04, 0x08) : Answer{}; });
  std::vector<uint8_t> data(2048 * 2, 0x5A);
  EXPECT_EQ(Write10(drive_, 32, 2, data.data(), static_cast<uint32_t>(data.size()), nullptr),
            QD_OK);
  EXPECT_EQ(writes, 3);
  const auto& c = script_.log().back();
  EXPECT_EQ(GetBe32(c.cdb.data() + 2), 32u);
  EXPECT_EQ(GetBe16(c.cdb.data() + 7), 2);
  EXPECT_EQ(c.data_out, data);

  script_.Always(mmc::kOpWrite10, Answer::Sense(2, 0x04, 0x08));
  EXPECT_EQ(Write10(drive_, 0, 1, data.data(), 2048, nullptr), QD_E_TIMEOUT);
  EXPECT_GT(clock_.now, 180000u);

  auto record = std::make_shared<ProgressRecord>();
  record->status = 16;
  ProgressReporter reporter(record);
  script_.ClearLog();
  EXPECT_EQ(Write10(drive_, 0, 1, data.data(), 2048, &reporter), QD_E_CANCELLED);
  EXPECT_EQ(script_.Count(mmc::kOpWrite10), 2u);

  // A different failure after busy answers ends the loop with that failure.
  writes = 0;
  script_.On(mmc::kOpWrite10, [&](const auto&) {
    return ++writes < 2 ? Answer::Sense(2, 0x04, 0x08) : Answer::Sense(3, 0x0C, 0);
  });
  EXPECT_EQ(Write10(drive_, 0, 1, data.data(), 2048, nullptr), QD_E_COMMAND_FAILED);
}

TEST_F(DriveCommandTest, ReadRetryRules) {
  int reads = 0;
  script_.On(mmc::kOpRead10,
             [&](const auto&) { return ++reads <= 3 ? Answer::Sense(3, 0x11, 0) : Answer{}; });
  script_.Always(mmc::kOpSeek10, Answer{});
  uint8_t block[2048];
  EXPECT_EQ(ReadWithRetry(drive_, 77, block, 2048, true), QD_OK);
  EXPECT_EQ(script_.Count(mmc::kOpSeek10), 3u);
  EXPECT_EQ(GetBe32(script_.log().back().cdb.data() + 2), 77u);

  script_.Always(mmc::kOpRead10, Answer::Sense(3, 0x11, 0));
  script_.ClearLog();
  EXPECT_EQ(ReadWithRetry(drive_, 5, block, 2048, true), QD_E_COMMAND_FAILED);
  EXPECT_EQ(script_.Count(mmc::kOpRead10), 6u);
  script_.ClearLog();
  EXPECT_EQ(ReadWithRetry(drive_, 5, block, 2048, false), QD_E_COMMAND_FAILED);
  EXPECT_EQ(script_.Count(mmc::kOpRead10), 1u);

  // The sense form retries only media, hardware and not-ready errors.
  script_.Always(mmc::kOpReadCd, Answer::Sense(5, 0x64, 0));
  script_.ClearLog();
  std::vector<uint8_t> raw(2352);
  EXPECT_EQ(ReadCdWithRetrySense(drive_, 0, 10, raw.data(), 2352, 2352, 0, true), 0x056400u);
  EXPECT_EQ(script_.Count(mmc::kOpReadCd), 1u);
  const auto& c = script_.log().back();
  EXPECT_EQ(c.cdb[9], 0xF8);
  EXPECT_EQ(GetBe24(c.cdb.data() + 6), 1u);
  Answer fail;
  fail.fail_request = true;
  script_.Always(mmc::kOpReadCd, fail);
  EXPECT_EQ(ReadCdWithRetrySense(drive_, 0, 10, raw.data(), 2352, 2352, 0, true), 0xFFFFFFFFu);
}

TEST_F(DriveCommandTest, BuildersSetTheirFields) {
  for (uint8_t op : {0xA1, 0x5B, 0xB6, 0x04, 0x53, 0x5D, 0xBB, 0x1B, 0x1E, 0x35})
    script_.Always(op, Answer{});
  ASSERT_EQ(Blank(drive_, true, 1, 0x10), QD_OK);
  EXPECT_EQ(script_.log().back().cdb,
            (std::vector<uint8_t>{0xA1, 0x11, 0, 0, 0, 0x10, 0, 0, 0, 0, 0, 0}));
  ASSERT_EQ(CloseTrackSession(drive_, true, 2, 0), QD_OK);
  EXPECT_EQ(script_.log().back().cdb, (std::vector<uint8_t>{0x5B, 1, 2, 0, 0, 0, 0, 0, 0, 0}));
  PerformanceDescriptor p;
  p.end_lba = 0x01020304;
  p.write_size = 0x7FFFFF;
  p.write_time = 1000;
  ASSERT_EQ(SetStreaming(drive_, p), QD_OK);
  const auto& s = script_.log().back();
  EXPECT_EQ(s.cdb.size(), 12u);
  EXPECT_EQ(GetBe16(s.cdb.data() + 9), 28);
  ASSERT_EQ(s.data_out.size(), 28u);
  EXPECT_EQ(GetBe32(s.data_out.data() + 8), 0x01020304u);
  EXPECT_EQ(GetBe32(s.data_out.data() + 20), 0x7FFFFFu);
  EXPECT_EQ(GetBe32(s.data_out.data() + 24), 1000u);
  FormatList list;
  list.options = 0x82;
  list.block_count = 0x00112233;
  list.format_type = 0x26;
  list.type_parameter = 16;
  ASSERT_EQ(FormatUnit(drive_, list), QD_OK);
  EXPECT_EQ(script_.log().back().cdb[1], 0x11);
  EXPECT_EQ(script_.log().back().timeout, 360u);
  EXPECT_EQ(script_.log().back().data_out,
            (std::vector<uint8_t>{0, 0x82, 0, 8, 0x00, 0x11, 0x22, 0x33, 0x26 << 2, 0, 0, 16}));
  ASSERT_EQ(ReserveTrack(drive_, 0x00ABCDEF), QD_OK);
  EXPECT_EQ(GetBe32(script_.log().back().cdb.data() + 5), 0x00ABCDEFu);
  ASSERT_EQ(SetCdSpeed(drive_, 0xFFFF, 0xFFFF), QD_OK);
  EXPECT_EQ(script_.log().back().cdb,
            (std::vector<uint8_t>{0xBB, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0}));
  ASSERT_EQ(StartStopUnit(drive_, true, false), QD_OK);
  EXPECT_EQ(script_.log().back().cdb, (std::vector<uint8_t>{0x1B, 1, 0, 0, 2, 0}));
  ASSERT_EQ(PreventAllowMediumRemoval(drive_, true, true), QD_OK);
  EXPECT_EQ(script_.log().back().cdb[4], 3);
  ASSERT_EQ(SynchronizeCache(drive_, true), QD_OK);
  EXPECT_EQ(script_.log().back().cdb[1], 2);
}

Answer PerformanceAnswer(uint32_t declared_length,
                         const std::vector<std::pair<uint32_t, uint32_t>>& speeds) {
  Answer a;
  a.data.assign(8 + speeds.size() * 16, 0);
  PutBe32(a.data.data(), declared_length);
  for (size_t i = 0; i < speeds.size(); ++i) {
    PutBe32(a.data.data() + 8 + i * 16 + 8, speeds[i].first);
    PutBe32(a.data.data() + 8 + i * 16 + 12, speeds[i].second);
  }
  return a;
}

TEST_F(DriveCommandTest, GetPerformanceCountsDescriptorsWithinBounds) {
  script_.Always(mmc::kOpGetPerformance,
                 PerformanceAnswer(4 + 3 * 16, {{100, 10}, {200, 20}, {300, 30}}));
  uint32_t read[50] = {}, write[50] = {};
  EXPECT_EQ(GetPerformance(drive_, read, write, 50), 3u);
  EXPECT_EQ(read[2], 300u);
  EXPECT_EQ(write[1], 20u);
  EXPECT_EQ(GetPerformance(drive_, read, write, 2), 2u);
  const auto& c = script_.log().back();
  EXPECT_EQ(c.data_length, 808u);
  EXPECT_EQ(c.cdb[10], 3);
  EXPECT_EQ(GetBe16(c.cdb.data() + 8), 50);
  // A length claiming far more descriptors than were allowed is held to 50.
  script_.Always(mmc::kOpGetPerformance, PerformanceAnswer(0xFFFFFFF0u, {}));
  EXPECT_EQ(GetPerformance(drive_, read, write, 50), 50u);
  script_.Always(mmc::kOpGetPerformance, Answer::Sense(5, 0x20, 0));
  EXPECT_EQ(GetPerformance(drive_, read, write, 50), 0u);
}

TEST_F(DriveCommandTest, DeviceSpecificationsSortAndCutSpeeds) {
  // Mode page 0x2A: reads CD-R, CD-RW, DVD-ROM, DVD-R; writes CD-R, DVD-R.
  Answer page;
  page.data.assign(38, 0);
  page.data[8] = 0x2A;
  page.data[10] = 0x1B;
  page.data[11] = 0x11;
  script_.Always(mmc::kOpModeSense10, page);
  script_.On(mmc::kOpGetConfiguration, [](const testing::LoggedCommand& c) {
    Answer a;
    a.data.assign(GetBe16(c.cdb.data() + 7), 0);
    const uint16_t feature = GetBe16(c.cdb.data() + 2);
    PutBe16(a.data.data() + 6, 0x11);  // DVD-R in the drive
    if (feature == 0) {
      const uint16_t profiles[] = {0x1B, 0x1A, 0x16, 0x11, 0x10, 0x0A, 0x09, 0x08};
      PutBe32(a.data.data(), 4 + 4 + 4 * 8);
      a.data[11] = 4 * 8;
      for (int i = 0; i < 8; ++i) PutBe16(a.data.data() + 12 + i * 4, profiles[i]);
    } else {
      PutBe32(a.data.data(), 4);  // no such feature
    }
    return a;
  });
  script_.Always(mmc::kOpGetPerformance, PerformanceAnswer(4 + 7 * 16, {{5540, 2770},
                                                                        {11080, 5540},
                                                                        {11080, 8310},
                                                                        {5540, 11080},
                                                                        {11080, 16620},
                                                                        {11080, 16620},
                                                                        {11080, 22160}}));
  DWORD write_speeds[2] = {};
  _DEVICESPECIFICATIONS spec{};
  spec.pWriteSpeeds = write_speeds;
  spec.dwWriteSpeeds = 2;
  spec.pReadSpeeds = nullptr;
  spec.dwReadSpeeds = 0;
  ASSERT_EQ(DRV_GetDeviceSpecifications(drive_, &spec), QD_OK);
  EXPECT_EQ(spec.dwCurrentMedia, MEDIA_DVDR);
  EXPECT_EQ(spec.dwWriteSpeeds, 6u);
  EXPECT_EQ(write_speeds[0], 22160u);
  EXPECT_EQ(write_speeds[1], 16620u);
  EXPECT_EQ(spec.dwReadSpeeds, 2u);
  EXPECT_EQ(spec.dwReadableMedia, MEDIA_CDR | MEDIA_CDRW | MEDIA_DVDROM | MEDIA_DVDR | MEDIA_CDROM |
                                      MEDIA_DVDPR | MEDIA_DVDPRW | MEDIA_DVDR_DL_LJ);
  // Layer jump writing needs feature 0x33, which this drive lacks.
  EXPECT_EQ(spec.dwWritableMedia, MEDIA_CDR | MEDIA_DVDR | MEDIA_DVDPR | MEDIA_DVDPRW);
  EXPECT_EQ(DRV_GetDeviceSpecifications(drive_, nullptr), QD_E_INVALID_ARGUMENT);
  EXPECT_EQ(DRV_GetDeviceSpecifications(nullptr, &spec), QD_E_INVALID_HANDLE);
}

TEST_F(DriveCommandTest, TocChecksItsSizeAndItsAnswer) {
  _TOCINFORMATION toc{};
  EXPECT_EQ(DRV_GetTOCInformation(drive_, &toc, 2), QD_E_INVALID_ARGUMENT);
  EXPECT_EQ(DRV_GetTOCInformation(drive_, nullptr, 0), QD_E_INVALID_ARGUMENT);
  EXPECT_TRUE(script_.log().empty());
  auto toc_answer = [](uint8_t first, uint8_t last, uint16_t descriptors) {
    Answer a;
    a.data.assign(4 + descriptors * 8u, 0);
    PutBe16(a.data.data(), static_cast<uint16_t>(2 + descriptors * 8));
    a.data[2] = first;
    a.data[3] = last;
    for (uint16_t i = 0; i < descriptors; ++i) {
      a.data[4 + i * 8 + 2] = i + 1 == descriptors ? 0xAA : static_cast<uint8_t>(first + i);
      PutBe32(a.data.data() + 4 + i * 8 + 4, i * 1000u);
    }
    return a;
  };
  script_.Always(mmc::kOpReadToc, toc_answer(1, 2, 3));
  ASSERT_EQ(DRV_GetTOCInformation(drive_, &toc, sizeof(toc)), QD_OK);
  EXPECT_EQ(toc.wLength, 26);
  EXPECT_EQ(toc.bLastTrack, 2);
  EXPECT_EQ(toc.dwAddress[2], 2000u);
  EXPECT_EQ(GetBe16(script_.log().back().cdb.data() + 7), sizeof(toc) + 2);
  // A record with room for one address gets one.
  _TOCINFORMATION small{};
  small.dwAddress[1] = 0xDEAD;
  ASSERT_EQ(DRV_GetTOCInformation(drive_, &small, 8), QD_OK);
  EXPECT_EQ(small.dwAddress[0], 0u);
  EXPECT_EQ(small.dwAddress[1], 0xDEADu);
  // A table claiming 200 tracks is refused, however much of it arrives.
  script_.Always(mmc::kOpReadToc, toc_answer(1, 200, 201));
  EXPECT_EQ(DRV_GetTOCInformation(drive_, &toc, sizeof(toc)), QD_E_COMMAND_FAILED);
  Answer garbage;
  garbage.data = {0xFF, 0xFF, 9, 3};
  script_.Always(mmc::kOpReadToc, garbage);
  EXPECT_EQ(DRV_GetTOCInformation(drive_, &toc, sizeof(toc)), QD_E_COMMAND_FAILED);
}

TEST_F(DriveCommandTest, DriveNumbersAndHandles) {
  EXPECT_EQ(DRV_OpenDrive(0), nullptr);
  EXPECT_EQ(DRV_OpenDrive(27), nullptr);
  EXPECT_EQ(DRV_GetDriveNumber(drive_), 22u);  // V:
  EXPECT_EQ(DRV_CloseDrive(nullptr), QD_E_INVALID_HANDLE);
  EXPECT_EQ(DRV_CloseDrive(INVALID_HANDLE_VALUE), QD_E_INVALID_HANDLE);
  HANDLE other = script_.Open('D');
  script_.Always(mmc::kOpPreventAllowMediumRemoval, Answer{});
  EXPECT_EQ(DRV_CloseDrive(other), QD_OK);
  EXPECT_EQ(script_.Count(mmc::kOpPreventAllowMediumRemoval),
            2u);  // media removal allowed, persistent and not
  EXPECT_EQ(DRV_CloseDrive(other), QD_E_INVALID_HANDLE);  // closed handles are refused
  _MEDIAINFORMATION info;
  EXPECT_EQ(DRV_GetMediaInformation(other, &info), QD_E_INVALID_HANDLE);
}

class FailingControl : public ControlDevice {
 public:
  bool Request(uint32_t, const void*, uint32_t, void*, uint32_t, uint32_t*) override {
    return false;
  }
};

TEST(DriverControlTest, RecordingStateAndAntiDla) {
  EXPECT_EQ(QueryRecordingState(5), 2u);
  NotifyRecordingStart(5);
  EXPECT_EQ(QueryRecordingState(5), 1u);
  NotifyRecordingEnd(5);
  EXPECT_EQ(QueryRecordingState(5), 2u);
  EXPECT_EQ(DRV_SetAntiDLA(TRUE), QD_OK);
  SetControlDeviceOpenerForTesting([] { return std::unique_ptr<ControlDevice>(); });
  EXPECT_EQ(DRV_SetAntiDLA(TRUE), QD_OK);  // no control device
  EXPECT_EQ(QueryRecordingState(5), 0u);
  SetControlDeviceOpenerForTesting([] { return std::make_unique<FailingControl>(); });
  EXPECT_EQ(DRV_SetAntiDLA(FALSE), QD_E_DRIVER_REQUEST);
  SetControlDeviceOpenerForTesting(nullptr);
}

TEST(DriverControlTest, ServiceRequestSendsTextAndReadsReply) {
  const std::string path = ::testing::TempDir() + "/svc-" + std::to_string(::getpid()) + ".sock";
  ::setenv("QUENVAR_SERVICE_SOCKET", path.c_str(), 1);
  EXPECT_EQ(RequestServiceAccess("LowerFiltersSet"), QD_E_NO_SERVICE);

  int server = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
  ASSERT_EQ(::bind(server, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  ASSERT_EQ(::listen(server, 1), 0);
  std::string received;
  std::thread service([&] {
    int client = ::accept(server, nullptr, nullptr);
    char buffer[64];
    ssize_t n = ::read(client, buffer, sizeof(buffer));
    if (n > 0) received.assign(buffer, static_cast<size_t>(n));
    const uint8_t reply[4] = {1, 0, 0, 0};
    (void)!::write(client, reply, sizeof(reply));
    ::close(client);
  });
  EXPECT_EQ(RequestServiceAccess("LowerFiltersSet"), QD_OK);
  service.join();
  EXPECT_EQ(received, "LowerFiltersSet");
  ::close(server);
  ::unlink(path.c_str());
  ::unsetenv("QUENVAR_SERVICE_SOCKET");
}

// Every profile the engine names, with what the media flags of the C interface and the recorder
// make of it. The flags are the documented ones of quillden/drive.h; the recorder must have a
// method for exactly the profiles the classification calls writable.
TEST(ProfileTest, ClassificationAgreesWithTheNamedProfiles) {
  using namespace mmc;
  struct Expect {
    uint16_t profile;
    uint32_t media_flag;
    bool cd, writable, overwritable, overwritable_hd_dvd;
  };
  const Expect kExpected[] = {
      {kProfileNone, 0, false, false, false, false},
      {kProfileCdRom, MEDIA_CDROM, true, false, false, false},
      {kProfileCdR, MEDIA_CDR, true, true, false, false},
      {kProfileCdRw, MEDIA_CDRW, true, true, false, false},
      {kProfileDvdRom, MEDIA_DVDROM, false, false, false, false},
      {kProfileDvdMinusR, MEDIA_DVDR, false, true, false, false},
      {kProfileDvdRam, MEDIA_DVDRAM, false, false, false, false},
      {kProfileDvdMinusRwOverwrite, MEDIA_DVDRW_RO, false, true, true, false},
      {kProfileDvdMinusRwSequential, MEDIA_DVDRW_SEQ, false, true, false, false},
      {kProfileDvdMinusRDlSequential, MEDIA_DVDR_DL, false, true, false, false},
      {kProfileDvdMinusRDlJump, MEDIA_DVDR_DL_LJ, false, true, false, false},
      {kProfileDvdPlusRw, MEDIA_DVDPRW, false, true, true, false},
      {kProfileDvdPlusR, MEDIA_DVDPR, false, true, false, false},
      {kProfileDdcdRom, MEDIA_DDCDROM, false, false, false, false},
      {kProfileDdcdR, MEDIA_DDCDR, false, false, false, false},
      {kProfileDdcdRw, MEDIA_DDCDRW, false, false, false, false},
      {kProfileDvdPlusRwDl, 0, false, false, false, false},
      {kProfileDvdPlusRDl, MEDIA_DVDPR_DL, false, true, false, false},
      {kProfileBdRom, 0, false, false, false, false},
      {kProfileBdRSequential, MEDIA_BDR, false, false, false, false},
      {kProfileBdRRandom, MEDIA_BDR, false, false, false, false},
      {kProfileBdRe, MEDIA_BDRE, false, false, false, false},
      {kProfileHdDvdRom, MEDIA_HDDVDROM, false, false, false, false},
      {kProfileHdDvdR, MEDIA_HDDVDR, false, true, false, false},
      {kProfileHdDvdRam, MEDIA_HDDVDRAM, false, false, false, false},
      {kProfileHdDvdRw, MEDIA_HDDVDRW, false, true, false, true},
      {kProfileHdDvdRDl, MEDIA_HDDVDR_DL, false, true, false, false},
      {kProfileHdDvdRwDl, MEDIA_HDDVDRW_DL, false, true, false, true},
  };
  uint32_t flags_seen = 0;
  for (const Expect& e : kExpected) {
    SCOPED_TRACE(e.profile);
    EXPECT_EQ(ProfileToMediaFlag(e.profile), e.media_flag);
    EXPECT_EQ(IsCdProfile(e.profile), e.cd);
    EXPECT_EQ(IsWritableProfile(e.profile), e.writable);
    EXPECT_EQ(IsOverwritableProfile(e.profile), e.overwritable);
    EXPECT_EQ(IsOverwritableHdDvdProfile(e.profile), e.overwritable_hd_dvd);
    recording::Method method;
    EXPECT_EQ(recording::SelectMethod(e.profile, 0, 1, &method), e.writable);
    // Flags name one profile each, except BD-R's two recording modes, which convert one way.
    if (e.media_flag != 0 && e.media_flag != MEDIA_BDR && e.media_flag != MEDIA_BDRE) {
      EXPECT_EQ(MediaFlagToProfile(e.media_flag), e.profile);
    }
    flags_seen |= e.media_flag;
  }
  // Every media flag of the C interface belongs to a named profile.
  EXPECT_EQ(flags_seen, (MEDIA_BDRE << 1) - 1);
  EXPECT_EQ(MediaFlagToProfile(MEDIA_BDR), kProfileNone);
}

TEST(ProfileTest, BookTypesAndQuirks) {
  using namespace mmc;
  // Book types of the physical format information, and the BOOK_* flag of each.
  const struct {
    uint8_t book_type;
    uint16_t profile;
    uint32_t flag;
  } kBooks[] = {
      {0, kProfileDvdRom, BOOK_DVDROM},        {1, kProfileDvdRam, BOOK_DVDRAM},
      {2, kProfileDvdMinusR, BOOK_DVDR},       {3, kProfileDvdMinusRwSequential, BOOK_DVDRW},
      {4, kProfileHdDvdRom, BOOK_HDDVDROM},    {5, kProfileHdDvdRam, BOOK_HDDVDRAM},
      {6, kProfileHdDvdR, BOOK_HDDVDR},        {7, kProfileHdDvdRw, BOOK_HDDVDRW},
      {9, kProfileDvdPlusRw, BOOK_DVDPRW},     {10, kProfileDvdPlusR, BOOK_DVDPR},
      {14, kProfileDvdPlusRDl, BOOK_DVDPR_DL},
  };
  for (const auto& b : kBooks) {
    EXPECT_EQ(BookTypeToProfile(b.book_type), b.profile) << int{b.book_type};
    EXPECT_EQ(ProfileToBookTypeFlag(b.profile), b.flag) << int{b.book_type};
  }
  for (uint8_t unknown : {8, 11, 12, 13, 15}) EXPECT_EQ(BookTypeToProfile(unknown), kProfileNone);
  EXPECT_EQ(ProfileToBookTypeFlag(kProfileDvdMinusRwOverwrite), 0u);
  uint8_t inquiry[36] = {};
  std::memcpy(inquiry + 8, "TEAC    DW-224E-C", 17);
  EXPECT_TRUE(IsBusyTimeEraseDrive(inquiry));
  inquiry[24] = 'X';
  EXPECT_FALSE(IsBusyTimeEraseDrive(inquiry));
}

}  // namespace
}  // namespace quillden::drive
