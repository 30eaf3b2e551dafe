// The ring writer: producers, the writer thread and its end.
#include "drive/recording/ring_writer.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>

#include "drive/mmc_commands.h"
#include "drive/transport.h"
#include "quillden/result.h"

namespace quillden::recording {
namespace {

using quenvar::platform::Event;
using quenvar::platform::kInfinite;

// CD-ROM XA form 1 subheader, twice: file 0, channel 0, submode data, coding 0.
constexpr uint8_t kMode2Subheader[8] = {0x00, 0x00, 0x08, 0x00, 0x00, 0x00, 0x08, 0x00};
// Overwrite media are recorded in units of this many blocks when the last write is padded.
constexpr uint32_t kPadUnit = 32;

uint32_t InputBytesPerBlock(const RingWriterOptions& options) {
  return options.format == BlockFormat::kMode2 ? 2048u : options.block_size;
}

}  // namespace

RingWriter::RingWriter(const RingWriterOptions& options)
    : options_(options),
      block_size_(options.block_size),
      blocks_per_command_(kCommandBytes / options.block_size),
      capacity_(static_cast<uint64_t>(kRingCommands) * (kCommandBytes / options.block_size)),
      frame_size_((drive::kPassThroughDataOffset + blocks_per_command_ * block_size_ + 63) / 64 *
                  64) {
  next_command_blocks_ = blocks_per_command_;
}

std::unique_ptr<RingWriter> RingWriter::Start(const RingWriterOptions& options, uint32_t* result) {
  *result = QD_OK;
  if (options.block_size == 0 || options.block_size > kCommandBytes ||
      (options.format == BlockFormat::kMode2 && options.block_size < 2048 + 8)) {
    *result = QD_E_INVALID_ARGUMENT;
    return nullptr;
  }
  std::unique_ptr<RingWriter> writer;
  try {
    writer.reset(new RingWriter(options));
    writer->ring_.reset(new uint8_t[size_t{kRingCommands} * writer->frame_size_]);
  } catch (const std::bad_alloc&) {
    *result = QD_E_OUT_OF_MEMORY;
    return nullptr;
  }
  RingWriter* self = writer.get();
  writer->thread_ = quenvar::platform::Thread::Start([self] { return self->Run(); });
  if (!writer->thread_) {
    writer->ended_ = true;  // nothing to drain
    *result = QD_E_THREAD;
    return nullptr;
  }
  return writer;
}

RingWriter::~RingWriter() {
  End();
}

uint8_t* RingWriter::Slot(uint64_t block) const {
  const uint64_t position = block % capacity_;
  return ring_.get() + (position / blocks_per_command_) * frame_size_ +
         drive::kPassThroughDataOffset + (position % blocks_per_command_) * block_size_;
}

void RingWriter::BuildBlocks(const uint8_t* in, uint64_t first_block, uint32_t count) {
  const uint32_t in_size = InputBytesPerBlock(options_);
  for (uint32_t i = 0; i < count; ++i) {
    uint8_t* slot = Slot(first_block + i);
    const uint8_t* src = in != nullptr ? in + static_cast<size_t>(i) * in_size : nullptr;
    if (options_.format == BlockFormat::kMode2) {
      std::memcpy(slot, kMode2Subheader, sizeof(kMode2Subheader));
      if (src != nullptr) {
        std::memcpy(slot + 8, src, 2048);
      } else {
        std::memset(slot + 8, 0, 2048);
      }
      std::memset(slot + 8 + 2048, 0, block_size_ - 8 - 2048);
    } else if (src != nullptr) {
      std::memcpy(slot, src, block_size_);
    } else {
      std::memset(slot, 0, block_size_);
    }
  }
}

uint32_t RingWriter::WaitForRoom(uint64_t wanted) {
  for (;;) {
    const uint32_t failed = result_.load(std::memory_order_acquire);
    if (failed != QD_OK) {
      if (failed == QD_E_CANCELLED) stop_.Set();
      return failed;
    }
    const uint64_t filled = filled_.load(std::memory_order_relaxed);
    if (capacity_ >= filled - written_.load(std::memory_order_acquire) + wanted) return QD_OK;
    space_available_.Reset();
    // The writer may have made room between the look above and the reset.
    if (capacity_ >= filled - written_.load(std::memory_order_acquire) + wanted) continue;
    Event* events[] = {&stop_, &space_available_, &error_};
    quenvar::platform::WaitForEvents(events, false, kInfinite);
  }
}

uint32_t RingWriter::Produce(const uint8_t* data, uint64_t blocks) {
  const uint32_t in_size = InputBytesPerBlock(options_);
  reserved_ = 0;
  uint64_t pushed = 0;
  while (pushed < blocks) {
    const uint32_t result = WaitForRoom(kProducerPiece);
    if (result != QD_OK) return result;
    const uint64_t filled = filled_.load(std::memory_order_relaxed);
    const uint32_t count =
        static_cast<uint32_t>(std::min<uint64_t>(kProducerPiece, blocks - pushed));
    BuildBlocks(data != nullptr ? data + pushed * in_size : nullptr, filled, count);
    filled_.store(filled + count, std::memory_order_release);
    data_available_.Set();
    pushed += count;
  }
  return QD_OK;
}

uint32_t RingWriter::Reserve(uint32_t max_blocks, uint8_t** room, uint32_t* blocks) {
  *room = nullptr;
  *blocks = 0;
  reserved_ = 0;
  if (options_.format != BlockFormat::kPlain || max_blocks == 0) return QD_E_INVALID_ARGUMENT;
  if (ended_) return end_result_ != QD_OK ? end_result_ : QD_E_INVALID_ARGUMENT;
  const uint64_t filled = filled_.load(std::memory_order_relaxed);
  // Frames are whole commands and the ring is whole frames: the blocks up to the end of this
  // frame lie one after the other.
  const uint32_t to_frame_end =
      blocks_per_command_ - static_cast<uint32_t>(filled % blocks_per_command_);
  const uint32_t count = std::min(max_blocks, to_frame_end);
  const uint32_t result = WaitForRoom(count);
  if (result != QD_OK) return result;
  reserved_ = count;
  *room = Slot(filled);
  *blocks = count;
  return QD_OK;
}

uint32_t RingWriter::Commit(uint32_t blocks) {
  if (blocks > reserved_) return QD_E_INVALID_ARGUMENT;
  reserved_ = 0;
  if (blocks == 0) return QD_OK;
  filled_.store(filled_.load(std::memory_order_relaxed) + blocks, std::memory_order_release);
  data_available_.Set();
  return QD_OK;
}

uint32_t RingWriter::Write(const void* data, size_t bytes) {
  const uint32_t in_size = InputBytesPerBlock(options_);
  if (bytes % in_size != 0) return QD_E_INVALID_ARGUMENT;
  if (ended_) return end_result_ != QD_OK ? end_result_ : QD_E_INVALID_ARGUMENT;
  return Produce(static_cast<const uint8_t*>(data), bytes / in_size);
}

uint32_t RingWriter::WriteZeros(uint64_t blocks) {
  if (ended_) return end_result_ != QD_OK ? end_result_ : QD_E_INVALID_ARGUMENT;
  return Produce(nullptr, blocks);
}

uint32_t RingWriter::WriteRun(uint32_t blocks) {
  const uint64_t written = written_.load(std::memory_order_relaxed);
  const uint64_t linear = static_cast<uint64_t>(options_.start_lba) + written;
  uint32_t lba = static_cast<uint32_t>(linear);
  if (options_.layer_jump) {
    if (jumped_) {
      // Past the jump the track continues on the other layer, offset from the target.
      lba = static_cast<uint32_t>(options_.jump_target + (linear - options_.jump_address - 1));
    } else if (linear <= options_.jump_address && linear + blocks - 1 > options_.jump_address) {
      blocks = static_cast<uint32_t>(options_.jump_address - linear + 1);  // cut at the jump
    }
  }
  // A command never reaches past the end of its frame (only the one that makes up for a cut at
  // the layer jump starts inside one).
  const uint32_t in_frame = static_cast<uint32_t>(written % capacity_ % blocks_per_command_);
  blocks = std::min(blocks, blocks_per_command_ - in_frame);
  uint8_t* slot = Slot(written);
  // A command that starts its frame goes to the drive where it lies, its header in the room in
  // front of it.
  const uint32_t result =
      in_frame == 0 ? drive::Write10InRecord(options_.drive, lba, static_cast<uint16_t>(blocks),
                                             slot - drive::kPassThroughDataOffset,
                                             blocks * block_size_, &options_.progress)
                    : drive::Write10(options_.drive, lba, static_cast<uint16_t>(blocks), slot,
                                     blocks * block_size_, &options_.progress);
  if (result != QD_OK) return result;
  written_.store(written + blocks, std::memory_order_release);
  done_.fetch_add(blocks, std::memory_order_acq_rel);
  options_.progress.AddDone(blocks);
  space_available_.Set();
  if (options_.layer_jump && !jumped_ && linear + blocks - 1 == options_.jump_address) {
    jumped_ = true;
    // Writing goes on in whole units from the target: the next command makes up the cut one.
    if (blocks < blocks_per_command_) next_command_blocks_ = blocks_per_command_ - blocks;
  } else {
    next_command_blocks_ = blocks_per_command_;
  }
  return QD_OK;
}

uint32_t RingWriter::FinishCancelled() {
  stop_.Set();
  drive::SynchronizeCache(options_.drive, false);
  return QD_E_CANCELLED;
}

uint32_t RingWriter::Run() {
  uint32_t result = QD_OK;
  for (;;) {
    const uint64_t waiting =
        filled_.load(std::memory_order_acquire) - written_.load(std::memory_order_relaxed);
    const bool finishing = finish_.load(std::memory_order_acquire);
    if (finishing && waiting <= next_command_blocks_) break;
    if (options_.progress.CancelRequested()) {
      result = FinishCancelled();
      break;
    }
    if (waiting >= next_command_blocks_) {
      result = WriteRun(next_command_blocks_);
      if (result != QD_OK) break;
      continue;
    }
    data_available_.Reset();
    if (finish_.load(std::memory_order_acquire) ||
        filled_.load(std::memory_order_acquire) - written_.load(std::memory_order_relaxed) >=
            next_command_blocks_) {
      continue;
    }
    Event* events[] = {&data_available_, &stop_};
    quenvar::platform::WaitForEvents(events, false, kInfinite);
  }

  if (result == QD_OK && finish_.load(std::memory_order_acquire)) {
    if (options_.progress.CancelRequested()) {
      result = FinishCancelled();
    } else {
      // The finish flag was read before the counter, so every block is in the ring by now.
      const uint64_t filled = filled_.load(std::memory_order_acquire);
      uint32_t waiting = static_cast<uint32_t>(filled - written_.load(std::memory_order_relaxed));
      if (options_.pad_to_unit && waiting % kPadUnit != 0) {
        // One whole unit, zero after the data, so that stale ring contents never reach the disc.
        const uint32_t padded = (waiting + kPadUnit - 1) / kPadUnit * kPadUnit;
        for (uint64_t block = filled; block < filled - waiting + padded; ++block) {
          std::memset(Slot(block), 0, block_size_);
        }
        waiting = padded;
      }
      while (result == QD_OK && waiting > 0) {
        const uint32_t before = static_cast<uint32_t>(written_.load(std::memory_order_relaxed));
        result = WriteRun(std::min(waiting, next_command_blocks_));
        waiting -= static_cast<uint32_t>(written_.load(std::memory_order_relaxed) - before);
      }
    }
  }
  result_.store(result, std::memory_order_release);
  if (result != QD_OK) error_.Set();
  return result;
}

uint32_t RingWriter::End() {
  if (ended_) return end_result_;
  ended_ = true;
  reserved_ = 0;
  finish_.store(true, std::memory_order_release);
  stop_.Set();
  if (thread_) {
    thread_->Join(kInfinite);
    end_result_ = thread_->ExitCode();
    thread_.reset();
  }
  ring_.reset();
  return end_result_;
}

}  // namespace quillden::recording
