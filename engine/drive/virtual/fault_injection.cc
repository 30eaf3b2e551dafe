#include "drive/virtual/fault_injection.h"

#include <algorithm>
#include <cstring>

namespace quillden::drive::virt {
namespace {

// Applies one corruption to delivered of the length bytes at data; returns what is delivered now.
uint32_t Apply(const DataCorruption& c, uint8_t* data, uint32_t length, uint32_t delivered) {
  switch (c.kind) {
    case DataCorruption::Kind::kTruncate:
      if (c.keep_bytes < delivered) {
        std::memset(data + c.keep_bytes, 0, delivered - c.keep_bytes);
        delivered = c.keep_bytes;
      }
      return delivered;
    case DataCorruption::Kind::kGarbage: {
      uint32_t x = c.seed ? c.seed : 1;
      for (uint32_t i = 0; i < delivered; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        data[i] = static_cast<uint8_t>(x);
      }
      return delivered;
    }
    case DataCorruption::Kind::kPatch:
      for (size_t i = 0; i < c.bytes.size() && c.offset + i < length; ++i) {
        data[c.offset + i] = c.bytes[i];
      }
      return std::max<uint32_t>(
          delivered, std::min<uint32_t>(length, c.offset + static_cast<uint32_t>(c.bytes.size())));
  }
  return delivered;
}

}  // namespace

void FaultInjector::InjectSense(uint8_t opcode, uint32_t nth, SenseTriple sense, uint32_t repeat) {
  sense_faults_.push_back(
      {opcode, std::max<uint32_t>(nth, 1), sense, std::max<uint32_t>(repeat, 1)});
}

void FaultInjector::CorruptNextData(uint8_t opcode, uint32_t nth,
                                    const DataCorruption& corruption) {
  data_faults_.push_back({opcode, std::max<uint32_t>(nth, 1), corruption});
}

void FaultInjector::Clear() {
  sense_faults_.clear();
  data_faults_.clear();
  not_ready_until_ms_ = 0;
  not_ready_commands_ = 0;
}

bool FaultInjector::TakeSense(uint8_t opcode, SenseTriple* sense) {
  for (auto it = sense_faults_.begin(); it != sense_faults_.end(); ++it) {
    if (it->opcode != opcode) continue;
    if (it->countdown > 1) {
      --it->countdown;
      continue;
    }
    *sense = it->sense;
    if (--it->repeat == 0) sense_faults_.erase(it);
    return true;
  }
  return false;
}

bool FaultInjector::TakeNotReady(uint64_t now_ms) {
  if (not_ready_commands_ == 0 && now_ms >= not_ready_until_ms_) return false;
  if (not_ready_commands_ > 0) --not_ready_commands_;
  return true;
}

uint32_t FaultInjector::DamageData(uint8_t opcode, uint8_t* data, uint32_t length,
                                   uint32_t delivered) {
  for (auto it = data_faults_.begin(); it != data_faults_.end(); ++it) {
    if (it->opcode != opcode) continue;
    if (it->countdown > 1) {
      --it->countdown;
      continue;
    }
    delivered = Apply(it->corruption, data, length, std::min(delivered, length));
    data_faults_.erase(it);
    break;
  }
  return delivered;
}

}  // namespace quillden::drive::virt
