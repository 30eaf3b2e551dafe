// MMC command builders.
#include "drive/mmc_commands.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "drive/mmc_vocabulary.h"
#include "progress/progress_record.h"
#include "quillden/result.h"
#include "util/byte_order.h"

namespace quillden::drive {
namespace {

class SteadyClock : public DriveClock {
 public:
  uint64_t TickMs() override {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
  }
  void SleepMs(uint32_t ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
};

std::atomic<DriveClock*> g_clock{nullptr};

DriveCommand MakeCommand(uint8_t opcode, uint8_t cdb_length, uint8_t direction, uint32_t timeout,
                         void* data = nullptr, uint32_t length = 0) {
  DriveCommand command;
  command.cdb[0] = opcode;
  command.cdb_length = cdb_length;
  command.direction = direction;
  command.timeout = timeout;
  command.data = data;
  command.data_length = length;
  return command;
}

// The not-ready rule: a drive busy with a long operation is not a failure.
uint32_t SendWithNotReadyRule(HANDLE drive, DriveCommand& command, uint16_t* progress) {
  uint32_t result = SendDriveCommand(drive, command);
  if (result == QD_E_COMMAND_FAILED && command.IsOperationInProgress()) {
    if (progress != nullptr) *progress = command.ProgressIndication();
    return kOperationInProgress;
  }
  return result;
}

FormatCapacity ParseCapacity(const uint8_t* p) {
  FormatCapacity c;
  c.block_count = GetBe32(p);
  c.type = p[4];
  c.parameter = GetBe24(p + 5);
  return c;
}

}  // namespace

DriveClock* CurrentDriveClock() {
  static SteadyClock steady;
  DriveClock* clock = g_clock.load();
  return clock != nullptr ? clock : &steady;
}

void SetDriveClockForTesting(DriveClock* clock) {
  g_clock = clock;
}

uint32_t TestUnitReady(HANDLE drive, uint16_t* progress) {
  DriveCommand command = MakeCommand(mmc::kOpTestUnitReady, 6, kDataIn, 30);
  return SendWithNotReadyRule(drive, command, progress);
}

uint32_t FormatUnit(HANDLE drive, const FormatList& list) {
  uint8_t data[12] = {};
  data[1] = list.options;
  PutBe16(data + 2, list.list_length);
  PutBe32(data + 4, list.block_count);
  data[8] = static_cast<uint8_t>(list.format_type << mmc::kFormatTypeShift);
  PutBe24(data + 9, list.type_parameter);
  DriveCommand command = MakeCommand(mmc::kOpFormatUnit, 6, kDataOut, 360, data, sizeof(data));
  command.cdb[1] = mmc::kFormatData | mmc::kFormatCodeList;
  return SendDriveCommand(drive, command);
}

uint32_t Inquiry(HANDLE drive, uint8_t (&data)[36]) {
  DriveCommand command = MakeCommand(mmc::kOpInquiry, 6, kDataIn, 180, data, 36);
  command.cdb[4] = 36;
  return SendDriveCommand(drive, command);
}

uint32_t StartStopUnit(HANDLE drive, bool load_eject, bool start) {
  DriveCommand command = MakeCommand(mmc::kOpStartStopUnit, 6, kDataIn, 180);
  command.cdb[1] = 0x01;  // Immed
  command.cdb[4] = static_cast<uint8_t>((load_eject ? 0x02 : 0) | (start ? 0x01 : 0));
  return SendDriveCommand(drive, command);
}

uint32_t PreventAllowMediumRemoval(HANDLE drive, bool prevent, bool persistent) {
  DriveCommand command = MakeCommand(mmc::kOpPreventAllowMediumRemoval, 6, kDataIn, 180);
  command.cdb[4] = static_cast<uint8_t>((prevent ? 0x01 : 0) | (persistent ? 0x02 : 0));
  return SendDriveCommand(drive, command);
}

uint32_t ReadFormatCapacities(HANDLE drive, uint8_t* buffer, uint16_t length,
                              FormatCapacity* current, std::vector<FormatCapacity>* formattable) {
  DriveCommand command = MakeCommand(mmc::kOpReadFormatCapacities, 10, kDataIn, 30, buffer, length);
  PutBe16(command.cdb + 7, length);
  uint32_t result = SendDriveCommand(drive, command);
  if (result != QD_OK) return result;
  // The capacity list header (4 bytes), then 8-byte descriptors; the first is the current one.
  const uint32_t list_length = length >= 4 ? buffer[3] : 0;
  const uint32_t available = std::min<uint32_t>(list_length, length >= 4 ? length - 4u : 0u);
  if (current != nullptr) {
    if (available < 8) return QD_E_COMMAND_FAILED;
    *current = ParseCapacity(buffer + 4);
    current->type &= 0x03;
  }
  if (formattable != nullptr) {
    formattable->clear();
    for (uint32_t offset = 12; offset + 8 <= 4 + available; offset += 8) {
      FormatCapacity c = ParseCapacity(buffer + offset);
      c.type = static_cast<uint8_t>(c.type >> mmc::kFormatTypeShift);
      formattable->push_back(c);
    }
  }
  return QD_OK;
}

uint32_t ReadAllFormatCapacities(HANDLE drive, FormatCapacity* current,
                                 std::vector<FormatCapacity>* formattable) {
  uint8_t head[12] = {};
  uint32_t result = ReadFormatCapacities(drive, head, sizeof(head));
  if (result != QD_OK) return result;
  const uint16_t length = static_cast<uint16_t>(4 + (head[3] & 0xF8));
  std::vector<uint8_t> buffer(std::max<uint16_t>(length, 12));
  return ReadFormatCapacities(drive, buffer.data(), static_cast<uint16_t>(buffer.size()), current,
                              formattable);
}

uint32_t ReadCapacity(HANDLE drive, uint32_t* last_lba, uint32_t* block_length) {
  uint8_t data[8] = {};
  DriveCommand command = MakeCommand(mmc::kOpReadCapacity, 10, kDataIn, 180, data, sizeof(data));
  uint32_t result = SendDriveCommand(drive, command);
  if (result == QD_OK) {
    if (last_lba != nullptr) *last_lba = GetBe32(data);
    if (block_length != nullptr) *block_length = GetBe32(data + 4);
  }
  return result;
}

uint32_t Read10(HANDLE drive, uint32_t lba, void* buffer, uint32_t bytes, uint32_t block_size,
                DriveCommand* sent) {
  DriveCommand command = MakeCommand(mmc::kOpRead10, 10, kDataIn, 180, buffer, bytes);
  PutBe32(command.cdb + 2, lba);
  PutBe16(command.cdb + 7, static_cast<uint16_t>(block_size != 0 ? bytes / block_size : 0));
  uint32_t result = SendDriveCommand(drive, command);
  if (sent != nullptr) *sent = command;
  return result;
}

namespace {

// The write retry rule over one way of sending the command.
template <typename Send>
uint32_t SendWrite(DriveCommand& command, const ProgressReporter* progress, Send send) {
  uint32_t result = send(command);
  if (result != QD_E_COMMAND_FAILED || !command.IsOperationInProgress()) return result;
  DriveClock* clock = CurrentDriveClock();
  const uint64_t first_send = clock->TickMs();
  for (;;) {
    clock->SleepMs(1);
    std::memset(command.sense, 0, sizeof(command.sense));
    result = send(command);
    // The status word is read afresh after every resend, so a cancel during a long busy period
    // is seen at once.
    if (progress != nullptr && progress->StatusWord() == 16) return QD_E_CANCELLED;
    if (clock->TickMs() - first_send > 180000) return QD_E_TIMEOUT;
    if (result == QD_OK) return QD_OK;
    if (result != QD_E_COMMAND_FAILED || !command.IsOperationInProgress()) return result;
  }
}

DriveCommand Write10Command(uint32_t lba, uint16_t blocks, void* data, uint32_t bytes) {
  DriveCommand command = MakeCommand(mmc::kOpWrite10, 10, kDataOut, 180, data, bytes);
  PutBe32(command.cdb + 2, lba);
  PutBe16(command.cdb + 7, blocks);
  return command;
}

}  // namespace

uint32_t Write10(HANDLE drive, uint32_t lba, uint16_t blocks, const void* buffer, uint32_t bytes,
                 const ProgressReporter* progress) {
  DriveCommand command = Write10Command(lba, blocks, const_cast<void*>(buffer), bytes);
  return SendWrite(command, progress,
                   [drive](DriveCommand& c) { return SendDriveCommand(drive, c); });
}

uint32_t Write10InRecord(HANDLE drive, uint32_t lba, uint16_t blocks, uint8_t* record,
                         uint32_t bytes, const ProgressReporter* progress) {
  DriveCommand command = Write10Command(lba, blocks, PassThroughData(record), bytes);
  return SendWrite(command, progress, [drive, record](DriveCommand& c) {
    return SendDriveCommandInRecord(drive, c, record);
  });
}

void Seek10(HANDLE drive, uint32_t lba) {
  DriveCommand command = MakeCommand(mmc::kOpSeek10, 10, kDataIn, 180);
  PutBe32(command.cdb + 2, lba);
  SendDriveCommand(drive, command);
}

uint32_t SynchronizeCache(HANDLE drive, bool immediate) {
  DriveCommand command = MakeCommand(mmc::kOpSynchronizeCache, 10, kDataIn, 180);
  command.cdb[1] = immediate ? 0x02 : 0;
  return SendDriveCommand(drive, command);
}

uint32_t ReadToc(HANDLE drive, bool msf, uint8_t format, uint8_t track_session, uint8_t* buffer,
                 uint16_t length, DriveCommand* sent) {
  if (format > 5 || length == 0) return QD_OK;
  DriveCommand command = MakeCommand(mmc::kOpReadToc, 10, kDataIn, 30, buffer, length);
  command.cdb[1] = msf ? 0x02 : 0;
  command.cdb[2] = format;
  command.cdb[6] = track_session;
  PutBe16(command.cdb + 7, length);
  const uint32_t result = SendDriveCommand(drive, command);
  if (sent != nullptr) *sent = command;
  return result;
}

uint32_t GetConfiguration(HANDLE drive, uint16_t feature, uint8_t* buffer, uint16_t length) {
  DriveCommand command = MakeCommand(mmc::kOpGetConfiguration, 10, kDataIn, 30, buffer, length);
  command.cdb[1] = 0x02;
  PutBe16(command.cdb + 2, feature);
  PutBe16(command.cdb + 7, length);
  return SendDriveCommand(drive, command);
}

uint32_t GetEventStatusNotification(HANDLE drive, uint8_t class_request, uint8_t* buffer,
                                    uint16_t length) {
  DriveCommand command =
      MakeCommand(mmc::kOpGetEventStatusNotification, 10, kDataIn, 180, buffer, length);
  command.cdb[1] = 0x01;  // Polled
  command.cdb[4] = class_request;
  PutBe16(command.cdb + 7, length);
  return SendDriveCommand(drive, command);
}

uint32_t ReadDiscInformation(HANDLE drive, DiscInformation* info, uint16_t* progress) {
  using namespace mmc;
  DiscInformation parsed;
  uint8_t* d = parsed.raw;
  DriveCommand command =
      MakeCommand(kOpReadDiscInformation, 10, kDataIn, 30, d, kDiscInfoAnswerSize);
  PutBe16(command.cdb + 7, kDiscInfoAnswerSize);
  uint32_t result = SendWithNotReadyRule(drive, command, progress);
  if (result != QD_OK) return result;
  // Up to the last track of the last session is what every caller needs; an answer claiming less
  // is unusable, and bytes past what it claims are not taken from the buffer.
  const uint32_t claimed = GetBe16(d + kDiscInfoLength) + 2u;
  if (claimed < kDiscInfoLastTrackLastSessionMsb + 1) return QD_E_COMMAND_FAILED;
  if (claimed < kDiscInfoAnswerSize) std::memset(d + claimed, 0, kDiscInfoAnswerSize - claimed);
  parsed.disc_status = d[kDiscInfoStatus] & kDiscStatusMask;
  parsed.last_session_state = (d[kDiscInfoStatus] >> kDiscLastSessionStateShift) & kDiscStatusMask;
  parsed.erasable = (d[kDiscInfoStatus] & kDiscErasable) != 0;
  parsed.sessions = static_cast<uint16_t>(d[kDiscInfoSessionsMsb] << 8 | d[kDiscInfoSessionsLsb]);
  parsed.first_track_last_session = static_cast<uint16_t>(
      d[kDiscInfoFirstTrackLastSessionMsb] << 8 | d[kDiscInfoFirstTrackLastSessionLsb]);
  parsed.last_track_last_session = static_cast<uint16_t>(d[kDiscInfoLastTrackLastSessionMsb] << 8 |
                                                         d[kDiscInfoLastTrackLastSessionLsb]);
  parsed.last_session_lead_in = GetBe32(d + kDiscInfoLastSessionLeadIn);
  parsed.last_lead_out = GetBe32(d + kDiscInfoLastLeadOut);
  if (info != nullptr) *info = parsed;
  return QD_OK;
}

uint32_t ReadTrackInformation(HANDLE drive, uint8_t address_type, uint32_t number,
                              TrackInformation* info) {
  using namespace mmc;
  if (address_type > kTrackAddressSession) return QD_OK;
  TrackInformation parsed;
  uint8_t* d = parsed.raw;
  DriveCommand command =
      MakeCommand(kOpReadTrackInformation, 10, kDataIn, 30, d, kTrackInfoAnswerSize);
  command.cdb[1] = address_type;
  PutBe32(command.cdb + 2, number);
  PutBe16(command.cdb + 7, kTrackInfoAnswerSize);
  uint32_t result = SendDriveCommand(drive, command);
  if (result != QD_OK) return result;
  // Everything up to the track size is needed; later fields are optional.
  const uint32_t claimed = GetBe16(d + kTrackInfoLength) + 2u;
  if (claimed < kTrackInfoTrackSize + 4) return QD_E_COMMAND_FAILED;
  if (claimed < kTrackInfoAnswerSize) std::memset(d + claimed, 0, kTrackInfoAnswerSize - claimed);
  parsed.track = static_cast<uint16_t>(d[kTrackInfoTrackMsb] << 8 | d[kTrackInfoTrackLsb]);
  parsed.session = static_cast<uint16_t>(d[kTrackInfoSessionMsb] << 8 | d[kTrackInfoSessionLsb]);
  parsed.layer_jump_status = static_cast<uint8_t>(d[kTrackInfoMode] >> 6);
  parsed.track_mode = d[kTrackInfoMode] & 0x0F;
  parsed.blank = (d[kTrackInfoDataMode] & kTrackBlank) != 0;
  parsed.data_mode = d[kTrackInfoDataMode] & 0x0F;
  parsed.nwa_valid = (d[kTrackInfoValid] & kTrackNwaValid) != 0;
  parsed.lra_valid = (d[kTrackInfoValid] & kTrackLraValid) != 0;
  parsed.start = GetBe32(d + kTrackInfoStart);
  parsed.next_writable = GetBe32(d + kTrackInfoNextWritable);
  parsed.free_blocks = GetBe32(d + kTrackInfoFreeBlocks);
  parsed.fixed_packet_size = GetBe32(d + kTrackInfoFixedPacketSize);
  parsed.size = GetBe32(d + kTrackInfoTrackSize);
  parsed.last_recorded = GetBe32(d + kTrackInfoLastRecorded);
  parsed.next_layer_jump = GetBe32(d + kTrackInfoNextLayerJump);
  parsed.last_layer_jump = GetBe32(d + kTrackInfoLastLayerJump);
  // An answer about another track than the one asked for is no answer (the invisible track and
  // the lead-in are asked for by numbers they do not carry).
  if (address_type == kTrackAddressTrack && number != 0 && number != kInvisibleTrack &&
      parsed.track != number) {
    return QD_E_COMMAND_FAILED;
  }
  if (info != nullptr) *info = parsed;
  return QD_OK;
}

uint32_t ReserveTrack(HANDLE drive, uint32_t size) {
  DriveCommand command = MakeCommand(mmc::kOpReserveTrack, 10, kDataIn, 180);
  PutBe32(command.cdb + 5, size);
  return SendDriveCommand(drive, command);
}

uint32_t ModeSelect10(HANDLE drive, const uint8_t* buffer, uint16_t length) {
  DriveCommand command =
      MakeCommand(mmc::kOpModeSelect10, 10, kDataOut, 30, const_cast<uint8_t*>(buffer), length);
  command.cdb[1] = 0x10;  // PF
  PutBe16(command.cdb + 7, length);
  return SendDriveCommand(drive, command);
}

uint32_t ModeSense10(HANDLE drive, uint8_t page, uint8_t* buffer, uint16_t length, bool dbd) {
  DriveCommand command = MakeCommand(mmc::kOpModeSense10, 10, kDataIn, 30, buffer, length);
  command.cdb[1] = dbd ? 0x08 : 0;
  command.cdb[2] = page & 0x3F;  // current values
  PutBe16(command.cdb + 7, length);
  return SendDriveCommand(drive, command);
}

uint32_t CloseTrackSession(HANDLE drive, bool immediate, uint8_t close_function, uint16_t track) {
  DriveCommand command = MakeCommand(mmc::kOpCloseTrackSession, 10, kDataIn, 180);
  command.cdb[1] = immediate ? 0x01 : 0;
  command.cdb[2] = close_function & 0x07;
  PutBe16(command.cdb + 4, track);
  return SendDriveCommand(drive, command);
}

uint32_t SendCueSheet(HANDLE drive, const uint8_t* buffer, uint32_t size) {
  DriveCommand command =
      MakeCommand(mmc::kOpSendCueSheet, 10, kDataOut, 180, const_cast<uint8_t*>(buffer), size);
  PutBe24(command.cdb + 6, size);
  return SendDriveCommand(drive, command);
}

uint32_t Blank(HANDLE drive, bool immediate, uint8_t type, uint32_t start) {
  DriveCommand command = MakeCommand(mmc::kOpBlank, 12, kDataIn, 180);
  command.cdb[1] = static_cast<uint8_t>((immediate ? 0x10 : 0) | (type & 0x07));
  PutBe32(command.cdb + 2, start);
  return SendDriveCommand(drive, command);
}

uint32_t GetPerformance(HANDLE drive, uint32_t* read_speeds, uint32_t* write_speeds,
                        uint32_t capacity) {
  constexpr uint32_t kMaxDescriptors = 50;
  uint8_t data[8 + kMaxDescriptors * 16] = {};
  DriveCommand command = MakeCommand(mmc::kOpGetPerformance, 12, kDataIn, 180, data, sizeof(data));
  PutBe16(command.cdb + 8, kMaxDescriptors);
  command.cdb[10] = 0x03;  // write speed descriptors
  if (SendDriveCommand(drive, command) != QD_OK) return 0;
  const uint32_t length = GetBe32(data);
  uint32_t count = length >= 4 ? (length - 4) / 16 : 0;
  count = std::min({count, kMaxDescriptors, capacity});
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* descriptor = data + 8 + i * 16;
    if (read_speeds != nullptr) read_speeds[i] = GetBe32(descriptor + 8);
    if (write_speeds != nullptr) write_speeds[i] = GetBe32(descriptor + 12);
  }
  return count;
}

uint32_t ReadDiscStructure(HANDLE drive, uint8_t format, uint8_t* buffer, uint16_t length) {
  DriveCommand command = MakeCommand(mmc::kOpReadDiscStructure, 12, kDataIn, 30, buffer, length);
  command.cdb[7] = format;
  PutBe16(command.cdb + 8, length);
  return SendDriveCommand(drive, command);
}

uint32_t SetStreaming(HANDLE drive, const PerformanceDescriptor& d) {
  uint8_t data[28] = {};
  data[0] = d.flags;
  PutBe32(data + 4, d.start_lba);
  PutBe32(data + 8, d.end_lba);
  PutBe32(data + 12, d.read_size);
  PutBe32(data + 16, d.read_time);
  PutBe32(data + 20, d.write_size);
  PutBe32(data + 24, d.write_time);
  DriveCommand command = MakeCommand(mmc::kOpSetStreaming, 12, kDataOut, 180, data, sizeof(data));
  PutBe16(command.cdb + 9, sizeof(data));
  return SendDriveCommand(drive, command);
}

uint32_t SetCdSpeed(HANDLE drive, uint16_t read_speed, uint16_t write_speed) {
  DriveCommand command = MakeCommand(mmc::kOpSetCdSpeed, 12, kDataIn, 180);
  PutBe16(command.cdb + 2, read_speed);
  PutBe16(command.cdb + 4, write_speed);
  return SendDriveCommand(drive, command);
}

uint32_t ReadCd(HANDLE drive, uint8_t sector_type, uint32_t lba, void* buffer, uint32_t bytes,
                uint32_t block_size, uint8_t subchannel, DriveCommand* sent) {
  DriveCommand command = MakeCommand(mmc::kOpReadCd, 12, kDataIn, 180, buffer, bytes);
  command.cdb[1] = static_cast<uint8_t>((sector_type & 0x07) << 2);
  PutBe32(command.cdb + 2, lba);
  PutBe24(command.cdb + 6, block_size != 0 ? bytes / block_size : 0);
  command.cdb[9] = 0xF8;  // sync, all headers, user data, EDC/ECC
  command.cdb[10] = subchannel & 0x07;
  uint32_t result = SendDriveCommand(drive, command);
  if (sent != nullptr) *sent = command;
  return result;
}

uint32_t SendDiscStructure(HANDLE drive, uint8_t format, const uint8_t* buffer, uint16_t length) {
  DriveCommand command = MakeCommand(mmc::kOpSendDiscStructure, 12, kDataOut, 180,
                                     const_cast<uint8_t*>(buffer), length);
  command.cdb[7] = format;
  PutBe16(command.cdb + 8, length);
  return SendDriveCommand(drive, command);
}

uint32_t WaitUntilReady(HANDLE drive, uint32_t limit_seconds) {
  DriveClock* clock = CurrentDriveClock();
  uint32_t waits = 0;
  for (;;) {
    uint32_t result = TestUnitReady(drive);
    if (result != kOperationInProgress) return result;
    if (limit_seconds != 0 && waits >= limit_seconds) return QD_E_TIMEOUT;
    clock->SleepMs(1000);
    ++waits;
  }
}

uint32_t WaitWhileDiscBusy(HANDLE drive, DiscInformation* info, uint32_t limit_seconds) {
  DriveClock* clock = CurrentDriveClock();
  uint32_t waits = 0;
  for (;;) {
    uint32_t result = ReadDiscInformation(drive, info);
    if (result != kOperationInProgress) return result;
    if (limit_seconds != 0 && waits >= limit_seconds) return QD_E_TIMEOUT;
    clock->SleepMs(1000);
    ++waits;
  }
}

namespace {

template <typename ReadOnce>
uint32_t RetryPlain(HANDLE drive, uint32_t lba, bool retry, ReadOnce read_once) {
  DriveCommand sent;
  uint32_t result = read_once(&sent);
  for (int attempt = 0; result != QD_OK && retry && attempt < 5; ++attempt) {
    Seek10(drive, lba);
    CurrentDriveClock()->SleepMs(5);
    result = read_once(&sent);
  }
  return result;
}

uint32_t SenseOf(uint32_t result, const DriveCommand& sent) {
  if (result == QD_OK) return 0;
  if (result == QD_E_COMMAND_FAILED) return sent.SenseTriple();
  return 0xFFFFFFFFu;
}

// The retry rule of reads: a failure whose sense may pass (not ready, a medium or hardware error,
// and with reset_passes a reset) is tried up to five more times, each after before_retry and 5 ms.
// *sent holds the last attempt.
template <typename SendOnce, typename BeforeRetry>
uint32_t RetryTransient(bool reset_passes, DriveCommand* sent, SendOnce send_once,
                        BeforeRetry before_retry) {
  uint32_t result = send_once(sent);
  for (int attempt = 0; result == QD_E_COMMAND_FAILED && attempt < 5; ++attempt) {
    const uint8_t key = sent->sense_key();
    if (key != mmc::kSenseNotReady && key != mmc::kSenseMediumError &&
        key != mmc::kSenseHardwareError && !(reset_passes && key == mmc::kSenseUnitAttention))
      break;
    before_retry();
    CurrentDriveClock()->SleepMs(5);
    result = send_once(sent);
  }
  return result;
}

template <typename ReadOnce>
uint32_t RetrySense(HANDLE drive, uint32_t lba, bool retry, ReadOnce read_once) {
  DriveCommand sent;
  if (!retry) return SenseOf(read_once(&sent), sent);
  return SenseOf(RetryTransient(false, &sent, read_once, [&] { Seek10(drive, lba); }), sent);
}

}  // namespace

uint32_t ReadWithRetry(HANDLE drive, uint32_t lba, void* buffer, uint32_t bytes, bool retry) {
  return RetryPlain(drive, lba, retry, [&](DriveCommand* sent) {
    return Read10(drive, lba, buffer, bytes, 2048, sent);
  });
}

uint32_t ReadCdWithRetry(HANDLE drive, uint8_t sector_type, uint32_t lba, void* buffer,
                         uint32_t bytes, uint32_t block_size, uint8_t subchannel, bool retry) {
  return RetryPlain(drive, lba, retry, [&](DriveCommand* sent) {
    return ReadCd(drive, sector_type, lba, buffer, bytes, block_size, subchannel, sent);
  });
}

uint32_t ReadWithRetrySense(HANDLE drive, uint32_t lba, void* buffer, uint32_t bytes, bool retry) {
  return RetrySense(drive, lba, retry, [&](DriveCommand* sent) {
    return Read10(drive, lba, buffer, bytes, 2048, sent);
  });
}

uint32_t ReadCdWithRetrySense(HANDLE drive, uint8_t sector_type, uint32_t lba, void* buffer,
                              uint32_t bytes, uint32_t block_size, uint8_t subchannel, bool retry) {
  return RetrySense(drive, lba, retry, [&](DriveCommand* sent) {
    return ReadCd(drive, sector_type, lba, buffer, bytes, block_size, subchannel, sent);
  });
}

uint32_t ReadTocWithRetry(HANDLE drive, uint8_t format, uint8_t* buffer, uint16_t length,
                          DriveCommand* sent) {
  return RetryTransient(
      true, sent,
      [&](DriveCommand* attempt) {
        return ReadToc(drive, false, format, 0, buffer, length, attempt);
      },
      [] {});
}

}  // namespace quillden::drive
