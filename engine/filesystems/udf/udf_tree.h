// The UDF view of a data disc tree: file entries and file identifier descriptors.
//
// The tree arrives as its level order list (every entry of level 2, then level 3, ...), so the
// children of one folder stand together in tree order. The file entry area is laid out depth first:
// the root's file entry, the root's identifiers; then for each child its file entry and, for a
// folder, its identifiers followed by its own children. Every file entry takes one block; an
// identifier area starts on a block boundary and its descriptors run on across block boundaries.
//
// Use: construct, AreaBytes for the size, Layout once the first block is known, AssignUniqueIds
// once, then WriteArea as often as the area is needed (2.50 writes it twice, for the metadata file
// and its mirror). WriteArea produces the area in block order through a window of a few hundred
// blocks, so a tree of any size never holds its file entries in memory at once. All blocks are
// logical blocks of the partition that holds the area (the physical partition for 1.02, the
// metadata partition for 2.50). Not thread-safe; one object per layout.
#ifndef QUILLDEN_FILESYSTEMS_UDF_UDF_TREE_H_
#define QUILLDEN_FILESYSTEMS_UDF_UDF_TREE_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "filesystems/udf/udf_descriptors.h"

namespace quillden::fs::udf {

inline constexpr uint32_t kNoParent = 0xFFFFFFFFu;  // an entry of the root folder
// Largest piece of an allocation descriptor, and the block step between pieces.
inline constexpr uint64_t kMaxExtentBytes = ecma167::ad::kLengthMask & ~uint64_t{kBlockSize - 1};
inline constexpr uint32_t kExtentBlockStep = kMaxExtentBytes / kBlockSize;

// Read and change attributes for everyone; folders add execute (search).
inline constexpr uint32_t kFilePermissions =
    ecma167::entry::kOwnerRead | ecma167::entry::kOwnerChangeAttributes |
    ecma167::entry::kGroupRead | ecma167::entry::kGroupChangeAttributes |
    ecma167::entry::kOtherRead | ecma167::entry::kOtherChangeAttributes;
inline constexpr uint32_t kFolderPermissions = kFilePermissions | ecma167::entry::kOwnerExecute |
                                               ecma167::entry::kGroupExecute |
                                               ecma167::entry::kOtherExecute;

// One entry of the level order list. Its fields are packed: a layout holds one per entry of the
// tree.
struct UdfNode {
  std::u16string_view name;      // must outlive the tree
  uint64_t last_write_time = 0;  // 100-ns units since 1601, UTC
  // Files: partition-relative content position (physical partition) and bytes; a second piece
  // when the content is split.
  uint64_t length = 0;
  uint64_t second_length = 0;
  uint32_t location = 0;
  uint32_t second_location = 0;
  uint32_t parent = kNoParent;
  bool is_folder = false;
  bool hidden = false;
};

// The engine-wide unique ID counter of 2.50 identifiers (starts at 17, never reset by a job).
std::atomic<uint32_t>& UniqueIdCounter();

// The bytes of a file identifier descriptor for an identifier of identifier_bytes (the fixed
// fields plus the identifier, rounded up to 4).
inline constexpr uint32_t IdentifierDescriptorSize(size_t identifier_bytes) {
  return static_cast<uint32_t>(ecma167::fid::PaddedLength(0, identifier_bytes));
}
// Bytes of the compressed identifier of a name (without cutting; at most 1 + 2 * units).
size_t IdentifierBytes(std::u16string_view name);

// One file entry (ECMA-167 4/14.9, or 4/14.17 when extended).
struct FileEntryFields {
  uint16_t revision = kRevision102;
  uint32_t block = 0;  // tag location
  uint8_t file_type = ecma167::icb::kTypeFile;
  bool extended = false;        // Extended File Entry, no extended attributes
  bool with_attributes = true;  // the 132 bytes of extended attributes
  bool long_ads = false;        // long allocation descriptors (partition reference 0)
  bool embedded = false;        // data in the entry (no descriptors, no data)
  uint32_t permissions = kFilePermissions;
  uint16_t link_count = 1;
  uint64_t information_length = 0;
  uint64_t unique_id = 0;
  Timestamp time;
  // The extents (partition-relative block, bytes); each is split into pieces of kMaxExtentBytes.
  struct Extent {
    uint32_t block;
    uint64_t bytes;
  };
  const Extent* extents = nullptr;
  size_t extent_count = 0;
};
// Number of allocation descriptors the extents need.
size_t DescriptorCount(const FileEntryFields::Extent* extents, size_t count);
// Largest number of descriptors one entry block holds.
size_t MaxDescriptors(bool long_ads);
// Writes the entry into a zeroed block. The descriptors must fit (MaxDescriptors).
void PutFileEntry(uint8_t* p, const FileEntryFields& fields);

class UdfTree {
 public:
  UdfTree(std::vector<UdfNode> nodes, uint16_t revision);

  // The nodes, for the file positions once they are known (before Layout and Write).
  std::vector<UdfNode>& nodes() { return nodes_; }

  // False when a file needs more allocation descriptors than one entry holds.
  bool FitsInEntries() const;
  // U: bytes of the file entry area (whole blocks).
  uint64_t AreaBytes() const;
  // Gives every entry and identifier area its block, from first_block on.
  void Layout(uint32_t first_block);
  uint32_t root_block() const { return root_place_.entry_block; }
  uint32_t file_count() const { return files_; }
  uint32_t directory_count() const { return folders_ + 1; }

  // Numbers the entries in the order they are written: 16, 17, ... for 1.02; for 2.50 from
  // UniqueIdCounter, which moves on by the number of entries. next_unique_id() then gives the ID
  // after the last one used. Needs Layout.
  void AssignUniqueIds();
  uint64_t next_unique_id() const { return next_unique_id_; }

  // Receives the next count whole blocks of the area; returns 0 or a code that ends the write.
  using AreaSink = std::function<uint32_t(const uint8_t* blocks, size_t count)>;
  static constexpr size_t kDefaultWindowBlocks = 512;
  // Produces the area (AreaBytes / 2048 blocks) in order into sink, holding at most
  // window_blocks (at least 2) in memory. Needs AssignUniqueIds. Returns 0 or the sink's code.
  uint32_t WriteArea(const Timestamp& volume_time, const AreaSink& sink,
                     size_t window_blocks = kDefaultWindowBlocks) const;
  // AssignUniqueIds, then the whole area into memory (AreaBytes, zeroed by the caller).
  void Write(uint8_t* area, const Timestamp& volume_time);

 private:
  // Where an entry's file entry goes and the unique ID it carries: one per entry.
  struct Place {
    uint32_t entry_block = 0;
    uint32_t unique_id = 0;
  };
  // A folder's children and identifier area: one per folder, in level order, so that a folder's
  // is found by its node index with a binary search.
  struct Area {
    uint32_t node = kNoParent;
    uint32_t first_child = 0;
    uint32_t child_count = 0;
    uint32_t subfolders = 0;
    uint32_t identifier_bytes = 0;  // the identifier area
    uint32_t identifier_block = 0;
  };
  class Window;
  Place& PlaceOf(uint32_t node) { return node == kNoParent ? root_place_ : places_[node]; }
  const Place& PlaceOf(uint32_t node) const {
    return node == kNoParent ? root_place_ : places_[node];
  }
  // The area of a folder node (kNoParent: the root's).
  Area& AreaOf(uint32_t folder);
  const Area& AreaOf(uint32_t folder) const { return const_cast<UdfTree*>(this)->AreaOf(folder); }
  // The entries in the order their file entries are written (depth first), root excluded.
  std::vector<uint32_t> DepthFirst() const;
  bool WriteEntry(Window& window, uint32_t index, const IsoTimeConverter& local_time) const;
  bool WriteIdentifiers(Window& window, uint32_t parent) const;

  std::vector<UdfNode> nodes_;
  std::vector<Place> places_;  // by node
  std::vector<Area> areas_;    // by node index
  Place root_place_;
  Area root_area_;
  uint16_t revision_;
  std::vector<uint32_t> order_;  // DepthFirst, kept by Layout
  uint32_t first_block_ = 0;
  uint32_t files_ = 0;
  uint32_t folders_ = 0;
  uint64_t next_unique_id_ = 0;
};

}  // namespace quillden::fs::udf

#endif  // QUILLDEN_FILESYSTEMS_UDF_UDF_TREE_H_
