// Damaged sessions: images made by public tools with one structure broken on purpose. The import
// must end with a clear error and an empty tree, or fall back from a broken UDF side to Joliet.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "drive/virtual/virtual_admin.h"
#include "platform/drive_map.h"
#include "quillden/datadisk.h"
#include "quillden/drive.h"
#include "quillden/mastering.h"
#include "quillden/result.h"
#include "quillden/volume.h"
#include "reader_fixture.h"
#include "util/byte_order.h"

namespace quillden::reader::testing {
namespace {

class BadInputTest : public ReaderTest {
 protected:
  void SetUp() override {
    if (!HaveTool("genisoimage"))
      GTEST_SKIP() << "genisoimage is not installed; this check needs it";
    Source("src/README.TXT", "read me\n");
    Source("src/sub/data.bin", std::string(5000, 'd'));
    image_path_ = Path("base.iso");
    ASSERT_EQ(
        Shell("genisoimage -quiet -J -udf -o " + Quote(image_path_) + " " + Quote(Path("src"))), 0);
    image_ = ReadImage(image_path_);
  }
  uint8_t* Block(uint32_t n) { return image_.data() + size_t{n} * 2048; }
  // The Joliet supplementary descriptor.
  uint8_t* Joliet() {
    for (uint32_t b = 16; b < 32; ++b) {
      if (Block(b)[0] == 2 && std::memcmp(Block(b) + 1, "CD001", 5) == 0) return Block(b);
    }
    ADD_FAILURE() << "no Joliet descriptor";
    return Block(16);
  }
  uint32_t JolietRoot() { return GetLe32(Joliet() + 156 + 2); }
  // Offset in the image of the directory record (Joliet) or file identifier descriptor (UDF)
  // whose name bytes are given.
  size_t Find(const std::string& bytes, size_t from = 0) {
    auto at = std::search(image_.begin() + from, image_.end(), bytes.begin(), bytes.end());
    EXPECT_NE(at, image_.end());
    return static_cast<size_t>(at - image_.begin());
  }
  static std::string Ucs2(const std::string& ascii) {
    std::string out;
    for (char c : ascii) out += std::string{'\0', c};
    return out;
  }
  // Imports the patched image into a disc that already holds one folder.
  uint32_t Import(HANDLE* disc_out = nullptr) {
    std::string patched = Path("patched" + std::to_string(backing_counter_) + ".iso");
    WriteImage(patched, image_);
    HANDLE drive = Press(patched);
    HANDLE disc = NewDisc();
    EXPECT_NE(MST_CreateDatadiskFolder(disc, nullptr, u"BEFORE"), INVALID_HANDLE_VALUE);
    if (disc_out) *disc_out = disc;
    return MST_ReadFileSystem(disc, drive, 1, nullptr);
  }
  void ExpectFailedAndEmpty() {
    HANDLE disc = nullptr;
    EXPECT_EQ(Import(&disc), QD_E_UNKNOWN_FILE_SYSTEM);
    EXPECT_TRUE(Tree(disc).empty());
    EXPECT_EQ(MST_GetLastError(disc), QD_E_UNKNOWN_FILE_SYSTEM);
  }
  // Breaks the UDF side so that the import must fall back to Joliet.
  void ExpectJolietFallback() {
    HANDLE disc = nullptr;
    ASSERT_EQ(Import(&disc), QD_OK);
    EXPECT_EQ(MST_GetFileSystem(disc), MST_FS_ISO9660_JOLIET);  // the UDF bit is dropped
    auto tree = Tree(disc);
    EXPECT_EQ(tree.count("sub\\data.bin"), 1u);
    EXPECT_EQ(tree.count("BEFORE"), 0u);  // the failed UDF walk emptied the tree first
  }

  // The patched image pressed into a drive reachable by letter, and its volume opened.
  HANDLE OpenVolume() {
    const std::string patched = Path("volume" + std::to_string(backing_counter_) + ".iso");
    const std::string backing = Path("letter" + std::to_string(backing_counter_++) + ".disc");
    WriteImage(patched, image_);
    setenv("QUENVAR_DRIVES", ("W=virtual:dvd+r:" + backing).c_str(), 1);
    quenvar::platform::DriveMap::Reload();
    std::string error;
    EXPECT_TRUE(drive::LoadVirtualImage(backing, patched, "", &error)) << error;
    HANDLE volume = nullptr;
    EXPECT_EQ(DRV_OpenVolume(23, &volume), QD_OK);
    return volume;
  }
  void TearDown() override {
    unsetenv("QUENVAR_DRIVES");
    quenvar::platform::DriveMap::Reload();
    ReaderTest::TearDown();
  }
  // Points the directory records named name (in the ISO 9660 and the Joliet root) at the root
  // directory of their own tree.
  void PointAtRoot(const std::string& iso_name, const std::string& joliet_name) {
    const uint32_t iso_root = GetLe32(Block(16) + 156 + 2);
    for (auto [root, name] :
         {std::pair{iso_root, iso_name}, std::pair{JolietRoot(), Ucs2(joliet_name)}}) {
      uint8_t* record =
          image_.data() +
          Find(std::string(1, static_cast<char>(name.size())) + name, size_t{root} * 2048) - 32;
      ASSERT_EQ(record[25] & 0x02, 0x02) << "not a folder record";
      PutLe32(record + 2, root);
      PutBe32(record + 6, root);
    }
  }

  std::string image_path_;
  std::vector<uint8_t> image_;
};

// Lists every folder below path as a caller would (quillden ls), entry by entry; counts the calls
// and remembers the last failure.
void Walk(HANDLE volume, const std::u16string& path, int* calls, DWORD* failure) {
  for (DWORD index = 0; *calls < 10000; ++index) {
    ++*calls;
    WIN32_FIND_DATAW data{};
    const DWORD result = DRV_FindVolumeFile(volume, path.c_str(), index, &data);
    if (result != QD_OK) {
      if (result != QD_E_NOT_FOUND) *failure = result;
      return;
    }
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
      Walk(volume, path + u"\\" + data.cFileName, calls, failure);
  }
}

TEST_F(BadInputTest, AWrongDotRecordFailsAndEmptiesTheTree) {
  uint8_t* dot = Block(JolietRoot());
  PutLe32(dot + 2, JolietRoot() + 1);
  // Without UDF the Joliet failure is final.
  std::memset(Block(256), 0, 2048);
  ExpectFailedAndEmpty();
}

TEST_F(BadInputTest, APathTableBeyondAnyDiscFails) {
  PutLe32(Joliet() + 132, 0x7FFFFFF0);
  std::memset(Block(256), 0, 2048);
  ExpectFailedAndEmpty();
}

TEST_F(BadInputTest, APathTableParentAfterItsChildFails) {
  // The second record of the L path table names itself as its parent.
  uint8_t* table = Block(GetLe32(Joliet() + 140));
  size_t second = 8 + table[0] + (table[0] & 1);
  PutLe16(table + second + 6, 2);
  std::memset(Block(256), 0, 2048);
  ExpectFailedAndEmpty();
}

TEST_F(BadInputTest, ContentBeyondTheDiscFails) {
  size_t name = Find(Ucs2("README.TXT"), size_t{JolietRoot()} * 2048);
  PutLe32(image_.data() + name - 33 + 2, 0x00FFFFFF);
  std::memset(Block(256), 0, 2048);
  ExpectFailedAndEmpty();
}

TEST_F(BadInputTest, UnknownCompressionIdFallsBackToJoliet) {
  size_t name = Find(std::string("\x08README.TXT", 11));
  image_[name] = 9;
  ExpectJolietFallback();
}

TEST_F(BadInputTest, UdfDirectoryLoopFallsBackToJoliet) {
  // The FID of "sub" is pointed at the root directory's own entry (the parent FID of the root).
  size_t name = Find(std::string("\x08sub", 4));
  size_t block_start = name / 2048 * 2048;
  size_t sub_fid = name - 38 - GetLe16(image_.data() + name - 38 + 36);
  ASSERT_EQ(GetLe16(image_.data() + sub_fid), 257);
  ASSERT_EQ(GetLe16(image_.data() + block_start), 257);
  ASSERT_TRUE(image_[block_start + 18] & 0x08);  // the parent FID
  std::memcpy(image_.data() + sub_fid + 20, image_.data() + block_start + 20, 16);
  ExpectJolietFallback();
}

TEST_F(BadInputTest, APathTableFolderThatIsTheRootFails) {
  // The folder "sub" names the root's directory, in its directory record and in the path table:
  // a loop that a walk by the table would follow for ever.
  uint8_t* table = Block(GetLe32(Joliet() + 140));
  size_t second = 8 + table[0] + (table[0] & 1);
  PutLe32(table + second + 2, GetLe32(table + 2));
  uint8_t* record = image_.data() + Find(Ucs2("sub"), size_t{JolietRoot()} * 2048) - 33;
  PutLe32(record + 2, JolietRoot());
  PutBe32(record + 6, JolietRoot());
  std::memset(Block(256), 0, 2048);
  ExpectFailedAndEmpty();
}

TEST_F(BadInputTest, APathTableOfMoreFoldersThanItCanNumberFails) {
  // 70,000 records after the root, each a folder of the root; parent numbers are 16 bits wide, so
  // no real table holds that many. The table goes after the image's last block.
  const uint32_t root = JolietRoot();
  const uint32_t first = static_cast<uint32_t>(image_.size() / 2048);
  std::vector<uint8_t> table;
  auto record = [&table](uint32_t extent, uint16_t parent) {
    uint8_t r[10] = {2, 0};
    PutLe32(r + 2, extent);
    PutLe16(r + 6, parent);
    r[8] = 0;
    r[9] = 'x';
    table.insert(table.end(), r, r + 10);
  };
  record(root, 1);
  for (int i = 0; i < 70000; ++i) record(root + 1, 1);
  table.resize((table.size() + 2047) / 2048 * 2048);
  image_.insert(image_.end(), table.begin(), table.end());
  PutLe32(Joliet() + 132, static_cast<uint32_t>(70001 * 10));
  PutBe32(Joliet() + 136, static_cast<uint32_t>(70001 * 10));
  PutLe32(Joliet() + 140, first);
  std::memset(Block(256), 0, 2048);
  ExpectFailedAndEmpty();
}

TEST_F(BadInputTest, AllocationExtentChainThatPointsAtItselfFallsBackToJoliet) {
  // README.TXT's file entry hands its descriptors on to an allocation extent descriptor that
  // hands them on to itself.
  uint32_t partition_start = 0;
  for (uint32_t b = 32; b < 48; ++b) {
    if (GetLe16(Block(b)) == 5) partition_start = GetLe32(Block(b) + 188);
  }
  ASSERT_GT(partition_start, 0u);
  size_t name = Find(std::string("\x08README.TXT", 11));
  const size_t fid = name - 38 - GetLe16(image_.data() + name - 38 + 36);
  const uint32_t entry = partition_start + GetLe32(image_.data() + fid + 24);
  ASSERT_EQ(GetLe16(Block(entry)), 261);
  ASSERT_EQ(GetLe16(Block(entry) + 16 + 18) & 7, 0);  // short descriptors
  const uint32_t chain = static_cast<uint32_t>(image_.size() / 2048);
  image_.resize(image_.size() + 2048);
  uint8_t* ad = Block(entry) + 176 + GetLe32(Block(entry) + 168);
  PutLe32(ad, (3u << 30) | 2048);
  PutLe32(ad + 4, chain - partition_start);
  uint8_t* aed = Block(chain);
  PutLe16(aed, 258);
  PutLe16(aed + 2, 2);
  PutLe32(aed + 12, chain - partition_start);
  PutLe32(aed + 20, 8);
  PutLe32(aed + 24, (3u << 30) | 2048);
  PutLe32(aed + 28, chain - partition_start);
  uint8_t sum = 0;
  for (int i = 0; i < 16; ++i) sum = static_cast<uint8_t>(sum + (i == 4 ? 0 : aed[i]));
  aed[4] = sum;
  ExpectJolietFallback();
}

TEST_F(BadInputTest, TenThousandNestedFoldersStopWhereDiscPathsEnd) {
  // Joliet folders d\d\d\... 10,000 deep, each a directory block of its own after the image, with
  // a path table that names them all. The tree holds paths of at most 256 characters; the folders
  // below that are left out, without reading their directories.
  constexpr uint32_t kDepth = 10000;
  const uint32_t root = JolietRoot();
  const uint32_t first = static_cast<uint32_t>(image_.size() / 2048);
  const uint32_t table_block = first + kDepth;
  image_.resize(image_.size() + (size_t{kDepth} + 64) * 2048);
  auto put_record = [](uint8_t* r, uint32_t extent, bool folder, const std::string& id) {
    const uint8_t length = static_cast<uint8_t>(33 + id.size() + ((id.size() & 1) ? 0 : 1));
    std::memset(r, 0, length);
    r[0] = length;
    PutLe32(r + 2, extent);
    PutBe32(r + 6, extent);
    PutLe32(r + 10, folder ? 2048 : 0);
    PutBe32(r + 14, folder ? 2048 : 0);
    r[25] = folder ? 2 : 0;
    PutLe16(r + 28, 1);
    PutBe16(r + 30, 1);
    r[32] = static_cast<uint8_t>(id.size());
    std::memcpy(r + 33, id.data(), id.size());
    return length;
  };
  // The root gets "d" after its last record.
  uint8_t* r = Block(root);
  size_t at = 0;
  while (at < 2048 && r[at] != 0) at += r[at];
  ASSERT_LT(at + 40, 2048u);
  put_record(r + at, first, true, Ucs2("d"));
  for (uint32_t i = 0; i < kDepth; ++i) {
    uint8_t* d = Block(first + i);
    size_t pos = put_record(d, first + i, true, std::string(1, '\0'));
    pos += put_record(d + pos, i == 0 ? root : first + i - 1, true, std::string(1, '\1'));
    if (i + 1 < kDepth) put_record(d + pos, first + i + 1, true, Ucs2("d"));
  }
  // The L path table: the root, then every folder under the one before it.
  std::vector<uint8_t> table;
  auto path_record = [&table](uint32_t extent, uint16_t parent, const std::string& id) {
    std::vector<uint8_t> rec(8 + id.size() + (id.size() & 1), 0);
    rec[0] = static_cast<uint8_t>(id.size());
    PutLe32(rec.data() + 2, extent);
    PutLe16(rec.data() + 6, parent);
    std::memcpy(rec.data() + 8, id.data(), id.size());
    table.insert(table.end(), rec.begin(), rec.end());
  };
  path_record(root, 1, std::string(1, '\0'));
  // The original table's second record is "sub"; it stays so that the other folder still comes in.
  uint8_t* old_table = Block(GetLe32(Joliet() + 140));
  const size_t old_first = 8 + old_table[0] + (old_table[0] & 1);
  table.insert(table.end(), old_table + old_first,
               old_table + old_first + 8 + old_table[old_first] + (old_table[old_first] & 1));
  for (uint32_t i = 0; i < kDepth; ++i)
    path_record(first + i, static_cast<uint16_t>(i == 0 ? 1 : i + 2), Ucs2("d"));
  ASSERT_LE(table.size(), 64u * 2048);
  std::memcpy(Block(table_block), table.data(), table.size());
  PutLe32(Joliet() + 132, static_cast<uint32_t>(table.size()));
  PutBe32(Joliet() + 136, static_cast<uint32_t>(table.size()));
  PutLe32(Joliet() + 140, table_block);
  std::memset(Block(256), 0, 2048);

  HANDLE disc = nullptr;
  ASSERT_EQ(Import(&disc), QD_OK) << std::hex << MST_GetLastError(disc);
  size_t deepest = 0;
  for (const auto& [path, entry] : Tree(disc)) deepest = std::max(deepest, path.size());
  EXPECT_EQ(deepest, 255u);  // "d" and 127 levels below it
  EXPECT_EQ(Tree(disc).count("sub\\data.bin"), 1u);
}

TEST_F(BadInputTest, UnreadableUdfIsReportedByTheRecognizer) {
  // The anchor survives, the volume descriptor sequence it points to does not.
  uint32_t sequence = GetLe32(Block(256) + 20);
  std::memset(Block(sequence), 0, 2048 * 16);
  WriteImage(Path("noudf.iso"), image_);
  HANDLE drive = Press(Path("noudf.iso"));
  _FILESYSTEMINFORMATION info{};
  EXPECT_EQ(DRV_GetFileSystemInformation(drive, 1, &info), QD_E_UNKNOWN_FILE_SYSTEM);
}

TEST_F(BadInputTest, ABlankSessionHasNoFileSystem) {
  std::fill(image_.begin() + 16 * 2048, image_.end(), 0);
  WriteImage(Path("zero.iso"), image_);
  HANDLE drive = Press(Path("zero.iso"));
  _FILESYSTEMINFORMATION info{};
  EXPECT_EQ(DRV_GetFileSystemInformation(drive, 1, &info), QD_E_UNKNOWN_FILE_SYSTEM);
  ExpectFailedAndEmpty();
}

}  // namespace
}  // namespace quillden::reader::testing

namespace quillden::reader::testing {
namespace {

TEST_F(BadInputTest, AFolderThatNamesTheRootEndsTheWalkThroughTheVolume) {
  std::memset(Block(256), 0, 2048);  // the Joliet side is what the volume reads
  PointAtRoot("SUB", "sub");
  HANDLE volume = OpenVolume();
  ASSERT_NE(volume, nullptr);
  int calls = 0;
  DWORD failure = QD_OK;
  Walk(volume, u"", &calls, &failure);
  EXPECT_LT(calls, 20) << "the walk went round the loop";
  EXPECT_EQ(failure, QD_E_UNKNOWN_FILE_SYSTEM);
  WIN32_FIND_DATAW data{};
  EXPECT_EQ(DRV_GetVolumeFileInformation(volume, u"sub\\README.TXT", &data),
            QD_E_UNKNOWN_FILE_SYSTEM);
  // The rest of the disc still reads, and listing the root again is no loop.
  char buffer[16] = {};
  DWORD read = 0;
  EXPECT_EQ(DRV_ReadVolumeFile(volume, u"README.TXT", 0, buffer, sizeof buffer, &read), QD_OK);
  EXPECT_EQ(std::string(buffer, read), "read me\n");
  EXPECT_EQ(DRV_FindVolumeFile(volume, u"\\", 0, &data), QD_OK);
  EXPECT_EQ(DRV_CloseVolume(volume), QD_OK);
}

TEST_F(BadInputTest, AnExtentThatWrapsPastTheLastAddressFails) {
  // README.TXT's data at block 0xFFFFFFFF behind two blocks of extended attributes: the sum wraps
  // to block 1, inside the disc.
  for (const std::string& name : {std::string("README.TXT;1"), Ucs2("README.TXT")}) {
    uint8_t* record = image_.data() + Find(name, 17 * 2048) - 33;
    record[1] = 2;
    PutLe32(record + 2, 0xFFFFFFFFu);
    PutBe32(record + 6, 0xFFFFFFFFu);
  }
  std::memset(Block(256), 0, 2048);
  ExpectFailedAndEmpty();
  HANDLE volume = OpenVolume();
  ASSERT_NE(volume, nullptr);
  char buffer[16] = {};
  DWORD read = 0;
  EXPECT_EQ(DRV_ReadVolumeFile(volume, u"README.TXT", 0, buffer, sizeof buffer, &read),
            QD_E_UNKNOWN_FILE_SYSTEM);
  EXPECT_EQ(read, 0u);
  EXPECT_EQ(DRV_CloseVolume(volume), QD_OK);
}

}  // namespace
}  // namespace quillden::reader::testing
