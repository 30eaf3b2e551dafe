// The ring writer of one open track: a producer (the job's worker) fills a ring of sectors, a
// writer thread drains it to the drive with WRITE(10) commands of 64 KiB.
//
// The ring holds 128 commands' worth of blocks in one allocation (8 MiB for 2048-byte blocks), so
// the drive keeps streaming while the producer builds structures or reads source files. Block k of
// the track lives in slot k modulo the capacity. The slots are grouped in frames of one command
// each, with room for the pass-through header in front, so that a command's blocks go to the
// drive from where the producer put them, without another copy. The two sides meet only through two
// counters (filled, written; each written by its owner) and four manual-reset events: the producer
// waits on space-available, stop and error, the writer on data-available and stop.
//
// The writer stops at the first failed write; the producer gets that result at its next call and
// must stop too. A cancel request (progress status 16) is seen before every command: the writer
// then synchronizes the drive's cache and ends with 0x08000032. End() drains what is left (as one
// short command, or as one whole 32-block unit on media that are written in such units) and joins
// the thread; it is always safe to call, also after a failure.
//
// A producer may also build the blocks in place (plain blocks only), so that file contents are
// read where the drive's command takes them from: Reserve() waits for room and lends the next
// blocks of the ring, at most up to the end of a frame; Commit() hands the first of them to the
// writer. The lent room is the producer's until its next call. Blocks reserved but not committed
// never reach the drive, not even through End(): a producer that fails halfway (a short read)
// commits nothing of the failed piece and reports its failure. Write, WriteZeros and another
// Reserve give up an uncommitted reservation, so the calls mix freely.
//
// One producer thread per writer; End() from that same thread.
#ifndef QUILLDEN_DRIVE_RECORDING_RING_WRITER_H_
#define QUILLDEN_DRIVE_RECORDING_RING_WRITER_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/sync.h"
#include "progress/progress_record.h"
#include "quillden/types.h"

namespace quillden::recording {

inline constexpr uint32_t kCommandBytes = 65536;
inline constexpr uint32_t kRingCommands = 128;
// The producers copy at most this many blocks at a time into the ring.
inline constexpr uint32_t kProducerPiece = 16;

// How the blocks of a track are built from what the producer hands in.
enum class BlockFormat {
  kPlain,  // the producer's bytes are the blocks (2048-byte data, raw audio)
  kMode2,  // each 2048-byte input sector becomes subheader + data + zeros (CD-ROM XA form 1)
};

struct RingWriterOptions {
  HANDLE drive = nullptr;
  uint32_t block_size = 2048;
  BlockFormat format = BlockFormat::kPlain;
  uint32_t start_lba = 0;
  // The last write is one whole 32-block unit, zero-filled after the data (overwrite media that
  // are recorded in such units).
  bool pad_to_unit = false;
  ProgressReporter progress;
  // Layer jump recording (DVD-R dual layer jump): the block at jump_address is the last one
  // written in place; the next lands at jump_target and the later ones follow it.
  bool layer_jump = false;
  uint32_t jump_address = 0;
  uint32_t jump_target = 0;
};

class RingWriter {
 public:
  // Allocates the ring, zeroes the progress object's done word and starts the writer thread.
  // Null with *result 0x08000018 (memory) or 0x0800001E (thread).
  static std::unique_ptr<RingWriter> Start(const RingWriterOptions& options, uint32_t* result);

  ~RingWriter();  // ends the writer if End() was not called
  RingWriter(const RingWriter&) = delete;
  RingWriter& operator=(const RingWriter&) = delete;

  // Producers. Write takes whole input sectors (block_size bytes for kPlain, 2048 for kMode2) and
  // returns once they are all in the ring: 0, 0x08000011 for a partial sector, or the writer's
  // result once it failed or was cancelled.
  uint32_t Write(const void* data, size_t bytes);
  // Pushes blocks of zeros.
  uint32_t WriteZeros(uint64_t blocks);
  // Waits for room and sets *room to where the next *blocks blocks (1 to max_blocks, never past
  // the end of a frame) go. 0; 0x08000011 for kMode2 tracks or max_blocks 0; or the writer's
  // result once it failed or was cancelled. A new reservation replaces an uncommitted one.
  uint32_t Reserve(uint32_t max_blocks, uint8_t** room, uint32_t* blocks);
  // Hands the first blocks of the reservation to the writer (0 gives it up). 0, or 0x08000011
  // for more blocks than were reserved.
  uint32_t Commit(uint32_t blocks);

  // Drains the ring, ends the writer thread and returns the track's result. Idempotent.
  uint32_t End();

  // Blocks written to the drive so far (including the zero padding of the last unit).
  uint64_t blocks_done() const { return done_.load(std::memory_order_acquire); }
  uint32_t blocks_per_command() const { return blocks_per_command_; }
  // The size of the blocks Reserve lends; 0 when it lends none (kMode2 tracks).
  uint32_t in_place_block_size() const {
    return options_.format == BlockFormat::kPlain ? block_size_ : 0;
  }
  uint64_t capacity_blocks() const { return capacity_; }

 private:
  explicit RingWriter(const RingWriterOptions& options);
  uint32_t Run();
  uint32_t Produce(const uint8_t* data, uint64_t blocks);
  // Waits until wanted blocks are free behind the filled ones. 0 or the writer's result.
  uint32_t WaitForRoom(uint64_t wanted);
  void BuildBlocks(const uint8_t* in, uint64_t first_block, uint32_t count);
  uint32_t WriteRun(uint32_t blocks);
  uint32_t FinishCancelled();
  uint8_t* Slot(uint64_t block) const;  // where block (of the track) lives in the ring

  const RingWriterOptions options_;
  const uint32_t block_size_;
  const uint32_t blocks_per_command_;
  const uint64_t capacity_;
  const size_t frame_size_;  // header room and one command's blocks, rounded to 64 bytes
  std::unique_ptr<uint8_t[]> ring_;

  std::atomic<uint64_t> filled_{0};   // producer's
  uint32_t reserved_ = 0;             // producer's: blocks lent by Reserve, not yet committed
  std::atomic<uint64_t> written_{0};  // writer's: blocks taken from the ring
  std::atomic<uint64_t> done_{0};
  std::atomic<bool> finish_{false};
  std::atomic<uint32_t> result_{0};
  bool jumped_ = false;               // writer thread only
  uint32_t next_command_blocks_ = 0;  // writer thread only: shortened once after the jump

  quenvar::platform::Event data_available_{quenvar::platform::Event::Kind::kManualReset, true};
  quenvar::platform::Event space_available_{quenvar::platform::Event::Kind::kManualReset, true};
  quenvar::platform::Event stop_{quenvar::platform::Event::Kind::kManualReset, false};
  quenvar::platform::Event error_{quenvar::platform::Event::Kind::kManualReset, false};
  std::unique_ptr<quenvar::platform::Thread> thread_;
  bool ended_ = false;
  uint32_t end_result_ = 0;
};

}  // namespace quillden::recording

#endif  // QUILLDEN_DRIVE_RECORDING_RING_WRITER_H_
