// The virtual device's dispatcher: the pass-through record in and out, and the command table that
// routes each operation code to its family with what must hold before it runs.
#include <algorithm>
#include <cstring>

#include "drive/virtual/device_internal.h"

namespace quillden::drive::virt {

using Answer = VirtualDevice::Answer;

const VirtualDevice::CommandEntry* VirtualDevice::FindCommand(uint8_t opcode) {
  using V = VirtualDevice;
  static constexpr CommandEntry kCommands[] = {
      // Identification and configuration.
      {mmc::kOpInquiry, kWhileNotReady, &V::Inquiry},
      {mmc::kOpRequestSense, kWhileNotReady, &V::Accept},
      {mmc::kOpTestUnitReady, kNeedsMedium, &V::TestUnitReady},
      {mmc::kOpGetConfiguration, kWhileNotReady, &V::GetConfiguration},
      {mmc::kOpModeSense10, kWhileNotReady, &V::ModeSense},
      {mmc::kOpModeSelect10, kWhileNotReady, &V::ModeSelect},
      {mmc::kOpGetPerformance, kWhileNotReady, &V::GetPerformance},
      {mmc::kOpSetCdSpeed, kWhileNotReady, &V::Accept},
      {mmc::kOpSetStreaming, kWhileNotReady, &V::SetStreaming},
      // Disc, track and TOC information.
      {mmc::kOpReadDiscInformation, kNeedsMedium, &V::ReadDiscInformation},
      {mmc::kOpReadTrackInformation, kNeedsMedium, &V::ReadTrackInformation},
      {mmc::kOpReadToc, kNeedsMedium, &V::ReadToc},
      {mmc::kOpReadCapacity, kNeedsMedium, &V::ReadCapacity},
      {mmc::kOpReadFormatCapacities, 0, &V::ReadFormatCapacities},
      {mmc::kOpReadDiscStructure, kNeedsMedium, &V::ReadDiscStructure},
      // Reading.
      {mmc::kOpRead10, kNeedsMedium | kFillsItsData, &V::Read10},
      {mmc::kOpReadCd, kNeedsMedium | kFillsItsData, &V::ReadCd},
      {mmc::kOpSeek10, 0, &V::Accept},
      // Tray, lock and events.
      {mmc::kOpStartStopUnit, 0, &V::StartStopUnit},
      {mmc::kOpPreventAllowMediumRemoval, kWhileNotReady, &V::PreventAllow},
      {mmc::kOpGetEventStatusNotification, kWhileNotReady, &V::GetEventStatus},
      // Writing, closing, formatting.
      {mmc::kOpWrite10, kNeedsMedium | kChangesMedium | kSavesAtFlush, &V::Write10},
      {mmc::kOpReserveTrack, kNeedsMedium | kChangesMedium, &V::ReserveTrack},
      {mmc::kOpSendCueSheet, kNeedsMedium | kChangesMedium, &V::SendCueSheet},
      {mmc::kOpSynchronizeCache, kNeedsMedium, &V::SynchronizeCache},
      {mmc::kOpCloseTrackSession, kNeedsMedium | kChangesMedium, &V::CloseTrackSession},
      {mmc::kOpFormatUnit, kNeedsMedium | kChangesMedium, &V::FormatUnit},
      {mmc::kOpBlank, kNeedsMedium | kChangesMedium, &V::Blank},
      {mmc::kOpSendDiscStructure, kNeedsMedium | kChangesMedium, &V::SendDiscStructure},
  };
  for (const CommandEntry& entry : kCommands) {
    if (entry.opcode == opcode) return &entry;
  }
  return nullptr;
}

namespace {

// The command a pass-through record carries, once the record is known to be well formed.
struct PassThroughCommand {
  VirtualDevice::Cdb cdb;
  bool data_in = false;
  uint32_t length = 0;
};

// The record must be what the engine builds: a 44-byte header, sense at 48, data at 80, and a
// data length that fits the buffer in the direction it travels. Anything else fails the request
// itself, as the driver would refuse a malformed buffer.
bool ReadRecord(const uint8_t* record, uint32_t in_size, uint32_t out_size,
                PassThroughCommand* command) {
  if (in_size < kPassThroughDataOffset || out_size < kPassThroughDataOffset) return false;
  if (GetLe16(record + kPassThroughLength) != kPassThroughHeaderSize) return false;
  const uint8_t cdb_length = record[kPassThroughCdbLength];
  command->data_in = record[kPassThroughDirection] != kPassThroughDataOut;
  command->length = PassThroughTransferLength(record);
  if (cdb_length == 0 || cdb_length > kPassThroughCdbSize) return false;
  if (PassThroughField32(record, kPassThroughDataField) != kPassThroughDataOffset ||
      PassThroughField32(record, kPassThroughSenseField) != kPassThroughSenseOffset) {
    return false;
  }
  const uint32_t room = (command->data_in ? out_size : in_size) - kPassThroughDataOffset;
  if (command->length > room) return false;
  std::memcpy(command->cdb.b, record + kPassThroughCdb, kPassThroughCdbSize);
  command->cdb.length = cdb_length;
  return true;
}

// The status, sense and transfer length of the answer, as the driver returns them.
uint32_t WriteStatus(const Answer& answer, const PassThroughCommand& command, uint8_t* record) {
  uint8_t* sense = PassThroughSense(record);
  std::memset(sense, 0, kPassThroughSenseSize);
  if (answer.ok()) {
    record[kPassThroughScsiStatus] = mmc::kStatusGood;
    record[kPassThroughSenseLength] = 0;
    const uint32_t delivered =
        command.data_in ? std::min(answer.data_bytes, command.length) : command.length;
    SetPassThroughField32(record, kPassThroughTransferLength, delivered);
    return kPassThroughDataOffset + (command.data_in ? delivered : 0);
  }
  // CHECK CONDITION with fixed-format sense data.
  sense[mmc::kSenseResponseCode] = mmc::kSenseCurrentFixed;
  sense[mmc::kSenseKeyByte] = answer.key;
  sense[mmc::kSenseAdditionalLength] = mmc::kSenseFixedSize - (mmc::kSenseAdditionalLength + 1);
  sense[mmc::kSenseAsc] = answer.asc;
  sense[mmc::kSenseAscq] = answer.ascq;
  if (answer.has_progress) {
    sense[mmc::kSenseKeySpecific] = mmc::kSenseKeySpecificValid;  // the progress indication follows
    PutBe16(sense + mmc::kSenseProgress, answer.progress);
  }
  record[kPassThroughScsiStatus] = mmc::kStatusCheckCondition;
  const uint8_t wanted = record[kPassThroughSenseLength];
  record[kPassThroughSenseLength] = static_cast<uint8_t>(
      std::min<uint32_t>(wanted ? wanted : kPassThroughSenseSize, mmc::kSenseFixedSize));
  SetPassThroughField32(record, kPassThroughTransferLength, 0);
  return kPassThroughDataOffset;
}

}  // namespace

bool VirtualDevice::PassThrough(uint8_t* record, uint32_t in_size, uint32_t out_size,
                                uint32_t* returned) {
  PassThroughCommand command;
  if (!ReadRecord(record, in_size, out_size, &command)) return false;
  uint8_t* data = PassThroughData(record);
  const uint8_t opcode = command.cdb.b[0];
  const CommandEntry* entry = FindCommand(opcode);
  const uint8_t flags = entry != nullptr ? entry->flags : 0;
  ++command_counts_[opcode];

  ReloadIfChanged();
  RemovalPrevented();
  Answer answer;
  const bool decided = AnsweredBeforeRunning(opcode, flags, &answer);
  if (command.data_in && command.length != 0 && !(flags & kFillsItsData)) {
    std::memset(data, 0, command.length);
  }
  if (!decided) {
    answer = entry != nullptr ? (this->*entry->run)(command.cdb, data, command.length)
                              : InvalidOperationCode();
  }
  // Data corruption applies to what a successful data-in command delivered.
  if (answer.ok() && command.data_in) {
    answer.data_bytes = faults_.DamageData(opcode, data, command.length, answer.data_bytes);
  }
  *returned = WriteStatus(answer, command, record);
  if (dirty_ && !(flags & kSavesAtFlush)) {
    std::string ignored;
    SaveLocked(&ignored);
  }
  return true;
}

bool VirtualDevice::AnsweredBeforeRunning(uint8_t opcode, uint8_t flags, Answer* answer) {
  SenseTriple sense;
  if (faults_.TakeSense(opcode, &sense)) {
    *answer = Answer::Sense(sense.key, sense.asc, sense.ascq);
    return true;
  }
  if (!(flags & kWhileNotReady)) {
    if (faults_.TakeNotReady(Now())) {
      *answer =
          Answer::Sense(mmc::kSenseNotReady, mmc::kAscLogicalUnitNotReady, mmc::kAscqBecomingReady);
      return true;
    }
    uint16_t progress = 0;
    if (BusyNow(&progress)) {
      *answer = Answer::Sense(mmc::kSenseNotReady, mmc::kAscLogicalUnitNotReady,
                              mmc::kAscqOperationInProgress);
      answer->has_progress = true;
      answer->progress = progress;
      return true;
    }
  }
  if ((flags & kNeedsMedium) && !state_.medium_present()) {
    *answer = Answer::Sense(mmc::kSenseNotReady, mmc::kAscMediumNotPresent, 0);
    return true;
  }
  return RefusedByDrive(opcode, flags, answer);
}

uint16_t VirtualDevice::ReportedProfile() const {
  if (!state_.medium_present()) return mmc::kProfileNone;
  const uint16_t p = state_.profile;
  if (model_.every_medium || model_.Writes(p)) return p;
  if (!model_.ReadsFamilyOf(p)) return 0;
  if (state_.is_pressed()) return p;
  // A recordable medium this drive only reads: readable once something is recorded on it.
  for (const TrackState& t : state_.tracks) {
    if (t.written != 0) return state_.is_cd() ? mmc::kProfileCdRom : mmc::kProfileDvdRom;
  }
  return 0;
}

bool VirtualDevice::RefusedByDrive(uint8_t opcode, uint8_t flags, Answer* answer) const {
  if (model_.every_medium) return false;
  if (opcode == mmc::kOpReadTrackInformation && model_.writes.empty()) {
    *answer = InvalidOperationCode();  // a reading drive of the older kind
    return true;
  }
  if (!(flags & kNeedsMedium) || !state_.medium_present()) return false;
  const uint16_t reported = ReportedProfile();
  if (reported == 0) {
    *answer = Answer::Sense(mmc::kSenseNotReady, mmc::kAscIncompatibleMedium, 0);
    return true;
  }
  if ((flags & kChangesMedium) && !model_.Writes(reported)) {
    *answer = model_.writes.empty() ? InvalidOperationCode() : CannotWrite();
    return true;
  }
  return false;
}

bool VirtualDevice::Request(uint32_t code, void* buffer, uint32_t in_size, uint32_t out_size,
                            uint32_t* bytes_returned) {
  quenvar::platform::MutexLock lock(&mu_);
  uint32_t ignored = 0;
  if (bytes_returned == nullptr) bytes_returned = &ignored;
  *bytes_returned = 0;
  uint8_t* b = static_cast<uint8_t*>(buffer);
  if (b == nullptr && (in_size != 0 || out_size != 0)) return false;
  switch (code) {
    case kRequestPassThrough:
      return PassThrough(b, in_size, out_size, bytes_returned);
    case kRequestSetDriveLetter:
      if (in_size < 1) return false;
      drive_letter_ = static_cast<char>(b[0]);
      return true;
    case kRequestGetDriveLetter:
      if (out_size < 1) return false;
      b[0] = static_cast<uint8_t>(drive_letter_);
      *bytes_returned = 1;
      return true;
    case kRequestCatchEject:
      if (in_size < 4) return false;
      catch_eject_ = GetLe32(b) != 0;
      if (!catch_eject_) eject_flag_ = false;
      if (out_size >= 1) {
        b[0] = 0;
        *bytes_returned = 1;
      }
      return true;
    case kRequestEjectFlag:
      if (out_size < 1) return false;
      b[0] = eject_flag_ ? 1 : 0;
      eject_flag_ = false;
      *bytes_returned = 1;
      return true;
    case kRequestEjectDetectionMode:
      if (out_size < 4) return false;
      PutLe32(b, 1);  // eject requests are reported as media events
      *bytes_returned = 4;
      return true;
    default:
      return false;
  }
}

}  // namespace quillden::drive::virt
