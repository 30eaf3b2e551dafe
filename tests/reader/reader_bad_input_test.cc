// Damaged sessions: images made by public tools with one structure broken on purpose. The import
// must end with a clear error and an empty tree, or fall back from a broken UDF side to Joliet.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "quillden/datadisk.h"
#include "quillden/drive.h"
#include "quillden/mastering.h"
#include "quillden/result.h"
#include "reader_fixture.h"
#include "util/byte_order.h"

namespace quillden::reader::testing {
namespace {

class BadInputTest : public ReaderTest {
 protected:
  void SetUp() override {
    if (!HaveTool("genisoimage")) GTEST_SKIP() << "genisoimage is not installed; this check needs it";
    Source("src/README.TXT", "read me\n");
    Source("src/sub/data.bin", std::string(5000, 'd'));
    image_path_ = Path("base.iso");
    ASSERT_EQ(Shell("genisoimage -quiet -J -udf -o " + Quote(image_path_) + " " + Quote(Path("src"))), 0);
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

  std::string image_path_;
  std::vector<uint8_t> image_;
};

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
