// The ISO 9660 and Joliet view of a data disc tree: short names, folder numbers, path tables and
// directories.
//
// The tree arrives as its level order list: every entry of level 2 (the root's entries), then every
// entry of level 3, and so on, each level in tree order, so the children of one folder stand
// together. Joliet uses that list as it is. ISO 9660 uses a sorted copy in which each level is
// ordered by the parent's folder number and then the ISO name; folder numbers are given while
// sorting (root 1, then 2, 3, ... level by level). Directories are laid out root first, then one
// per folder in list order, each on a block boundary; a record never straddles a block.
//
// Use: construct, AssignIsoNames, SortForIso, size both views, Relocate both once the first block
// of each directory area is known, then write. StreamDirectories produces a directory area in
// block order through a window of a few dozen blocks (or the largest directory), so the records
// of a large tree are never held at once. Not thread-safe; one object per layout.
#ifndef QUILLDEN_FILESYSTEMS_ISO_JOLIET_TREE_H_
#define QUILLDEN_FILESYSTEMS_ISO_JOLIET_TREE_H_

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "filesystems/ansi_code_page.h"
#include "filesystems/iso_time.h"

namespace quillden::fs {

inline constexpr uint32_t kParentIsRoot = 0xFFFFFFFFu;

// An ISO name held in its entry: 8.3 gives at most 12 code page bytes.
class IsoName {
 public:
  static constexpr size_t kMaxBytes = 12;
  IsoName() = default;
  explicit IsoName(std::string_view bytes) : size_(static_cast<uint8_t>(bytes.size())) {
    if (size_ > kMaxBytes) size_ = kMaxBytes;
    bytes.copy(bytes_, size_);
  }
  operator std::string_view() const { return std::string_view(bytes_, size_); }
  size_t size() const { return size_; }
  friend bool operator==(const IsoName& a, std::string_view b) { return std::string_view(a) == b; }

 private:
  char bytes_[kMaxBytes] = {};
  uint8_t size_ = 0;
};

// One entry of the level order list. Its fields are packed: a layout holds one per entry of the
// tree.
struct FsEntry {
  // Given by the caller.
  std::u16string_view name;         // the entry name (must outlive the tree): the Joliet identifier
  uint64_t size = 0;                // files
  uint64_t last_write_time = 0;     // 100-ns units since 1601, UTC
  uint32_t parent = kParentIsRoot;  // index of the parent in the level order list
  uint32_t location = 0;            // files: first block of the content (set by the caller)
  uint16_t level = 2;
  bool is_folder = false;

  // Given by the planner.
  IsoName iso_name;  // code page bytes
  uint16_t iso_directory_number = 0;
  uint32_t iso_directory_block = 0;   // folders: relative until Relocate
  uint32_t iso_directory_length = 0;  // unrounded
  uint32_t joliet_directory_block = 0;
  uint32_t joliet_directory_length = 0;
};

enum class View { kIso9660, kJoliet };

class IsoJolietTree {
 public:
  // entries: the level order list; their parents must come before them.
  IsoJolietTree(std::vector<FsEntry> entries, const AnsiCodePage& code_page, bool file_version);

  std::vector<FsEntry>& entries() { return entries_; }
  const std::vector<FsEntry>& entries() const { return entries_; }

  // Derives every ISO name, unique within its folder.
  void AssignIsoNames();
  // Builds the sorted list and numbers the folders. False when the folders cannot be numbered in
  // the 16 bits of a path table record.
  bool SortForIso();
  const std::vector<uint32_t>& sorted() const { return sorted_; }

  // Bytes of one path table of the view.
  uint32_t PathTableSize(View view) const;
  // Lays the directories of the view out from block 0 of its area and returns the area's size in
  // bytes (whole blocks).
  uint64_t SizeDirectories(View view);
  // Turns the directory blocks of the view into absolute blocks.
  void Relocate(View view, uint32_t first_block);

  uint32_t RootBlock(View view) const;
  uint32_t RootLength(View view) const;  // unrounded

  // Fills both tables (each buffer holds PathTableSize bytes).
  void WritePathTables(View view, uint8_t* l_table, uint8_t* m_table) const;
  // Fills the directory area (SizeDirectories bytes, zeroed by the caller); its first block is the
  // block given to Relocate.
  void WriteDirectories(View view, uint8_t* area, const IsoTime& volume_time,
                        bool file_dates) const;
  // Receives the next count whole blocks of a directory area; returns 0 or a code that ends the
  // write.
  using AreaSink = std::function<uint32_t(const uint8_t* blocks, size_t count)>;
  static constexpr size_t kDefaultWindowBlocks = 64;
  // Produces the directory area of the view (SizeDirectories bytes) in order into sink, holding
  // window_blocks, or the largest directory, at once. Returns 0 or the sink's code.
  uint32_t StreamDirectories(View view, const IsoTime& volume_time, bool file_dates,
                             const AreaSink& sink,
                             size_t window_blocks = kDefaultWindowBlocks) const;

 private:
  struct Folder {
    uint32_t block = 0;   // relative, then absolute
    uint32_t length = 0;  // unrounded
  };

  // Indices of the root's folder slot and of entry i's slot in the per-view folder tables.
  uint32_t RootSlot() const { return static_cast<uint32_t>(entries_.size()); }
  uint32_t SlotOf(uint32_t parent) const { return parent == kParentIsRoot ? RootSlot() : parent; }
  // Children of every folder slot in the view's order, all in one list.
  struct ChildLists {
    std::vector<uint32_t> start;  // slot s holds items[start[s]] up to items[start[s + 1]]
    std::vector<uint32_t> items;
  };
  ChildLists ChildrenInOrder(View view) const;
  // The directory of a folder slot into dir (its blocks, zeroed).
  void WriteDirectory(View view, uint32_t slot, const ChildLists& children, uint8_t* dir,
                      const IsoTime& volume_time, bool file_dates,
                      const IsoTimeConverter& local_time, std::string* identifier) const;
  // Folder order of the view (level order or sorted list, folders only).
  std::vector<uint32_t> FolderOrder(View view) const;
  // The identifier of entry in the view, into *id (reused between records).
  void Identifier(View view, const FsEntry& entry, std::string* id) const;
  size_t IdentifierLength(View view, const FsEntry& entry) const;
  uint32_t& DirBlock(View view, uint32_t slot);
  uint32_t& DirLength(View view, uint32_t slot);
  uint32_t DirBlock(View view, uint32_t slot) const;
  uint32_t DirLength(View view, uint32_t slot) const;

  std::vector<FsEntry> entries_;
  const AnsiCodePage& code_page_;
  bool file_version_;
  std::vector<uint32_t> sorted_;
  Folder iso_root_;
  Folder joliet_root_;
};

}  // namespace quillden::fs

#endif  // QUILLDEN_FILESYSTEMS_ISO_JOLIET_TREE_H_
