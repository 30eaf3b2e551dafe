// The transport of a real drive: the pass-through record becomes one SG_IO request on the drive's
// SCSI generic capable node (/dev/srN), opened read-write and non-blocking so that an empty drive
// still opens. Status, sense and the residual come back into the record exactly where the driver
// interface puts them. Only commands pass here; the driver layer above answers everything else.
#ifndef QUILLDEN_DRIVE_SG_IO_TRANSPORT_H_
#define QUILLDEN_DRIVE_SG_IO_TRANSPORT_H_

#include <memory>
#include <string>

#include "drive/transport.h"

namespace quillden::drive {

class SgIoTransport : public Transport {
 public:
  // Opens path; null with *error_number set (errno) on failure.
  static std::unique_ptr<SgIoTransport> Open(const std::string& path, int* error_number);
  ~SgIoTransport() override;

  bool Request(uint32_t code, void* buffer, uint32_t in_size, uint32_t out_size,
               uint32_t* bytes_returned) override;

  // True when the node answers SG_IO at all (TEST UNIT READY reaching the device, whatever the
  // device's answer): a restarted device counts as working then.
  bool Works();

 private:
  explicit SgIoTransport(int fd) : fd_(fd) {}
  int fd_;
};

}  // namespace quillden::drive

#endif  // QUILLDEN_DRIVE_SG_IO_TRANSPORT_H_
