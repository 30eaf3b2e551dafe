// Reading a project file unit by unit: UTF-16LE code units, or single bytes of an ANSI file.
#ifndef QUILLDEN_DATADISK_PROJECT_PROJECT_READER_H_
#define QUILLDEN_DATADISK_PROJECT_PROJECT_READER_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/env.h"

namespace quillden::project {

enum class Encoding { kUtf16, kAnsi };

class ProjectReader {
 public:
  enum class Read { kUnit, kEnd, kError };

  ProjectReader(std::unique_ptr<quenvar::platform::ReadableFile> file, Encoding encoding,
                uint64_t offset = 0)
      : file_(std::move(file)), encoding_(encoding), offset_(offset) {}

  Encoding encoding() const { return encoding_; }

  // The next unit: a UTF-16 code unit, or a byte (0 to 255) of an ANSI file. A UTF-16 file that
  // ends in half a unit ends there.
  Read Next(char16_t* unit);

 private:
  bool Fill();

  std::unique_ptr<quenvar::platform::ReadableFile> file_;
  Encoding encoding_;
  uint64_t offset_;  // file offset of the byte after the buffer
  std::vector<uint8_t> buffer_;
  size_t position_ = 0;
  bool failed_ = false;
};

}  // namespace quillden::project

#endif  // QUILLDEN_DATADISK_PROJECT_PROJECT_READER_H_
