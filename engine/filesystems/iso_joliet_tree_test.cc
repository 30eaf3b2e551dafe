#include "filesystems/iso_joliet_tree.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "filesystems/iso9660_records.h"
#include "util/byte_order.h"

namespace quillden::fs {
namespace {

const AnsiCodePage& Cp1252() {
  static std::unique_ptr<AnsiCodePage> page = AnsiCodePage::Create("CP1252");
  return *page;
}

FsEntry File(std::u16string_view name, uint32_t parent, uint16_t level, uint64_t size,
             uint32_t location) {
  FsEntry e;
  e.name = name;
  e.parent = parent;
  e.level = level;
  e.size = size;
  e.location = location;
  return e;
}
FsEntry Folder(std::u16string_view name, uint32_t parent, uint16_t level) {
  FsEntry e = File(name, parent, level, 0, 0);
  e.is_folder = true;
  return e;
}

std::string Bytes(const uint8_t* p, size_t n) {
  return std::string(reinterpret_cast<const char*>(p), n);
}

TEST(IsoJolietTreeTest, OneFileSizes) {
  IsoJolietTree tree({File(u"a.txt", kParentIsRoot, 2, 1, 25)}, Cp1252(), true);
  tree.AssignIsoNames();
  ASSERT_TRUE(tree.SortForIso());
  EXPECT_EQ(std::string_view(tree.entries()[0].iso_name), "A.TXT");
  EXPECT_EQ(tree.PathTableSize(View::kIso9660), 10u);
  EXPECT_EQ(tree.PathTableSize(View::kJoliet), 10u);
  EXPECT_EQ(tree.SizeDirectories(View::kIso9660), 2048u);
  EXPECT_EQ(tree.RootLength(View::kIso9660), 68u + 40u);
  EXPECT_EQ(tree.SizeDirectories(View::kJoliet), 2048u);
  EXPECT_EQ(tree.RootLength(View::kJoliet), 68u + 48u);  // 33 + 10 + 4 = 47, padded

  IsoJolietTree plain({File(u"a.txt", kParentIsRoot, 2, 1, 25)}, Cp1252(), false);
  plain.AssignIsoNames();
  plain.SortForIso();
  plain.SizeDirectories(View::kIso9660);
  EXPECT_EQ(plain.RootLength(View::kIso9660), 68u + 38u);  // 33 + 5, no ";1"
}

// Level order: zeta/, alpha/, f.txt | zeta/z1/, alpha/a1/.
std::vector<FsEntry> TwoLevels() {
  return {Folder(u"zeta", kParentIsRoot, 2), Folder(u"alpha", kParentIsRoot, 2),
          File(u"f.txt", kParentIsRoot, 2, 3000, 40), Folder(u"z1", 0, 3), Folder(u"a1", 1, 3)};
}

TEST(IsoJolietTreeTest, SortedListAndFolderNumbers) {
  IsoJolietTree tree(TwoLevels(), Cp1252(), true);
  tree.AssignIsoNames();
  ASSERT_TRUE(tree.SortForIso());
  EXPECT_EQ(tree.sorted(), (std::vector<uint32_t>{1, 2, 0, 4, 3}));
  EXPECT_EQ(tree.entries()[1].iso_directory_number, 2);  // ALPHA
  EXPECT_EQ(tree.entries()[0].iso_directory_number, 3);  // ZETA
  EXPECT_EQ(tree.entries()[4].iso_directory_number, 4);  // A1 below ALPHA
  EXPECT_EQ(tree.entries()[3].iso_directory_number, 5);  // Z1 below ZETA
}

TEST(IsoJolietTreeTest, PathTablesFollowEachViewsOrder) {
  IsoJolietTree tree(TwoLevels(), Cp1252(), true);
  tree.AssignIsoNames();
  tree.SortForIso();
  uint64_t iso_area = tree.SizeDirectories(View::kIso9660);
  uint64_t joliet_area = tree.SizeDirectories(View::kJoliet);
  EXPECT_EQ(iso_area, 5u * 2048);
  EXPECT_EQ(joliet_area, 5u * 2048);
  tree.Relocate(View::kIso9660, 100);
  tree.Relocate(View::kJoliet, 200);
  EXPECT_EQ(tree.RootBlock(View::kIso9660), 100u);
  // ISO 9660 directories: root, ALPHA, ZETA, A1, Z1.
  EXPECT_EQ(tree.entries()[1].iso_directory_block, 101u);
  EXPECT_EQ(tree.entries()[0].iso_directory_block, 102u);
  EXPECT_EQ(tree.entries()[4].iso_directory_block, 103u);
  // Joliet directories: root, zeta, alpha, z1, a1.
  EXPECT_EQ(tree.entries()[0].joliet_directory_block, 201u);
  EXPECT_EQ(tree.entries()[4].joliet_directory_block, 204u);

  uint32_t size = tree.PathTableSize(View::kIso9660);
  EXPECT_EQ(size, 10u + 14 + 12 + 10 + 10);
  std::vector<uint8_t> l(size), m(size);
  tree.WritePathTables(View::kIso9660, l.data(), m.data());
  // root, ALPHA(1), ZETA(1), A1(2), Z1(3)
  size_t offset = 0;
  struct Expect {
    std::string name;
    uint32_t block;
    uint16_t parent;
  } expected[] = {{std::string(1, '\0'), 100, 1},
                  {"ALPHA", 101, 1},
                  {"ZETA", 102, 1},
                  {"A1", 103, 2},
                  {"Z1", 104, 3}};
  for (const Expect& e : expected) {
    ASSERT_EQ(l[offset], e.name.size());
    EXPECT_EQ(GetLe32(&l[offset + 2]), e.block);
    EXPECT_EQ(GetBe32(&m[offset + 2]), e.block);
    EXPECT_EQ(GetLe16(&l[offset + 6]), e.parent);
    EXPECT_EQ(GetBe16(&m[offset + 6]), e.parent);
    EXPECT_EQ(Bytes(&l[offset + 8], e.name.size()), e.name);
    offset += PathTableRecordLength(e.name.size());
  }

  uint32_t joliet_size = tree.PathTableSize(View::kJoliet);
  std::vector<uint8_t> jl(joliet_size), jm(joliet_size);
  tree.WritePathTables(View::kJoliet, jl.data(), jm.data());
  // root, zeta(1), alpha(1), z1(2), a1(3): names in UTF-16 big-endian.
  offset = 10;
  EXPECT_EQ(jl[offset], 8);
  EXPECT_EQ(Bytes(&jl[offset + 8], 8), std::string("\0z\0e\0t\0a", 8));
  offset += 16;
  offset += 18;                            // alpha
  EXPECT_EQ(GetLe16(&jl[offset + 6]), 2);  // z1 below zeta
  EXPECT_EQ(GetLe32(&jl[offset + 2]), 203u);
  offset += 12;
  EXPECT_EQ(GetLe16(&jl[offset + 6]), 3);  // a1 below alpha
}

TEST(IsoJolietTreeTest, DirectoryRecordsAndDates) {
  std::vector<FsEntry> entries = TwoLevels();
  entries[2].last_write_time = 116444736000000000ull + 1247573143ull * 10000000ull;
  entries[1].last_write_time = 116444736000000000ull + 1000000000ull * 10000000ull;
  IsoJolietTree tree(entries, Cp1252(), true);
  tree.AssignIsoNames();
  tree.SortForIso();
  uint64_t size = tree.SizeDirectories(View::kIso9660);
  tree.Relocate(View::kIso9660, 30);
  std::vector<uint8_t> area(size);
  IsoTime volume{2020, 2, 3, 4, 5, 6, 0};
  tree.WriteDirectories(View::kIso9660, area.data(), volume, true);
  const uint8_t* root = area.data();
  // ".": root block, rounded length, volume date.
  EXPECT_EQ(root[0], 34);
  EXPECT_EQ(GetLe32(root + 2), 30u);
  EXPECT_EQ(GetLe32(root + 10), 2048u);
  EXPECT_EQ(root[18], 120);
  EXPECT_EQ(root[33], 0);
  // "..": the root again.
  EXPECT_EQ(root[34 + 33], 1);
  EXPECT_EQ(GetLe32(root + 34 + 2), 30u);
  // ALPHA, F.TXT;1, ZETA in name order.
  const uint8_t* r = root + 68;
  EXPECT_EQ(Bytes(r + 33, r[32]), "ALPHA");
  EXPECT_EQ(r[25], 2);
  EXPECT_EQ(GetLe32(r + 2), 31u);
  EXPECT_EQ(r[18], 2001 - 1900);  // the folder's own time with file dates
  r += r[0];
  EXPECT_EQ(Bytes(r + 33, r[32]), "F.TXT;1");
  EXPECT_EQ(r[25], 0);
  EXPECT_EQ(GetLe32(r + 2), 40u);
  EXPECT_EQ(GetLe32(r + 10), 3000u);
  EXPECT_EQ(r[18], 109);
  EXPECT_EQ(r[23] % 2, 0);
  r += r[0];
  EXPECT_EQ(Bytes(r + 33, r[32]), "ZETA");
  // ALPHA's directory: "." with ALPHA's time, ".." with the volume time (parent is the root).
  const uint8_t* alpha = area.data() + 2048;
  EXPECT_EQ(GetLe32(alpha + 2), 31u);
  EXPECT_EQ(alpha[18], 101);
  EXPECT_EQ(GetLe32(alpha + 34 + 2), 30u);
  EXPECT_EQ(alpha[34 + 18], 120);
  // A1's directory: ".." is ALPHA with ALPHA's time.
  const uint8_t* a1 = area.data() + 3 * 2048;
  EXPECT_EQ(GetLe32(a1 + 34 + 2), 31u);
  EXPECT_EQ(a1[34 + 18], 101);

  // Without file dates every entry record carries the volume time.
  std::vector<uint8_t> plain(size);
  tree.WriteDirectories(View::kIso9660, plain.data(), volume, false);
  EXPECT_EQ(plain[68 + 18], 120);
}

TEST(IsoJolietTreeTest, RecordsNeverStraddleABlock) {
  std::vector<FsEntry> entries;
  std::vector<std::u16string> names;  // the entries look at them
  names.reserve(9);
  for (int i = 0; i < 9; ++i) {
    names.push_back(std::u16string(104, u'a' + i) + u".txt");  // 108 units
    entries.push_back(File(names.back(), kParentIsRoot, 2, 10, 50 + i));
  }
  IsoJolietTree tree(entries, Cp1252(), true);
  tree.AssignIsoNames();
  tree.SortForIso();
  EXPECT_EQ(tree.SizeDirectories(View::kJoliet), 2u * 2048);
  // 68 + 7 * 254 = 1846; the eighth record moves to the next block.
  EXPECT_EQ(tree.RootLength(View::kJoliet), 2048u + 2 * 254);
  tree.Relocate(View::kJoliet, 0);
  std::vector<uint8_t> area(2 * 2048);
  tree.WriteDirectories(View::kJoliet, area.data(), IsoTime{}, false);
  EXPECT_EQ(area[68], 254);
  EXPECT_EQ(area[68 + 32], 220);  // 216 name bytes + ";1"
  EXPECT_EQ(area[1846], 0);
  EXPECT_EQ(area[2048], 254);
  EXPECT_EQ(GetLe32(&area[2048 + 2]), 57u);
  EXPECT_EQ(GetLe32(&area[10]), 4096u);  // "." carries the rounded length
  // The ISO 9660 names of these collide and get counters.
  EXPECT_EQ(std::string_view(tree.entries()[0].iso_name), "AAAAAAAA.TXT");
  EXPECT_EQ(std::string_view(tree.entries()[1].iso_name), "BBBBBBBB.TXT");
}

// A window smaller than a directory: the stream holds that directory whole, hands every block on
// once and in order (the same blocks as the area written in memory), and ends at the sink's first
// failure.
TEST(IsoJolietTreeTest, StreamedDirectoriesMatchTheWrittenArea) {
  std::vector<FsEntry> entries = TwoLevels();
  std::vector<std::u16string> names;  // the entries look at them
  names.reserve(40);
  for (int i = 0; i < 40; ++i) {
    names.push_back(u"file number " + std::u16string(1, u'a' + i % 26) + std::u16string(60, u'x') +
                    (i < 26 ? u"" : u"2") + u".txt");
    entries.push_back(File(names.back(), 1, 3, 10, 70 + i));  // in alpha
  }
  IsoJolietTree tree(entries, Cp1252(), true);
  tree.AssignIsoNames();
  ASSERT_TRUE(tree.SortForIso());
  for (View view : {View::kIso9660, View::kJoliet}) {
    const uint64_t bytes = tree.SizeDirectories(view);
    tree.Relocate(view, 300);
    std::vector<uint8_t> area(bytes);
    tree.WriteDirectories(view, area.data(), IsoTime{}, true);
    std::vector<uint8_t> streamed;
    std::vector<size_t> counts;
    ASSERT_EQ(tree.StreamDirectories(
                  view, IsoTime{}, true,
                  [&](const uint8_t* blocks, size_t count) {
                    streamed.insert(streamed.end(), blocks, blocks + count * 2048);
                    counts.push_back(count);
                    return 0u;
                  },
                  1),
              0u);
    EXPECT_EQ(streamed, area);
    if (view == View::kJoliet) {
      // Root, zeta, alpha, z1, a1: alpha's directory takes 4 blocks and goes on whole; the
      // window, grown to it, then gathers z1 and a1.
      EXPECT_EQ(counts, (std::vector<size_t>{1, 1, 4, 2}));
    }
    int calls = 0;
    EXPECT_EQ(tree.StreamDirectories(
                  view, IsoTime{}, true,
                  [&](const uint8_t*, size_t) { return ++calls == 2 ? 7u : 0u; }, 1),
              7u);
    EXPECT_EQ(calls, 2);
  }
}

}  // namespace
}  // namespace quillden::fs
