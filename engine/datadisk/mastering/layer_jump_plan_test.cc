#include "datadisk/mastering/layer_jump_plan.h"

#include <gtest/gtest.h>

#include <memory>
#include <memory_resource>

#include "datadisk/mastering/session_layout.h"
#include "datadisk/mastering/test_util.h"
#include "quillden/datadisk.h"
#include "quillden/result.h"
#include "util/byte_order.h"

namespace quillden::mastering {
namespace {

class LayerJumpPlanTest : public ::testing::Test {
 protected:
  DatadiskEntry* File(uint32_t location, uint64_t bytes, uint32_t attributes = 0) {
    entries_.push_back(std::make_unique<DatadiskEntry>());
    DatadiskEntry* e = entries_.back().get();
    e->file_attributes = attributes;
    e->location = location;
    e->length = bytes;
    order_.push_back(e);
    return e;
  }
  std::vector<std::unique_ptr<DatadiskEntry>> entries_;
  std::vector<DatadiskEntry*> order_;
};

TEST(LayerJumpMapTest, PlacesAndFindsBlocksOnBothSides) {
  const LayerJumpMap map(99, 5000);
  EXPECT_TRUE(map.jumps());
  EXPECT_EQ(map.Place(0), 0u);
  EXPECT_EQ(map.Place(99), 99u);
  EXPECT_EQ(map.Place(100), 5000u);
  EXPECT_EQ(map.Place(150), 5050u);
  uint64_t linear = 0;
  ASSERT_TRUE(map.Linear(5050, &linear));
  EXPECT_EQ(linear, 150u);
  ASSERT_TRUE(map.Linear(99, &linear));
  EXPECT_EQ(linear, 99u);
  EXPECT_FALSE(map.Linear(100, &linear));   // skipped over on layer 0
  EXPECT_FALSE(map.Linear(4999, &linear));  // below the target on layer 1
  EXPECT_TRUE(map.Splits(99, 2));
  EXPECT_FALSE(map.Splits(98, 2));
  EXPECT_FALSE(map.Splits(100, 10));
  EXPECT_FALSE(map.Splits(99, 1));
  EXPECT_FALSE(LayerJumpMap(99, 100).jumps());
}

TEST_F(LayerJumpPlanTest, FileAcrossTheJumpIsSplitAndLaterFilesFollowTheTarget) {
  DatadiskEntry* folder = File(20, 2048, FILE_ATTRIBUTE_DIRECTORY);
  DatadiskEntry* before = File(300, 10 * 2048);
  DatadiskEntry* crossing = File(310, 25 * 2048 + 7);  // blocks 310 to 335
  DatadiskEntry* empty = File(336, 0);
  DatadiskEntry* after = File(336, 4096);
  const LayerJumpMap map(319, 9000);
  LayerJumpPlan plan;
  ASSERT_EQ(ReplanAroundLayerJump(map, 0, 300, 339, order_, &plan), 0u);

  EXPECT_EQ(folder->location, 20u);
  EXPECT_EQ(before->location, 300u);
  EXPECT_EQ(before->second_length, 0u);
  // Ten blocks in place up to the jump address, the rest (with the partial block) from the target.
  EXPECT_EQ(crossing->location, 310u);
  EXPECT_EQ(crossing->length, 10u * 2048);
  EXPECT_EQ(crossing->second_location, 9000u);
  EXPECT_EQ(crossing->second_length, 15u * 2048 + 7);
  EXPECT_EQ(empty->location, 9016u);
  EXPECT_EQ(after->location, 9016u);
  EXPECT_EQ(after->length, 4096u);
  EXPECT_EQ(plan.split, crossing);
  EXPECT_EQ(plan.moved_files, 3u);
  EXPECT_EQ(plan.placed_end, 9019u);
}

TEST_F(LayerJumpPlanTest, FileEndingAtTheJumpStaysWhole) {
  DatadiskEntry* ends = File(300, 20 * 2048);  // 300 to 319
  DatadiskEntry* next = File(320, 1);
  LayerJumpPlan plan;
  ASSERT_EQ(ReplanAroundLayerJump(LayerJumpMap(319, 7000), 0, 300, 321, order_, &plan), 0u);
  EXPECT_EQ(ends->location, 300u);
  EXPECT_EQ(ends->length, 20u * 2048);
  EXPECT_EQ(ends->second_length, 0u);
  EXPECT_EQ(next->location, 7000u);
  EXPECT_EQ(plan.split, nullptr);
}

TEST_F(LayerJumpPlanTest, SessionBeforeTheJumpOrWithoutOneIsLeftAlone) {
  DatadiskEntry* a = File(300, 5 * 2048);
  LayerJumpPlan plan;
  ASSERT_EQ(ReplanAroundLayerJump(LayerJumpMap(1000, 5000), 0, 300, 305, order_, &plan), 0u);
  EXPECT_EQ(a->location, 300u);
  EXPECT_EQ(plan.moved_files, 0u);
  EXPECT_EQ(plan.placed_end, 305u);
  // A track the drive keeps in one piece: nothing moves, whatever crosses the "jump".
  ASSERT_EQ(ReplanAroundLayerJump(LayerJumpMap(301, 302), 0, 300, 305, order_, &plan), 0u);
  EXPECT_EQ(a->location, 300u);
  EXPECT_EQ(a->second_length, 0u);
}

TEST_F(LayerJumpPlanTest, StructuresBootImageAndImportedContentsMustPrecedeTheJump) {
  DatadiskEntry* file = File(400, 50 * 2048);
  LayerJumpPlan plan;
  // The structures run past the jump address: refused, nothing moved.
  EXPECT_EQ(ReplanAroundLayerJump(LayerJumpMap(350, 8000), 0, 360, 450, order_, &plan),
            QD_E_INVALID_SETTING);
  EXPECT_EQ(file->location, 400u);

  // A boot image crossing the jump (listed after the file): refused before the file moves.
  File(420, 40 * 2048, DDF_ATTR_BOOT_IMAGE);
  EXPECT_EQ(ReplanAroundLayerJump(LayerJumpMap(430, 8000), 0, 400, 470, order_, &plan),
            QD_E_INVALID_SETTING);
  EXPECT_EQ(file->location, 400u);
  EXPECT_EQ(file->second_length, 0u);
  order_.pop_back();

  // Imported contents of an earlier session lie before this session's start: allowed.
  DatadiskEntry* old = File(100, 90000 * 2048, DDF_ATTR_IMPORTED);
  ASSERT_EQ(ReplanAroundLayerJump(LayerJumpMap(430, 8000), 200, 400, 450, order_, &plan), 0u);
  EXPECT_EQ(old->location, 100u);
  EXPECT_EQ(file->second_location, 8000u);
}

TEST_F(LayerJumpPlanTest, PositionsBeyondThirtyTwoBitsAreRefused) {
  DatadiskEntry* file = File(300, 100 * 2048);
  LayerJumpPlan plan;
  EXPECT_EQ(ReplanAroundLayerJump(LayerJumpMap(310, 0xFFFFFFF0u), 0, 300, 400, order_, &plan),
            QD_E_INVALID_SETTING);
  EXPECT_EQ(file->location, 300u);
  EXPECT_EQ(file->second_length, 0u);
}

// The UDF structures of a session re-planned around a jump: the closing anchor names the block it
// is recorded at and the partition reaches it; a selection with ISO 9660 cannot follow the files.
TEST(LayerJumpLayoutTest, UdfStructuresFollowTheJump) {
  testing::ScratchFolder folder;
  testing::DiscHolder disc;
  ASSERT_NE(disc.Add(folder.Write("a.bin", std::string(40 * 2048 + 5, 'a'))), INVALID_HANDLE_VALUE);
  ASSERT_NE(disc.Add(folder.Write("b.bin", std::string(3 * 2048, 'b'))), INVALID_HANDLE_VALUE);
  std::shared_ptr<Datadisk> d = Datadisk::FromHandle(disc.get());
  for (const uint32_t selection : {kFsUdf102, kFsIso9660 | kFsJoliet | kFsUdf102}) {
    SCOPED_TRACE(selection);
    LayoutRequest request;
    request.file_system = selection;
    SessionLayout layout;
    layout.SetMedia(0x16, 2);
    ASSERT_EQ(layout.Plan(*d, request), QD_OK);
    const uint32_t files = layout.first_file_block();
    const LayerJumpMap map(files + 9, 900000);  // the jump falls inside the first file
    LayerJumpPlan plan;
    ASSERT_EQ(ReplanAroundLayerJump(map, 0, files, layout.end(), layout.level_order(), &plan),
              QD_OK);
    ASSERT_NE(plan.split, nullptr);
    if (selection != kFsUdf102) {
      EXPECT_EQ(layout.ApplyLayerJump(map), QD_E_INVALID_SETTING);
      continue;
    }
    ASSERT_EQ(layout.ApplyLayerJump(map), QD_OK);
    layout.Build(*d, fs::IsoTime{}, false);
    const uint64_t anchor = map.Place(layout.end() - 1);
    const std::vector<uint8_t> tail =
        testing::CollectBlocks([&](const BlockSink& sink) { return layout.WriteTail(sink); });
    ASSERT_EQ(tail.size(), 2048u);
    EXPECT_EQ(GetLe16(tail.data()), 2);  // anchor volume descriptor pointer
    EXPECT_EQ(GetLe32(tail.data() + 12), anchor);
    // The partition descriptor of the main sequence (ECMA-167 3/10.5): length at byte 192.
    bool found = false;
    for (uint32_t block = 32; block < 48 && !found; ++block) {
      const uint8_t* p = layout.header().data() + size_t{block} * 2048;
      if (GetLe16(p) != 5) continue;
      found = true;
      EXPECT_EQ(GetLe32(p + 188), 257u);
      EXPECT_EQ(GetLe32(p + 192), anchor - 257);
    }
    EXPECT_TRUE(found);
  }
}

}  // namespace
}  // namespace quillden::mastering
