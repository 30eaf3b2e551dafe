#include "image/image_writer.h"

#include <algorithm>
#include <vector>

#include "quillden/result.h"

namespace quillden::image {

uint32_t ImageFileWriter::Begin(const ImageDescription& description) {
  std::vector<uint8_t> prologue = EncodePrologue(description);
  total_size_ = description.total_size;
  written_ = 0;
  if (prologue.size() > total_size_) return QD_E_WRITE_FILE;
  if (!file_->Append(prologue.data(), prologue.size()).ok()) return QD_E_WRITE_FILE;
  written_ = prologue.size();
  return QD_OK;
}

uint32_t ImageFileWriter::Append(const void* data, size_t size) {
  if (size > total_size_ - written_) return QD_E_WRITE_FILE;
  if (size == 0) return QD_OK;
  if (!file_->Append(data, size).ok()) return QD_E_WRITE_FILE;
  written_ += size;
  return QD_OK;
}

uint32_t ImageFileWriter::Finish() const {
  return written_ == total_size_ ? QD_OK : QD_E_WRITE_FILE;
}

}  // namespace quillden::image
