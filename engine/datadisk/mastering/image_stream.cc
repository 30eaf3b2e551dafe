#include "datadisk/mastering/image_stream.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "filesystems/iso9660_records.h"
#include "quillden/result.h"

namespace quillden::mastering {
namespace {

constexpr uint64_t kBlock = fs::kBlockSize;
const uint8_t kZeros[fs::kBlockSize] = {};
// Blocks asked of the block room at a time (a ring lends at most one command's worth anyway).
constexpr uint32_t kRoomPieceBlocks = 32;
constexpr uint64_t kKernelCopyAlignment = 64 * 1024;

}  // namespace

uint32_t ImageStream::Flush() {
  if (staged_ == 0) return QD_OK;
  size_t n = staged_;
  staged_ = 0;
  return out_->WriteAt(offset_ - n, stage_.data(), n).ok() ? QD_OK : QD_E_WRITE_FILE;
}

uint32_t ImageStream::StageRoom(size_t size, uint8_t** room) {
  if (stage_.empty()) {
    try {
      stage_.resize(kStageBytes);
    } catch (const std::bad_alloc&) {
      return QD_E_OUT_OF_MEMORY;
    }
  }
  if (staged_ + size > stage_.size()) {
    uint32_t result = Flush();
    if (result != QD_OK) return result;
  }
  *room = stage_.data() + staged_;
  return QD_OK;
}

uint32_t ImageStream::Write(const void* data, size_t size) {
  if (size == 0) return QD_OK;
  uint32_t result = QD_OK;
  uint8_t* room = nullptr;
  if (size <= kStageBytes / 2) {
    result = StageRoom(size, &room);
    if (result == QD_OK) {
      std::memcpy(room, data, size);
      staged_ += size;
      offset_ += size;
      return QD_OK;
    }
    if (result != QD_E_OUT_OF_MEMORY) return result;  // else written directly below
  }
  result = Flush();
  if (result != QD_OK) return result;
  if (!out_->WriteAt(offset_, data, size).ok()) return QD_E_WRITE_FILE;
  offset_ += size;
  return QD_OK;
}

uint32_t ImageStream::PadToBlock() {
  size_t tail = static_cast<size_t>(offset_ % kBlock);
  return tail ? Write(kZeros, kBlock - tail) : QD_OK;
}

uint32_t ImageStream::Advance(uint64_t bytes) {
  pending_done_bytes_ += bytes;
  uint64_t blocks = pending_done_bytes_ / kBlock;
  if (blocks) {
    reporter_.AddDone(static_cast<uint32_t>(blocks));
    pending_done_bytes_ %= kBlock;
  }
  return reporter_.CancelRequested() ? QD_E_CANCELLED : QD_OK;
}

uint32_t ImageStream::WriteBlocks(const uint8_t* data, size_t size) {
  size_t done = 0;
  while (done < size) {
    size_t n = std::min(kChunkBytes, size - done);
    uint32_t result = Write(data + done, n);
    if (result == QD_OK && done + n == size) result = PadToBlock();
    if (result != QD_OK) return result;
    done += n;
    if ((result = Advance(done == size ? fs::RoundUpToBlock(static_cast<uint32_t>(n)) : n)) !=
        QD_OK) {
      return result;
    }
  }
  return QD_OK;
}

uint32_t ImageStream::WriteZeroBlocks(uint64_t blocks) {
  if (blocks == 0) return QD_OK;
  // The last block is written, the ones before it become a hole of the image file.
  uint32_t result = Flush();
  if (result != QD_OK) return result;
  uint64_t bytes = blocks * kBlock;
  offset_ += bytes - kBlock;
  result = Write(kZeros, kBlock);
  if (result != QD_OK) return result;
  return Advance(bytes);
}

bool ImageStream::KernelCopy(int in_fd, int out_fd, uint64_t size, uint64_t* copied,
                             uint32_t* result) {
  *copied = 0;
  while (*copied < size) {
    // Holes of a sparse source stay holes of the image: the image file is new, so what is not
    // written reads as zeros.
    off_t data = lseek(in_fd, static_cast<off_t>(*copied), SEEK_DATA);
    if (data < 0) data = errno == ENXIO ? static_cast<off_t>(size) : static_cast<off_t>(*copied);
    uint64_t data_start = std::min<uint64_t>(static_cast<uint64_t>(data), size);
    if (data_start > *copied) {
      uint64_t hole = data_start - *copied;
      offset_ += hole;
      *copied += hole;
      if ((*result = Advance(hole)) != QD_OK) return true;
      continue;
    }
    off_t hole_start = lseek(in_fd, static_cast<off_t>(*copied), SEEK_HOLE);
    uint64_t segment_end =
        hole_start < 0 ? size : std::min<uint64_t>(static_cast<uint64_t>(hole_start), size);
    if (segment_end <= *copied) segment_end = size;
    while (*copied < segment_end) {
      size_t want = static_cast<size_t>(std::min<uint64_t>(kChunkBytes, segment_end - *copied));
      // Pieces that start on a 64 KiB boundary of the image let the page cache take them in large
      // folios, which the kernel fills about a tenth faster; a file placed elsewhere goes up to the
      // next boundary first.
      const uint64_t misaligned = offset_ % kKernelCopyAlignment;
      if (misaligned != 0) want = std::min<size_t>(want, kKernelCopyAlignment - misaligned);
      loff_t in_offset = static_cast<loff_t>(*copied);
      loff_t out_offset = static_cast<loff_t>(offset_);
      ssize_t n = copy_file_range(in_fd, &in_offset, out_fd, &out_offset, want, 0);
      if (n < 0) {
        if (errno == EINTR) continue;
        bool unsupported = errno == EXDEV || errno == EINVAL || errno == ENOSYS ||
                           errno == EOPNOTSUPP || errno == EBADF || errno == EPERM;
        if (unsupported) return false;  // the buffered path goes on from *copied
        *result = errno == EIO ? QD_E_READ_FILE : QD_E_WRITE_FILE;
        return true;
      }
      if (n == 0) {
        *result = QD_E_READ_FILE;  // the source ended before its planned size
        return true;
      }
      offset_ += static_cast<uint64_t>(n);
      *copied += static_cast<uint64_t>(n);
      if ((*result = Advance(static_cast<uint64_t>(n))) != QD_OK) return true;
    }
  }
  // A source that ends in a hole must still be as long as planned.
  struct stat st {};
  if (fstat(in_fd, &st) == 0 && static_cast<uint64_t>(st.st_size) < size) {
    *result = QD_E_READ_FILE;
    return true;
  }
  *result = QD_OK;
  return true;
}

uint32_t ImageStream::CopyIntoRoom(quenvar::platform::ReadableFile* source, uint64_t size,
                                   uint64_t* copied) {
  while (*copied < size) {
    const uint64_t left = size - *copied;
    uint8_t* room = nullptr;
    uint32_t blocks = 0;
    const uint32_t wanted =
        static_cast<uint32_t>(std::min<uint64_t>(kRoomPieceBlocks, (left + kBlock - 1) / kBlock));
    uint32_t result = block_room_->ReserveBlocks(offset_, wanted, &room, &blocks);
    if (result != QD_OK) return result;
    if (blocks == 0) return QD_OK;  // the buffered path goes on from *copied
    const size_t room_bytes = static_cast<size_t>(blocks) * kBlock;
    const size_t want = static_cast<size_t>(std::min<uint64_t>(room_bytes, left));
    size_t got = 0;
    // An unreadable or shortened source leaves the room uncommitted: nothing of it goes out.
    if (!source->ReadAt(*copied, want, room, &got).ok() || got < want) return QD_E_READ_FILE;
    std::memset(room + want, 0, room_bytes - want);  // the last block's padding
    if ((result = block_room_->CommitBlocks(blocks)) != QD_OK) return result;
    offset_ += room_bytes;
    *copied += want;
    if ((result = Advance(room_bytes)) != QD_OK) return result;
  }
  return QD_OK;
}

uint32_t ImageStream::ContinueAt(uint64_t offset) {
  const uint32_t result = Flush();
  if (result == QD_OK && offset > offset_) offset_ = offset;
  return result;
}

uint32_t ImageStream::Finish() {
  uint32_t result = Flush();
  if (result != QD_OK) return result;
  // Trailing holes (zero blocks, a sparse last file) still count towards the image's length.
  return out_->Truncate(offset_).ok() ? QD_OK : QD_E_WRITE_FILE;
}

uint32_t ImageStream::CopyFile(quenvar::platform::ReadableFile* source, uint64_t size) {
  if (size == 0) return QD_OK;
  uint32_t result = QD_OK;
  if (size <= kSmallFileBytes) {
    // Read straight into the stage, padding and all: no copy and no write of its own.
    const size_t padded = fs::RoundUpToBlock(static_cast<uint32_t>(size));
    uint8_t* room = nullptr;
    if ((result = StageRoom(padded, &room)) != QD_OK) return result;
    size_t got = 0;
    if (!source->ReadAt(0, static_cast<size_t>(size), room, &got).ok() || got < size) {
      return QD_E_READ_FILE;  // unreadable, or shorter than its planned size
    }
    std::memset(room + size, 0, padded - size);
    staged_ += padded;
    offset_ += padded;
    return Advance(padded);
  }
  if ((result = Flush()) != QD_OK) return result;
  uint64_t copied = 0;
  int in_fd = source->NativeHandle();
  if (block_room_ != nullptr) {
    if (in_fd >= 0) posix_fadvise(in_fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    if ((result = CopyIntoRoom(source, size, &copied)) != QD_OK) return result;
    if (copied == size) return QD_OK;  // padded in the room
  }
  int out_fd = out_->NativeHandle();
  bool kernel_done = allow_kernel_copy_ && copied == 0 && in_fd >= 0 && out_fd >= 0 &&
                     KernelCopy(in_fd, out_fd, size, &copied, &result);
  if (kernel_done && result != QD_OK) return result;
  if (!kernel_done && copied < size) {
    if (in_fd >= 0) posix_fadvise(in_fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    if (!buffer_) {
      buffer_.reset(new (std::nothrow) uint8_t[kChunkBytes]);
      if (!buffer_) return QD_E_OUT_OF_MEMORY;
    }
    while (copied < size) {
      size_t want = static_cast<size_t>(std::min<uint64_t>(kChunkBytes, size - copied));
      size_t got = 0;
      if (!source->ReadAt(copied, want, buffer_.get(), &got).ok()) return QD_E_READ_FILE;
      if (got < want) return QD_E_READ_FILE;  // the source became shorter than its planned size
      copied += got;
      if ((result = Write(buffer_.get(), got)) != QD_OK) return result;
      if ((result = Advance(got)) != QD_OK) return result;
    }
  }
  uint64_t tail = offset_ % kBlock;
  if ((result = PadToBlock()) != QD_OK) return result;
  return tail ? Advance(kBlock - tail) : QD_OK;
}

}  // namespace quillden::mastering
