#include "filesystems/udf/udf_tree.h"

#include <algorithm>
#include <cstring>

#include "filesystems/iso_time.h"
#include "util/byte_order.h"

namespace quillden::fs::udf {
namespace {

namespace ea = ecma167::ea;
namespace efe = ecma167::efe;
namespace entry = ecma167::entry;
namespace fe = ecma167::fe;
namespace fid = ecma167::fid;
namespace tag = ecma167::tag;

constexpr uint32_t kBlock = kBlockSize;
constexpr uint32_t kEntryHeaderBytes = fe::kExtendedAttributes;  // file entry up to its attributes
constexpr uint32_t kExtendedEntryHeaderBytes = efe::kExtendedAttributes;  // extended one likewise
// The implementation use attributes every entry carries, after the header.
constexpr uint32_t kFreeEaSpaceBytes = ea::kImplementationUse + ea::kFreeEaSpaceUseLength;
constexpr uint32_t kCgmsInfoBytes = ea::kImplementationUse + ea::kCgmsInfoUseLength;
constexpr uint32_t kAttributeBytes = ea::kHeaderSize + kFreeEaSpaceBytes + kCgmsInfoBytes;

// A folder's link count: its own entry plus the parent entry of every subfolder, held at the
// largest 16-bit value for folders with more subfolders than that.
uint16_t FolderLinks(uint32_t subfolders) {
  return static_cast<uint16_t>(subfolders >= 0xFFFF ? 0xFFFF : subfolders + 1);
}

// The UDF implementation use attribute header checksum: 16-bit sum of the attribute's bytes
// before its implementation use (UDF 3.3.4.5).
uint16_t AttributeChecksum(const uint8_t* p) {
  uint16_t sum = 0;
  for (size_t i = 0; i < ea::kHeaderChecksum; ++i) sum = static_cast<uint16_t>(sum + p[i]);
  return sum;
}

void PutImplementationAttribute(uint8_t* p, std::string_view identifier, uint32_t length,
                                uint32_t use_length, uint16_t revision) {
  PutLe32(p + ea::kAttributeType, ea::kTypeImplementationUse);
  p[ea::kAttributeSubtype] = ea::kSubtype;
  PutLe32(p + ea::kAttributeLength, length);
  PutLe32(p + ea::kImplementationUseLength, use_length);
  PutEntityId(p + ea::kImplementationIdentifier, identifier, revision,
              ecma167::entity::kOsClassDos);
  PutLe16(p + ea::kHeaderChecksum, AttributeChecksum(p));
}

// ECMA-167 4/14.10: the header and the two attributes every entry of this engine carries.
void PutExtendedAttributes(uint8_t* p, uint32_t block, uint16_t revision) {
  PutLe32(p + ea::kImplementationAttributesLocation, ea::kHeaderSize);
  PutLe32(p + ea::kApplicationAttributesLocation,
          revision >= kRevision250 ? ea::kNoAttributes : kAttributeBytes);
  PutTag(p, kTagExtendedAttributeHeader, DescriptorVersion(revision), ea::kHeaderSize - tag::kSize,
         block);
  PutImplementationAttribute(p + ea::kHeaderSize, ecma167::kFreeEaSpace, kFreeEaSpaceBytes,
                             ea::kFreeEaSpaceUseLength, revision);
  PutImplementationAttribute(p + ea::kHeaderSize + kFreeEaSpaceBytes, ecma167::kDvdCgmsInfo,
                             kCgmsInfoBytes, ea::kCgmsInfoUseLength, revision);
}

}  // namespace

std::atomic<uint32_t>& UniqueIdCounter() {
  static std::atomic<uint32_t> counter{17};
  return counter;
}

size_t IdentifierBytes(std::u16string_view name) {
  if (name.empty()) return 0;
  return 1 + name.size() * (CompressionFor(name) == ecma167::kCompression8 ? 1 : 2);
}

size_t DescriptorCount(const FileEntryFields::Extent* extents, size_t count) {
  size_t n = 0;
  for (size_t i = 0; i < count; ++i) {
    n += static_cast<size_t>((extents[i].bytes + kMaxExtentBytes - 1) / kMaxExtentBytes);
  }
  return n;
}

size_t MaxDescriptors(bool long_ads) {
  return (kBlock - kEntryHeaderBytes - kAttributeBytes) /
         (long_ads ? ecma167::ad::kLongSize : ecma167::ad::kShortSize);
}

void PutFileEntry(uint8_t* p, const FileEntryFields& f) {
  // ECMA-167 4/14.6 ICB tag.
  uint8_t* icb = p + entry::kIcbTag;
  PutLe16(icb + ecma167::icb::kStrategyType, ecma167::icb::kStrategy4);
  PutLe16(icb + ecma167::icb::kMaxEntries, 1);
  icb[ecma167::icb::kFileType] = f.file_type;
  PutLe16(icb + ecma167::icb::kFlags,
          f.embedded ? ecma167::icb::kEmbedded
                     : (f.long_ads ? ecma167::icb::kLongAds : ecma167::icb::kShortAds));

  PutLe32(p + entry::kUid, entry::kUnspecifiedId);
  PutLe32(p + entry::kGid, entry::kUnspecifiedId);
  PutLe32(p + entry::kPermissions, f.permissions);
  PutLe16(p + entry::kFileLinkCount, f.link_count);
  PutLe64(p + entry::kInformationLength, f.information_length);
  uint64_t blocks = f.embedded ? 0 : (f.information_length + kBlock - 1) / kBlock;

  size_t header;
  uint32_t attribute_bytes = f.with_attributes ? kAttributeBytes : 0;
  uint8_t* unique;
  if (f.extended) {
    // ECMA-167 4/14.17: object size, creation time and a stream directory ICB besides.
    PutLe64(p + efe::kObjectSize, f.information_length);
    PutLe64(p + efe::kLogicalBlocksRecorded, blocks);
    PutTimestamp(p + efe::kAccessTime, f.time);
    PutTimestamp(p + efe::kModificationTime, f.time);
    PutTimestamp(p + efe::kCreationTime, f.time);
    PutTimestamp(p + efe::kAttributeTime, f.time);
    PutLe32(p + efe::kCheckpoint, 1);
    PutImplementationId(p + efe::kImplementationIdentifier);
    unique = p + efe::kUniqueId;
    PutLe32(p + efe::kExtendedAttributesLength, attribute_bytes);
    header = kExtendedEntryHeaderBytes;
  } else {
    PutLe64(p + fe::kLogicalBlocksRecorded, blocks);
    PutTimestamp(p + fe::kAccessTime, f.time);
    PutTimestamp(p + fe::kModificationTime, f.time);
    PutTimestamp(p + fe::kAttributeTime, f.time);
    PutLe32(p + fe::kCheckpoint, 1);
    PutImplementationId(p + fe::kImplementationIdentifier);
    unique = p + fe::kUniqueId;
    PutLe32(p + fe::kExtendedAttributesLength, attribute_bytes);
    header = kEntryHeaderBytes;
  }
  PutLe64(unique, f.unique_id);
  if (f.with_attributes) PutExtendedAttributes(p + header, f.block, f.revision);

  uint8_t* ad = p + header + attribute_bytes;
  uint8_t* first_ad = ad;
  if (!f.embedded) {
    for (size_t i = 0; i < f.extent_count; ++i) {
      uint64_t left = f.extents[i].bytes;
      uint32_t position = f.extents[i].block;
      while (left > 0) {
        uint32_t piece = static_cast<uint32_t>(left < kMaxExtentBytes ? left : kMaxExtentBytes);
        if (f.long_ads) {
          PutLongAd(ad, piece, position, 0, 0);
          ad += ecma167::ad::kLongSize;
        } else {
          PutShortAd(ad, piece, position);
          ad += ecma167::ad::kShortSize;
        }
        left -= piece;
        position += kExtentBlockStep;
      }
    }
  }
  uint32_t ad_bytes = static_cast<uint32_t>(ad - first_ad);
  PutLe32(p + (f.extended ? efe::kAllocationDescriptorsLength : fe::kAllocationDescriptorsLength),
          ad_bytes);
  PutTag(p, f.extended ? kTagExtendedFileEntry : kTagFileEntry, DescriptorVersion(f.revision),
         static_cast<uint16_t>(header + attribute_bytes + ad_bytes - tag::kSize), f.block);
}

UdfTree::UdfTree(std::vector<UdfNode> nodes, uint16_t revision)
    : nodes_(std::move(nodes)), places_(nodes_.size()), revision_(revision) {
  root_area_.identifier_bytes = IdentifierDescriptorSize(0);  // the parent's identifier
  uint32_t folder_count = 0;
  for (const UdfNode& node : nodes_) folder_count += node.is_folder ? 1 : 0;
  areas_.reserve(folder_count);
  Area* parent_area = nullptr;
  uint32_t parent_of_run = 0;
  for (uint32_t i = 0; i < nodes_.size(); ++i) {
    const UdfNode& node = nodes_[i];
    if (node.is_folder) {
      areas_.emplace_back();
      areas_.back().node = i;
      areas_.back().identifier_bytes = IdentifierDescriptorSize(0);
    }
    // Children of one folder are neighbours in the level order list; their folder comes before
    // them, so its area exists (and reserve keeps it where it is).
    if (!parent_area || node.parent != parent_of_run) {
      parent_area = &AreaOf(node.parent);
      parent_of_run = node.parent;
    }
    Area& parent = *parent_area;
    if (parent.child_count++ == 0) parent.first_child = i;
    parent.identifier_bytes += IdentifierDescriptorSize(IdentifierBytes(node.name));
    if (node.is_folder) {
      ++parent.subfolders;
      ++folders_;
    } else {
      ++files_;
    }
  }
}

UdfTree::Area& UdfTree::AreaOf(uint32_t folder) {
  if (folder == kNoParent) return root_area_;
  auto it = std::lower_bound(areas_.begin(), areas_.end(), folder,
                             [](const Area& area, uint32_t node) { return area.node < node; });
  return *it;  // every folder node has its area
}

bool UdfTree::FitsInEntries() const {
  const size_t max = MaxDescriptors(revision_ >= kRevision250);
  for (const UdfNode& node : nodes_) {
    if (node.is_folder) continue;
    FileEntryFields::Extent extents[2] = {{node.location, node.length},
                                          {node.second_location, node.second_length}};
    if (DescriptorCount(extents, 2) > max) return false;
  }
  return true;
}

uint64_t UdfTree::AreaBytes() const {
  uint64_t blocks = (root_area_.identifier_bytes + kBlock - 1) / kBlock + 1 + nodes_.size();
  for (const Area& area : areas_) blocks += (area.identifier_bytes + kBlock - 1) / kBlock;
  return blocks * kBlock;
}

std::vector<uint32_t> UdfTree::DepthFirst() const {
  std::vector<uint32_t> order;
  order.reserve(nodes_.size());
  struct Cursor {
    uint32_t next, end;
  };
  std::vector<Cursor> stack;
  stack.push_back({root_area_.first_child, root_area_.first_child + root_area_.child_count});
  while (!stack.empty()) {
    Cursor& top = stack.back();
    if (top.next == top.end) {
      stack.pop_back();
      continue;
    }
    uint32_t child = top.next++;
    order.push_back(child);
    if (!nodes_[child].is_folder) continue;
    const Area& area = AreaOf(child);
    if (area.child_count) stack.push_back({area.first_child, area.first_child + area.child_count});
  }
  return order;
}

void UdfTree::Layout(uint32_t first_block) {
  first_block_ = first_block;
  order_ = DepthFirst();
  uint32_t next = first_block;
  root_place_.entry_block = next++;
  root_area_.identifier_block = next;
  next += (root_area_.identifier_bytes + kBlock - 1) / kBlock;
  for (uint32_t i : order_) {
    places_[i].entry_block = next++;
    if (nodes_[i].is_folder) {
      Area& area = AreaOf(i);
      area.identifier_block = next;
      next += (area.identifier_bytes + kBlock - 1) / kBlock;
    }
  }
}

void UdfTree::AssignUniqueIds() {
  const bool v250 = revision_ >= kRevision250;
  // 1.02 numbers the entries 16, 17, ... in the order they are written; 2.50 takes its numbers
  // from the engine's counter, one per identifier.
  uint32_t base = v250 ? UniqueIdCounter().fetch_add(static_cast<uint32_t>(order_.size())) : 16;
  for (size_t k = 0; k < order_.size(); ++k)
    places_[order_[k]].unique_id = base + static_cast<uint32_t>(k);
  next_unique_id_ = v250 ? uint64_t{base} + order_.size() : 0x7FFFFFFF;
}

// The blocks of the area being written, a window at a time. Everything is written in ascending
// position (entries and identifier areas follow one another, and the descriptors of one area run
// on in order), so once a write lands past the window every block before the one it starts in is
// complete and can be handed on.
class UdfTree::Window {
 public:
  Window(const AreaSink& sink, uint32_t first_block, size_t blocks)
      : sink_(sink), first_block_(first_block), capacity_(blocks * kBlock), buffer_(capacity_, 0) {}

  // Room for bytes (at most one block) at byte offset of the area block block; null when the
  // sink failed.
  uint8_t* At(uint32_t block, uint64_t offset, size_t bytes) {
    uint64_t position = uint64_t{block - first_block_} * kBlock + offset;
    if (position + bytes > base_ + capacity_ && !Slide(position)) return nullptr;
    return buffer_.data() + (position - base_);
  }
  // Hands on the rest of the area, which ends at end_block (exclusive).
  uint32_t Finish(uint32_t end_block) {
    uint64_t end = uint64_t{end_block - first_block_} * kBlock;
    if (end > base_) Slide(end);
    return result_;
  }

 private:
  // Hands on the blocks before the one holding position and keeps that one, which may hold the
  // start of what was written last.
  bool Slide(uint64_t position) {
    uint64_t keep = position / kBlock * kBlock;
    size_t blocks = static_cast<size_t>((keep - base_) / kBlock);
    size_t held = capacity_ / kBlock;
    size_t from_buffer = blocks < held ? blocks : held;
    if (from_buffer > 0 && result_ == 0) result_ = sink_(buffer_.data(), from_buffer);
    // Never more than the window: each write is at most one block and follows the last one.
    for (size_t i = from_buffer; i < blocks && result_ == 0; ++i) {
      static const uint8_t kZero[kBlock] = {};
      result_ = sink_(kZero, 1);
    }
    if (result_ != 0) return false;
    if (from_buffer < held) {
      std::memmove(buffer_.data(), buffer_.data() + from_buffer * kBlock, kBlock);
      std::memset(buffer_.data() + kBlock, 0, capacity_ - kBlock);
    } else {
      std::memset(buffer_.data(), 0, capacity_);
    }
    base_ = keep;
    return true;
  }

  const AreaSink& sink_;
  uint32_t first_block_;
  size_t capacity_;
  std::vector<uint8_t> buffer_;
  uint64_t base_ = 0;  // area byte offset of buffer_[0]
  uint32_t result_ = 0;
};

uint32_t UdfTree::WriteArea(const Timestamp& volume_time, const AreaSink& sink,
                            size_t window_blocks) const {
  Window window(sink, first_block_, window_blocks < 2 ? 2 : window_blocks);
  FileEntryFields root;
  root.revision = revision_;
  root.block = root_place_.entry_block;
  root.file_type = ecma167::icb::kTypeDirectory;
  root.permissions = kFolderPermissions;
  root.link_count = FolderLinks(root_area_.subfolders);
  root.information_length = root_area_.identifier_bytes;
  root.time = volume_time;
  FileEntryFields::Extent extent{root_area_.identifier_block, root_area_.identifier_bytes};
  root.extents = &extent;
  root.extent_count = 1;
  uint8_t* p = window.At(root_place_.entry_block, 0, kBlock);
  if (!p) return window.Finish(first_block_);
  PutFileEntry(p, root);
  bool ok = WriteIdentifiers(window, kNoParent);
  const IsoTimeConverter local_time;
  for (size_t k = 0; ok && k < order_.size(); ++k) {
    uint32_t i = order_[k];
    ok = WriteEntry(window, i, local_time) && (!nodes_[i].is_folder || WriteIdentifiers(window, i));
  }
  return window.Finish(first_block_ + static_cast<uint32_t>(AreaBytes() / kBlock));
}

void UdfTree::Write(uint8_t* area, const Timestamp& volume_time) {
  AssignUniqueIds();
  uint8_t* next = area;
  WriteArea(volume_time, [&next](const uint8_t* blocks, size_t count) -> uint32_t {
    std::memcpy(next, blocks, count * kBlock);
    next += count * kBlock;
    return 0;
  });
}

bool UdfTree::WriteEntry(Window& window, uint32_t index, const IsoTimeConverter& local_time) const {
  const UdfNode& node = nodes_[index];
  const Place& place = places_[index];
  FileEntryFields f;
  f.revision = revision_;
  f.block = place.entry_block;
  f.unique_id = place.unique_id;
  f.time = Timestamp{local_time(node.last_write_time), 0};
  FileEntryFields::Extent extents[2];
  if (node.is_folder) {
    const Area& area = AreaOf(index);
    f.file_type = ecma167::icb::kTypeDirectory;
    f.permissions = kFolderPermissions;
    f.link_count = FolderLinks(area.subfolders);
    f.information_length = area.identifier_bytes;
    extents[0] = {area.identifier_block, area.identifier_bytes};
    f.extent_count = 1;
  } else {
    f.file_type = ecma167::icb::kTypeFile;
    f.permissions = kFilePermissions;
    f.information_length = node.length + node.second_length;
    f.long_ads = revision_ >= kRevision250;
    f.embedded = f.information_length == 0;
    extents[0] = {node.location, node.length};
    extents[1] = {node.second_location, node.second_length};
    f.extent_count = node.second_length ? 2 : 1;
  }
  f.extents = extents;
  uint8_t* p = window.At(place.entry_block, 0, kBlock);
  if (!p) return false;
  PutFileEntry(p, f);
  return true;
}

bool UdfTree::WriteIdentifiers(Window& window, uint32_t parent) const {
  const Area& folder = AreaOf(parent);
  const Place& grand = PlaceOf(parent == kNoParent ? kNoParent : nodes_[parent].parent);
  const bool v250 = revision_ >= kRevision250;
  const uint16_t partition = v250 ? 1 : 0;
  const uint16_t version = DescriptorVersion(revision_);
  uint32_t offset = 0;

  auto put = [&](uint8_t characteristics, const std::string& identifier, const Place& target) {
    uint32_t size = IdentifierDescriptorSize(identifier.size());
    uint8_t* p = window.At(folder.identifier_block, offset, size);
    if (!p) return false;
    // ECMA-167 4/14.4, without implementation use.
    PutLe16(p + fid::kFileVersionNumber, 1);
    p[fid::kCharacteristics] = characteristics;
    p[fid::kIdentifierLength] = static_cast<uint8_t>(identifier.size());
    PutLongAd(p + fid::kIcb, kBlock, target.entry_block, partition, v250 ? target.unique_id : 0);
    std::memcpy(p + fid::kImplementationUse, identifier.data(), identifier.size());
    // A descriptor that crosses a block boundary names the block it starts in.
    PutTag(p, kTagFileIdentifier, version, static_cast<uint16_t>(size - tag::kSize),
           folder.identifier_block + offset / kBlock);
    offset += size;
    return true;
  };

  if (!put(fid::kParent | fid::kDirectory, std::string(), grand)) return false;
  for (uint32_t i = folder.first_child; i < folder.first_child + folder.child_count; ++i) {
    const UdfNode& node = nodes_[i];
    uint8_t characteristics = node.is_folder ? fid::kDirectory : (node.hidden ? fid::kHidden : 0);
    if (!put(characteristics, CompressedChars(node.name, fid::kMaxIdentifierLength), places_[i]))
      return false;
  }
  return true;
}

}  // namespace quillden::fs::udf
