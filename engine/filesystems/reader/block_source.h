// Where the file system reader gets its blocks: 2048-byte logical blocks of a drive, read with
// READ(10) and the read retry rule. The source knows the disc's size (READ CAPACITY) and refuses
// blocks beyond it without asking the drive, and it counts every block it reads against a budget,
// so a damaged or hostile file system cannot make a reader loop or read for ever.
#ifndef QUILLDEN_FILESYSTEMS_READER_BLOCK_SOURCE_H_
#define QUILLDEN_FILESYSTEMS_READER_BLOCK_SOURCE_H_

#include <cstdint>
#include <vector>

#include "quillden/types.h"

namespace quillden::reader {

inline constexpr uint32_t kBlockSize = 2048;

class BlockSource {
 public:
  // The source may read four times the disc's blocks (plus a little) before every further read
  // fails: a sound file system is read about once, a hostile one cannot make a call run for ever.
  explicit BlockSource(HANDLE drive);

  // Starts a new allowance (each call of a long-lived volume gets its own).
  void ResetBudget();

  // Reads count blocks from lba into out (count * 2048 bytes). Returns 0, 0x08000038 for blocks
  // beyond the disc or an exhausted budget, or the drive's failure.
  uint32_t Read(uint32_t lba, uint32_t count, uint8_t* out);
  // Reads bytes bytes from lba on (whole blocks are read; the tail of the last one is dropped).
  uint32_t ReadBytes(uint32_t lba, uint64_t bytes, std::vector<uint8_t>* out);

  HANDLE drive() const { return drive_; }
  // Blocks of the disc; 0xFFFFFFFF when the drive did not say.
  uint64_t capacity() const { return capacity_; }

 private:
  HANDLE drive_;
  uint64_t capacity_ = 0xFFFFFFFFu;
  uint64_t budget_ = 0;
};

}  // namespace quillden::reader

#endif  // QUILLDEN_FILESYSTEMS_READER_BLOCK_SOURCE_H_
