// The write job of a data disc onto the media in a drive: the checks on the caller's thread, then
// the same block stream as for an image file, handed to the recorder instead of a file.
//
// The image stream writes at positions; a recorder takes blocks in order. RecorderSink sits
// between them: it accepts positions that only move forward, turns the holes the stream leaves
// (runs of zero blocks) into zero blocks for the recorder, and keeps a partial block until it is
// whole. When the recorder lends the blocks of its ring, the stream reads file contents straight
// into them (BlockRoom). It belongs to the job's worker thread.
#ifndef QUILLDEN_DATADISK_MASTERING_WRITE_TO_DRIVE_H_
#define QUILLDEN_DATADISK_MASTERING_WRITE_TO_DRIVE_H_

#include <algorithm>
#include <cstdint>
#include <functional>
#include <vector>

#include "datadisk/mastering/image_stream.h"
#include "platform/env.h"
#include "progress/progress_record.h"
#include "quillden/types.h"

namespace quillden::mastering {

class RecorderSink : public quenvar::platform::WritableFile, public BlockRoom {
 public:
  // write receives whole 2048-byte blocks, zeros a count of zero blocks; both return 0 or a code.
  // The progress object's cancel request is looked at after every piece the stream hands over.
  using WriteFn = std::function<uint32_t(const uint8_t* data, size_t bytes)>;
  using ZerosFn = std::function<uint32_t(uint64_t blocks)>;
  // The first skip_bytes of the stream (a whole number of blocks) are accepted and dropped: the
  // volume header of a session appended to overwritable media reaches block 0 separately.
  RecorderSink(WriteFn write, ZerosFn zeros, const ProgressReporter& progress,
               uint64_t skip_bytes = 0)
      : write_(std::move(write)),
        zeros_(std::move(zeros)),
        progress_(progress),
        skip_(skip_bytes) {}

  // The recorder's blocks built in place: reserve lends 1 to max_blocks of the next blocks,
  // commit hands the first of them on (see RingWriter::Reserve). Without them no room is lent.
  using ReserveFn = std::function<uint32_t(uint32_t max_blocks, uint8_t** room, uint32_t* blocks)>;
  using CommitFn = std::function<uint32_t(uint32_t blocks)>;
  void LendBlocks(ReserveFn reserve, CommitFn commit) {
    reserve_ = std::move(reserve);
    commit_ = std::move(commit);
  }
  // Lends room only where whole blocks go to the recorder: not within the skipped bytes.
  uint32_t ReserveBlocks(uint64_t offset, uint32_t max_blocks, uint8_t** room,
                         uint32_t* blocks) override;
  uint32_t CommitBlocks(uint32_t blocks) override;

  quenvar::platform::Status Append(const void* data, size_t n) override;
  // A position behind what was already handed on fails: the recorder cannot go back.
  quenvar::platform::Status WriteAt(uint64_t offset, const void* data, size_t n) override;
  // Extends the stream with zeros up to size (the stream's trailing hole); never shortens it.
  quenvar::platform::Status Truncate(uint64_t size) override;
  quenvar::platform::Status Sync() override;
  // Hands on the last partial block, zero-filled.
  quenvar::platform::Status Close() override;
  // No descriptor: the kernel cannot copy into a recorder.
  int NativeHandle() const override { return -1; }

  // The first code the recorder (or a cancel request) returned; 0 while none. The stream itself
  // only sees a failed write.
  uint32_t code() const { return code_; }
  uint64_t position() const { return position_; }
  // Bytes handed on to the recorder (the partial block not included).
  uint64_t handed_on() const { return position_ - partial_.size() - std::min(position_, skip_); }

 private:
  quenvar::platform::Status Fail(uint32_t code);
  quenvar::platform::Status ZeroFill(uint64_t to);
  quenvar::platform::Status Push(const uint8_t* data, size_t n);
  // Drops what falls into the skipped blocks; returns how many of n bytes it took.
  size_t Skip(size_t n);

  WriteFn write_;
  ZerosFn zeros_;
  ReserveFn reserve_;
  CommitFn commit_;
  uint32_t lent_ = 0;  // blocks reserved and not yet committed
  const ProgressReporter& progress_;
  uint64_t position_ = 0;  // bytes accepted, the partial block included
  uint64_t skip_ = 0;
  std::vector<uint8_t> partial_;  // the bytes of the block not yet handed on
  uint32_t code_ = 0;
};

// MST_WriteDatadisk (exist_check true) and MST_WriteDatadiskNoExistCheck.
uint32_t WriteDatadisk(HANDLE drive, HANDLE disc, uint32_t write_type, HANDLE progress,
                       bool file_dates, uint32_t close_mode, bool exist_check);

}  // namespace quillden::mastering

#endif  // QUILLDEN_DATADISK_MASTERING_WRITE_TO_DRIVE_H_
