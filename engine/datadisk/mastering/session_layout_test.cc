#include "datadisk/mastering/session_layout.h"

#include <gtest/gtest.h>

#include "datadisk/mastering/test_util.h"
#include "quillden/result.h"

namespace quillden::mastering {
namespace {

using testing::DiscHolder;
using testing::ScratchFolder;
using testing::U16;

TEST(DatadiskSizeTest, OneByteFileTakes304Blocks) {
  ScratchFolder folder;
  DiscHolder disc;
  ASSERT_NE(disc.Add(folder.Write("a.txt", "x")), INVALID_HANDLE_VALUE);
  ASSERT_EQ(MST_SetFileSystem(disc.get(), MST_FS_ISO9660_JOLIET), QD_OK);
  // H = 19 + 2 + 1 + 2 + 1 = 25, E = 26, run-out 300, rounded to 304 blocks.
  EXPECT_EQ(MST_GetDatadiskSize(disc.get(), nullptr), 622592u);
  EXPECT_EQ(MST_GetDatadiskSize(disc.get(), INVALID_HANDLE_VALUE), 622592u);

  std::shared_ptr<Datadisk> d = Datadisk::FromHandle(disc.get());
  const DatadiskEntry* entry = d->first_root();
  EXPECT_EQ(entry->location, 25u);
  EXPECT_EQ(entry->length, 1u);
  EXPECT_EQ(std::u16string(entry->find_data.cAlternateFileName), u"A.TXT");
  EXPECT_EQ(entry->level, 2);
}

TEST(DatadiskSizeTest, FailuresAndSelections) {
  DiscHolder disc;
  EXPECT_EQ(MST_GetDatadiskSize(disc.get(), nullptr), ~0ull);
  EXPECT_EQ(MST_GetLastError(disc.get()), QD_E_NOT_FOUND);
  EXPECT_EQ(MST_GetDatadiskSize(nullptr, nullptr), ~0ull);

  ScratchFolder folder;
  disc.Add(folder.Write("a.txt", "x"));
  // The default selection bridges UDF 1.02: U = 3 blocks, H = 272 + 3 + 3 + 3 = 281, E = 282,
  // run-out 432, the closing anchor 433, rounded to 448 blocks.
  EXPECT_EQ(MST_GetDatadiskSize(disc.get(), nullptr), 917504u);
}

TEST(SessionLayoutTest, BootImageAndEmptyFiles) {
  ScratchFolder folder;
  DiscHolder disc;
  disc.Add(folder.Write("empty.txt", ""));
  disc.Add(folder.Write("one.bin", std::string(2049, 'q')));
  disc.Add(folder.Write("sub/two.bin", "z"), "sub");
  std::string boot = folder.Write("boot.img", std::string(2048, 'b'));
  ASSERT_EQ(MST_ReadBootImageFile(disc.get(), U16(boot).c_str(), 0, 0, 4), QD_OK);
  ASSERT_EQ(MST_CreateBootImageFileEntry(disc.get(), u"boot\\boot.img"), QD_OK);
  MST_SetFileSystem(disc.get(), MST_FS_ISO9660_JOLIET);

  std::shared_ptr<Datadisk> d = Datadisk::FromHandle(disc.get());
  SessionLayout layout;
  ASSERT_EQ(layout.Plan(*d, LayoutRequest{}), QD_OK);
  EXPECT_EQ(layout.header_blocks(), 20u);
  // Two folders: one-block tables, three directory blocks per view.
  EXPECT_EQ(layout.structure_block(), 20u);
  EXPECT_EQ(layout.catalog_block(), 20u + 2 + 3 + 2 + 3);
  EXPECT_EQ(layout.boot_image_block(), layout.catalog_block() + 1);
  EXPECT_EQ(layout.structure_blocks(), layout.catalog_block() + 1 - 20);
  EXPECT_EQ(layout.first_file_block(), layout.boot_image_block() + 1);
  uint32_t first = layout.first_file_block();
  const DatadiskEntry* empty = FindChild(*d, nullptr, u"empty.txt");
  const DatadiskEntry* one = FindChild(*d, nullptr, u"one.bin");
  const DatadiskEntry* two = FindChild(*d, FindChild(*d, nullptr, u"sub"), u"two.bin");
  EXPECT_EQ(empty->location, first);  // shares its block with the next file
  EXPECT_EQ(one->location, first);
  EXPECT_EQ(two->location, first + 2);
  EXPECT_EQ(d->boot_image->entry->location, layout.boot_image_block());
  EXPECT_EQ(layout.end(), first + 3);
  EXPECT_EQ(layout.total(), layout.end());

  // The size forecast agrees: H + ceil(boot) + 1, the files, run-out, 16-block rounding.
  EXPECT_EQ(MST_GetDatadiskSize(disc.get(), nullptr), 304u * 2048);

  layout.Build(*d, fs::IsoTime{}, false);
  EXPECT_EQ(layout.header().size(), 20u * 2048);
  EXPECT_EQ(layout.header()[17 * 2048], 0);     // boot record
  EXPECT_EQ(layout.header()[17 * 2048 + 7], 'E');
  EXPECT_EQ(layout.header()[18 * 2048], 2);     // Joliet
  EXPECT_EQ(layout.header()[19 * 2048], 255);   // terminator
  const uint8_t* catalog =
      layout.structures().data() + (layout.catalog_block() - layout.structure_block()) * 2048;
  EXPECT_EQ(catalog[32], 0x88);
  EXPECT_EQ(catalog[38], 4);
}

TEST(SessionLayoutTest, SessionStartMovesEveryBlock) {
  ScratchFolder folder;
  DiscHolder disc;
  disc.Add(folder.Write("a.txt", "x"));
  std::shared_ptr<Datadisk> d = Datadisk::FromHandle(disc.get());
  LayoutRequest request;
  request.session_start = 1000;
  request.cd_media = true;
  SessionLayout layout;
  ASSERT_EQ(layout.Plan(*d, request), QD_OK);
  EXPECT_EQ(layout.structure_block(), 1019u);
  EXPECT_EQ(d->first_root()->location, 1025u);
  EXPECT_EQ(layout.end(), 26u);
  EXPECT_EQ(layout.total(), 300u);
  layout.Build(*d, fs::IsoTime{}, false);
  // Volume space size counts from block 0 of the disc.
  EXPECT_EQ(layout.header()[16 * 2048 + 80] | layout.header()[16 * 2048 + 81] << 8, 1300);
}

TEST(SessionLayoutTest, LargeFilesAreRefusedForIso) {
  ScratchFolder folder;
  std::string big = folder / "big.bin";
  { std::ofstream(big) << ""; }
  ASSERT_EQ(truncate(big.c_str(), 4294967296LL), 0);
  std::string edge = folder / "edge.bin";
  { std::ofstream(edge) << ""; }
  ASSERT_EQ(truncate(edge.c_str(), 4294967295LL), 0);

  DiscHolder disc;
  disc.Add(edge);
  std::shared_ptr<Datadisk> d = Datadisk::FromHandle(disc.get());
  SessionLayout accepted;
  EXPECT_EQ(accepted.Plan(*d, LayoutRequest{}), QD_OK);
  disc.Add(big);
  SessionLayout refused;
  EXPECT_EQ(refused.Plan(*d, LayoutRequest{}), QD_E_FILE_TOO_LARGE_FOR_ISO);
  MST_SetFileSystem(disc.get(), MST_FS_ISO9660_JOLIET);
  EXPECT_NE(MST_GetDatadiskSize(disc.get(), nullptr), ~0ull);  // the forecast still answers
}

}  // namespace
}  // namespace quillden::mastering
