// A scripted drive for tests of the command layer: each opcode gets a handler that sees the command
// block and the data sent, and answers with data or sense. Every command is logged.
#ifndef QUILLDEN_DRIVE_SCRIPTED_DRIVE_H_
#define QUILLDEN_DRIVE_SCRIPTED_DRIVE_H_

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "drive/transport.h"
#include "quillden/types.h"

namespace quillden::drive::testing {

struct Answer {
  std::vector<uint8_t> data;  // data-in bytes (cut to the allocation)
  uint8_t sense_key = 0;      // non-zero: CHECK CONDITION with this sense
  uint8_t asc = 0;
  uint8_t ascq = 0;
  uint16_t progress = 0;      // sense bytes 16 and 17 (SKSV set when non-zero)
  uint8_t sense_length = 18;
  bool fail_request = false;  // the request itself fails
  bool return_nothing = false;  // the request succeeds with 0 bytes returned

  static Answer Sense(uint8_t key, uint8_t asc, uint8_t ascq) {
    Answer a;
    a.sense_key = key;
    a.asc = asc;
    a.ascq = ascq;
    return a;
  }
};

struct LoggedCommand {
  std::vector<uint8_t> cdb;  // cdb_length bytes
  uint8_t direction = 0;
  uint32_t data_length = 0;
  uint32_t timeout = 0;
  std::vector<uint8_t> data_out;
};

class ScriptedDrive {
 public:
  using Handler = std::function<Answer(const LoggedCommand&)>;

  void On(uint8_t opcode, Handler handler) { handlers_[opcode] = std::move(handler); }
  void Always(uint8_t opcode, Answer answer) {
    handlers_[opcode] = [answer](const LoggedCommand&) { return answer; };
  }
  const std::vector<LoggedCommand>& log() const { return log_; }
  size_t Count(uint8_t opcode) const;
  void ClearLog() { log_.clear(); }

  // A transport over this script (the script must outlive it).
  std::unique_ptr<Transport> MakeTransport();
  // A drive handle over this script, with drive letter letter.
  HANDLE Open(char letter = 'V');

  bool Execute(uint8_t* record, uint32_t size, uint32_t* returned);

 private:
  std::map<uint8_t, Handler> handlers_;
  std::vector<LoggedCommand> log_;
};

}  // namespace quillden::drive::testing

#endif  // QUILLDEN_DRIVE_SCRIPTED_DRIVE_H_
