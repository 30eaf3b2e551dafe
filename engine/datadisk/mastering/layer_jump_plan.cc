#include "datadisk/mastering/layer_jump_plan.h"

#include "filesystems/iso9660_records.h"
#include "quillden/result.h"

namespace quillden::mastering {
namespace {

constexpr uint64_t kBlock = fs::kBlockSize;

uint64_t BlocksOf(uint64_t bytes) { return (bytes + kBlock - 1) / kBlock; }

struct NewPosition {
  DatadiskEntry* entry;
  uint64_t location;
  uint64_t length;
  uint64_t second_location;
  uint64_t second_length;
};

}  // namespace

bool LayerJumpMap::Linear(uint64_t placed, uint64_t* linear) const {
  if (placed <= jump_address_) {
    *linear = placed;
    return true;
  }
  if (placed < target_) return false;
  *linear = uint64_t{jump_address_} + 1 + (placed - target_);
  return true;
}

uint32_t ReplanAroundLayerJump(const LayerJumpMap& map, uint32_t session_start, uint64_t structures_end,
                               uint64_t session_end, const std::vector<DatadiskEntry*>& level_order,
                               LayerJumpPlan* plan) {
  *plan = LayerJumpPlan();
  // The descriptors, path tables, directories and UDF file entries are found by fixed or
  // recorded addresses that the stream already holds: they must not move.
  if (structures_end > uint64_t{map.jump_address()} + 1 && map.jumps()) return QD_E_INVALID_SETTING;

  // Work out every new position first, so that a refusal changes nothing.
  std::vector<NewPosition> moves;
  for (DatadiskEntry* entry : level_order) {
    if (entry->is_folder()) continue;
    const uint64_t first = entry->location;
    const uint64_t blocks = BlocksOf(entry->length);
    if (entry->is_engine_entry()) {
      // Imported contents lie in earlier sessions, before this track; the boot image is read by
      // the firmware as one run of blocks.
      const bool before = first < session_start || first + blocks <= uint64_t{map.jump_address()} + 1;
      if (!before && map.jumps()) return QD_E_INVALID_SETTING;
      continue;
    }
    if (!map.jumps() || first + blocks <= uint64_t{map.jump_address()} + 1 ||
        (blocks == 0 && first <= map.jump_address())) {
      continue;  // wholly in place
    }
    NewPosition move{entry, map.Place(first), entry->length, 0, 0};
    if (map.Splits(first, blocks)) {
      const uint64_t in_place = (uint64_t{map.jump_address()} + 1 - first) * kBlock;
      move.location = first;
      move.length = in_place;
      move.second_location = map.target();
      move.second_length = entry->length - in_place;
    }
    if (move.location > 0xFFFFFFFFu || move.second_location > 0xFFFFFFFFu) return QD_E_INVALID_SETTING;
    moves.push_back(move);
  }
  const uint64_t placed_end = session_end == 0 ? 0 : map.Place(session_end - 1) + 1;
  if (placed_end > 0x100000000ull) return QD_E_INVALID_SETTING;

  for (const NewPosition& move : moves) {
    move.entry->location = static_cast<uint32_t>(move.location);
    move.entry->length = move.length;
    move.entry->second_location = static_cast<uint32_t>(move.second_location);
    move.entry->second_length = move.second_length;
    if (move.second_length != 0) plan->split = move.entry;
  }
  plan->moved_files = static_cast<uint32_t>(moves.size());
  plan->placed_end = placed_end;
  return QD_OK;
}

}  // namespace quillden::mastering
