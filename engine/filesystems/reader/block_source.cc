#include "filesystems/reader/block_source.h"

#include "drive/mmc_commands.h"
#include "quillden/result.h"

namespace quillden::reader {
namespace {
// Blocks per READ(10): large enough for fast file reads, small enough for any transport.
constexpr uint32_t kChunkBlocks = 32;
// A single structure (directory, path table, allocation descriptors) larger than this is refused.
constexpr uint64_t kMaxStructureBytes = uint64_t{64} << 20;
constexpr uint64_t kStructureBlocks = kMaxStructureBytes / kBlockSize;
}  // namespace

BlockSource::BlockSource(HANDLE drive) : drive_(drive) {
  uint32_t last = 0;
  if (drive::ReadCapacity(drive, &last) == QD_OK && last != 0xFFFFFFFFu) capacity_ = uint64_t{last} + 1;
  ResetBudget();
}

void BlockSource::ResetBudget() {
  budget_ = capacity_ == 0xFFFFFFFFu ? uint64_t{1} << 22 : capacity_ * 4 + kStructureBlocks;
}

uint32_t BlockSource::Read(uint32_t lba, uint32_t count, uint8_t* out) {
  if (count == 0) return QD_OK;
  if (uint64_t{lba} + count > capacity_ || count > budget_) return QD_E_UNKNOWN_FILE_SYSTEM;
  budget_ -= count;
  while (count > 0) {
    uint32_t n = count < kChunkBlocks ? count : kChunkBlocks;
    uint32_t result = drive::ReadWithRetry(drive_, lba, out, n * kBlockSize, /*retry=*/true);
    if (result != QD_OK) return result;
    lba += n;
    count -= n;
    out += size_t{n} * kBlockSize;
  }
  return QD_OK;
}

uint32_t BlockSource::ReadBytes(uint32_t lba, uint64_t bytes, std::vector<uint8_t>* out) {
  if (bytes > kMaxStructureBytes) return QD_E_UNKNOWN_FILE_SYSTEM;
  uint64_t blocks = (bytes + kBlockSize - 1) / kBlockSize;
  out->assign(blocks * kBlockSize, 0);
  uint32_t result = Read(lba, static_cast<uint32_t>(blocks), out->data());
  if (result != QD_OK) return result;
  out->resize(bytes);
  return QD_OK;
}

}  // namespace quillden::reader
