// The UDF part of a session layout (file system bits 4 and 8): where the UDF areas go, and the
// descriptors, file entries and tail blocks themselves.
//
// Partition-relative positions: the physical partition starts at block 257 (1.02) or A (2.50) of a
// fresh disc, and later sessions keep that start, so every file position is its absolute block
// minus the partition start. The metadata partition of 2.50 numbers the blocks of the metadata
// file: the file set descriptor at 0, its terminator at 1, the file entry area from 2.
#include <algorithm>

#include "datadisk/mastering/layer_jump_plan.h"
#include "datadisk/mastering/session_layout.h"
#include "filesystems/iso9660_records.h"
#include "filesystems/layout/ecma119_layout.h"
#include "filesystems/layout/ecma167_layout.h"
#include "filesystems/udf/udf_descriptors.h"
#include "quillden/result.h"

namespace quillden::mastering {
namespace {

using fs::BlocksFor;
using fs::kBlockSize;
namespace udf = fs::udf;
namespace ecma167 = fs::ecma167;

constexpr uint32_t kMainSequence = 32;
constexpr uint32_t kReserveSequence102 = 48;
constexpr uint32_t kIntegrity = 64;
constexpr uint32_t kAnchor = ecma167::kAnchorBlock;
constexpr uint32_t kPartitionStart102 = kAnchor + 1;
// The metadata file's entry and 31 free blocks: one allocation unit of the metadata file.
constexpr uint32_t kMetadataGap = udf::kMetadataUnitBlocks;

uint64_t FileTimeOf(const FILETIME& time) {
  return (uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
}

uint32_t RoundUp(uint64_t value, uint32_t unit) {
  return static_cast<uint32_t>((value + unit - 1) / unit * unit);
}

}  // namespace

uint32_t SessionLayout::PlanUdf(uint64_t* next) {
  const bool v250 = udf_revision_ == udf::kRevision250;
  std::vector<udf::UdfNode> nodes(level_order_.size());
  const std::vector<fs::FsEntry>& entries = tree_->entries();
  for (size_t i = 0; i < level_order_.size(); ++i) {
    const DatadiskEntry* e = level_order_[i];
    udf::UdfNode& node = nodes[i];
    node.name = e->name();
    node.parent = entries[i].parent == fs::kParentIsRoot ? udf::kNoParent : entries[i].parent;
    node.is_folder = e->is_folder();
    node.hidden = (e->attributes() & FILE_ATTRIBUTE_HIDDEN) != 0;
    node.last_write_time = FileTimeOf(e->last_write_time);
  }
  udf_tree_ = std::make_unique<udf::UdfTree>(std::move(nodes), udf_revision_);
  udf_anchor_block_ = 0;
  uint32_t area_blocks = BlocksFor(udf_tree_->AreaBytes());
  udf_area_blocks_ = area_blocks;
  if (!v250) {
    udf_partition_start_ = kPartitionStart102;
    udf_area_block_ = static_cast<uint32_t>(*next);
    *next += area_blocks;
    return QD_OK;
  }
  // The ISO 9660 area stays in the header, which is padded to the partition start A.
  udf_metadata_blocks_ = RoundUp(uint64_t{area_blocks} + 2, kMetadataGap);  // with the FSD sequence
  udf_metadata_offset_ = RoundUp(*next - session_start_, kMetadataGap);
  udf_partition_start_ = udf_metadata_offset_;
  header_blocks_ = udf_metadata_offset_;
  structure_block_ = session_start_ + header_blocks_;
  *next = uint64_t{structure_block_} + kMetadataGap + udf_metadata_blocks_;
  return QD_OK;
}

uint32_t SessionLayout::FinishUdfPlan(uint64_t next) {
  const bool v250 = udf_revision_ == udf::kRevision250;
  const std::vector<fs::FsEntry>& planned = tree_->entries();
  std::vector<udf::UdfNode>& nodes = udf_tree_->nodes();
  for (size_t i = 0; i < nodes.size(); ++i) {
    if (nodes[i].is_folder) continue;
    const DatadiskEntry* e = level_order_[i];
    bool imported = (e->attributes() & DDF_ATTR_IMPORTED) != 0;
    uint32_t location = planned[i].location;
    nodes[i].length = imported ? e->length : planned[i].size;
    if (imported) {
      nodes[i].second_location = e->second_location;
      nodes[i].second_length = e->second_length;
      if (nodes[i].second_location >= udf_partition_start_) {
        nodes[i].second_location -= udf_partition_start_;
      }
    }
    // Imported contents below the partition start cannot be moved into it; they keep their block.
    nodes[i].location =
        location >= udf_partition_start_ ? location - udf_partition_start_ : location;
  }
  if (!udf_tree_->FitsInEntries()) return QD_E_FILE_TOO_LARGE_FOR_ISO;

  udf_files_end_offset_ = static_cast<uint32_t>(next - session_start_);
  if (!v250) {
    // The closing anchor follows the files (and precedes the run-out of CD media).
    udf_tree_->Layout(udf_area_block_ - udf_partition_start_);
    uint64_t end = uint64_t{end_} + 1;
    uint64_t total = uint64_t{total_} + 1;
    if (session_start_ + total > 0xFFFFFFFFull) return QD_E_NO_SPACE;
    end_ = static_cast<uint32_t>(end);
    total_ = static_cast<uint32_t>(total);
    udf_partition_length_ = session_start_ + end_ - 1 - udf_partition_start_;
    return QD_OK;
  }
  udf_tree_->Layout(2);
  // Mirror at F, then 320 blocks of anchors, reserve sequence and padding; no run-out.
  uint64_t mirror = (uint64_t{udf_files_end_offset_} + 15) / 16 * 16;
  uint64_t end = mirror + udf_metadata_blocks_ + 320;
  if (session_start_ + end > 0xFFFFFFFFull) return QD_E_NO_SPACE;
  udf_mirror_offset_ = static_cast<uint32_t>(mirror);
  end_ = total_ = static_cast<uint32_t>(end);
  udf_partition_length_ = session_start_ + udf_mirror_offset_ + kMetadataGap +
                          udf_metadata_blocks_ - udf_partition_start_;
  return QD_OK;
}

uint32_t SessionLayout::ApplyLayerJump(const LayerJumpMap& map) {
  // ISO 9660 records and UDF 2.50 metadata cannot follow files around the jump; a header recorded
  // at block 0 belongs to overwritable media, which have no jump.
  if (udf_revision_ != udf::kRevision102 ||
      (request_.file_system & (kFsIso9660 | kFsJoliet)) != 0 || request_.header_at_zero ||
      !udf_tree_) {
    return QD_E_INVALID_SETTING;
  }
  if (!map.jumps()) return QD_OK;
  const uint64_t anchor = map.Place(uint64_t{session_start_} + end_ - 1);
  if (anchor > 0xFFFFFFFFull || anchor <= udf_partition_start_) return QD_E_INVALID_SETTING;

  std::vector<udf::UdfNode>& nodes = udf_tree_->nodes();
  std::vector<udf::UdfNode> before = nodes;
  for (size_t i = 0; i < nodes.size(); ++i) {
    const DatadiskEntry* e = level_order_[i];
    if (nodes[i].is_folder || (e->attributes() & DDF_ATTR_IMPORTED) != 0) continue;
    // Files of this session lie in the partition; an empty one may name no block at all.
    if (e->location < udf_partition_start_ ||
        (e->second_length != 0 && e->second_location < udf_partition_start_)) {
      if (e->length == 0 && e->second_length == 0) continue;
      nodes = std::move(before);
      return QD_E_INVALID_SETTING;
    }
    nodes[i].location = e->location - udf_partition_start_;
    nodes[i].length = e->length;
    nodes[i].second_location =
        e->second_length != 0 ? e->second_location - udf_partition_start_ : 0;
    nodes[i].second_length = e->second_length;
  }
  if (!udf_tree_->FitsInEntries()) {
    nodes = std::move(before);
    return QD_E_FILE_TOO_LARGE_FOR_ISO;
  }
  // The partition ends where the closing anchor is recorded; the blocks the track skips over at
  // the jump lie inside it, unallocated.
  udf_anchor_block_ = static_cast<uint32_t>(anchor);
  udf_partition_length_ = udf_anchor_block_ - udf_partition_start_;
  return QD_OK;
}

void SessionLayout::BuildUdf(const Datadisk& disc, const fs::IsoTime& volume_time) {
  const bool v250 = udf_revision_ == udf::kRevision250;
  const uint32_t s = session_start_;
  const uint32_t h = request_.header_at_zero ? 0 : s;  // where the header blocks are recorded
  const bool with_iso = (request_.file_system & (kFsIso9660 | kFsJoliet)) != 0;
  auto header_block = [this](uint32_t offset) {
    return header_.data() + size_t{offset} * kBlockSize;
  };

  uint64_t now = FileTimeOf(CurrentFileTime());
  udf::VolumeInfo info;
  info.revision = udf_revision_;
  std::u16string_view label(disc.volume_label);
  info.label = std::u16string(label.substr(0, std::min<size_t>(label.find(u'\0'), 32)));
  info.time = udf::Timestamp{volume_time, static_cast<int>(now / 10000 % 1000)};
  info.volume_file_time = now;
  info.partition_start = udf_partition_start_;
  info.partition_length = udf_partition_length_;
  info.integrity_block = h + kIntegrity;
  info.metadata_blocks = udf_metadata_blocks_;
  info.files = udf_tree_->file_count();
  info.directories = udf_tree_->directory_count();

  // 2.50 blocks held here: 0 the metadata file's entry, 1 the mirror's entry, 2 and 3 the file set
  // descriptor and its terminator, 4 the first closing anchor, 5 to 10 the reserve sequence, 11
  // the last anchor.
  udf_blocks_.assign(v250 ? size_t{12} * kBlockSize : 0, 0);
  auto udf_block = [this](uint32_t i) { return udf_blocks_.data() + size_t{i} * kBlockSize; };

  // The entries are numbered first: 2.50 takes its next unique ID from the numbers they used.
  uint8_t* file_set;
  uint32_t file_set_block;
  if (v250) {
    file_set = udf_block(2);
    file_set_block = 0;
    info.fsd_block = 0;
    info.metadata_file_block = s + udf_metadata_offset_ - udf_partition_start_;
    info.metadata_mirror_block = s + udf_mirror_offset_ - udf_partition_start_;
  } else {
    file_set = header_block(kPartitionStart102);
    file_set_block = h;  // partition block of the header's block 257
    info.fsd_block = file_set_block;
  }
  info.root_block = udf_tree_->root_block();
  udf_tree_->AssignUniqueIds();
  udf_time_ = info.time;
  info.next_unique_id = udf_tree_->next_unique_id();

  // Volume recognition after the ISO 9660 descriptors (primary, boot record, Joliet, terminator).
  const uint32_t first = fs::ecma119::kFirstDescriptorBlock;
  uint32_t recognition = with_iso ? first + (has_boot_ ? 4 : 3) : first;
  udf::PutRecognitionBlock(header_block(recognition), ecma167::kBeginExtendedArea);
  udf::PutRecognitionBlock(header_block(recognition + 1), v250 ? ecma167::kNsr03 : ecma167::kNsr02);
  udf::PutRecognitionBlock(header_block(recognition + 2), ecma167::kTerminateExtendedArea);
  udf::PutVolumeDescriptorSequence(header_block(kMainSequence), h + kMainSequence, info);
  udf::PutIntegritySequence(header_block(kIntegrity), h + kIntegrity, info);
  udf::PutFileSetSequence(file_set, file_set_block, info);

  tail_pieces_.clear();
  if (v250) {
    BuildUdf250Metadata(info, h);
  } else {
    BuildUdf102Closing(info, h);
  }
}

void SessionLayout::BuildUdf102Closing(const udf::VolumeInfo& info, uint32_t h) {
  // The reserve sequence and the anchor at 256 in the header, the closing anchor after the files.
  const uint32_t s = session_start_;
  uint8_t* const header = header_.data();
  structure_pieces_.push_back({Piece::kUdfArea, nullptr, udf_area_blocks_});
  udf::PutVolumeDescriptorSequence(header + size_t{kReserveSequence102} * kBlockSize,
                                   h + kReserveSequence102, info);
  udf::PutAnchor(header + size_t{kAnchor} * kBlockSize, h + kAnchor, h + kMainSequence,
                 h + kReserveSequence102, udf_revision_);
  tail_.assign(kBlockSize, 0);
  udf::PutAnchor(tail_.data(), udf_anchor_block_ != 0 ? udf_anchor_block_ : s + end_ - 1,
                 h + kMainSequence, h + kReserveSequence102, udf_revision_);
  tail_pieces_.push_back({Piece::kBytes, tail_.data(), 1});
}

void SessionLayout::BuildUdf250Metadata(const udf::VolumeInfo& info, uint32_t h) {
  const uint32_t s = session_start_;
  auto udf_block = [this](uint32_t i) { return udf_blocks_.data() + size_t{i} * kBlockSize; };
  const uint32_t reserve = udf_mirror_offset_ + udf_metadata_blocks_ + 96;  // R
  // The header names the blocks it is recorded at: S, or block 0 when it is rewritten there after
  // a session appended to overwritable media.
  udf::PutAnchor(header_.data() + size_t{kAnchor} * kBlockSize, h + kAnchor, h + kMainSequence,
                 s + reserve, udf_revision_);

  // The metadata file and its mirror: Extended File Entries (types 250 and 251) with one short
  // descriptor over the M blocks that follow their 32-block allocation unit.
  auto put_metadata_entry = [&](uint8_t* p, uint32_t offset, uint8_t type) {
    udf::FileEntryFields f;
    f.revision = udf_revision_;
    f.block = s + offset - udf_partition_start_;
    f.file_type = type;
    f.extended = true;
    f.with_attributes = false;
    f.permissions = 0;
    f.link_count = 0;
    f.information_length = uint64_t{udf_metadata_blocks_} * kBlockSize;
    f.time = info.time;
    udf::FileEntryFields::Extent extent{f.block + kMetadataGap, f.information_length};
    f.extents = &extent;
    f.extent_count = 1;
    udf::PutFileEntry(p, f);
  };
  put_metadata_entry(udf_block(0), udf_metadata_offset_, ecma167::icb::kTypeMetadataFile);
  put_metadata_entry(udf_block(1), udf_mirror_offset_, ecma167::icb::kTypeMetadataMirrorFile);
  udf::PutAnchor(udf_block(4), s + reserve - 33, h + kMainSequence, s + reserve, udf_revision_);
  udf::PutVolumeDescriptorSequence(udf_block(5), s + reserve, info);
  udf::PutAnchor(udf_block(11), s + reserve + 223, h + kMainSequence, s + reserve, udf_revision_);

  // The metadata file: the file set descriptor and its terminator, the file entry area, zeros up
  // to M blocks. The mirror repeats it after the files.
  const uint64_t metadata_padding = uint64_t{udf_metadata_blocks_} - 2 - udf_area_blocks_;
  auto metadata_file = [&](std::vector<Piece>* pieces, uint32_t entry) {
    pieces->push_back({Piece::kBytes, udf_block(entry), 1});
    pieces->push_back({Piece::kZeros, nullptr, kMetadataGap - 1});
    pieces->push_back({Piece::kBytes, udf_block(2), 2});
    pieces->push_back({Piece::kUdfArea, nullptr, udf_area_blocks_});
    pieces->push_back({Piece::kZeros, nullptr, metadata_padding});
  };
  metadata_file(&structure_pieces_, 0);
  tail_pieces_.push_back(
      {Piece::kZeros, nullptr, uint64_t{udf_mirror_offset_} - udf_files_end_offset_});
  metadata_file(&tail_pieces_, 1);
  tail_pieces_.insert(tail_pieces_.end(), {
                                              {Piece::kZeros, nullptr, 31},
                                              {Piece::kBytes, udf_block(4), 1},
                                              {Piece::kZeros, nullptr, 32},
                                              {Piece::kBytes, udf_block(5), 6},
                                              {Piece::kZeros, nullptr, 10 + 192 + 15},
                                              {Piece::kBytes, udf_block(11), 1},
                                          });
}

}  // namespace quillden::mastering
