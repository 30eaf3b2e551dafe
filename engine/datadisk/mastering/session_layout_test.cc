#include "datadisk/mastering/session_layout.h"

#include <gtest/gtest.h>
#include <malloc.h>

#include <algorithm>

#include "datadisk/mastering/test_util.h"
#include "quillden/result.h"

namespace quillden::mastering {
namespace {

using testing::CollectBlocks;
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
  EXPECT_EQ(std::u16string(entry->FindData().cAlternateFileName), u"A.TXT");
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
  EXPECT_EQ(layout.header()[17 * 2048], 0);  // boot record
  EXPECT_EQ(layout.header()[17 * 2048 + 7], 'E');
  EXPECT_EQ(layout.header()[18 * 2048], 2);    // Joliet
  EXPECT_EQ(layout.header()[19 * 2048], 255);  // terminator
  std::vector<uint8_t> structures =
      testing::CollectBlocks([&](const BlockSink& sink) { return layout.WriteStructures(sink); });
  ASSERT_EQ(structures.size(), size_t{layout.structure_blocks()} * 2048);
  const uint8_t* catalog =
      structures.data() + (layout.catalog_block() - layout.structure_block()) * 2048;
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

// One 1-byte file a.txt planned for every selection on every kind of target. ISO 9660 + Joliet
// take 6 blocks (one-block path tables and root directories), the UDF file entry area 3 (the
// root's identifiers, its entry, the file's entry); UDF 2.50 keeps M = 32 metadata blocks.
constexpr uint32_t kIsoBits = kFsIso9660 | kFsJoliet;

struct TargetCase {
  const char* name;
  uint32_t file_system;
  uint16_t profile;
  uint32_t write_type;
  bool cd;
  uint32_t header, file_block, end, total;
};
void PrintTo(const TargetCase& c, std::ostream* os) {
  *os << c.name;
}

class LayoutTargetTest : public ::testing::TestWithParam<TargetCase> {};

TEST_P(LayoutTargetTest, HeaderFilesEndAndTotal) {
  const TargetCase& c = GetParam();
  ScratchFolder folder;
  DiscHolder disc;
  ASSERT_NE(disc.Add(folder.Write("a.txt", "x")), INVALID_HANDLE_VALUE);
  std::shared_ptr<Datadisk> d = Datadisk::FromHandle(disc.get());
  LayoutRequest request;
  request.file_system = c.file_system;
  request.cd_media = c.cd;
  SessionLayout layout;
  layout.SetMedia(c.profile, c.write_type);
  ASSERT_EQ(layout.Plan(*d, request), QD_OK);
  EXPECT_EQ(layout.header_blocks(), c.header);
  EXPECT_EQ(d->first_root()->location, c.file_block);
  EXPECT_EQ(layout.end(), c.end);
  EXPECT_EQ(layout.total(), c.total);

  // The stream is as long as the plan says: header, structures, the file, the tail, the run-out.
  layout.Build(*d, fs::IsoTime{}, false);
  uint32_t result = 1;
  std::vector<uint8_t> header =
      CollectBlocks([&](const BlockSink& sink) { return layout.WriteHeader(sink); }, &result);
  EXPECT_EQ(result, QD_OK);
  EXPECT_EQ(header.size(), size_t{c.header} * 2048);
  // The held part of the header starts the stream.
  ASSERT_LE(layout.header().size(), header.size());
  EXPECT_TRUE(std::equal(layout.header().begin(), layout.header().end(), header.begin()));
  result = 1;
  std::vector<uint8_t> structures =
      CollectBlocks([&](const BlockSink& sink) { return layout.WriteStructures(sink); }, &result);
  EXPECT_EQ(result, QD_OK);
  std::vector<uint8_t> tail =
      CollectBlocks([&](const BlockSink& sink) { return layout.WriteTail(sink); });
  EXPECT_EQ(header.size() / 2048 + structures.size() / 2048 + 1 + tail.size() / 2048, c.end);
  EXPECT_EQ(layout.structure_block() + layout.structure_blocks(), c.file_block);
  if (c.file_system & kFsUdf102) {
    // The file set descriptor at 257 names the root's entry, the first block of the area.
    const uint8_t* fsd = layout.header().data() + 257 * 2048;
    EXPECT_EQ(fsd[0], 0);
    EXPECT_EQ(fsd[1], 1);  // tag 256
    EXPECT_EQ(fsd[404] | fsd[405] << 8,
              layout.structure_block() + (c.file_system & kIsoBits ? 6 : 0) - 257);
    // The closing anchor sits in the last block before the run-out.
    ASSERT_EQ(tail.size(), 2048u);
    EXPECT_EQ(tail[12] | tail[13] << 8, c.end - 1);
  }
}

constexpr uint32_t kIso = kFsIso9660 | kFsJoliet;
INSTANTIATE_TEST_SUITE_P(
    EverySelection, LayoutTargetTest,
    ::testing::Values(
        // ISO 9660 + Joliet: H0 19, the file after 6 structure blocks; CD media run out to 300.
        TargetCase{"iso_image", kIso, 0, 3, false, 19, 25, 26, 26},
        TargetCase{"iso_cd", kIso, 0x09, 1, true, 19, 25, 26, 300},
        TargetCase{"iso_dvd_dl_jump", kIso, 0x16, 3, false, 19, 25, 26, 26},
        // UDF 1.02 alone: the area 259..261, the file at 262, the anchor at 263; on CD 150 blocks
        // of run-out follow the anchor.
        TargetCase{"udf_image", kFsUdf102, 0, 3, false, 259, 262, 264, 264},
        TargetCase{"udf_cd", kFsUdf102, 0x09, 1, true, 259, 262, 264, 414},
        TargetCase{"udf_dvd", kFsUdf102, 0x11, 1, false, 259, 262, 264, 264},
        TargetCase{"udf_plus_r_dl", kFsUdf102, 0x2B, 1, false, 259, 262, 264, 264},
        // Dual layer DVD-R that may jump layers: the header of the bridge.
        TargetCase{"udf_dl_jump_incremental", kFsUdf102, 0x16, 1, false, 272, 275, 277, 277},
        TargetCase{"udf_dl_jump_at_once", kFsUdf102, 0x16, 3, false, 272, 275, 277, 277},
        TargetCase{"udf_dl_sequential_incremental", kFsUdf102, 0x15, 1, false, 272, 275, 277, 277},
        TargetCase{"udf_dl_sequential_session", kFsUdf102, 0x15, 2, false, 272, 275, 277, 277},
        TargetCase{"udf_dl_sequential_at_once", kFsUdf102, 0x15, 3, false, 259, 262, 264, 264},
        TargetCase{"udf_dl_sequential_forecast", kFsUdf102, 0x15, kWriteTypeUnknown, false, 272,
                   275, 277, 277},
        // The UDF 1.02 bridge: ISO 272..277, UDF 278..280, the file 281, the anchor 282.
        TargetCase{"bridge_image", kIso | kFsUdf102, 0, 3, false, 272, 281, 283, 283},
        TargetCase{"bridge_cd", kIso | kFsUdf102, 0x0A, 1, true, 272, 281, 283, 433},
        TargetCase{"bridge_dl_jump", kIso | kFsUdf102, 0x16, 3, false, 272, 281, 283, 283},
        // UDF 2.50: partition start A = 288 (the bridge's 257 + 6 ISO blocks, padded to 32), the
        // metadata file at 320, the file at 352, mirror at 368, E = 368 + 32 + 320; no run-out.
        TargetCase{"udf250_image", kFsUdf250, 0, 3, false, 288, 352, 720, 720},
        TargetCase{"udf250_cd", kFsUdf250, 0x09, 1, true, 288, 352, 720, 720},
        TargetCase{"udf250_dl_jump", kFsUdf250, 0x16, 1, false, 288, 352, 720, 720},
        TargetCase{"bridge250_image", kIso | kFsUdf250, 0, 3, false, 288, 352, 720, 720},
        TargetCase{"bridge250_hd_dvd_dl", kIso | kFsUdf250, 0x58, 1, false, 288, 352, 720, 720}),
    [](const ::testing::TestParamInfo<TargetCase>& info) { return std::string(info.param.name); });

TEST(DatadiskSizeTest, ForecastOfEverySelectionWithoutADrive) {
  ScratchFolder folder;
  DiscHolder disc;
  disc.Add(folder.Write("a.txt", "x"));
  // No drive: CD media. 1: 300 -> 304 blocks; 2: 414 -> 416; 3: 433 -> 448 (917504 bytes);
  // 4 and 5: the 720 blocks of the layout.
  const std::pair<DWORD, uint64_t> cases[] = {{1, 304}, {2, 416}, {3, 448}, {4, 720}, {5, 720}};
  for (auto [value, blocks] : cases) {
    ASSERT_EQ(MST_SetFileSystem(disc.get(), value), QD_OK);
    EXPECT_EQ(MST_GetDatadiskSize(disc.get(), nullptr), blocks * 2048) << value;
  }
}

// Many folders: every one has a file entry and an identifier block in the UDF area and a
// directory in each ISO 9660 view, so 2 x 6000 blocks (24 MB) would be the largest thing a job
// holds if they were built whole.
size_t HeapInUse() {
  struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;  // small blocks and mapped ones
}

// The ISO 9660 and Joliet directories (one block per folder in each view) and the UDF file entry
// area are produced while they are written, also where the ISO 9660 area lies in the header.
TEST(SessionLayoutStreamTest, DirectoriesAndFileEntryAreaAreNeverHeldWhole) {
  DiscHolder disc;
  for (int i = 0; i < 6000; ++i) {
    std::u16string name = u"F" + U16(std::to_string(i));
    ASSERT_NE(MST_CreateDatadiskFolder(disc.get(), nullptr, name.c_str()), INVALID_HANDLE_VALUE);
  }
  std::shared_ptr<Datadisk> d = Datadisk::FromHandle(disc.get());
  constexpr uint32_t kIsoJoliet = kFsIso9660 | kFsJoliet;
  for (uint32_t file_system :
       {uint32_t{kFsUdf102}, uint32_t{kFsUdf250}, kIsoJoliet, kIsoJoliet | kFsUdf250}) {
    SCOPED_TRACE(file_system);
    LayoutRequest request;
    request.file_system = file_system;
    // A header rewritten at block 0 must still be held whole up to the anchor.
    request.header_at_zero = (file_system & kFsUdf250) != 0;
    request.session_start = request.header_at_zero ? 5000 : 0;
    SessionLayout layout;
    ASSERT_EQ(layout.Plan(*d, request), QD_OK);
    const size_t before = HeapInUse();
    {
      // A probe: allocators that keep no statistics (sanitizers) leave nothing to measure.
      std::vector<uint8_t> probe(8 << 20, 1);
      if (HeapInUse() < before + (8 << 20)) GTEST_SKIP() << "no heap statistics";
    }
    layout.Build(*d, fs::IsoTime{}, false);
    size_t peak = 0;
    uint64_t blocks = 0;
    size_t largest_piece = 0;
    auto sink = [&](const uint8_t*, uint64_t count) -> uint32_t {
      peak = std::max(peak, HeapInUse());
      blocks += count;
      largest_piece = std::max<size_t>(largest_piece, count);
      return QD_OK;
    };
    ASSERT_EQ(layout.WriteHeader(sink), QD_OK);
    EXPECT_EQ(blocks, layout.header_blocks());
    if (request.header_at_zero) {
      EXPECT_GE(layout.header().size(), size_t{layout.rewritten_header_blocks()} * 2048);
    }
    ASSERT_EQ(layout.WriteStructures(sink), QD_OK);
    ASSERT_EQ(layout.WriteTail(sink), QD_OK);
    EXPECT_GE(blocks, 12000u);
    EXPECT_LT(peak - before, size_t{4} << 20);
    EXPECT_LE(largest_piece, 512u + 217u);  // the window, or the longest run of zeros
  }
}

// The sink's first failure ends the stream and is returned; nothing is handed on after it.
TEST(SessionLayoutStreamTest, SinkFailureEndsTheStream) {
  DiscHolder disc;
  for (int i = 0; i < 700; ++i) {
    std::u16string name = u"D" + U16(std::to_string(i));
    ASSERT_NE(MST_CreateDatadiskFolder(disc.get(), nullptr, name.c_str()), INVALID_HANDLE_VALUE);
  }
  std::shared_ptr<Datadisk> d = Datadisk::FromHandle(disc.get());
  LayoutRequest request;
  request.file_system = kFsIso9660 | kFsJoliet | kFsUdf102;
  SessionLayout layout;
  ASSERT_EQ(layout.Plan(*d, request), QD_OK);
  layout.Build(*d, fs::IsoTime{}, false);
  for (int fail_at : {0, 1, 2, 3}) {
    int calls = 0;
    int after_failure = 0;
    uint32_t result = layout.WriteStructures([&](const uint8_t*, uint64_t) -> uint32_t {
      if (calls > fail_at) ++after_failure;
      return calls++ == fail_at ? QD_E_WRITE_FILE : QD_OK;
    });
    EXPECT_EQ(result, QD_E_WRITE_FILE) << fail_at;
    EXPECT_EQ(after_failure, 0) << fail_at;
  }
}

// UDF 2.50: the mirror after the files is the metadata file block for block (entry aside).
TEST(SessionLayoutStreamTest, MetadataMirrorRepeatsTheMetadataFile) {
  ScratchFolder folder;
  DiscHolder disc;
  for (int i = 0; i < 90; ++i)
    disc.Add(folder.Write("many/f" + std::to_string(i) + ".txt", "x"), "many");
  std::shared_ptr<Datadisk> d = Datadisk::FromHandle(disc.get());
  LayoutRequest request;
  request.file_system = kFsIso9660 | kFsJoliet | kFsUdf250;
  SessionLayout layout;
  ASSERT_EQ(layout.Plan(*d, request), QD_OK);
  layout.Build(*d, fs::IsoTime{}, false);
  std::vector<uint8_t> structures =
      CollectBlocks([&](const BlockSink& sink) { return layout.WriteStructures(sink); });
  std::vector<uint8_t> tail =
      CollectBlocks([&](const BlockSink& sink) { return layout.WriteTail(sink); });
  ASSERT_EQ(structures.size(), size_t{layout.structure_blocks()} * 2048);
  // structures: entry, 31 zeros, M blocks of metadata; tail: zeros to F, entry, 31, M, 320 - 32.
  const size_t metadata_bytes = structures.size() - 32 * 2048;
  const size_t files_end = layout.first_file_block() + 90;
  const size_t mirror = (files_end - layout.session_start() + 15) / 16 * 16;
  const size_t mirror_in_tail = (mirror - (files_end - layout.session_start())) * 2048;
  ASSERT_EQ(tail.size(), mirror_in_tail + 32 * 2048 + metadata_bytes + 288 * 2048);
  EXPECT_TRUE(std::equal(structures.begin() + 32 * 2048, structures.end(),
                         tail.begin() + mirror_in_tail + 32 * 2048));
  EXPECT_EQ(tail[mirror_in_tail + 16 + 11], 251);  // the mirror's entry
  EXPECT_EQ(structures[16 + 11], 250);
}

}  // namespace
}  // namespace quillden::mastering
