// The transport of a real drive: the pass-through record becomes one SG_IO request on the drive's
// SCSI generic capable node (/dev/srN), opened read-write and non-blocking so that an empty drive
// still opens. Status, sense and the residual come back into the record exactly where the driver
// interface puts them. Only commands pass here; the driver layer above answers everything else.
#ifndef QUILLDEN_DRIVE_SG_IO_TRANSPORT_H_
#define QUILLDEN_DRIVE_SG_IO_TRANSPORT_H_

#include <memory>
#include <string>

#include "drive/transport.h"
#include "platform/mutex.h"
#include "platform/thread_annotations.h"

namespace quillden::drive {

class SgIoTransport : public Transport {
 public:
  // Opens path; null with *error_number set (errno) on failure.
  static std::unique_ptr<SgIoTransport> Open(const std::string& path, int* error_number);
  ~SgIoTransport() override;

  bool Request(uint32_t code, void* buffer, uint32_t in_size, uint32_t out_size,
               uint32_t* bytes_returned) override;

  // Opens the node a second time with O_EXCL and keeps it open while the transport lives: the
  // kernel then refuses every other exclusive open of the drive (other jobs of ours and the drive
  // tools that write, which open it the same way) and a mount of it, with EBUSY.
  int ClaimExclusive() override;
  void ReleaseExclusive() override;

  // True when the node answers SG_IO at all (TEST UNIT READY reaching the device, whatever the
  // device's answer): a restarted device counts as working then.
  bool Works();

 private:
  SgIoTransport(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  int fd_;
  const std::string path_;
  quenvar::platform::Mutex claim_mutex_;
  int exclusive_fd_ GUARDED_BY(claim_mutex_) = -1;
};

}  // namespace quillden::drive

#endif  // QUILLDEN_DRIVE_SG_IO_TRANSPORT_H_
