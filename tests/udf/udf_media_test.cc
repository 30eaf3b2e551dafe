// UDF 1.02 alone written onto virtual dual layer DVD-R drives: the header size follows the media
// and the write type, in the size forecast and in the blocks on the disc, which public UDF readers
// then read back.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "common/shell.h"
#include "platform/unicode.h"
#include "quillden/datadisk.h"
#include "quillden/drive.h"
#include "quillden/mastering.h"
#include "quillden/result.h"
#include "recording_fixture.h"
#include "util/byte_order.h"

namespace quillden::recording::testing {
namespace {

using quenvar::testing::HaveTool;
using quenvar::testing::Quote;
using quenvar::testing::Shell;

class UdfMediaTest : public VirtualDriveTest {
 protected:
  void TearDown() override {
    if (disc_ != nullptr) MST_DestroyDatadisk(disc_);
    VirtualDriveTest::TearDown();
  }
  // One 1-byte file a.txt, UDF 1.02 alone.
  void BuildDisc() {
    const std::string folder = WorkPath("files");
    std::filesystem::create_directories(folder);
    std::ofstream(folder + "/a.txt") << "x";
    disc_ = MST_CreateDatadisk();
    ASSERT_NE(MST_AddDatadiskFile(disc_, quenvar::platform::Utf8ToUtf16(folder + "/a.txt").c_str(), u""),
              INVALID_HANDLE_VALUE);
    ASSERT_EQ(MST_SetFileSystem(disc_, MST_FS_UDF102), QD_OK);
  }
  HANDLE disc_ = nullptr;
};

struct DlCase {
  const char* name;
  const char* kind;
  DWORD write_type;
  uint32_t header;  // H0
};
void PrintTo(const DlCase& c, std::ostream* os) { *os << c.name; }

class UdfDualLayerTest : public UdfMediaTest, public ::testing::WithParamInterface<DlCase> {};

TEST_P(UdfDualLayerTest, HeaderOnTheDiscAndInTheForecast) {
  const DlCase& c = GetParam();
  OpenDrive(c.kind);
  BuildDisc();
  // The forecast does not know the write type: both dual layer kinds count with 272 blocks.
  // 272 + 3 area blocks + the file + the anchor = 277 blocks, rounded to 288; no run-out.
  EXPECT_EQ(MST_GetDatadiskSize(disc_, drive_), 288u * 2048);

  ASSERT_EQ(MST_WriteDatadisk(drive_, disc_, c.write_type, nullptr, FALSE, 0), QD_OK)
      << std::hex << MST_GetLastError(disc_);
  // The file set descriptor at 257 names the root's entry, the first block after the header.
  std::vector<uint8_t> fsd = ReadBacking(257, 1);
  ASSERT_EQ(GetLe16(fsd.data()), 256);
  EXPECT_EQ(GetLe32(fsd.data() + 404), c.header - 257);
  // The file follows the three blocks of the area, the closing anchor follows the file.
  std::vector<uint8_t> file = ReadBacking(c.header + 3, 1);
  EXPECT_EQ(file[0], 'x');
  std::vector<uint8_t> anchor = ReadBacking(c.header + 4, 1);
  EXPECT_EQ(GetLe16(anchor.data()), 2);
  EXPECT_EQ(GetLe32(anchor.data() + 12), c.header + 4);

  if (!HaveTool("udfinfo")) GTEST_SKIP() << "udfinfo is not installed";
  const std::string image = WorkPath("disc.img");
  {
    std::vector<uint8_t> blocks = ReadBacking(0, c.header + 5);
    std::ofstream(image, std::ios::binary).write(reinterpret_cast<const char*>(blocks.data()), blocks.size());
  }
  std::string out;
  ASSERT_EQ(Shell("udfinfo " + Quote(image) + " 2>&1", &out), 0) << out;
  EXPECT_NE(out.find("numfiles=1\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("WARNING"), std::string::npos) << out;
  if (HaveTool("7z")) {
    const std::string dir = WorkPath("x");
    ASSERT_EQ(Shell("7z x -tudf -y -o" + Quote(dir) + " " + Quote(image), &out), 0) << out;
    std::ifstream in(dir + "/a.txt");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "x");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, UdfDualLayerTest,
    ::testing::Values(DlCase{"sequential_incremental", "dvd-r-dl", 1, 272},
                      DlCase{"sequential_at_once", "dvd-r-dl", 3, 259},
                      DlCase{"jump_incremental", "dvd-r-dl-lj", 1, 272},
                      // A drive reports the jump profile only while its write parameters ask
                      // for a jump; the media query sets track at once, so a job at once records
                      // the disc sequentially, with the small header.
                      DlCase{"jump_medium_at_once", "dvd-r-dl-lj", 3, 259}),
    [](const ::testing::TestParamInfo<DlCase>& info) { return std::string(info.param.name); });

// Single layer media keep the small header, with and without run-out.
TEST_F(UdfMediaTest, SingleLayerMediaKeepTheSmallHeader) {
  OpenDrive("dvd-r");
  BuildDisc();
  EXPECT_EQ(MST_GetDatadiskSize(disc_, drive_), 272u * 2048);  // 264 rounded to 16
  ASSERT_EQ(MST_WriteDatadisk(drive_, disc_, 1, nullptr, FALSE, 0), QD_OK);
  std::vector<uint8_t> fsd = ReadBacking(257, 1);
  EXPECT_EQ(GetLe32(fsd.data() + 404), 2u);
  EXPECT_EQ(ReadBacking(262, 1)[0], 'x');
}

TEST_F(UdfMediaTest, CdMediaRunOutAfterTheAnchor) {
  OpenDrive("cd-r");
  BuildDisc();
  // E = 264 (the anchor at 263), T = 414, rounded to 416.
  EXPECT_EQ(MST_GetDatadiskSize(disc_, drive_), 416u * 2048);
}

}  // namespace
}  // namespace quillden::recording::testing
