// The UDF side of DiscReader: volume structures, file entries and allocation descriptors.
#include <algorithm>
#include <cstring>

#include "filesystems/reader/disc_reader.h"
#include "quillden/result.h"
#include "util/byte_order.h"

namespace quillden::reader {
namespace {

constexpr uint32_t kMaxVolumeDescriptors = 64;
constexpr uint32_t kMaxAllocationDescriptors = 8192;
constexpr uint32_t kMaxContinuations = 64;

// ECMA-167 3/7.2: a descriptor tag with identifier id and a correct checksum.
bool TagIs(const uint8_t* tag, uint16_t id) {
  if (GetLe16(tag) != id) return false;
  uint8_t sum = 0;
  for (int i = 0; i < 16; ++i) {
    if (i != 4) sum = static_cast<uint8_t>(sum + tag[i]);
  }
  return sum == tag[4];
}

}  // namespace

uint32_t DiscReader::RecognizeUdf(uint32_t session_start) {
  partitions_.clear();
  maps_.clear();
  metadata_extents_.clear();
  udf_ready_ = false;
  std::vector<uint8_t> b(kBlockSize);
  // ECMA-167 3/10.2: the anchor volume descriptor pointer.
  if (uint64_t{session_start} + 256 > 0xFFFFFFFFu) return QD_E_UNKNOWN_FILE_SYSTEM;
  if (source_->Read(session_start + 256, 1, b.data()) != QD_OK || !TagIs(b.data(), 2)) {
    return QD_E_UNKNOWN_FILE_SYSTEM;
  }
  const uint32_t sequence_length = GetLe32(b.data() + 16);
  const uint32_t sequence_block = GetLe32(b.data() + 20);
  const uint32_t count = std::min<uint32_t>(sequence_length / kBlockSize, kMaxVolumeDescriptors);
  bool have_logical_volume = false;
  uint32_t revision = 0;
  std::u16string udf_label;
  for (uint32_t i = 0; i < count; ++i) {
    if (uint64_t{sequence_block} + i > 0xFFFFFFFFu) break;
    if (source_->Read(sequence_block + i, 1, b.data()) != QD_OK) return QD_E_UNKNOWN_FILE_SYSTEM;
    const uint8_t* d = b.data();
    const uint16_t id = GetLe16(d);
    if (id < 1 || id > 8 || !TagIs(d, id)) break;
    if (id == 8) break;  // terminating descriptor
    if (id == 5) {
      // ECMA-167 3/10.5: partition descriptor.
      Partition p;
      p.number = GetLe16(d + 22);
      p.start = GetLe32(d + 188);
      p.length = GetLe32(d + 192);
      partitions_.push_back(p);
    } else if (id == 6) {
      // ECMA-167 3/10.6: logical volume descriptor.
      if (GetLe32(d + 212) != kBlockSize) return QD_E_UNKNOWN_FILE_SYSTEM;
      udf_label = DecodeDstring(d + 84, 128);
      revision = GetLe16(d + 216 + 24);  // domain identifier suffix: UDF revision
      fsd_lbn_ = GetLe32(d + 248 + 4);
      fsd_ref_ = GetLe16(d + 248 + 8);
      const uint32_t table_length = GetLe32(d + 264);
      const uint32_t map_count = GetLe32(d + 268);
      if (table_length > kBlockSize - 440) return QD_E_UNKNOWN_FILE_SYSTEM;
      maps_.clear();
      size_t pos = 440;
      for (uint32_t m = 0; m < map_count; ++m) {
        if (pos + 2 > 440 + table_length) return QD_E_UNKNOWN_FILE_SYSTEM;
        const uint8_t type = d[pos];
        const uint8_t length = d[pos + 1];
        if (length < 6 || pos + length > 440 + table_length) return QD_E_UNKNOWN_FILE_SYSTEM;
        PartitionMap map;
        if (type == 1) {
          map.partition_number = GetLe16(d + pos + 4);
        } else if (type == 2 && length >= 64) {
          // UDF 2.2.10 and 2.2.9: type 2 maps name their partition at 38.
          map.partition_number = GetLe16(d + pos + 38);
          if (std::memcmp(d + pos + 5, "*UDF Metadata Partition", 23) == 0) {
            map.metadata = true;
            map.metadata_file_block = GetLe32(d + pos + 40);
          }
        } else {
          return QD_E_UNKNOWN_FILE_SYSTEM;
        }
        maps_.push_back(map);
        pos += length;
      }
      have_logical_volume = true;
    }
  }
  if (!have_logical_volume || partitions_.empty() || maps_.empty()) return QD_E_UNKNOWN_FILE_SYSTEM;
  if (revision >= 0x0250) bits_ = (bits_ & ~kSeenUdf) | kSeenUdf250;
  if (label_.empty()) label_ = udf_label;

  // UDF 2.2.13: the metadata file, whose content holds every metadata-partition block.
  for (uint16_t ref = 0; ref < maps_.size(); ++ref) {
    if (!maps_[ref].metadata) continue;
    uint16_t physical_ref = 0xFFFF;
    for (uint16_t other = 0; other < maps_.size(); ++other) {
      if (!maps_[other].metadata && maps_[other].partition_number == maps_[ref].partition_number) physical_ref = other;
    }
    if (physical_ref == 0xFFFF) {
      // A volume with only the metadata map: its file lives in the same partition, unmapped.
      maps_.push_back(PartitionMap{false, maps_[ref].partition_number, 0});
      physical_ref = static_cast<uint16_t>(maps_.size() - 1);
    }
    uint32_t block = 0;
    if (!UdfBlock(physical_ref, maps_[ref].metadata_file_block, &block)) return QD_E_UNKNOWN_FILE_SYSTEM;
    DiscItem metadata;
    uint32_t result = ReadUdfFileEntry(block, physical_ref, &metadata);
    if (result != QD_OK) return result;
    if (metadata.is_embedded || metadata.extents.empty()) return QD_E_UNKNOWN_FILE_SYSTEM;
    metadata_extents_ = metadata.extents;
    break;
  }
  udf_ready_ = true;
  return QD_OK;
}

bool DiscReader::UdfBlock(uint16_t ref, uint32_t lbn, uint32_t* block) const {
  uint32_t run = 0;
  return UdfRun(ref, lbn, block, &run);
}

bool DiscReader::UdfRun(uint16_t ref, uint32_t lbn, uint32_t* block, uint32_t* run) const {
  if (ref >= maps_.size()) return false;
  const PartitionMap& map = maps_[ref];
  if (map.metadata) {
    uint64_t offset = uint64_t{lbn} * kBlockSize;
    for (const Extent& e : metadata_extents_) {
      const uint64_t blocks = (uint64_t{e.bytes} + kBlockSize - 1) / kBlockSize;
      if (offset < blocks * kBlockSize) {
        if (!e.recorded) return false;
        const uint64_t index = offset / kBlockSize;
        if (uint64_t{e.block} + index > 0xFFFFFFFFu) return false;
        *block = e.block + static_cast<uint32_t>(index);
        *run = static_cast<uint32_t>(blocks - index);
        return true;
      }
      offset -= blocks * kBlockSize;
    }
    return false;
  }
  for (const Partition& p : partitions_) {
    if (p.number != map.partition_number) continue;
    if (p.length != 0 && lbn >= p.length) return false;
    if (uint64_t{p.start} + lbn > 0xFFFFFFFFu) return false;
    *block = p.start + lbn;
    const uint64_t left = p.length != 0 ? uint64_t{p.length} - lbn : 0xFFFFFFFFu - (uint64_t{p.start} + lbn) + 1;
    *run = static_cast<uint32_t>(left > 0xFFFFFFFFu ? 0xFFFFFFFFu : left);
    return true;
  }
  return false;
}

uint32_t DiscReader::ReadUdfRoot(DiscItem* root) {
  std::vector<uint8_t> b(kBlockSize);
  uint32_t block = 0;
  if (!UdfBlock(fsd_ref_, fsd_lbn_, &block)) return QD_E_UNKNOWN_FILE_SYSTEM;
  if (source_->Read(block, 1, b.data()) != QD_OK || !TagIs(b.data(), 256)) return QD_E_UNKNOWN_FILE_SYSTEM;
  // ECMA-167 4/14.1: the root directory ICB.
  const uint32_t lbn = GetLe32(b.data() + 400 + 4);
  const uint16_t ref = GetLe16(b.data() + 400 + 8);
  if (!UdfBlock(ref, lbn, &block)) return QD_E_UNKNOWN_FILE_SYSTEM;
  uint32_t result = ReadUdfFileEntry(block, ref, root);
  if (result != QD_OK) return result;
  if (!root->folder) return QD_E_UNKNOWN_FILE_SYSTEM;
  return QD_OK;
}

uint32_t DiscReader::ReadUdfFileEntry(uint32_t block, uint16_t ref, DiscItem* item) {
  std::vector<uint8_t> b(kBlockSize);
  if (source_->Read(block, 1, b.data()) != QD_OK) return QD_E_UNKNOWN_FILE_SYSTEM;
  const uint8_t* d = b.data();
  const bool extended = TagIs(d, 266);
  if (!extended && !TagIs(d, 261)) return QD_E_UNKNOWN_FILE_SYSTEM;
  // ECMA-167 4/14.9 (file entry) and 4/14.17 (extended file entry).
  const size_t access = extended ? 80 : 72;
  const size_t modification = extended ? 92 : 84;
  const size_t attribute = extended ? 116 : 96;
  const size_t ea_length_at = extended ? 208 : 168;
  const size_t base = extended ? 216 : 176;
  item->icb_block = block;
  item->folder = d[16 + 11] == 4;  // ICB tag file type 4: directory
  item->size = GetLe64(d + 56);
  item->last_access = UdfTimestamp(d + access);
  item->last_write = UdfTimestamp(d + modification);
  item->creation = UdfTimestamp(d + attribute);
  item->extents.clear();
  item->embedded.clear();
  item->is_embedded = false;
  const uint64_t ea_length = GetLe32(d + ea_length_at);
  const uint64_t ad_length = GetLe32(d + ea_length_at + 4);
  if (base + ea_length + ad_length > kBlockSize) return QD_E_UNKNOWN_FILE_SYSTEM;
  const uint8_t* ads = d + base + ea_length;
  const uint16_t ad_type = GetLe16(d + 16 + 18) & 0x07;
  if (ad_type == 3) {
    // The content sits in the entry itself.
    if (item->size > ad_length) return QD_E_UNKNOWN_FILE_SYSTEM;
    item->embedded.assign(ads, ads + item->size);
    item->is_embedded = true;
    return QD_OK;
  }
  if (ad_type != 0 && ad_type != 1) return QD_E_UNKNOWN_FILE_SYSTEM;
  const size_t ad_size = ad_type == 0 ? 8 : 16;

  // Allocation descriptors, following continuation extents (ECMA-167 4/12) a bounded number of times.
  std::vector<uint8_t> area(ads, ads + ad_length);
  uint16_t area_ref = ref;
  uint32_t descriptors = 0;
  uint32_t continuations = 0;
  uint64_t total = 0;
  size_t pos = 0;
  while (pos + ad_size <= area.size()) {
    const uint8_t* a = area.data() + pos;
    pos += ad_size;
    const uint32_t length_word = GetLe32(a);
    const uint32_t type = length_word >> 30;
    const uint32_t bytes = length_word & 0x3FFFFFFF;
    if (bytes == 0) break;
    if (++descriptors > kMaxAllocationDescriptors) return QD_E_UNKNOWN_FILE_SYSTEM;
    const uint32_t lbn = GetLe32(a + 4);
    const uint16_t extent_ref = ad_type == 0 ? area_ref : GetLe16(a + 8);
    if (type == 3) {
      // The next extent of descriptors; an allocation extent descriptor leads it (4/14.5).
      if (++continuations > kMaxContinuations) return QD_E_UNKNOWN_FILE_SYSTEM;
      uint32_t next = 0;
      if (!UdfBlock(extent_ref, lbn, &next)) return QD_E_UNKNOWN_FILE_SYSTEM;
      std::vector<uint8_t> ext(kBlockSize);
      if (source_->Read(next, 1, ext.data()) != QD_OK || !TagIs(ext.data(), 258)) return QD_E_UNKNOWN_FILE_SYSTEM;
      const uint32_t used = GetLe32(ext.data() + 20);
      if (used > kBlockSize - 24 || used > bytes) return QD_E_UNKNOWN_FILE_SYSTEM;
      area.assign(ext.begin() + 24, ext.begin() + 24 + used);
      area_ref = extent_ref;
      pos = 0;
      continue;
    }
    if (type != 0) {
      item->extents.push_back(Extent{0, bytes, false});
    } else {
      // A metadata-partition extent may straddle pieces of the metadata file: one extent per piece.
      uint32_t remaining = bytes;
      uint32_t at = lbn;
      while (remaining > 0) {
        uint32_t first = 0;
        uint32_t run = 0;
        if (!UdfRun(extent_ref, at, &first, &run)) return QD_E_UNKNOWN_FILE_SYSTEM;
        const uint64_t run_bytes = uint64_t{run} * kBlockSize;
        const uint32_t piece = run_bytes < remaining ? static_cast<uint32_t>(run_bytes) : remaining;
        if (item->extents.size() >= 2 * kMaxAllocationDescriptors) return QD_E_UNKNOWN_FILE_SYSTEM;
        item->extents.push_back(Extent{first, piece, true});
        remaining -= piece;
        at += run;
      }
    }
    total += bytes;
  }
  if (total < item->size) return QD_E_UNKNOWN_FILE_SYSTEM;
  return QD_OK;
}

}  // namespace quillden::reader
