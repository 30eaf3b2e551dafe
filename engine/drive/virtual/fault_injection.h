// Faults a test arranges on a virtual drive (see VirtualRecorder): chosen commands answer with a
// given sense instead of executing, the drive is becoming ready for a while, or the data a
// command delivers is damaged. Kept apart from the device model so that a fault never changes
// what the medium is, only what the host is told.
//
// Thread-compatible: the device calls it under its own mutex.
#ifndef QUILLDEN_DRIVE_VIRTUAL_FAULT_INJECTION_H_
#define QUILLDEN_DRIVE_VIRTUAL_FAULT_INJECTION_H_

#include <cstdint>
#include <vector>

#include "drive/virtual/virtual_recorder.h"

namespace quillden::drive::virt {

struct SenseTriple {
  uint8_t key = 0;
  uint8_t asc = 0;
  uint8_t ascq = 0;
};

class FaultInjector {
 public:
  // The nth command with opcode from now (1 = the next) answers sense, and so do the repeat - 1
  // commands with that opcode after it.
  void InjectSense(uint8_t opcode, uint32_t nth, SenseTriple sense, uint32_t repeat);
  // Commands that a busy drive does not answer get NOT READY, BECOMING READY until the clock
  // reads until_ms, or for the next commands ones.
  void SetNotReadyUntil(uint64_t until_ms) { not_ready_until_ms_ = until_ms; }
  void SetNotReadyForCommands(uint32_t commands) { not_ready_commands_ = commands; }
  void CorruptNextData(uint8_t opcode, uint32_t nth, const DataCorruption& corruption);
  void Clear();

  // Called once per command with opcode, in this order, before it would execute. TakeSense: the
  // injected sense it answers instead, if any. TakeNotReady (only for commands a busy drive does
  // not answer): whether the drive is still becoming ready at now_ms.
  bool TakeSense(uint8_t opcode, SenseTriple* sense);
  bool TakeNotReady(uint64_t now_ms);
  // After a data-in command with opcode succeeded having delivered delivered of length bytes at
  // data: applies the corruption due for it and returns the bytes it now delivers.
  uint32_t DamageData(uint8_t opcode, uint8_t* data, uint32_t length, uint32_t delivered);

 private:
  struct SenseFault {
    uint8_t opcode;
    uint32_t countdown;
    SenseTriple sense;
    uint32_t repeat;
  };
  struct DataFault {
    uint8_t opcode;
    uint32_t countdown;
    DataCorruption corruption;
  };

  std::vector<SenseFault> sense_faults_;
  std::vector<DataFault> data_faults_;
  uint64_t not_ready_until_ms_ = 0;
  uint32_t not_ready_commands_ = 0;
};

}  // namespace quillden::drive::virt

#endif  // QUILLDEN_DRIVE_VIRTUAL_FAULT_INJECTION_H_
