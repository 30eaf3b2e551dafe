#include "filesystems/reader/folder_walk.h"

#include "quillden/result.h"

namespace quillden::reader {

FolderWalk::FolderWalk(BlockSource* source) : source_(source) {
  source_->ResetBudget();
}

uint32_t FolderWalk::Enter(uint32_t block, uint32_t depth) {
  if (depth > kMaxFolderDepth) return QD_E_UNKNOWN_FILE_SYSTEM;
  if (!entered_.emplace(block, Visit{}).second) return QD_E_UNKNOWN_FILE_SYSTEM;
  return QD_OK;
}

uint32_t FolderWalk::EnterAt(uint32_t block, uint32_t depth, std::u16string_view path) {
  if (depth > kMaxFolderDepth) return QD_E_UNKNOWN_FILE_SYSTEM;
  auto [visit, added] = entered_.try_emplace(block);
  if (added) {
    visit->second.path.assign(path);
    visit->second.revisitable = true;
    return QD_OK;
  }
  // Paths are compared exactly: folders whose names differ in case alone are different folders.
  return visit->second.revisitable && visit->second.path == path ? QD_OK : QD_E_UNKNOWN_FILE_SYSTEM;
}

bool FolderBlock(bool udf, const DiscItem& folder, uint32_t* block) {
  if (udf) {
    *block = folder.icb_block;
    return true;
  }
  if (folder.extents.empty()) return false;
  *block = folder.extents[0].block;
  return true;
}

}  // namespace quillden::reader
