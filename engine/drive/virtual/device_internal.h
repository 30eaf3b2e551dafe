// Shared pieces of the virtual device's command implementation: opcodes, the answer of one
// command, and building a response within the allocation length.
#ifndef QUILLDEN_DRIVE_VIRTUAL_DEVICE_INTERNAL_H_
#define QUILLDEN_DRIVE_VIRTUAL_DEVICE_INTERNAL_H_

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "drive/virtual/virtual_device.h"

namespace quillden::drive::virt {

enum Opcode : uint8_t {
  kOpTestUnitReady = 0x00,
  kOpRequestSense = 0x03,
  kOpFormatUnit = 0x04,
  kOpInquiry = 0x12,
  kOpStartStopUnit = 0x1B,
  kOpPreventAllow = 0x1E,
  kOpReadFormatCapacities = 0x23,
  kOpReadCapacity = 0x25,
  kOpRead10 = 0x28,
  kOpWrite10 = 0x2A,
  kOpSeek10 = 0x2B,
  kOpSynchronizeCache = 0x35,
  kOpReadToc = 0x43,
  kOpGetConfiguration = 0x46,
  kOpGetEventStatus = 0x4A,
  kOpReadDiscInformation = 0x51,
  kOpReadTrackInformation = 0x52,
  kOpReserveTrack = 0x53,
  kOpModeSelect10 = 0x55,
  kOpModeSense10 = 0x5A,
  kOpCloseTrackSession = 0x5B,
  kOpSendCueSheet = 0x5D,
  kOpBlank = 0xA1,
  kOpGetPerformance = 0xAC,
  kOpReadDiscStructure = 0xAD,
  kOpSetStreaming = 0xB6,
  kOpSetCdSpeed = 0xBB,
  kOpReadCd = 0xBE,
  kOpSendDiscStructure = 0xBF,
};

// Media class events of GET EVENT STATUS NOTIFICATION.
inline constexpr uint8_t kMediaEventEjectRequest = 1;
inline constexpr uint8_t kMediaEventNewMedia = 2;
inline constexpr uint8_t kMediaEventRemoval = 3;

struct VirtualDevice::Cdb {
  uint8_t b[16] = {};
  uint8_t length = 0;
};

struct VirtualDevice::Answer {
  uint8_t key = 0;
  uint8_t asc = 0;
  uint8_t ascq = 0;
  bool has_progress = false;
  uint16_t progress = 0;
  uint32_t data_bytes = 0;
  bool ok() const { return key == 0 && asc == 0 && ascq == 0; }
  static Answer Ok(uint32_t bytes) {
    Answer a;
    a.data_bytes = bytes;
    return a;
  }
  static Answer Sense(uint8_t key, uint8_t asc, uint8_t ascq) {
    Answer a;
    a.key = key;
    a.asc = asc;
    a.ascq = ascq;
    return a;
  }
};

// Copies a complete response into the data area, cut to the allocation length and the buffer.
inline VirtualDevice::Answer Deliver(const std::vector<uint8_t>& response, uint32_t allocation,
                                     uint8_t* data, uint32_t length) {
  const uint32_t n = std::min<uint32_t>({static_cast<uint32_t>(response.size()), allocation, length});
  if (n) std::memcpy(data, response.data(), n);
  return VirtualDevice::Answer::Ok(n);
}

inline constexpr uint32_t kCdLeadInFirstSession = 4500 + 150;  // lead-in plus pregap
inline constexpr uint32_t kCdFirstSessionOverhead = 6750 + 4500 + 150;  // lead-out 90 s first
inline constexpr uint32_t kCdLaterSessionOverhead = 2250 + 4500 + 150;  // lead-out 30 s later
inline constexpr uint32_t kCdTaoPregap = 150;
inline constexpr uint32_t kCdRunOutBlocks = 2;
inline constexpr int64_t kCdAtipLeadInStart = -11634;  // 97:26:66
inline constexpr uint32_t kDvdMinusBorderBlocks = 16384;  // border-out and border-in
inline constexpr uint32_t kDvdPlusSessionGap = 4096;      // closure and intro zones
inline constexpr uint32_t kDvdFirstPsn = 0x30000;

}  // namespace quillden::drive::virt

#endif  // QUILLDEN_DRIVE_VIRTUAL_DEVICE_INTERNAL_H_
