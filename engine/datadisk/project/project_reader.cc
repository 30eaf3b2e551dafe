#include "datadisk/project/project_reader.h"

namespace quillden::project {

bool ProjectReader::Fill() {
  constexpr size_t kChunk = 64 * 1024;
  // Keep an odd byte of a UTF-16 unit that straddles two chunks.
  std::vector<uint8_t> rest(buffer_.begin() + static_cast<std::ptrdiff_t>(position_), buffer_.end());
  buffer_ = std::move(rest);
  position_ = 0;
  size_t old_size = buffer_.size();
  buffer_.resize(old_size + kChunk);
  size_t got = 0;
  if (!file_->ReadAt(offset_, kChunk, buffer_.data() + old_size, &got).ok()) {
    buffer_.resize(old_size);
    failed_ = true;
    return false;
  }
  buffer_.resize(old_size + got);
  offset_ += got;
  return got > 0;
}

ProjectReader::Read ProjectReader::Next(char16_t* unit) {
  const size_t width = encoding_ == Encoding::kUtf16 ? 2 : 1;
  if (buffer_.size() - position_ < width) {
    Fill();
    if (failed_) return Read::kError;
    if (buffer_.size() - position_ < width) return Read::kEnd;
  }
  const uint8_t* p = buffer_.data() + position_;
  *unit = width == 2 ? static_cast<char16_t>(p[0] | (p[1] << 8)) : static_cast<char16_t>(p[0]);
  position_ += width;
  return Read::kUnit;
}

}  // namespace quillden::project
