// The one guard of every walk through the folders of a disc, whoever walks them (the import, the
// volume exports on behalf of a caller that lists folder after folder): a folder is entered once,
// so a folder that names one of its ancestors (or a folder reachable on two paths) ends the walk
// with 0x08000038 instead of leading it round for ever; no walk goes deeper than a disc path can;
// and the reads of a walk count against the block source's allowance, renewed once when the walk
// starts.
#ifndef QUILLDEN_FILESYSTEMS_READER_FOLDER_WALK_H_
#define QUILLDEN_FILESYSTEMS_READER_FOLDER_WALK_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

#include "filesystems/reader/block_source.h"
#include "filesystems/reader/disc_item.h"

namespace quillden::reader {

// Folders below the root on the longest path a walk follows. A disc path of this engine has at
// most 256 characters, so at most 128 levels; a disc made elsewhere may nest deeper, but not this
// much without being damaged.
inline constexpr uint32_t kMaxFolderDepth = 256;

class FolderWalk {
 public:
  // Starts a walk over source; the source's read allowance is renewed here, once for the walk.
  explicit FolderWalk(BlockSource* source);

  FolderWalk(const FolderWalk&) = delete;
  FolderWalk& operator=(const FolderWalk&) = delete;

  // Enters the folder whose structures start at block (the directory's first block for ISO 9660
  // and Joliet, the file entry's block for UDF) at depth (the root is 0). 0, or 0x08000038 when
  // the folder was entered before or lies too deep.
  uint32_t Enter(uint32_t block, uint32_t depth);

  // As Enter, for walks that may come back to a folder by the same path (a caller that lists a
  // folder twice): entering it again by the path it was first entered by is allowed, by any other
  // path it is a loop.
  uint32_t EnterAt(uint32_t block, uint32_t depth, std::u16string_view path);

  // Renews the read allowance (a walk driven by a caller, one call at a time, gives each call its
  // own; the folders entered stay entered).
  void RenewReadAllowance() { source_->ResetBudget(); }

  size_t folders_entered() const { return entered_.size(); }

 private:
  BlockSource* source_;
  // Folder block to the path it was entered by; Enter leaves the path empty and never allows a
  // second visit.
  struct Visit {
    std::u16string path;
    bool revisitable = false;
  };
  std::unordered_map<uint32_t, Visit> entered_;
};

// The block that identifies a folder item of a view for FolderWalk; false when it has none.
bool FolderBlock(bool udf, const DiscItem& folder, uint32_t* block);

}  // namespace quillden::reader

#endif  // QUILLDEN_FILESYSTEMS_READER_FOLDER_WALK_H_
