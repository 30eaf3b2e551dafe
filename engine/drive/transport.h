// Drive transport: how one pass-through record reaches a device.
//
// The engine builds every MMC command itself as the 80 + n byte pass-through record (header of 44
// bytes, sense at 48, data at 80; little-endian fields) and hands the whole buffer to a Transport,
// which executes it and writes back the SCSI status (byte 2), the number of sense bytes delivered
// (byte 7), the sense data (48..71) and, for data-in commands, the data (80..). A transport failure
// (the request itself failed) is reported by the return value and kept apart from a drive's CHECK
// CONDITION, which is a successful request carrying a non-zero status.
//
// Two implementations sit below this interface: SG_IO on a /dev/srN node for real drives, and the
// virtual recorder, an MMC device model over a backing file. Nothing reaches a drive any other way.
// A Transport is used by one thread at a time per drive handle.
#ifndef QUILLDEN_DRIVE_TRANSPORT_H_
#define QUILLDEN_DRIVE_TRANSPORT_H_

#include <cstdint>
#include <memory>

namespace quillden::drive {

// Request codes of the driver interface (device type 0xECD0, buffered).
inline constexpr uint32_t kRequestPassThrough = 0xECD0D004;
inline constexpr uint32_t kRequestSetDriveLetter = 0xECD0E090;
inline constexpr uint32_t kRequestGetDriveLetter = 0xECD0E094;
inline constexpr uint32_t kRequestCatchEject = 0xECD0E098;
inline constexpr uint32_t kRequestEjectFlag = 0xECD0E09C;
inline constexpr uint32_t kRequestEjectDetectionMode = 0xECD0E0A0;

// Layout of the pass-through record.
inline constexpr uint32_t kPassThroughHeaderSize = 44;
inline constexpr uint32_t kPassThroughSenseOffset = 48;
inline constexpr uint32_t kPassThroughSenseSize = 24;
inline constexpr uint32_t kPassThroughDataOffset = 80;

// Fields of the 44-byte header. The engine fills all but the status; the transport writes back the
// status, the sense length (0 when it delivered no sense) and the transfer length it moved.
inline constexpr uint32_t kPassThroughLength = 0;           // 2 bytes: kPassThroughHeaderSize
inline constexpr uint32_t kPassThroughScsiStatus = 2;       // written by the transport
inline constexpr uint32_t kPassThroughCdbLength = 6;        // 1 to 16
inline constexpr uint32_t kPassThroughSenseLength = 7;      // in: room for sense; out: delivered
inline constexpr uint32_t kPassThroughDirection = 8;        // 0 data out, 1 data in (or none)
inline constexpr uint32_t kPassThroughTransferLength = 12;  // 4 bytes
inline constexpr uint32_t kPassThroughTimeout = 16;         // 4 bytes, seconds
inline constexpr uint32_t kPassThroughDataField = 20;       // 4 bytes: kPassThroughDataOffset
inline constexpr uint32_t kPassThroughSenseField = 24;      // 4 bytes: kPassThroughSenseOffset
inline constexpr uint32_t kPassThroughCdb = 28;             // 16 bytes
inline constexpr uint32_t kPassThroughCdbSize = 16;
inline constexpr uint8_t kPassThroughDataOut = 0;
inline constexpr uint8_t kPassThroughDataIn = 1;

// Readers and writers of the little-endian header fields, for transports and the engine alike.
inline uint32_t PassThroughField32(const uint8_t* record, uint32_t field) {
  const uint8_t* p = record + field;
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
inline void SetPassThroughField32(uint8_t* record, uint32_t field, uint32_t value) {
  uint8_t* p = record + field;
  p[0] = static_cast<uint8_t>(value);
  p[1] = static_cast<uint8_t>(value >> 8);
  p[2] = static_cast<uint8_t>(value >> 16);
  p[3] = static_cast<uint8_t>(value >> 24);
}
inline uint32_t PassThroughTransferLength(const uint8_t* record) {
  return PassThroughField32(record, kPassThroughTransferLength);
}
inline uint32_t PassThroughTimeout(const uint8_t* record) {
  return PassThroughField32(record, kPassThroughTimeout);
}
inline uint8_t* PassThroughSense(uint8_t* record) {
  return record + kPassThroughSenseOffset;
}
inline uint8_t* PassThroughData(uint8_t* record) {
  return record + kPassThroughDataOffset;
}

class Transport {
 public:
  virtual ~Transport() = default;

  // Executes request code on the drive handle with buffer as input and output (in_size bytes in,
  // out_size bytes available for output). For kRequestPassThrough the buffer is the pass-through
  // record. Sets *bytes_returned as the request reports it. Returns false when the request itself
  // failed (device gone, ioctl error); the buffer content is then undefined.
  virtual bool Request(uint32_t code, void* buffer, uint32_t in_size, uint32_t out_size,
                       uint32_t* bytes_returned) = 0;

  // Takes the drive for this transport alone, for a job that changes the medium: every other
  // transport on the same drive, in this process or another, is refused until this one closes or
  // its process ends (the kernel drops the claim then, as it unlocks a drive whose last handle
  // closed). Returns 0 when taken or already held, EBUSY when someone else holds the drive, or
  // the errno that kept the claim from being made. Transports that cannot be shared need nothing.
  virtual int ClaimExclusive() { return 0; }

  // Gives a claim back before the transport closes (a query that took the drive only for the
  // moment it set drive state). Nothing happens when the transport holds no claim.
  virtual void ReleaseExclusive() {}
};

}  // namespace quillden::drive

#endif  // QUILLDEN_DRIVE_TRANSPORT_H_
