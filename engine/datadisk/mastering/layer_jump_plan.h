// Re-planning a data disc session around a layer jump.
//
// A track recorded on DVD-R DL media in layer jump mode is not contiguous: the recorder writes
// the stream's blocks in place up to the jump address (the last block of the track on layer 0),
// and the block after it at the jump target on layer 1, the rest following. The session was
// planned as one contiguous run of blocks (the stream order); once the recorder names the jump,
// the files behind it move: the file that crosses the jump address keeps its first piece up to
// that block and gets a second piece from the target, and every later file follows the second
// piece. Only file contents may lie behind the jump: the header, the structures and the boot
// image must be recorded before it, where the file system looks for them.
//
// The stream itself stays in plan order (the recorder does the jumping), so a caller streaming the
// session asks Linear() where in the stream a moved block goes.
//
// Plain values and functions; the entries passed in belong to the caller's thread.
#ifndef QUILLDEN_DATADISK_MASTERING_LAYER_JUMP_PLAN_H_
#define QUILLDEN_DATADISK_MASTERING_LAYER_JUMP_PLAN_H_

#include <cstdint>
#include <vector>

#include "datadisk/datadisk.h"

namespace quillden::mastering {

class LayerJumpMap {
 public:
  // jump_address: the last block recorded in place; target: where the block after it goes.
  // A target of jump_address + 1 is no jump at all.
  LayerJumpMap(uint32_t jump_address, uint32_t target) : jump_address_(jump_address), target_(target) {}

  uint32_t jump_address() const { return jump_address_; }
  uint32_t target() const { return target_; }
  bool jumps() const { return uint64_t{target_} != uint64_t{jump_address_} + 1; }

  // The block where the stream's block `linear` is recorded.
  uint64_t Place(uint64_t linear) const {
    return linear <= jump_address_ ? linear : uint64_t{target_} + (linear - jump_address_ - 1);
  }
  // The stream block recorded at `placed`; false for a block the track skips over.
  bool Linear(uint64_t placed, uint64_t* linear) const;
  // Whether the stream blocks [first, first + count) lie on both sides of the jump.
  bool Splits(uint64_t first, uint64_t count) const {
    return count > 1 && first <= jump_address_ && first + count - 1 > jump_address_;
  }

 private:
  uint32_t jump_address_;
  uint32_t target_;
};

struct LayerJumpPlan {
  uint32_t moved_files = 0;   // files placed behind the jump (the split one included)
  DatadiskEntry* split = nullptr;  // the file recorded in two pieces, or null
  uint64_t placed_end = 0;    // the block after the session's last block, as recorded
};

// Re-plans the files of a session laid out contiguously (as the stream writes it), whose blocks
// from session_start to session_end (exclusive) go through map. Files without the engine bits get
// their recorded positions: location, and for the split file the second location and both lengths.
// Folders, the boot image and imported entries keep theirs; they, and the structures that end at
// structures_end (exclusive), must lie before the jump.
// Returns 0 with *plan filled; 0x08000036 when a structure, the boot image or an imported entry
// would cross or follow the jump, or a moved position does not fit 32 bits (nothing changed then).
uint32_t ReplanAroundLayerJump(const LayerJumpMap& map, uint32_t session_start, uint64_t structures_end,
                               uint64_t session_end, const std::vector<DatadiskEntry*>& level_order,
                               LayerJumpPlan* plan);

}  // namespace quillden::mastering

#endif  // QUILLDEN_DATADISK_MASTERING_LAYER_JUMP_PLAN_H_
