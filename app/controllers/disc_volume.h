// Orvex controllers: files of a written disc, read back through the engine's volume exports.
//
// The program never mounts a disc: the engine reads the file systems of the disc in a drive itself,
// so verification works the same on real and virtual recorders. Paths are "X:\folder\name".
// An absolute local path ("/...") opens a file of a volume the program mounted itself (USB media).
#ifndef QUENVAR_APP_CONTROLLERS_DISC_VOLUME_H_
#define QUENVAR_APP_CONTROLLERS_DISC_VOLUME_H_

#include <cstdint>
#include <memory>
#include <string>

#include "platform/env.h"

namespace quenvar::app {

// True when the volume of drive_number can be opened for reading now (it is closed again at once).
bool ProbeDiscVolume(int32_t drive_number);

class DiscFile {
 public:
  virtual ~DiscFile() = default;
  // Null when the file cannot be opened. A local path is opened through env.
  static std::unique_ptr<DiscFile> Open(const std::u16string& path,
                                        platform::Env* env = platform::Env::Default());
  virtual uint64_t size() const = 0;
  // Reads up to length bytes at the current position; false on a read failure.
  virtual bool Read(void* buffer, uint32_t length, uint32_t* read) = 0;
};

}  // namespace quenvar::app

#endif  // QUENVAR_APP_CONTROLLERS_DISC_VOLUME_H_
