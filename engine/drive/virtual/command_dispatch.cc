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
      {kOpInquiry, kWhileNotReady, &V::Inquiry},
      {kOpRequestSense, kWhileNotReady, &V::Accept},
      {kOpTestUnitReady, kNeedsMedium, &V::TestUnitReady},
      {kOpGetConfiguration, kWhileNotReady, &V::GetConfiguration},
      {kOpModeSense10, kWhileNotReady, &V::ModeSense},
      {kOpModeSelect10, kWhileNotReady, &V::ModeSelect},
      {kOpGetPerformance, kWhileNotReady, &V::GetPerformance},
      {kOpSetCdSpeed, kWhileNotReady, &V::Accept},
      {kOpSetStreaming, kWhileNotReady, &V::SetStreaming},
      // Disc, track and TOC information.
      {kOpReadDiscInformation, kNeedsMedium, &V::ReadDiscInformation},
      {kOpReadTrackInformation, kNeedsMedium, &V::ReadTrackInformation},
      {kOpReadToc, kNeedsMedium, &V::ReadToc},
      {kOpReadCapacity, kNeedsMedium, &V::ReadCapacity},
      {kOpReadFormatCapacities, 0, &V::ReadFormatCapacities},
      {kOpReadDiscStructure, kNeedsMedium, &V::ReadDiscStructure},
      // Reading.
      {kOpRead10, kNeedsMedium | kFillsItsData, &V::Read10},
      {kOpReadCd, kNeedsMedium | kFillsItsData, &V::ReadCd},
      {kOpSeek10, 0, &V::Accept},
      // Tray, lock and events.
      {kOpStartStopUnit, 0, &V::StartStopUnit},
      {kOpPreventAllow, kWhileNotReady, &V::PreventAllow},
      {kOpGetEventStatus, kWhileNotReady, &V::GetEventStatus},
      // Writing, closing, formatting.
      {kOpWrite10, kNeedsMedium | kChangesMedium | kSavesAtFlush, &V::Write10},
      {kOpReserveTrack, kNeedsMedium | kChangesMedium, &V::ReserveTrack},
      {kOpSendCueSheet, kNeedsMedium | kChangesMedium, &V::SendCueSheet},
      {kOpSynchronizeCache, kNeedsMedium, &V::SynchronizeCache},
      {kOpCloseTrackSession, kNeedsMedium | kChangesMedium, &V::CloseTrackSession},
      {kOpFormatUnit, kNeedsMedium | kChangesMedium, &V::FormatUnit},
      {kOpBlank, kNeedsMedium | kChangesMedium, &V::Blank},
      {kOpSendDiscStructure, kNeedsMedium | kChangesMedium, &V::SendDiscStructure},
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
  if (GetLe16(record) != kPassThroughHeaderSize) return false;
  const uint8_t cdb_length = record[6];
  command->data_in = record[8] != 0;
  command->length = GetLe32(record + 12);
  if (cdb_length == 0 || cdb_length > 16) return false;
  if (GetLe32(record + 20) != kPassThroughDataOffset ||
      GetLe32(record + 24) != kPassThroughSenseOffset) {
    return false;
  }
  const uint32_t room = (command->data_in ? out_size : in_size) - kPassThroughDataOffset;
  if (command->length > room) return false;
  std::memcpy(command->cdb.b, record + 28, 16);
  command->cdb.length = cdb_length;
  return true;
}

// The status, sense and transfer length of the answer, as the driver returns them.
uint32_t WriteStatus(const Answer& answer, const PassThroughCommand& command, uint8_t* record) {
  std::memset(record + kPassThroughSenseOffset, 0, kPassThroughSenseSize);
  if (answer.ok()) {
    record[2] = 0;
    record[7] = 0;
    const uint32_t delivered =
        command.data_in ? std::min(answer.data_bytes, command.length) : command.length;
    PutLe32(record + 12, delivered);
    return kPassThroughDataOffset + (command.data_in ? delivered : 0);
  }
  // CHECK CONDITION with fixed-format sense data.
  uint8_t* s = record + kPassThroughSenseOffset;
  s[0] = 0x70;
  s[2] = answer.key;
  s[7] = 10;
  s[12] = answer.asc;
  s[13] = answer.ascq;
  if (answer.has_progress) {
    s[15] = 0x80;  // SKSV: bytes 16 and 17 hold the progress indication
    PutBe16(s + 16, answer.progress);
  }
  record[2] = 0x02;
  const uint8_t wanted = record[7];
  record[7] = static_cast<uint8_t>(std::min<uint32_t>(wanted ? wanted : kPassThroughSenseSize, 18));
  PutLe32(record + 12, 0);
  return kPassThroughDataOffset;
}

}  // namespace

bool VirtualDevice::PassThrough(uint8_t* record, uint32_t in_size, uint32_t out_size,
                                uint32_t* returned) {
  PassThroughCommand command;
  if (!ReadRecord(record, in_size, out_size, &command)) return false;
  uint8_t* data = record + kPassThroughDataOffset;
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
                              : Answer::Sense(5, 0x20, 0x00);  // invalid command operation code
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
      *answer = Answer::Sense(2, 0x04, 0x01);  // becoming ready
      return true;
    }
    uint16_t progress = 0;
    if (BusyNow(&progress)) {
      *answer = Answer::Sense(2, 0x04, 0x07);  // long write in progress
      answer->has_progress = true;
      answer->progress = progress;
      return true;
    }
  }
  if ((flags & kNeedsMedium) && !state_.medium_present()) {
    *answer = Answer::Sense(2, 0x3A, 0x00);  // medium not present
    return true;
  }
  return RefusedByDrive(opcode, flags, answer);
}

uint16_t VirtualDevice::ReportedProfile() const {
  if (!state_.medium_present()) return 0;
  const uint16_t p = state_.profile;
  if (model_.every_medium || model_.Writes(p)) return p;
  if (!model_.ReadsFamilyOf(p)) return 0;
  if (state_.is_pressed()) return p;
  // A recordable medium this drive only reads: readable once something is recorded on it.
  for (const TrackState& t : state_.tracks) {
    if (t.written != 0) return state_.is_cd() ? kProfileCdRom : kProfileDvdRom;
  }
  return 0;
}

bool VirtualDevice::RefusedByDrive(uint8_t opcode, uint8_t flags, Answer* answer) const {
  if (model_.every_medium) return false;
  if (opcode == kOpReadTrackInformation && model_.writes.empty()) {
    *answer = Answer::Sense(5, 0x20, 0x00);  // a reading drive of the older kind
    return true;
  }
  if (!(flags & kNeedsMedium) || !state_.medium_present()) return false;
  const uint16_t reported = ReportedProfile();
  if (reported == 0) {
    *answer = Answer::Sense(2, 0x30, 0x00);  // incompatible medium installed
    return true;
  }
  if ((flags & kChangesMedium) && !model_.Writes(reported)) {
    *answer = model_.writes.empty() ? Answer::Sense(5, 0x20, 0x00) : CannotWrite();
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
