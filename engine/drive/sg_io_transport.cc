// SG_IO transport for real drives.
#include "drive/sg_io_transport.h"

#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "drive/mmc_vocabulary.h"
#include "util/byte_order.h"

namespace quillden::drive {
namespace {
constexpr int kDriverSense = 0x08;  // driver_status: sense data were delivered
}

std::unique_ptr<SgIoTransport> SgIoTransport::Open(const std::string& path, int* error_number) {
  int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (error_number != nullptr) *error_number = errno;
    return nullptr;
  }
  return std::unique_ptr<SgIoTransport>(new SgIoTransport(fd, path));
}

SgIoTransport::~SgIoTransport() {
  if (exclusive_fd_ >= 0) ::close(exclusive_fd_);
  if (fd_ >= 0) ::close(fd_);
}

int SgIoTransport::ClaimExclusive() {
  quenvar::platform::MutexLock lock(&claim_mutex_);
  if (exclusive_fd_ >= 0) return 0;
  int fd;
  do {
    fd = ::open(path_.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC | O_EXCL);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return errno;
  exclusive_fd_ = fd;
  return 0;
}

void SgIoTransport::ReleaseExclusive() {
  quenvar::platform::MutexLock lock(&claim_mutex_);
  if (exclusive_fd_ >= 0) ::close(exclusive_fd_);
  exclusive_fd_ = -1;
}

bool SgIoTransport::Request(uint32_t code, void* buffer, uint32_t in_size, uint32_t out_size,
                            uint32_t* bytes_returned) {
  if (bytes_returned != nullptr) *bytes_returned = 0;
  if (code != kRequestPassThrough || buffer == nullptr) return false;
  if (in_size < kPassThroughDataOffset || out_size < in_size) return false;
  uint8_t* record = static_cast<uint8_t*>(buffer);
  const uint8_t cdb_length = record[kPassThroughCdbLength];
  const uint32_t length = PassThroughTransferLength(record);
  if (cdb_length == 0 || cdb_length > kPassThroughCdbSize ||
      length > in_size - kPassThroughDataOffset)
    return false;

  sg_io_hdr_t io;
  std::memset(&io, 0, sizeof(io));
  io.interface_id = 'S';
  io.cmd_len = cdb_length;
  io.cmdp = record + kPassThroughCdb;
  io.mx_sb_len = kPassThroughSenseSize;
  io.sbp = PassThroughSense(record);
  io.dxfer_len = length;
  io.dxferp = length != 0 ? PassThroughData(record) : nullptr;
  io.dxfer_direction = length == 0                                            ? SG_DXFER_NONE
                       : record[kPassThroughDirection] == kPassThroughDataOut ? SG_DXFER_TO_DEV
                                                                              : SG_DXFER_FROM_DEV;
  const uint32_t seconds = PassThroughTimeout(record);
  io.timeout = seconds > 0x7FFFFFFFu / 1000 ? 0x7FFFFFFFu : seconds * 1000;
  std::memset(PassThroughSense(record), 0, kPassThroughSenseSize);
  if (::ioctl(fd_, SG_IO, &io) < 0) return false;
  // A lost connection or an expired time-out never reached the drive's logic: a transport failure.
  if (io.host_status != 0) return false;

  uint8_t status = io.status;
  if (status == 0 && io.sb_len_wr > 0 && (io.driver_status & 0x0F) == kDriverSense) status = 2;
  record[kPassThroughScsiStatus] = status;
  record[kPassThroughSenseLength] = status != 0 ? io.sb_len_wr : 0;
  const uint32_t resid = io.resid > 0 && static_cast<uint32_t>(io.resid) <= length ? io.resid : 0;
  SetPassThroughField32(record, kPassThroughTransferLength, length - resid);
  if (bytes_returned != nullptr) *bytes_returned = kPassThroughDataOffset + length - resid;
  return true;
}

bool SgIoTransport::Works() {
  uint8_t record[kPassThroughDataOffset] = {};
  PutLe16(record + kPassThroughLength, kPassThroughHeaderSize);
  record[kPassThroughCdb] = mmc::kOpTestUnitReady;
  record[kPassThroughCdbLength] = 6;
  record[kPassThroughSenseLength] = kPassThroughSenseSize;
  record[kPassThroughDirection] = kPassThroughDataIn;
  SetPassThroughField32(record, kPassThroughTimeout, 30);
  uint32_t returned = 0;
  return Request(kRequestPassThrough, record, sizeof(record), sizeof(record), &returned);
}

}  // namespace quillden::drive
