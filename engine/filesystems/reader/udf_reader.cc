// The UDF side of DiscReader: volume structures, file entries and allocation descriptors.
#include <algorithm>
#include <cstring>

#include "filesystems/layout/ecma167_layout.h"
#include "filesystems/reader/disc_reader.h"
#include "quillden/result.h"
#include "util/byte_order.h"

namespace quillden::reader {
namespace {

namespace ecma167 = fs::ecma167;
namespace ad = ecma167::ad;
namespace entry = ecma167::entry;
namespace icb = ecma167::icb;
namespace lvd = ecma167::lvd;
namespace map = ecma167::map;

constexpr uint32_t kMaxVolumeDescriptors = 64;
constexpr uint32_t kMaxAllocationDescriptors = 8192;
constexpr uint32_t kMaxContinuations = 64;

// A descriptor tag with identifier id and a correct checksum.
bool TagIs(const uint8_t* descriptor, uint16_t id) {
  if (GetLe16(descriptor + ecma167::tag::kIdentifier) != id) return false;
  return ecma167::TagChecksum(descriptor) == descriptor[ecma167::tag::kChecksum];
}

}  // namespace

uint32_t DiscReader::RecognizeUdf(uint32_t session_start) {
  partitions_.clear();
  maps_.clear();
  metadata_extents_.clear();
  udf_ready_ = false;
  std::vector<uint8_t> b(kBlockSize);
  // The anchor volume descriptor pointer names the main volume descriptor sequence.
  if (uint64_t{session_start} + ecma167::kAnchorBlock > 0xFFFFFFFFu)
    return QD_E_UNKNOWN_FILE_SYSTEM;
  if (source_->Read(session_start + ecma167::kAnchorBlock, 1, b.data()) != QD_OK ||
      !TagIs(b.data(), ecma167::kTagAnchor)) {
    return QD_E_UNKNOWN_FILE_SYSTEM;
  }
  const uint8_t* main_sequence = b.data() + ecma167::anchor::kMainSequence;
  const uint32_t sequence_length = GetLe32(main_sequence + ecma167::extent::kLength);
  const uint32_t sequence_block = GetLe32(main_sequence + ecma167::extent::kLocation);
  const uint32_t count = std::min<uint32_t>(sequence_length / kBlockSize, kMaxVolumeDescriptors);
  bool have_logical_volume = false;
  uint32_t revision = 0;
  std::u16string udf_label;
  for (uint32_t i = 0; i < count; ++i) {
    if (uint64_t{sequence_block} + i > 0xFFFFFFFFu) break;
    if (source_->Read(sequence_block + i, 1, b.data()) != QD_OK) return QD_E_UNKNOWN_FILE_SYSTEM;
    const uint8_t* d = b.data();
    const uint16_t id = GetLe16(d + ecma167::tag::kIdentifier);
    if (id < ecma167::kTagPrimaryVolume || id > ecma167::kTagTerminating || !TagIs(d, id)) break;
    if (id == ecma167::kTagTerminating) break;
    if (id == ecma167::kTagPartition) {
      Partition p;
      p.number = GetLe16(d + ecma167::pd::kNumber);
      p.start = GetLe32(d + ecma167::pd::kStartingLocation);
      p.length = GetLe32(d + ecma167::pd::kLength);
      partitions_.push_back(p);
    } else if (id == ecma167::kTagLogicalVolume) {
      const uint32_t result = ReadUdfLogicalVolume(d, &revision, &udf_label);
      if (result != QD_OK) return result;
      have_logical_volume = true;
    }
  }
  if (!have_logical_volume || partitions_.empty() || maps_.empty()) return QD_E_UNKNOWN_FILE_SYSTEM;
  if (revision >= ecma167::kUdfRevision250) bits_ = (bits_ & ~kSeenUdf) | kSeenUdf250;
  if (label_.empty()) label_ = udf_label;

  const uint32_t result = LoadUdfMetadataFile();
  if (result != QD_OK) return result;
  udf_ready_ = true;
  return QD_OK;
}

// The logical volume descriptor d: the block size, label, UDF revision, the file set
// descriptor's place and the partition maps.
uint32_t DiscReader::ReadUdfLogicalVolume(const uint8_t* d, uint32_t* revision,
                                          std::u16string* label) {
  if (GetLe32(d + lvd::kLogicalBlockSize) != kBlockSize) return QD_E_UNKNOWN_FILE_SYSTEM;
  *label = DecodeDstring(d + lvd::kLogicalVolumeIdentifier, lvd::kLogicalVolumeIdentifierSize);
  *revision = GetLe16(d + lvd::kDomainIdentifier + ecma167::entity::kSuffixRevision);
  // UDF records the file set descriptor's place as a long_ad in the contents use.
  const uint8_t* file_set = d + lvd::kContentsUse;
  fsd_lbn_ = GetLe32(file_set + ad::kPosition);
  fsd_ref_ = GetLe16(file_set + ad::kPartition);
  const uint32_t table_length = GetLe32(d + lvd::kMapTableLength);
  const uint32_t map_count = GetLe32(d + lvd::kPartitionMapCount);
  if (table_length > kBlockSize - lvd::kPartitionMaps) return QD_E_UNKNOWN_FILE_SYSTEM;
  const size_t table_end = lvd::kPartitionMaps + table_length;
  maps_.clear();
  size_t pos = lvd::kPartitionMaps;
  for (uint32_t m = 0; m < map_count; ++m) {
    if (pos + 2 > table_end) return QD_E_UNKNOWN_FILE_SYSTEM;
    const uint8_t* at = d + pos;
    const uint8_t type = at[map::kType];
    const uint8_t length = at[map::kLength];
    if (length < map::kType1Length || pos + length > table_end) return QD_E_UNKNOWN_FILE_SYSTEM;
    PartitionMap partition_map;
    if (type == map::kType1) {
      partition_map.partition_number = GetLe16(at + map::kType1PartitionNumber);
    } else if (type == map::kType2 && length >= map::kType2Length) {
      partition_map.partition_number = GetLe16(at + map::kType2PartitionNumber);
      if (std::memcmp(at + map::kType2Identifier + ecma167::entity::kIdentifier,
                      ecma167::kMetadataPartition, sizeof ecma167::kMetadataPartition - 1) == 0) {
        partition_map.metadata = true;
        partition_map.metadata_file_block = GetLe32(at + map::kMetadataFileLocation);
      }
    } else {
      return QD_E_UNKNOWN_FILE_SYSTEM;
    }
    maps_.push_back(partition_map);
    pos += length;
  }
  return QD_OK;
}

// UDF 2.2.13: the metadata file, whose content holds every metadata-partition block. Nothing to
// do for a volume without a metadata partition.
uint32_t DiscReader::LoadUdfMetadataFile() {
  for (uint16_t ref = 0; ref < maps_.size(); ++ref) {
    if (!maps_[ref].metadata) continue;
    uint16_t physical_ref = 0xFFFF;
    for (uint16_t other = 0; other < maps_.size(); ++other) {
      if (!maps_[other].metadata && maps_[other].partition_number == maps_[ref].partition_number)
        physical_ref = other;
    }
    if (physical_ref == 0xFFFF) {
      // A volume with only the metadata map: its file lives in the same partition, unmapped.
      maps_.push_back(PartitionMap{false, maps_[ref].partition_number, 0});
      physical_ref = static_cast<uint16_t>(maps_.size() - 1);
    }
    uint32_t block = 0;
    if (!UdfBlock(physical_ref, maps_[ref].metadata_file_block, &block))
      return QD_E_UNKNOWN_FILE_SYSTEM;
    DiscItem metadata;
    uint32_t result = ReadUdfFileEntry(block, physical_ref, &metadata);
    if (result != QD_OK) return result;
    if (metadata.is_embedded || metadata.extents.empty()) return QD_E_UNKNOWN_FILE_SYSTEM;
    metadata_extents_ = metadata.extents;
    break;
  }
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
    const uint64_t left =
        p.length != 0 ? uint64_t{p.length} - lbn : 0xFFFFFFFFu - (uint64_t{p.start} + lbn) + 1;
    *run = static_cast<uint32_t>(left > 0xFFFFFFFFu ? 0xFFFFFFFFu : left);
    return true;
  }
  return false;
}

uint32_t DiscReader::ReadUdfRoot(DiscItem* root) {
  std::vector<uint8_t> b(kBlockSize);
  uint32_t block = 0;
  if (!UdfBlock(fsd_ref_, fsd_lbn_, &block)) return QD_E_UNKNOWN_FILE_SYSTEM;
  if (source_->Read(block, 1, b.data()) != QD_OK || !TagIs(b.data(), ecma167::kTagFileSet))
    return QD_E_UNKNOWN_FILE_SYSTEM;
  const uint8_t* root_icb = b.data() + ecma167::fsd::kRootDirectoryIcb;
  const uint32_t lbn = GetLe32(root_icb + ad::kPosition);
  const uint16_t ref = GetLe16(root_icb + ad::kPartition);
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
  const bool extended = TagIs(d, ecma167::kTagExtendedFileEntry);
  if (!extended && !TagIs(d, ecma167::kTagFileEntry)) return QD_E_UNKNOWN_FILE_SYSTEM;
  namespace fe = ecma167::fe;
  namespace efe = ecma167::efe;
  const size_t access = extended ? efe::kAccessTime : fe::kAccessTime;
  const size_t modification = extended ? efe::kModificationTime : fe::kModificationTime;
  // A plain file entry has no creation time; its attribute time comes closest.
  const size_t creation = extended ? efe::kCreationTime : fe::kAttributeTime;
  const size_t ea_length_at =
      extended ? efe::kExtendedAttributesLength : fe::kExtendedAttributesLength;
  const size_t ad_length_at =
      extended ? efe::kAllocationDescriptorsLength : fe::kAllocationDescriptorsLength;
  const size_t base = extended ? efe::kExtendedAttributes : fe::kExtendedAttributes;
  item->icb_block = block;
  item->folder = d[entry::kFileType] == icb::kTypeDirectory;
  item->size = GetLe64(d + entry::kInformationLength);
  item->last_access = UdfTimestamp(d + access);
  item->last_write = UdfTimestamp(d + modification);
  item->creation = UdfTimestamp(d + creation);
  item->extents.clear();
  item->embedded.clear();
  item->is_embedded = false;
  const uint64_t ea_length = GetLe32(d + ea_length_at);
  const uint64_t ad_length = GetLe32(d + ad_length_at);
  if (base + ea_length + ad_length > kBlockSize) return QD_E_UNKNOWN_FILE_SYSTEM;
  const uint8_t* ads = d + base + ea_length;
  const uint16_t ad_type = GetLe16(d + entry::kIcbFlags) & icb::kAdTypeMask;
  if (ad_type == icb::kEmbedded) {
    if (item->size > ad_length) return QD_E_UNKNOWN_FILE_SYSTEM;
    item->embedded.assign(ads, ads + item->size);
    item->is_embedded = true;
    return QD_OK;
  }
  if (ad_type != icb::kShortAds && ad_type != icb::kLongAds) return QD_E_UNKNOWN_FILE_SYSTEM;
  const size_t ad_size = ad_type == icb::kShortAds ? ad::kShortSize : ad::kLongSize;

  // Allocation descriptors, following continuation extents a bounded number of times.
  std::vector<uint8_t> area(ads, ads + ad_length);
  uint16_t area_ref = ref;
  uint32_t descriptors = 0;
  uint32_t continuations = 0;
  uint64_t total = 0;
  size_t pos = 0;
  while (pos + ad_size <= area.size()) {
    const uint8_t* a = area.data() + pos;
    pos += ad_size;
    const uint32_t length_word = GetLe32(a + ad::kLength);
    const uint32_t type = length_word >> ad::kTypeShift;
    const uint32_t bytes = length_word & ad::kLengthMask;
    if (bytes == 0) break;
    if (++descriptors > kMaxAllocationDescriptors) return QD_E_UNKNOWN_FILE_SYSTEM;
    const uint32_t lbn = GetLe32(a + ad::kPosition);
    const uint16_t extent_ref = ad_type == icb::kShortAds ? area_ref : GetLe16(a + ad::kPartition);
    if (type == ad::kNextExtentOfDescriptors) {
      // The next extent of descriptors; an allocation extent descriptor leads it.
      if (++continuations > kMaxContinuations) return QD_E_UNKNOWN_FILE_SYSTEM;
      uint32_t next = 0;
      if (!UdfBlock(extent_ref, lbn, &next)) return QD_E_UNKNOWN_FILE_SYSTEM;
      std::vector<uint8_t> ext(kBlockSize);
      if (source_->Read(next, 1, ext.data()) != QD_OK ||
          !TagIs(ext.data(), ecma167::kTagAllocationExtent))
        return QD_E_UNKNOWN_FILE_SYSTEM;
      const uint32_t used = GetLe32(ext.data() + ecma167::aed::kDescriptorsLength);
      if (used > kBlockSize - ecma167::aed::kDescriptors || used > bytes)
        return QD_E_UNKNOWN_FILE_SYSTEM;
      area.assign(ext.begin() + ecma167::aed::kDescriptors,
                  ext.begin() + ecma167::aed::kDescriptors + used);
      area_ref = extent_ref;
      pos = 0;
      continue;
    }
    if (type != ad::kRecorded) {
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
