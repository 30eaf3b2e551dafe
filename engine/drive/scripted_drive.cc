#include "drive/scripted_drive.h"

#include <algorithm>
#include <cstring>

#include "drive/drive_handle.h"
#include "util/byte_order.h"

namespace quillden::drive::testing {
namespace {

class ScriptTransport : public Transport {
 public:
  explicit ScriptTransport(ScriptedDrive* script) : script_(script) {}
  bool Request(uint32_t code, void* buffer, uint32_t in_size, uint32_t out_size, uint32_t* returned) override {
    if (code != kRequestPassThrough || in_size != out_size) return false;
    return script_->Execute(static_cast<uint8_t*>(buffer), in_size, returned);
  }

 private:
  ScriptedDrive* script_;
};

}  // namespace

size_t ScriptedDrive::Count(uint8_t opcode) const {
  return static_cast<size_t>(
      std::count_if(log_.begin(), log_.end(), [&](const LoggedCommand& c) { return c.cdb[0] == opcode; }));
}

std::unique_ptr<Transport> ScriptedDrive::MakeTransport() { return std::make_unique<ScriptTransport>(this); }

HANDLE ScriptedDrive::Open(char letter) { return OpenDriveOnTransport(MakeTransport(), letter); }

bool ScriptedDrive::Execute(uint8_t* r, uint32_t size, uint32_t* returned) {
  LoggedCommand command;
  command.cdb.assign(r + 28, r + 28 + r[6]);
  command.direction = r[8];
  command.data_length = GetLe32(r + 12);
  command.timeout = GetLe32(r + 16);
  if (GetLe16(r) != 44 || GetLe32(r + 20) != 80 || GetLe32(r + 24) != 48 || r[7] != 24 ||
      size != 80 + command.data_length) {
    return false;  // a malformed record never reaches a drive
  }
  if (command.direction == 0) command.data_out.assign(r + 80, r + 80 + command.data_length);
  log_.push_back(command);
  auto it = handlers_.find(command.cdb[0]);
  Answer answer = it != handlers_.end() ? it->second(command) : Answer::Sense(5, 0x20, 0);  // invalid opcode
  if (answer.fail_request) return false;
  if (answer.return_nothing) {
    *returned = 0;
    return true;
  }
  if (answer.sense_key != 0) {
    r[2] = 2;
    r[7] = answer.sense_length;
    uint8_t* s = r + 48;
    s[0] = 0x70;
    s[2] = answer.sense_key;
    s[7] = 10;
    s[12] = answer.asc;
    s[13] = answer.ascq;
    if (answer.progress != 0) {
      s[15] = 0x80;
      PutBe16(s + 16, answer.progress);
    }
    *returned = 80;
    return true;
  }
  if (command.direction == 1) {
    const size_t n = std::min<size_t>(answer.data.size(), command.data_length);
    if (n != 0) std::memcpy(r + 80, answer.data.data(), n);
  }
  *returned = size;
  return true;
}

}  // namespace quillden::drive::testing
