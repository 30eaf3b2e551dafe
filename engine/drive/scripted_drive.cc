#include "drive/scripted_drive.h"

#include <algorithm>
#include <cstring>

#include "drive/drive_handle.h"
#include "drive/mmc_vocabulary.h"
#include "util/byte_order.h"

namespace quillden::drive::testing {
namespace {

class ScriptTransport : public Transport {
 public:
  explicit ScriptTransport(ScriptedDrive* script) : script_(script) {}
  bool Request(uint32_t code, void* buffer, uint32_t in_size, uint32_t out_size,
               uint32_t* returned) override {
    if (code != kRequestPassThrough || in_size != out_size) return false;
    return script_->Execute(static_cast<uint8_t*>(buffer), in_size, returned);
  }

 private:
  ScriptedDrive* script_;
};

}  // namespace

size_t ScriptedDrive::Count(uint8_t opcode) const {
  return static_cast<size_t>(std::count_if(
      log_.begin(), log_.end(), [&](const LoggedCommand& c) { return c.cdb[0] == opcode; }));
}

std::unique_ptr<Transport> ScriptedDrive::MakeTransport() {
  return std::make_unique<ScriptTransport>(this);
}

HANDLE ScriptedDrive::Open(char letter) {
  return OpenDriveOnTransport(MakeTransport(), letter);
}

bool ScriptedDrive::Execute(uint8_t* r, uint32_t size, uint32_t* returned) {
  LoggedCommand command;
  command.cdb.assign(r + kPassThroughCdb, r + kPassThroughCdb + r[kPassThroughCdbLength]);
  command.direction = r[kPassThroughDirection];
  command.data_length = PassThroughTransferLength(r);
  command.timeout = PassThroughTimeout(r);
  if (GetLe16(r + kPassThroughLength) != kPassThroughHeaderSize ||
      PassThroughField32(r, kPassThroughDataField) != kPassThroughDataOffset ||
      PassThroughField32(r, kPassThroughSenseField) != kPassThroughSenseOffset ||
      r[kPassThroughSenseLength] != kPassThroughSenseSize ||
      size != kPassThroughDataOffset + command.data_length) {
    return false;  // a malformed record never reaches a drive
  }
  uint8_t* data = PassThroughData(r);
  if (command.direction == kPassThroughDataOut) {
    command.data_out.assign(data, data + command.data_length);
  }
  log_.push_back(command);
  auto it = handlers_.find(command.cdb[0]);
  Answer answer = it != handlers_.end()
                      ? it->second(command)
                      : Answer::Sense(mmc::kSenseIllegalRequest, mmc::kAscInvalidOperationCode, 0);
  if (answer.fail_request) return false;
  if (answer.return_nothing) {
    *returned = 0;
    return true;
  }
  if (answer.sense_key != 0) {
    constexpr uint8_t kCheckCondition = 2;
    r[kPassThroughScsiStatus] = kCheckCondition;
    r[kPassThroughSenseLength] = answer.sense_length;
    uint8_t* s = PassThroughSense(r);
    s[0] = 0x70;  // current error, fixed format
    s[mmc::kSenseKeyByte] = answer.sense_key;
    s[7] = 10;  // additional sense length
    s[mmc::kSenseAsc] = answer.asc;
    s[mmc::kSenseAscq] = answer.ascq;
    if (answer.progress != 0) {
      s[mmc::kSenseProgress - 1] = 0x80;  // SKSV
      PutBe16(s + mmc::kSenseProgress, answer.progress);
    }
    *returned = kPassThroughDataOffset;
    return true;
  }
  if (command.direction == kPassThroughDataIn) {
    const size_t n = std::min<size_t>(answer.data.size(), command.data_length);
    if (n != 0) std::memcpy(data, answer.data.data(), n);
  }
  *returned = size;
  return true;
}

}  // namespace quillden::drive::testing
