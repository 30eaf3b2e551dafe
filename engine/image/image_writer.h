// Writing a disc image file front to back.
//
// The writer takes a planned ImageDescription (every offset and the total size already known),
// writes the signature, the blocks, the track entries and the CD-Text or ROW data, and then accepts
// the track data in as many pieces as the caller likes. Finish checks that exactly the planned
// number of data bytes arrived, so a short stream never leaves a file that claims to be complete
// without saying so: the total size in the HEADER would not match and opening would refuse it.
//
// Thread-compatible: one writer per file, used by one thread.
#ifndef QUILLDEN_IMAGE_IMAGE_WRITER_H_
#define QUILLDEN_IMAGE_IMAGE_WRITER_H_

#include <cstddef>
#include <cstdint>

#include "image/image_format.h"
#include "platform/env.h"

namespace quillden::image {

class ImageFileWriter {
 public:
  // The file must be open for writing and empty; it stays owned by the caller.
  explicit ImageFileWriter(quenvar::platform::WritableFile* file) : file_(file) {}

  // Writes everything before the track data. Returns 0, or 0x0800001F when a write fails.
  uint32_t Begin(const ImageDescription& description);
  // Appends track data. Returns 0; 0x0800001F when the write fails or would pass the planned
  // end of the file.
  uint32_t Append(const void* data, size_t size);
  // Returns 0 when the file holds exactly the planned bytes, else 0x0800001F. Does not close.
  uint32_t Finish() const;

  uint64_t written() const { return written_; }
  uint64_t total_size() const { return total_size_; }

 private:
  quenvar::platform::WritableFile* file_;
  uint64_t written_ = 0;
  uint64_t total_size_ = 0;
};

}  // namespace quillden::image

#endif  // QUILLDEN_IMAGE_IMAGE_WRITER_H_
