#include "filesystems/udf/udf_tree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "util/byte_order.h"

namespace quillden::fs::udf {
namespace {

constexpr size_t kBlock = 2048;

bool DescriptorValid(const uint8_t* p) {
  uint8_t sum = 0;
  for (int i = 0; i < 16; ++i) {
    if (i != 4) sum = static_cast<uint8_t>(sum + p[i]);
  }
  return sum == p[4] && ecma167::DescriptorCrc(p + 16, GetLe16(p + 10)) == GetLe16(p + 8);
}

UdfNode File(std::u16string_view name, uint32_t parent, uint64_t length, uint32_t location = 0) {
  UdfNode node;
  node.name = name;
  node.parent = parent;
  node.length = length;
  node.location = location;
  return node;
}

UdfNode Folder(std::u16string_view name, uint32_t parent) {
  UdfNode node;
  node.name = name;
  node.parent = parent;
  node.is_folder = true;
  return node;
}

TEST(UdfFileEntryTest, EmptyFileKeepsItsDataInTheEntry) {
  std::vector<uint8_t> block(kBlock, 0);
  FileEntryFields f;
  f.block = 9;
  f.embedded = true;
  PutFileEntry(block.data(), f);
  const uint8_t* p = block.data();
  EXPECT_EQ(GetLe16(p), kTagFileEntry);
  EXPECT_EQ(GetLe16(p + 16 + 18), 3);
  EXPECT_EQ(GetLe32(p + 172), 0u);
  EXPECT_EQ(GetLe32(p + 168), 132u);
  EXPECT_EQ(GetLe16(p + 10), 292);
  EXPECT_TRUE(DescriptorValid(p));
  // The attribute header and both attributes with their checksums.
  EXPECT_EQ(GetLe16(p + 176), kTagExtendedAttributeHeader);
  EXPECT_EQ(GetLe32(p + 176 + 12), 9u);
  EXPECT_TRUE(DescriptorValid(p + 176));
  EXPECT_EQ(GetLe32(p + 176 + 20), 132u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(p + 200 + 17), 16), "*UDF FreeEASpace");
  EXPECT_EQ(GetLe32(p + 252 + 8), 56u);
  uint16_t sum = 0;
  for (int i = 0; i < 48; ++i) sum = static_cast<uint16_t>(sum + p[252 + i]);
  EXPECT_EQ(GetLe16(p + 252 + 48), sum);
}

TEST(UdfFileEntryTest, LargeFileIsSplitIntoPieces) {
  std::vector<uint8_t> block(kBlock, 0);
  FileEntryFields::Extent extent{100, (2ull << 30) + 1};
  FileEntryFields f;
  f.information_length = extent.bytes;
  f.extents = &extent;
  f.extent_count = 1;
  PutFileEntry(block.data(), f);
  const uint8_t* p = block.data();
  // 0x3FFFF800 twice and the rest: a second piece of over 0x3FFFFFFF bytes would not fit the
  // 30-bit length of a descriptor.
  EXPECT_EQ(GetLe32(p + 172), 24u);
  EXPECT_EQ(GetLe16(p + 10), 292 + 24);
  EXPECT_EQ(GetLe32(p + 308), 0x3FFFF800u);
  EXPECT_EQ(GetLe32(p + 312), 100u);
  EXPECT_EQ(GetLe32(p + 316), 0x3FFFF800u);
  EXPECT_EQ(GetLe32(p + 320), 100u + 0x7FFFF);
  EXPECT_EQ(GetLe32(p + 324), 0x1001u);
  EXPECT_EQ(GetLe32(p + 328), 100u + 2 * 0x7FFFF);
  EXPECT_EQ(GetLe64(p + 64), ((2ull << 30) + 2048) / 2048);
  EXPECT_TRUE(DescriptorValid(p));

  // 2.50 files use long descriptors in the physical partition.
  f.revision = kRevision250;
  f.long_ads = true;
  std::fill(block.begin(), block.end(), 0);
  PutFileEntry(block.data(), f);
  EXPECT_EQ(GetLe16(p + 2), 3);
  EXPECT_EQ(GetLe16(p + 16 + 18), 1);
  EXPECT_EQ(GetLe32(p + 172), 48u);
  EXPECT_EQ(GetLe32(p + 176 + 20), 0xFFFFFFFFu);
  EXPECT_EQ(GetLe32(p + 308 + 16 + 4), 100u + 0x7FFFF);
  EXPECT_TRUE(DescriptorValid(p));

  FileEntryFields::Extent huge{0, 300ull << 30};
  EXPECT_GT(DescriptorCount(&huge, 1), MaxDescriptors(false));
}

TEST(UdfTreeTest, AreaSizeAndDepthFirstLayout) {
  // root: a (folder) with x.txt, b.txt; a.txt at the root after it in tree order.
  std::vector<UdfNode> nodes = {Folder(u"a", kNoParent), File(u"b.txt", kNoParent, 1, 40),
                                File(u"x.txt", 0, 0, 41)};
  UdfTree tree(nodes, kRevision102);
  // Root: identifiers 1 block + entry; three entries; folder a's identifiers 1 block.
  EXPECT_EQ(tree.AreaBytes(), 6 * kBlock);
  EXPECT_EQ(tree.file_count(), 2u);
  EXPECT_EQ(tree.directory_count(), 2u);
  tree.Layout(2);
  std::vector<uint8_t> area(tree.AreaBytes(), 0);
  tree.Write(area.data(), Timestamp{});
  auto block = [&](uint32_t b) { return area.data() + (b - 2) * kBlock; };
  // 2 root entry, 3 root identifiers, 4 a's entry, 5 a's identifiers, 6 x.txt, 7 b.txt.
  EXPECT_EQ(GetLe16(block(2) + 16 + 11), 4);
  EXPECT_EQ(GetLe16(block(2) + 48), 2);  // link count: one subfolder
  EXPECT_EQ(GetLe64(block(2) + 160), 0u);
  EXPECT_EQ(GetLe32(block(4) + 12), 4u);
  EXPECT_EQ(GetLe64(block(4) + 160), 16u);
  EXPECT_EQ(GetLe64(block(6) + 160), 17u);
  EXPECT_EQ(GetLe16(block(6) + 16 + 18), 3);  // x.txt is empty
  EXPECT_EQ(GetLe64(block(7) + 160), 18u);
  EXPECT_EQ(GetLe32(block(7) + 312), 40u);
  const uint8_t* root_ids = block(3);
  EXPECT_EQ(root_ids[18], 0x0A);
  EXPECT_EQ(GetLe32(root_ids + 24), 2u);  // the root's parent is itself
  const uint8_t* a_id = root_ids + 40;
  EXPECT_EQ(a_id[18], 0x02);
  EXPECT_EQ(a_id[19], 2);
  EXPECT_EQ(GetLe32(a_id + 24), 4u);
  EXPECT_TRUE(DescriptorValid(a_id));
  const uint8_t* b_id = a_id + 40;
  EXPECT_EQ(GetLe32(b_id + 24), 7u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(b_id + 38), 6), "\x08" "b.txt");
  EXPECT_EQ(GetLe32(block(5) + 24), 2u);  // a's parent entry is the root
}

TEST(UdfTreeTest, IdentifierCrossingABlockCarriesItsStartBlock) {
  std::vector<std::u16string> names;
  for (int i = 0; i < 60; ++i) names.push_back(u"file_" + std::u16string(1, u'A' + i / 26) +
                                                 std::u16string(1, u'a' + i % 26) + u".txt");
  std::vector<UdfNode> nodes = {Folder(u"many", kNoParent)};
  for (const auto& name : names) nodes.push_back(File(name, 0, 5, 300));
  UdfTree tree(nodes, kRevision250);
  // 40 + 60 x 52 = 3160 bytes: two blocks for the folder's identifiers.
  EXPECT_EQ(tree.AreaBytes(), (1 + 1 + 1 + 2 + 60) * kBlock);
  tree.Layout(2);
  std::vector<uint8_t> area(tree.AreaBytes(), 0);
  uint32_t before = UniqueIdCounter().load();
  tree.Write(area.data(), Timestamp{});
  EXPECT_EQ(tree.next_unique_id(), before + 61u);
  const uint8_t* ids = area.data() + 3 * kBlock;  // blocks 5 and 6
  uint32_t offset = 40;
  int crossing = 0;
  for (int i = 0; i < 60; ++i) {
    const uint8_t* fid = ids + offset;
    ASSERT_EQ(GetLe16(fid), kTagFileIdentifier);
    EXPECT_TRUE(DescriptorValid(fid));
    EXPECT_EQ(GetLe32(fid + 12), 5u + offset / kBlock);
    if (offset / kBlock != (offset + 51) / kBlock) ++crossing;
    EXPECT_EQ(GetLe16(fid + 28), 1);  // metadata partition
    // The identifier's unique ID is the one its entry records.
    uint32_t entry = GetLe32(fid + 24);
    EXPECT_EQ(GetLe64(area.data() + (entry - 2) * kBlock + 160), GetLe32(fid + 32));
    offset += 52;
  }
  EXPECT_EQ(crossing, 1);
}

// The area comes out the same through a window of any size: entries, identifier areas that span
// several blocks and descriptors that cross a block boundary at the window's edge.
TEST(UdfTreeTest, WindowSizeDoesNotChangeTheArea) {
  std::vector<std::u16string> names;
  for (int i = 0; i < 300; ++i) names.push_back(u"entry_" + std::u16string(3, u'a' + i % 26) + u"_" +
                                                  std::u16string(1, u'A' + i / 26) + u"\u00e9");
  std::vector<UdfNode> nodes = {Folder(u"big", kNoParent), Folder(u"small", kNoParent)};
  for (size_t i = 0; i < names.size(); ++i) {
    nodes.push_back(i % 10 == 0 ? Folder(names[i], 0) : File(names[i], 0, 7, 100 + i));
  }
  nodes.push_back(File(u"x", 1, 2049, 90));
  for (uint16_t revision : {kRevision102, kRevision250}) {
    UdfTree tree(nodes, revision);
    tree.Layout(2);
    tree.AssignUniqueIds();
    const size_t blocks = tree.AreaBytes() / kBlock;
    std::vector<std::vector<uint8_t>> areas;
    for (size_t window : {size_t{2}, size_t{3}, size_t{7}, blocks, size_t{512}}) {
      std::vector<uint8_t> area;
      size_t largest = 0;
      uint32_t result = tree.WriteArea(Timestamp{}, [&](const uint8_t* p, size_t count) -> uint32_t {
        area.insert(area.end(), p, p + count * kBlock);
        largest = std::max(largest, count);
        return 0;
      }, window);
      EXPECT_EQ(result, 0u);
      EXPECT_LE(largest, window);
      ASSERT_EQ(area.size(), blocks * kBlock) << window;
      areas.push_back(std::move(area));
    }
    for (size_t k = 1; k < areas.size(); ++k) EXPECT_TRUE(areas[k] == areas[0]) << k;
    // Every descriptor of the big folder's identifier area is whole and names its start block.
    const uint8_t* ids = areas[0].data() + 1 * kBlock;  // root entry 2, root ids 3, big's entry 4
    const uint32_t big_ids = GetLe32(ids + 40 + 20 + 4) + 1;
    const uint8_t* p = areas[0].data() + (big_ids - 2) * kBlock;
    uint32_t offset = 0;
    for (int i = 0; i <= 300; ++i) {
      const uint8_t* fid = p + offset;
      ASSERT_EQ(GetLe16(fid), kTagFileIdentifier) << i;
      EXPECT_TRUE(DescriptorValid(fid)) << i;
      EXPECT_EQ(GetLe32(fid + 12), big_ids + offset / kBlock) << i;
      offset += IdentifierDescriptorSize(fid[19]);
    }
  }
}

// A failing sink ends the area at once with its code.
TEST(UdfTreeTest, SinkFailureStopsTheArea) {
  std::vector<UdfNode> nodes;
  for (int i = 0; i < 40; ++i) nodes.push_back(Folder(u"f", kNoParent));
  UdfTree tree(nodes, kRevision102);
  tree.Layout(0);
  tree.AssignUniqueIds();
  int calls = 0;
  uint32_t result = tree.WriteArea(Timestamp{}, [&](const uint8_t*, size_t) -> uint32_t {
    return ++calls == 2 ? 0x0800001Fu : 0u;
  }, 4);
  EXPECT_EQ(result, 0x0800001Fu);
  EXPECT_EQ(calls, 2);
}

}  // namespace
}  // namespace quillden::fs::udf
