// SendDriveCommand and the last command error record.
#include "drive/drive_command.h"

#include <atomic>
#include <cstring>
#include <memory>
#include <new>

#include "drive/drive_handle.h"
#include "drive/mmc_vocabulary.h"
#include "drive/transport.h"
#include "quillden/result.h"
#include "util/byte_order.h"

namespace quillden::drive {
namespace {

// Byte layout of _COMMANDERRORINFOMATION.
constexpr size_t kErrorCdb = 0;
constexpr size_t kErrorCdbLength = 16;
constexpr size_t kErrorSense = 17;
constexpr size_t kErrorSenseBytes = 18;
constexpr size_t kErrorSenseLength = 35;
constexpr size_t kErrorRecordSize = 36;

std::atomic<uint8_t> g_last_error[kErrorRecordSize];

void RecordCommandError(const DriveCommand& command, const uint8_t* sense, uint8_t sense_length) {
  uint8_t record[kErrorRecordSize] = {};
  std::memcpy(record + kErrorCdb, command.cdb, 16);
  record[kErrorCdbLength] = command.cdb_length;
  if (sense != nullptr) std::memcpy(record + kErrorSense, sense, kErrorSenseBytes);
  record[kErrorSenseLength] = sense_length > kErrorSenseBytes ? kErrorSenseBytes : sense_length;
  for (size_t i = 0; i < kErrorRecordSize; ++i)
    g_last_error[i].store(record[i], std::memory_order_relaxed);
}

// Probing tracks and sessions that may not exist is normal; such answers must not hide the last
// real failure from the user.
bool IsProbeMiss(const DriveCommand& command, const uint8_t* sense) {
  const uint8_t opcode = command.cdb[0];
  return (opcode == mmc::kOpReadTrackInformation || opcode == mmc::kOpReadToc) &&
         (sense[mmc::kSenseKeyByte] & mmc::kSenseKeyMask) == mmc::kSenseIllegalRequest &&
         sense[mmc::kSenseAsc] == mmc::kAscInvalidFieldInCdb && sense[mmc::kSenseAscq] == 0;
}

// Commands that change what the medium holds, or the drive state a recording relies on (the write
// parameters page). The first of them on a handle takes the drive for the handle's job
// (DriveDevice::ClaimForChange), so that a second job on the same drive, here or in another
// process, is refused before it has changed anything.
bool ChangesMedium(uint8_t opcode) {
  switch (opcode) {
    case mmc::kOpFormatUnit:
    case mmc::kOpModeSelect6:
    case mmc::kOpModeSelect10:
    case mmc::kOpWrite10:
    case mmc::kOpWriteAndVerify10:
    case mmc::kOpReserveTrack:
    case mmc::kOpSendOpcInformation:
    case mmc::kOpCloseTrackSession:
    case mmc::kOpSendCueSheet:
    case mmc::kOpBlank:
    case mmc::kOpWrite12:
    case mmc::kOpSendDiscStructure:
      return true;
    default:
      return false;
  }
}

// A drive that delivers less than both the room it was given and the length its own answer
// claims has cut its answer off; the rest of the buffer is zeros, which a parser would read as
// fields (a track of size 0 at block 0). The claim is cut to what came, so the answer is as short
// as it really is and fails the parsers' length checks; user data or a fixed-size answer that
// comes short is a failed command. A transport that does not report the delivered length leaves
// it at the room given, and nothing changes.
uint32_t FitAnswerToDelivery(DriveCommand& command, uint8_t* data, uint32_t delivered) {
  if (command.direction != kDataIn || delivered >= command.data_length) return QD_OK;
  const auto cut = [&](uint32_t field_bytes, uint32_t header, uint32_t unit) {
    if (command.data_length < header) return;
    const uint32_t claimed = (field_bytes == 4   ? GetBe32(data)
                              : field_bytes == 2 ? GetBe16(data)
                                                 : data[header - 1]) +
                             (field_bytes == 1 ? header : field_bytes);
    if (claimed <= delivered) return;
    const uint32_t room = delivered > header ? (delivered - header) / unit * unit : 0;
    const uint32_t field = field_bytes == 1 ? room : room + header - field_bytes;
    if (field_bytes == 4) PutBe32(data, delivered >= 4 ? field : 0);
    if (field_bytes == 2) PutBe16(data, static_cast<uint16_t>(delivered >= 2 ? field : 0));
    if (field_bytes == 1) data[header - 1] = static_cast<uint8_t>(field);
  };
  switch (command.cdb[0]) {
    case mmc::kOpReadToc:
    case mmc::kOpReadDiscInformation:
    case mmc::kOpReadTrackInformation:
    case mmc::kOpReadDiscStructure:
    case mmc::kOpModeSense10:
    case mmc::kOpGetEventStatusNotification:
      cut(2, 2, 1);  // the length counts the bytes after its own two
      return QD_OK;
    case mmc::kOpGetConfiguration:
    case mmc::kOpGetPerformance:
      cut(4, 4, 1);
      return QD_OK;
    case mmc::kOpReadFormatCapacities:
      cut(1, 4, 8);  // the list length in byte 3 counts whole 8-byte descriptors
      return QD_OK;
    case mmc::kOpRead10:
    case mmc::kOpReadCd:
    case mmc::kOpReadCapacity:
      RecordCommandError(command, nullptr, 0);
      return QD_E_COMMAND_FAILED;
    default:
      return QD_OK;
  }
}

// Fills the header of a record whose data part is already in place, executes it and reads the
// answer's status and sense. The data of a data-in command stays in the record for the caller.
uint32_t ExecuteRecord(DriveDevice* device, DriveCommand& command, uint8_t* r) {
  if (device != nullptr && ChangesMedium(command.cdb[0])) {
    const uint32_t claimed = device->ClaimForChange();
    if (claimed != QD_OK) return claimed;
  }
  std::memset(r, 0, kPassThroughDataOffset);
  PutLe16(r + kPassThroughLength, kPassThroughHeaderSize);
  r[kPassThroughCdbLength] = command.cdb_length;
  r[kPassThroughSenseLength] = kPassThroughSenseSize;
  r[kPassThroughDirection] = command.direction;
  SetPassThroughField32(r, kPassThroughTransferLength, command.data_length);
  SetPassThroughField32(r, kPassThroughTimeout, command.timeout);
  SetPassThroughField32(r, kPassThroughDataField, kPassThroughDataOffset);
  SetPassThroughField32(r, kPassThroughSenseField, kPassThroughSenseOffset);
  std::memcpy(r + kPassThroughCdb, command.cdb, kPassThroughCdbSize);

  uint32_t returned = 0;
  const uint32_t size = kPassThroughDataOffset + command.data_length;
  if (device == nullptr || !device->Request(kRequestPassThrough, r, size, size, &returned)) {
    RecordCommandError(command, nullptr, 0);
    return QD_E_PASS_THROUGH;
  }
  const uint8_t* sense = PassThroughSense(r);
  const uint8_t sense_length = r[kPassThroughSenseLength];
  if (r[kPassThroughScsiStatus] != 0 && sense_length != 0) {
    if (!IsProbeMiss(command, sense)) RecordCommandError(command, sense, sense_length);
    std::memcpy(command.sense, sense, kPassThroughSenseSize);
    return QD_E_COMMAND_FAILED;
  }
  if (returned == 0) return QD_E_DRIVER_REQUEST;
  return FitAnswerToDelivery(command, PassThroughData(r), PassThroughTransferLength(r));
}

}  // namespace

uint32_t SendDriveCommand(HANDLE drive, DriveCommand& command) {
  if (command.data == nullptr && command.data_length != 0) return QD_E_INVALID_ARGUMENT;
  const uint64_t total = uint64_t{kPassThroughDataOffset} + command.data_length;
  if (total > 0xFFFFFFFFu) return QD_E_INVALID_ARGUMENT;
  std::shared_ptr<DriveDevice> device = DriveFromHandle(drive);
  std::unique_ptr<uint8_t[]> record(new (std::nothrow) uint8_t[static_cast<size_t>(total)]);
  if (!record) return QD_E_OUT_OF_MEMORY;
  uint8_t* data = PassThroughData(record.get());
  if (command.data_length != 0) {
    // Data in: whatever the drive does not deliver reads as zeros.
    if (command.direction == kDataOut) {
      std::memcpy(data, command.data, command.data_length);
    } else {
      std::memset(data, 0, command.data_length);
    }
  }
  const uint32_t result = ExecuteRecord(device.get(), command, record.get());
  if (result == QD_OK && command.direction == kDataIn && command.data_length != 0) {
    std::memcpy(command.data, data, command.data_length);
  }
  return result;
}

uint32_t SendDriveCommandInRecord(HANDLE drive, DriveCommand& command, uint8_t* record) {
  if (record == nullptr || command.data != PassThroughData(record)) return QD_E_INVALID_ARGUMENT;
  if (uint64_t{kPassThroughDataOffset} + command.data_length > 0xFFFFFFFFu)
    return QD_E_INVALID_ARGUMENT;
  std::shared_ptr<DriveDevice> device = DriveFromHandle(drive);
  return ExecuteRecord(device.get(), command, record);
}

void ReadLastCommandError(_COMMANDERRORINFOMATION* info) {
  uint8_t record[kErrorRecordSize];
  for (size_t i = 0; i < kErrorRecordSize; ++i)
    record[i] = g_last_error[i].load(std::memory_order_relaxed);
  std::memcpy(info->Cdb, record + kErrorCdb, 16);
  info->CdbLength = record[kErrorCdbLength];
  std::memcpy(info->SenseData, record + kErrorSense, kErrorSenseBytes);
  info->SenseLength = record[kErrorSenseLength];
}

uint32_t PackLastCommandError() {
  _COMMANDERRORINFOMATION info;
  ReadLastCommandError(&info);
  return (static_cast<uint32_t>(info.Cdb[0]) << 24) |
         (static_cast<uint32_t>(info.SenseData[mmc::kSenseKeyByte] & mmc::kSenseKeyMask) << 16) |
         (static_cast<uint32_t>(info.SenseData[mmc::kSenseAsc]) << 8) |
         info.SenseData[mmc::kSenseAscq];
}

void ClearLastCommandErrorForTesting() {
  for (auto& byte : g_last_error) byte.store(0, std::memory_order_relaxed);
}

}  // namespace quillden::drive

QUILLDEN_EXTERN_C QUILLDEN_API DWORD DRV_GetLastCommandError(_COMMANDERRORINFOMATION* info) {
  if (info != nullptr) quillden::drive::ReadLastCommandError(info);
  return quillden::drive::PackLastCommandError();
}
