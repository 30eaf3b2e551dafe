// CPY_WriteISOImage: a plain ISO image recorded as one track reads back file for file; images
// that cannot be recorded are refused before the media is touched.
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "platform/unicode.h"
#include "quillden/drive.h"
#include "quillden/image.h"
#include "quillden/progress.h"
#include "quillden/result.h"
#include "recording_fixture.h"

namespace quillden::recording::testing {
namespace {

std::u16string U16(const std::string& text) { return quenvar::platform::Utf8ToUtf16(text); }

class WriteIsoImageTest : public VirtualDriveTest {};

TEST_F(WriteIsoImageTest, ImageReadsBackFileForFileWithProgress) {
  for (const auto& [kind, mode] : {std::pair<const char*, DWORD>{"cd-r", 3}, {"dvd+r", 1}, {"dvd-rw", 2}}) {
    SCOPED_TRACE(kind);
    OpenDrive(kind);
    const std::string folder = WorkPath("files");
    const FileSet files = MakeFiles(folder, 21, (9u << 20) + 5);
    const std::string iso = WorkPath("image.iso");
    const std::vector<uint8_t> image = MakeIso(folder, iso);
    ASSERT_FALSE(image.empty());
    HANDLE progress = PRG_CreateProgress();
    ASSERT_EQ(CPY_WriteISOImage(drive_, mode, 1, U16(iso).c_str(), progress), 0u);
    DWORD status, phase = 0, done = 0, end = 0;
    while ((status = PRG_GetProgressStatus(progress, &phase, &done, &end)) == PRG_STATUS_RUNNING) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    while (PRG_GetProgressErrorCode(progress) == QD_E_BUSY) std::this_thread::yield();
    EXPECT_EQ(status, PRG_STATUS_SUCCEEDED) << std::hex << PRG_GetProgressErrorCode(progress);
    PRG_DestroyProgress(progress);
    ExpectImageHolds(path_, image.size() / 2048, files);
    EXPECT_EQ(ReadBacking(0, image.size() / 2048), image);
    VirtualDriveTest::TearDown();
  }
}

TEST_F(WriteIsoImageTest, RefusalsInOrderLeaveTheMediaUntouched) {
  OpenDrive("dvd+r", 3000);
  const std::string odd = WorkPath("odd.iso");
  std::ofstream(odd, std::ios::binary) << std::string(2048 * 3 + 1, 'x');
  const std::string big = WorkPath("big.iso");
  std::ofstream(big, std::ios::binary) << std::string(2048 * 3001, 'x');
  const std::string empty = WorkPath("empty.iso");
  std::ofstream(empty, std::ios::binary).flush();

  EXPECT_EQ(CPY_WriteISOImage(nullptr, 1, 1, U16(odd).c_str(), nullptr), QD_E_INVALID_HANDLE);
  EXPECT_EQ(CPY_WriteISOImage(drive_, 4, 1, U16(odd).c_str(), nullptr), QD_E_INVALID_ARGUMENT);
  EXPECT_EQ(CPY_WriteISOImage(drive_, 1, 3, U16(odd).c_str(), nullptr), QD_E_INVALID_ARGUMENT);
  EXPECT_EQ(CPY_WriteISOImage(drive_, 1, 1, U16(odd).c_str(), nullptr), QD_E_WRONG_FORM);
  EXPECT_EQ(CPY_WriteISOImage(drive_, 1, 1, U16(empty).c_str(), nullptr), QD_E_WRONG_FORM);
  EXPECT_EQ(CPY_WriteISOImage(drive_, 1, 1, U16(big).c_str(), nullptr), QD_E_NO_SPACE);
  EXPECT_EQ(CPY_WriteISOImage(drive_, 1, 1, U16(WorkPath("missing.iso")).c_str(), nullptr), QD_E_FILE_OPEN);
  EXPECT_EQ(CPY_WriteISOImage(drive_, 1, 1, U16(WorkPath("a?b.iso")).c_str(), nullptr), QD_E_BAD_CHARACTER);
  EXPECT_TRUE(log_->Commands(0x2A).empty());

  // Written once and left open: disc at once needs blank media.
  VirtualDriveTest::TearDown();
  OpenDrive("dvd+r");
  const std::string small = WorkPath("small.iso");
  std::ofstream(small, std::ios::binary) << std::string(2048 * 20, 'y');
  ASSERT_EQ(CPY_WriteISOImage(drive_, 1, 1, U16(small).c_str(), nullptr), 0u);
  _MEDIAINFORMATION info{};
  ASSERT_EQ(DRV_GetMediaInformation(drive_, &info), 0u);
  EXPECT_EQ(info.dwStatus, MEDIA_STATUS_APPENDABLE) << info.dwNextWritable << " " << info.dwFree;
  EXPECT_EQ(CPY_WriteISOImage(drive_, 3, 1, U16(small).c_str(), nullptr), QD_E_INVALID_ARGUMENT);
}

}  // namespace
}  // namespace quillden::recording::testing
