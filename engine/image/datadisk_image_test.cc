// A data disc written into a disc image: the image opens, describes one data track, and that
// track is the ISO image of the same disc, byte for byte.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "platform/temp_dir.h"
#include "platform/unicode.h"
#include "quillden/datadisk.h"
#include "quillden/image.h"
#include "quillden/mastering.h"
#include "quillden/progress.h"
#include "quillden/result.h"
#include "util/byte_order.h"

namespace quillden::image {
namespace {

using quenvar::platform::ScopedTempDir;
using quenvar::platform::Utf8ToUtf16;

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class DatadiskImageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    disc_ = MST_CreateDatadisk();
    ASSERT_EQ(MST_SetFileSystem(disc_, 1), QD_OK);  // ISO 9660 and Joliet
    std::ofstream(dir_.Child("readme.txt")) << "hello";
    std::ofstream(dir_.Child("odd.bin")) << std::string(5000, 'o');
    ASSERT_NE(MST_AddDatadiskFile(disc_, Utf8ToUtf16(dir_.Child("readme.txt")).c_str(), u"docs"),
              INVALID_HANDLE_VALUE);
    ASSERT_NE(MST_AddDatadiskFile(disc_, Utf8ToUtf16(dir_.Child("odd.bin")).c_str(), u""), INVALID_HANDLE_VALUE);
  }
  void TearDown() override { MST_DestroyDatadisk(disc_); }

  DWORD CreateDiskImage(const std::string& path, HANDLE progress = nullptr) {
    return MST_CreateDiskImage(Utf8ToUtf16(path).c_str(), disc_, progress, FALSE);
  }

  ScopedTempDir dir_;
  HANDLE disc_ = nullptr;
};

TEST_F(DatadiskImageTest, TrackDataIsTheIsoImage) {
  std::string iso_path = dir_.Child("disc.iso");
  std::string image_path = dir_.Child("disc.wvm");
  std::string iso;
  std::string image;
  // The volume time has a resolution of one second; two images made within one agree.
  for (int attempt = 0; attempt < 3; ++attempt) {
    ASSERT_EQ(MST_CreateISOImage(Utf8ToUtf16(iso_path).c_str(), disc_, nullptr, FALSE), QD_OK);
    ASSERT_EQ(CreateDiskImage(image_path), QD_OK);
    iso = ReadAll(iso_path);
    image = ReadAll(image_path);
    if (image.size() > 125 && image.compare(125, std::string::npos, iso) == 0) break;
  }
  ASSERT_EQ(iso.size() % 2048, 0u);
  ASSERT_EQ(image.size(), 125 + iso.size());
  EXPECT_EQ(image.substr(125), iso);

  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(image.data());
  EXPECT_EQ(GetLe32(bytes + 44), CPY_IMAGE_SINGLE_DATA_TRACK);
  EXPECT_EQ(GetLe64(bytes + 48), 125u);  // payload offset: after the one entry
  EXPECT_EQ(GetLe64(bytes + 64 + 40), 125u);  // the entry's data offset

  HANDLE handle = CPY_OpenDiskImage(Utf8ToUtf16(image_path).c_str());
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(CPY_GetMediaDiskImage(handle), 0u);  // written for no particular media
  EXPECT_FALSE(CPY_IsAppendDiskImage(handle));
  EXPECT_FALSE(CPY_IsCdTextDiskImage(handle));
  EXPECT_EQ(CPY_CloseMethodDiskImage(handle), 0u);
  _TRACKINFORMATION info{};
  EXPECT_EQ(CPY_GetTrackInformation(handle, 1, &info), 1);
  EXPECT_EQ(info.dwStart, 0u);
  EXPECT_EQ(info.dwSize, iso.size() / 2048);
  EXPECT_EQ(info.dwMode, 1u);
  EXPECT_EQ(info.wTrack, 1);
  EXPECT_EQ(info.wSession, 1);
  EXPECT_EQ(CPY_CloseDiskImage(handle), QD_OK);
}

TEST_F(DatadiskImageTest, ProgressObjectAndDataMode) {
  ASSERT_EQ(MST_SetDataMode(disc_, 2), QD_OK);
  HANDLE progress = PRG_CreateProgress();
  std::string path = dir_.Child("mode2.wvm");
  ASSERT_EQ(CreateDiskImage(path, progress), QD_OK);
  DWORD phase = 0, done = 0, end = 0;
  while (PRG_GetProgressStatus(progress, &phase, &done, &end) == PRG_STATUS_RUNNING) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_EQ(PRG_GetProgressStatus(progress, &phase, &done, &end), PRG_STATUS_SUCCEEDED);
  EXPECT_EQ(phase, PRG_PHASE_WRITING_IMAGE);
  EXPECT_EQ(PRG_GetProgressErrorCode(progress), QD_OK);

  HANDLE handle = CPY_OpenDiskImage(Utf8ToUtf16(path).c_str());
  ASSERT_NE(handle, nullptr);
  _TRACKINFORMATION info{};
  CPY_GetTrackInformation(handle, 1, &info);
  EXPECT_EQ(info.dwMode, 2u);
  EXPECT_EQ(info.dwSize, end);
  CPY_CloseDiskImage(handle);
  PRG_DestroyProgress(progress);
}

TEST_F(DatadiskImageTest, FailuresLeaveNoImage) {
  std::string path = dir_.Child("gone.wvm");
  EXPECT_EQ(CreateDiskImage(dir_.Child("bad*name.wvm")), QD_E_BAD_CHARACTER);
  EXPECT_EQ(MST_CreateDiskImage(nullptr, disc_, nullptr, FALSE), QD_E_INVALID_ARGUMENT);
  EXPECT_EQ(MST_CreateDiskImage(u"x.wvm", INVALID_HANDLE_VALUE, nullptr, FALSE), QD_E_INVALID_HANDLE);

  std::remove(dir_.Child("odd.bin").c_str());  // a source vanishes before the stream reaches it
  EXPECT_EQ(CreateDiskImage(path), QD_E_SOURCE_MISSING);
  EXPECT_EQ(MST_GetLastError(disc_), QD_E_SOURCE_MISSING);
  EXPECT_FALSE(std::ifstream(path).good());

  HANDLE empty = MST_CreateDatadisk();
  EXPECT_EQ(MST_CreateDiskImage(Utf8ToUtf16(path).c_str(), empty, nullptr, FALSE), QD_E_NOT_FOUND);
  MST_DestroyDatadisk(empty);
}

}  // namespace
}  // namespace quillden::image
