// The block stream of a write job into a file: structures from memory, file contents from their
// sources, every piece ending on a block boundary with zeros.
//
// Small pieces (structures, padding, files of at most 64 KiB) gather in a 1 MiB stage that goes
// out in one write: a small file costs an open, one read into the stage and a close. Larger
// contents go by copy_file_range when both ends are real files (the kernel moves the data, or
// shares extents, without a trip through user space), else through one 10 MiB buffer, allocated
// when first needed. A destination that lends its own memory for blocks (BlockRoom: the recorder's
// ring) gets larger contents read straight into it instead. Every chunk adds its blocks to the
// progress object's done counter, and a cancel request is honoured after each chunk. Writes are
// positional, so the stream never depends on the file's append position.
#ifndef QUILLDEN_DATADISK_MASTERING_IMAGE_STREAM_H_
#define QUILLDEN_DATADISK_MASTERING_IMAGE_STREAM_H_

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/env.h"
#include "progress/progress_record.h"

namespace quillden::mastering {

inline constexpr size_t kChunkBytes = 10 * 1024 * 1024;
inline constexpr size_t kStageBytes = 1024 * 1024;
inline constexpr uint64_t kSmallFileBytes = 64 * 1024;  // read into the stage

// A destination whose blocks can be built in place, where they go out from (the recorder's ring).
class BlockRoom {
 public:
  virtual ~BlockRoom() = default;
  // Sets *room to 1 to max_blocks whole blocks that continue the stream at offset (a block
  // boundary at or after everything written; what lies between reads as zeros). 0 with *blocks 0
  // when nothing is lent there (the caller writes instead), else a code.
  virtual uint32_t ReserveBlocks(uint64_t offset, uint32_t max_blocks, uint8_t** room,
                                 uint32_t* blocks) = 0;
  // The first blocks of the room are complete. 0 or a code.
  virtual uint32_t CommitBlocks(uint32_t blocks) = 0;
};

class ImageStream {
 public:
  ImageStream(quenvar::platform::WritableFile* out, const ProgressReporter& reporter)
      : out_(out), reporter_(reporter) {}

  // Appends bytes and zeros up to the next block boundary. 0, 0x0800001F or 0x08000032.
  uint32_t WriteBlocks(const uint8_t* data, size_t size);
  // Appends blocks zero blocks. 0, 0x0800001F or 0x08000032.
  uint32_t WriteZeroBlocks(uint64_t blocks);
  // Appends the first size bytes of source, then zeros to the block boundary. 0; 0x08000020 when
  // the source cannot be read or ends early; 0x0800001F; 0x08000032.
  uint32_t CopyFile(quenvar::platform::ReadableFile* source, uint64_t size);

  // Writes what the stage holds and gives the file its full length when the stream ends in a
  // hole. 0 or 0x0800001F.
  uint32_t Finish();

  // Writes what the stage holds, without ending the stream (a stream that covers a part of the
  // image). 0 or 0x0800001F.
  uint32_t Drain() { return Flush(); }
  // Goes on at offset, a block boundary at or after offset(): the blocks between were written by
  // another stream. Drains first. 0 or 0x0800001F.
  uint32_t ContinueAt(uint64_t offset);

  uint64_t offset() const { return offset_; }
  // Turns copy_file_range off (tests of the buffered path).
  void set_allow_kernel_copy(bool allow) { allow_kernel_copy_ = allow; }
  // File contents above kSmallFileBytes go into the room's blocks (null: through the buffer).
  void set_block_room(BlockRoom* room) { block_room_ = room; }

 private:
  uint32_t Write(const void* data, size_t size);
  // Writes the staged bytes (those just before offset_).
  uint32_t Flush();
  // Room for size bytes (at most kStageBytes) at the end of the stage, flushing it first when
  // full. 0, 0x0800001F from the flush, or 0x08000018 when the stage cannot be allocated.
  uint32_t StageRoom(size_t size, uint8_t** room);
  uint32_t PadToBlock();
  uint32_t Advance(uint64_t bytes);  // progress and cancel after a chunk
  // Tries the kernel copy, skipping holes; *copied receives how far it got. Returns false when the
  // buffered path must go on from there (not supported between these files), else sets *result.
  bool KernelCopy(int in_fd, int out_fd, uint64_t size, uint64_t* copied, uint32_t* result);
  // Reads the source into the block room from *copied on, while it lends blocks.
  uint32_t CopyIntoRoom(quenvar::platform::ReadableFile* source, uint64_t size, uint64_t* copied);

  quenvar::platform::WritableFile* out_;
  const ProgressReporter& reporter_;
  uint64_t offset_ = 0;
  uint64_t pending_done_bytes_ = 0;
  bool allow_kernel_copy_ = true;
  BlockRoom* block_room_ = nullptr;
  std::unique_ptr<uint8_t[]> buffer_;  // kChunkBytes, allocated (not zeroed) when first needed
  std::vector<uint8_t> stage_;
  size_t staged_ = 0;
};

}  // namespace quillden::mastering

#endif  // QUILLDEN_DATADISK_MASTERING_IMAGE_STREAM_H_
