// Shared pieces of the virtual device's command families: the command table's entry,
// the answer of one command, the common sense answers and building a response within the
// allocation length.
#ifndef QUILLDEN_DRIVE_VIRTUAL_DEVICE_INTERNAL_H_
#define QUILLDEN_DRIVE_VIRTUAL_DEVICE_INTERNAL_H_

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "drive/mmc_vocabulary.h"
#include "drive/transport.h"
#include "drive/virtual/cd_sector.h"
#include "drive/virtual/media_model.h"
#include "drive/virtual/virtual_device.h"
#include "util/byte_order.h"

namespace quillden::drive::virt {

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

// What the dispatcher knows of a command before it runs (flags of CommandEntry).
enum CommandFlag : uint8_t {
  kNeedsMedium = 1 << 0,    // NOT READY, MEDIUM NOT PRESENT without a medium in the tray
  kWhileNotReady = 1 << 1,  // answered while the drive is busy or becoming ready
  kChangesMedium = 1 << 2,  // refused by a declared drive that cannot write the medium
  kFillsItsData = 1 << 3,   // writes every byte it delivers: the buffer is not cleared first
  kSavesAtFlush = 1 << 4,   // the state file is written at the next other command, not after each
};

struct VirtualDevice::CommandEntry {
  uint8_t opcode;
  uint8_t flags;
  Answer (VirtualDevice::*run)(const Cdb& c, uint8_t* d, uint32_t n);
};

// Sense answers the command families share.
inline VirtualDevice::Answer InvalidOperationCode() {
  return VirtualDevice::Answer::Sense(mmc::kSenseIllegalRequest, mmc::kAscInvalidOperationCode, 0);
}
inline VirtualDevice::Answer InvalidField() {
  return VirtualDevice::Answer::Sense(mmc::kSenseIllegalRequest, mmc::kAscInvalidFieldInCdb, 0);
}
inline VirtualDevice::Answer OutOfRange() {
  return VirtualDevice::Answer::Sense(mmc::kSenseIllegalRequest, mmc::kAscLbaOutOfRange, 0);
}
inline VirtualDevice::Answer IncompatibleMedium() {
  return VirtualDevice::Answer::Sense(mmc::kSenseIllegalRequest, mmc::kAscIncompatibleMedium,
                                      mmc::kAscqCannotReadIncompatibleFormat);
}
inline VirtualDevice::Answer InvalidParameter() {
  return VirtualDevice::Answer::Sense(mmc::kSenseIllegalRequest,
                                      mmc::kAscInvalidFieldInParameterList, 0);
}
inline VirtualDevice::Answer ParameterLengthError() {
  return VirtualDevice::Answer::Sense(mmc::kSenseIllegalRequest, mmc::kAscParameterListLengthError,
                                      0);
}
inline VirtualDevice::Answer SequenceError() {
  return VirtualDevice::Answer::Sense(mmc::kSenseIllegalRequest, mmc::kAscCommandSequenceError, 0);
}
inline VirtualDevice::Answer CannotWrite() {
  return VirtualDevice::Answer::Sense(mmc::kSenseIllegalRequest, mmc::kAscIncompatibleMedium,
                                      mmc::kAscqCannotWriteIncompatibleFormat);
}
inline VirtualDevice::Answer InvalidWriteAddress() {
  return VirtualDevice::Answer::Sense(mmc::kSenseIllegalRequest, mmc::kAscLbaOutOfRange,
                                      mmc::kAscqInvalidAddressForWrite);
}
inline VirtualDevice::Answer IllegalModeForTrack() {
  return VirtualDevice::Answer::Sense(mmc::kSenseIllegalRequest, mmc::kAscIllegalModeForTrack, 0);
}
inline VirtualDevice::Answer UnrecoveredReadError() {
  return VirtualDevice::Answer::Sense(mmc::kSenseMediumError, mmc::kAscUnrecoveredReadError, 0);
}
inline VirtualDevice::Answer WriteError() {
  return VirtualDevice::Answer::Sense(mmc::kSenseMediumError, mmc::kAscWriteError, 0);
}

// The write parameters page as the drive starts (and reports as its defaults): track at once, a
// data track of mode 1 blocks, the standard audio pause. p holds kWritePageLength + 2 bytes.
inline void FillDefaultWritePage(uint8_t* p) {
  std::memset(p, 0, mmc::kWritePageLength + 2);
  p[mmc::kModePageCode] = mmc::kModePageWriteParameters;
  p[mmc::kModePageLength] = mmc::kWritePageLength;
  p[mmc::kWritePageWriteType] = mmc::kWriteTypeTrackAtOnce;
  p[mmc::kWritePageTrackMode] = mmc::kControlDataTrack;
  p[mmc::kWritePageDataBlockType] = mmc::kDataBlockMode1;
  PutBe16(p + mmc::kWritePageAudioPause, mmc::kAudioPauseBlocks);
}

// Copies a complete response into the data area, cut to the allocation length and the buffer.
inline VirtualDevice::Answer Deliver(const std::vector<uint8_t>& response, uint32_t allocation,
                                     uint8_t* data, uint32_t length) {
  const uint32_t n =
      std::min<uint32_t>({static_cast<uint32_t>(response.size()), allocation, length});
  if (n) std::memcpy(data, response.data(), n);
  return VirtualDevice::Answer::Ok(n);
}

// Addresses in responses: a 4-byte MSF field (0, minute, second, frame) or a big-endian LBA.
inline void PutMsfAddress(uint8_t* p, int64_t lba) {
  Msf m = LbaToMsf(lba);
  p[0] = 0;
  p[1] = m.minute;
  p[2] = m.second;
  p[3] = m.frame;
}

inline void PutAddress(uint8_t* p, int64_t lba, bool msf) {
  if (msf) {
    PutMsfAddress(p, lba);
  } else {
    PutBe32(p, static_cast<uint32_t>(static_cast<int32_t>(lba)));
  }
}

// The control nibble of a track's TOC entry and sub-channel Q: data or audio.
inline uint8_t Control(TrackMode mode) {
  return mode == TrackMode::kAudio ? 0x00 : mmc::kControlDataTrack;
}

}  // namespace quillden::drive::virt

#endif  // QUILLDEN_DRIVE_VIRTUAL_DEVICE_INTERNAL_H_
