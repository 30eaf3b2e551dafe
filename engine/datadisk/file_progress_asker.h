// How a tree worker asks its caller: the file progress object's window gets the question as a sent
// message and the worker waits for the reply. Without an object, or while its window is not a
// window, there is nobody to ask and the worker applies its rules for that case.
#ifndef QUILLDEN_DATADISK_FILE_PROGRESS_ASKER_H_
#define QUILLDEN_DATADISK_FILE_PROGRESS_ASKER_H_

#include <cstdint>
#include <memory>

#include "progress/progress_record.h"

namespace quillden {

class FileProgressAsker {
 public:
  explicit FileProgressAsker(std::shared_ptr<FileProgressRecord> record = nullptr)
      : record_(std::move(record)) {}

  bool HasWindow() const;
  // Sends code with text as lParam and returns the reply's low 32 bits (so -1 and 0xFFFFFFFF both
  // cancel). Call only when HasWindow().
  uint32_t Ask(uint32_t code, const char16_t* text) const;

 private:
  std::shared_ptr<FileProgressRecord> record_;
};

}  // namespace quillden

#endif  // QUILLDEN_DATADISK_FILE_PROGRESS_ASKER_H_
