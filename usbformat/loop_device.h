// Test helper: a loop device over a sparse file, registered in the drive map as USB media.
//
// Needs root and loop device support; ok() is false otherwise (with why()), so tests can skip.
// The device is detached and the file removed when the object goes.
#ifndef QUENVAR_USBFORMAT_LOOP_DEVICE_H_
#define QUENVAR_USBFORMAT_LOOP_DEVICE_H_

#include <cstdint>
#include <string>
#include <vector>

#include "platform/temp_dir.h"

namespace quenvar::usbformat {

class LoopDevice {
 public:
  explicit LoopDevice(uint64_t size_bytes);
  ~LoopDevice();
  LoopDevice(const LoopDevice&) = delete;
  LoopDevice& operator=(const LoopDevice&) = delete;

  bool ok() const { return !device_.empty(); }
  const std::string& why() const { return why_; }
  const std::string& device() const { return device_; }
  const std::string& backing_file() const { return file_; }

  // Runs sfdisk with script on the device (test setup).
  bool Partition(const std::string& script);
  // The node of partition n once the kernel shows it; empty after a few seconds.
  std::string PartitionNode(int n) const;
  // SHA-256 of the whole device's content.
  std::string Hash() const;

 private:
  platform::ScopedTempDir dir_;
  std::string file_;
  std::string device_;
  std::string why_;
};

// Runs a command line through the shell and returns its standard output ("" on failure).
std::string Capture(const std::string& command, int* exit_code = nullptr);

}  // namespace quenvar::usbformat

#endif  // QUENVAR_USBFORMAT_LOOP_DEVICE_H_
