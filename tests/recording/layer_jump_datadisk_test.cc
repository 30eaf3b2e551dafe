// A data disc written onto DVD-R DL layer jump media in one session that crosses the layer jump:
// the file across the jump is recorded in two pieces, the later files on layer 1, and the UDF
// volume read from the blocks as they lie on the disc gives back every file byte for byte.
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include <gtest/gtest.h>

#include "quillden/datadisk.h"
#include "quillden/drive.h"
#include "quillden/mastering.h"
#include "quillden/progress.h"
#include "quillden/result.h"
#include "recording_fixture.h"

#ifdef QUENVAR_HAVE_UDFREAD
#include <udfread/udfread.h>
#endif

namespace quillden::recording::testing {
namespace {

constexpr uint32_t kLayer0 = 4171712 / 2;  // the standard virtual disc

class LayerJumpDatadiskTest : public VirtualDriveTest {
 protected:
  void TearDown() override {
    if (disc_ != nullptr) MST_DestroyDatadisk(disc_);
    VirtualDriveTest::TearDown();
  }
  void BuildDisc(const std::string& folder, DWORD file_system) {
    disc_ = MakeDatadisk(folder, file_system);
    ASSERT_NE(disc_, nullptr);
  }
  HANDLE disc_ = nullptr;
};

#ifdef QUENVAR_HAVE_UDFREAD
std::vector<uint8_t> ReadUdfFile(udfread* udf, const std::string& path) {
  std::vector<uint8_t> data;
  UDFFILE* file = udfread_file_open(udf, ("/" + path).c_str());
  if (file == nullptr) return data;
  std::vector<uint8_t> buffer(1 << 20);
  ssize_t n;
  while ((n = udfread_file_read(file, buffer.data(), buffer.size())) > 0) data.insert(data.end(), buffer.begin(), buffer.begin() + n);
  udfread_file_close(file);
  return data;
}
#endif

TEST_F(LayerJumpDatadiskTest, SessionAcrossTheJumpReadsBackFromTheRecordedBlocks) {
  const std::string folder = ::testing::TempDir() + "/layer-jump-tree-" + std::to_string(::getpid());
  const FileSet files = MakeFiles(folder, 31, 40u << 20);
  BuildDisc(folder, MST_FS_UDF102);
  // The same disc again onto single layer media afterwards: the split of the first job does not
  // carry over to the next.
  for (const char* kind : {"dvd-r-dl-lj", "dvd+r"}) {
    SCOPED_TRACE(kind);
    OpenDrive(kind);
    const bool jump = std::string(kind) == "dvd-r-dl-lj";
    HANDLE progress = PRG_CreateProgress();
    ASSERT_EQ(MST_WriteDatadisk(drive_, disc_, 2, progress, FALSE, 0), 0u);
    EXPECT_EQ(WaitForJob(progress), PRG_STATUS_SUCCEEDED) << std::hex << PRG_GetProgressErrorCode(progress);
    PRG_DestroyProgress(progress);
    ASSERT_EQ(MST_GetLastError(disc_), 0u);

    // On layer jump media writing went on on layer 1, from the block opposite the jump.
    uint32_t layer1_first = 0xFFFFFFFFu;
    uint32_t layer1_end = 0;
    for (const LoggedCommand& c : log_->Commands(0x2A)) {
      if (c.lba() < kLayer0) continue;
      layer1_first = std::min(layer1_first, c.lba());
      layer1_end = std::max(layer1_end, c.lba() + c.blocks());
    }
    ASSERT_EQ(layer1_first != 0xFFFFFFFFu, jump) << "the session never reached the jump";

    // The closing anchor lies on layer 1 and names the block it is recorded at.
    if (jump) {
      const std::vector<uint8_t> layer1 = ReadBacking(layer1_first, layer1_end - layer1_first);
      uint32_t anchors = 0;
      for (uint32_t i = 0; i < layer1_end - layer1_first; ++i) {
        const uint8_t* tag = layer1.data() + size_t{i} * 2048;
        if (tag[0] != 2 || tag[1] != 0) continue;
        uint8_t sum = 0;
        for (int k = 0; k < 16; ++k) sum = static_cast<uint8_t>(sum + (k == 4 ? 0 : tag[k]));
        if (sum != tag[4]) continue;
        ++anchors;
        const uint32_t location = tag[12] | (tag[13] << 8) | (tag[14] << 16) | (uint32_t{tag[15]} << 24);
        EXPECT_EQ(location, layer1_first + i);
      }
      EXPECT_EQ(anchors, 1u);
    }

#ifdef QUENVAR_HAVE_UDFREAD
    udfread* udf = udfread_init();
    ASSERT_NE(udf, nullptr);
    ASSERT_GE(udfread_open(udf, path_.c_str()), 0) << "no UDF volume on the recorded blocks";
    for (const auto& [name, bytes] : files) {
      EXPECT_TRUE(ReadUdfFile(udf, name) == bytes) << name;
    }
    udfread_close(udf);
#endif
    VirtualDriveTest::TearDown();
  }
  std::filesystem::remove_all(folder);
#ifndef QUENVAR_HAVE_UDFREAD
  GTEST_SKIP() << "libudfread is not installed";
#endif
}

// ISO 9660 structures cannot follow files around the jump: the selection is refused before a
// block is written.
TEST_F(LayerJumpDatadiskTest, BridgeSelectionIsRefusedUntouched) {
  OpenDrive("dvd-r-dl-lj");
  const std::string folder = WorkPath("tree");
  MakeFiles(folder, 32, 1u << 20);
  BuildDisc(folder, MST_FS_ISO9660_JOLIET_UDF102);
  EXPECT_EQ(MST_WriteDatadisk(drive_, disc_, 2, nullptr, FALSE, 0), QD_E_INVALID_ARGUMENT);
  EXPECT_TRUE(log_->Commands(0x2A).empty());
}

}  // namespace
}  // namespace quillden::recording::testing
