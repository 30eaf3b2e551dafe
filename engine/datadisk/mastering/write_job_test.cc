#include "datadisk/mastering/write_job.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <thread>
#include <vector>

#include "datadisk/datadisk_env.h"
#include "datadisk/mastering/test_util.h"
#include "platform/fault_injection_env.h"
#include "quillden/progress.h"
#include "quillden/result.h"
#include "util/byte_order.h"

namespace quillden::mastering {
namespace {

using testing::DiscHolder;
using testing::ReadAll;
using testing::ScratchFolder;
using testing::U16;

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

std::string Pattern(size_t size, int seed) {
  std::string data(size, '\0');
  uint32_t x = static_cast<uint32_t>(seed) * 2654435761u + 1;
  for (char& c : data) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 16);
  }
  return data;
}

class WriteJobTest : public ::testing::Test {
 protected:
  void SetUp() override { MST_SetFileSystem(disc_.get(), MST_FS_ISO9660_JOLIET); }
  void TearDown() override {
    SetDatadiskEnvForTesting(nullptr);
    SetKernelCopyForTesting(true);
  }
  DWORD Create(HANDLE progress = nullptr) {
    return MST_CreateISOImage(U16(image_).c_str(), disc_.get(), progress, FALSE);
  }
  ScratchFolder folder_;
  DiscHolder disc_;
  std::string image_ = folder_ / "out.iso";
};

TEST_F(WriteJobTest, OneFileImageMatchesItsLayout) {
  disc_.Add(folder_.Write("a.txt", "x"));
  ASSERT_EQ(Create(), QD_OK);
  std::string image = ReadAll(image_);
  ASSERT_EQ(image.size(), 26u * 2048);
  const auto* b = reinterpret_cast<const uint8_t*>(image.data());
  EXPECT_EQ(GetLe32(b + 16 * 2048 + 80), 26u);  // volume space size, no run-out in a file
  EXPECT_EQ(b[17 * 2048], 2);
  EXPECT_EQ(b[18 * 2048], 255);
  EXPECT_EQ(GetLe32(b + 16 * 2048 + 140), 19u);  // L path table after the header
  EXPECT_EQ(image[25 * 2048], 'x');
  for (size_t i = 25 * 2048 + 1; i < image.size(); ++i) ASSERT_EQ(image[i], 0);
  // The forecast is this image plus the run-out of CD media.
  EXPECT_EQ(MST_GetDatadiskSize(disc_.get(), nullptr), 304u * 2048);
}

TEST_F(WriteJobTest, BufferedAndKernelCopiesAgree) {
  std::string big = Pattern(10 * 1024 * 1024 + 4097, 1);
  disc_.Add(folder_.Write("big.bin", big));
  disc_.Add(folder_.Write("small.bin", Pattern(100, 2)));
  ASSERT_EQ(Create(), QD_OK);
  std::string kernel = ReadAll(image_);
  SetKernelCopyForTesting(false);
  ASSERT_EQ(Create(), QD_OK);
  std::string buffered = ReadAll(image_);
  ASSERT_EQ(kernel.size(), buffered.size());
  std::shared_ptr<Datadisk> d = Datadisk::FromHandle(disc_.get());
  uint32_t location = FindChild(*d, nullptr, u"big.bin")->location;
  EXPECT_EQ(buffered.substr(location * 2048ull, big.size()), big);
  EXPECT_EQ(kernel.substr(location * 2048ull), buffered.substr(location * 2048ull));
}

TEST_F(WriteJobTest, ProgressObjectRunsTheJobOnAWorker) {
  disc_.Add(folder_.Write("a.bin", Pattern(50000, 3)));
  HANDLE progress = PRG_CreateProgress();
  ASSERT_EQ(Create(progress), QD_OK);
  DWORD phase = 0, done = 0, end = 0, status = 0;
  for (int i = 0; i < 500; ++i) {
    status = PRG_GetProgressStatus(progress, &phase, &done, &end);
    if (status != PRG_STATUS_RUNNING) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(status, PRG_STATUS_SUCCEEDED);
  EXPECT_EQ(phase, PRG_PHASE_WRITING_IMAGE);
  EXPECT_EQ(end, 25u + 25u);
  EXPECT_EQ(done, end);
  EXPECT_EQ(PRG_GetProgressErrorCode(progress), QD_OK);
  EXPECT_EQ(ReadAll(image_).size(), 50u * 2048);
  PRG_DestroyProgress(progress);
}

TEST_F(WriteJobTest, VanishedSourceEndsTheJobAndLeavesTheTree) {
  disc_.Add(folder_.Write("keep.txt", "k"));
  std::string gone = folder_.Write("sub/gone.txt", "g");
  disc_.Add(gone, "sub");
  ASSERT_EQ(unlink(gone.c_str()), 0);
  EXPECT_EQ(Create(), QD_E_SOURCE_MISSING);
  EXPECT_FALSE(Exists(image_));
  EXPECT_EQ(MST_GetLastError(disc_.get()), QD_E_SOURCE_MISSING);
  char16_t buffer[260];
  MST_GetErrorFileName(disc_.get(), buffer);
  EXPECT_EQ(std::u16string(buffer), U16(gone));
  MST_GetErrorTargetPath(disc_.get(), buffer);
  EXPECT_EQ(std::u16string(buffer), u"sub\\gone.txt");
  // The second attempt writes the disc without it.
  EXPECT_EQ(Create(), QD_OK);
  EXPECT_EQ(MST_GetNumberOfWriteFile(disc_.get()), 1u);
}

TEST_F(WriteJobTest, DiskFullRemovesTheImage) {
  disc_.Add(folder_.Write("a.bin", Pattern(300000, 4)));
  // The fault-injecting files hand out their descriptors; the kernel copy would pass them by.
  SetKernelCopyForTesting(false);
  quenvar::platform::FaultInjectionEnv env;
  env.LimitWrites(100000);
  SetDatadiskEnvForTesting(&env);
  EXPECT_EQ(Create(), QD_E_WRITE_FILE);
  EXPECT_FALSE(Exists(image_));
  EXPECT_EQ(MST_GetLastError(disc_.get()), QD_E_WRITE_FILE);
}

TEST_F(WriteJobTest, ReadFailureAndShrunkSource) {
  std::string source = folder_.Write("a.bin", Pattern(300000, 5));
  disc_.Add(source);
  SetKernelCopyForTesting(false);
  quenvar::platform::FaultInjectionEnv env;
  env.FailNthCall(quenvar::platform::FaultKind::kRead, 1);
  SetDatadiskEnvForTesting(&env);
  EXPECT_EQ(Create(), QD_E_READ_FILE);
  EXPECT_FALSE(Exists(image_));
  SetDatadiskEnvForTesting(nullptr);
  ASSERT_EQ(truncate(source.c_str(), 1000), 0);
  EXPECT_EQ(Create(), QD_E_READ_FILE);
  EXPECT_FALSE(Exists(image_));
  SetKernelCopyForTesting(true);
  EXPECT_EQ(Create(), QD_E_READ_FILE);
  EXPECT_FALSE(Exists(image_));
}

TEST_F(WriteJobTest, SmallFilesAreStagedAndEmptyOnesNeverOpened) {
  // Several stages' worth of small files, a file too large for the stage among them, and empty
  // files: every content lands at its planned block with zeros after it.
  std::vector<std::pair<std::string, std::string>> files;
  for (int i = 0; i < 400; ++i) {
    std::string name = "s" + std::to_string(1000 + i) + ".bin";
    size_t size = i % 7 == 0 ? 0 : i == 200 ? 70000 : static_cast<size_t>(i * 37 % 9000 + 1);
    files.emplace_back(name, Pattern(size, i));
    folder_.Write("tree/" + name, files.back().second);
  }
  disc_.Add(folder_ / "tree", "tree");
  ASSERT_EQ(Create(), QD_OK);
  std::string image = ReadAll(image_);
  std::shared_ptr<Datadisk> d = Datadisk::FromHandle(disc_.get());
  DatadiskEntry* tree = FindChild(*d, nullptr, u"tree");
  ASSERT_NE(tree, nullptr);
  for (const auto& [name, content] : files) {
    const DatadiskEntry* e = FindChild(*d, tree, U16(name));
    ASSERT_NE(e, nullptr) << name;
    if (content.empty()) continue;
    const size_t at = e->location * 2048ull;
    ASSERT_EQ(image.substr(at, content.size()), content) << name;
    const size_t padded = (content.size() + 2047) / 2048 * 2048;
    EXPECT_EQ(image.substr(at + content.size(), padded - content.size()),
              std::string(padded - content.size(), '\0'))
        << name;
  }

  // An empty source that went away costs nothing; a small one that shrank fails the job.
  ASSERT_EQ(unlink((folder_ / "tree/s1000.bin").c_str()), 0);
  EXPECT_EQ(Create(), QD_OK);
  ASSERT_EQ(truncate((folder_ / "tree/s1001.bin").c_str(), 10), 0);
  EXPECT_EQ(Create(), QD_E_READ_FILE);
  EXPECT_FALSE(Exists(image_));
  char16_t buffer[260];
  MST_GetErrorTargetPath(disc_.get(), buffer);
  EXPECT_EQ(std::u16string(buffer), u"tree\\s1001.bin");
}

// A large file, then a folder of many small ones: the small files at the end go through a second
// writer on its own thread.
class TwoWritersTest : public WriteJobTest {
 protected:
  static constexpr int kSmallFiles = 1200;
  void SetUp() override {
    WriteJobTest::SetUp();
    disc_.Add(folder_.Write("big.bin", Pattern(300000, 7)));
    for (int i = 0; i < kSmallFiles; ++i) {
      std::string name = "s" + std::to_string(10000 + i) + ".bin";
      size_t size = i % 50 == 0 ? 0 : static_cast<size_t>(i * 53 % 3000 + 1);
      small_.emplace_back(name, Pattern(size, i));
      folder_.Write("drivers/" + name, small_.back().second);
    }
    disc_.Add(folder_ / "drivers", "drivers");
    SetDatadiskEnvForTesting(&env_);
  }
  void ExpectFailedNaming(DWORD code, const std::u16string& target) {
    EXPECT_EQ(Create(), code);
    EXPECT_FALSE(Exists(image_));
    char16_t buffer[260];
    MST_GetErrorTargetPath(disc_.get(), buffer);
    EXPECT_EQ(std::u16string(buffer), target);
  }
  std::string Small(int i) { return folder_ / ("drivers/" + small_[i].first); }

  quenvar::platform::FaultInjectionEnv env_;
  std::vector<std::pair<std::string, std::string>> small_;
};

TEST_F(TwoWritersTest, EveryFileLandsAtItsPlace) {
  ASSERT_EQ(Create(), QD_OK);
  // The image, the second writer's handle on it, and every file that has content.
  int with_content = 1;
  for (const auto& file : small_) with_content += file.second.empty() ? 0 : 1;
  EXPECT_EQ(env_.CallCount(quenvar::platform::FaultKind::kOpen), with_content + 2u);
  std::string image = ReadAll(image_);
  std::shared_ptr<Datadisk> d = Datadisk::FromHandle(disc_.get());
  DatadiskEntry* drivers = FindChild(*d, nullptr, u"drivers");
  ASSERT_NE(drivers, nullptr);
  EXPECT_EQ(image.substr(FindChild(*d, nullptr, u"big.bin")->location * 2048ull, 300000),
            Pattern(300000, 7));
  for (const auto& [name, content] : small_) {
    const DatadiskEntry* e = FindChild(*d, drivers, U16(name));
    ASSERT_NE(e, nullptr) << name;
    const size_t at = e->location * 2048ull;
    const size_t padded = (content.size() + 2047) / 2048 * 2048;
    ASSERT_EQ(image.substr(at, padded), content + std::string(padded - content.size(), '\0'))
        << name;
  }
  // The tail of the image: the last file's padding, then what the file systems end with.
  EXPECT_EQ(image.size() % 2048, 0u);
}

TEST_F(TwoWritersTest, FailuresOfEitherWriterFailTheJobAndNameTheFile) {
  // A source gone near the end: the job fails naming it and drops it; the next attempt succeeds.
  ASSERT_EQ(unlink(Small(kSmallFiles - 7).c_str()), 0);
  ExpectFailedNaming(QD_E_SOURCE_MISSING, u"drivers\\" + U16(small_[kSmallFiles - 7].first));
  EXPECT_EQ(Create(), QD_OK);
  EXPECT_EQ(MST_GetNumberOfWriteFile(disc_.get()), static_cast<DWORD>(kSmallFiles));

  // A source that shrank near the end.
  ASSERT_EQ(truncate(Small(kSmallFiles - 3).c_str(), 0), 0);
  ExpectFailedNaming(QD_E_READ_FILE, u"drivers\\" + U16(small_[kSmallFiles - 3].first));
  folder_.Write("drivers/" + small_[kSmallFiles - 3].first, small_[kSmallFiles - 3].second);

  // The first writer's file gone while the second writer works: the first writer's failure is
  // the one reported.
  ASSERT_EQ(unlink((folder_ / "big.bin").c_str()), 0);
  ExpectFailedNaming(QD_E_SOURCE_MISSING, u"big.bin");

  // A full disk, wherever it strikes.
  for (uint64_t budget : {uint64_t{100000}, uint64_t{1500000}}) {
    env_.LimitWrites(budget);
    EXPECT_EQ(Create(), QD_E_WRITE_FILE) << budget;
    EXPECT_FALSE(Exists(image_));
    env_.Reset();
  }
  EXPECT_EQ(Create(), QD_OK);
}

TEST_F(WriteJobTest, RefusedTreesLeaveAnExistingFileAlone) {
  folder_.Write("out.iso", "precious");
  EXPECT_EQ(Create(), QD_E_NOT_FOUND);
  std::string big = folder_ / "big.bin";
  { std::ofstream(big) << ""; }
  ASSERT_EQ(truncate(big.c_str(), 4294967296LL), 0);
  disc_.Add(big);
  EXPECT_EQ(Create(), QD_E_FILE_TOO_LARGE_FOR_ISO);
  MST_SetFileSystem(disc_.get(), MST_FS_ISO9660_JOLIET_UDF102);
  EXPECT_EQ(Create(), QD_E_FILE_TOO_LARGE_FOR_ISO);  // the bridge keeps the ISO 9660 limit
  EXPECT_EQ(ReadAll(image_), "precious");
  EXPECT_EQ(MST_CreateISOImage(u"/tmp/a:b.iso", disc_.get(), nullptr, FALSE), QD_E_BAD_CHARACTER);
  EXPECT_EQ(MST_CreateISOImage(u"", disc_.get(), nullptr, FALSE), QD_E_INVALID_ARGUMENT);
  EXPECT_EQ(MST_CreateISOImage(u"/tmp/x.iso", nullptr, nullptr, FALSE), QD_E_INVALID_HANDLE);
  MST_SetFileSystem(disc_.get(), MST_FS_ISO9660_JOLIET);
  EXPECT_EQ(
      MST_CreateISOImage(U16(folder_ / "no/such/dir/x.iso").c_str(), disc_.get(), nullptr, FALSE),
      QD_E_FILE_TOO_LARGE_FOR_ISO);
}

TEST_F(WriteJobTest, UncreatableTargetAndBusyProgress) {
  disc_.Add(folder_.Write("a.txt", "x"));
  EXPECT_EQ(
      MST_CreateISOImage(U16(folder_ / "no/such/dir/x.iso").c_str(), disc_.get(), nullptr, FALSE),
      QD_E_FILE_OPEN);
  EXPECT_EQ(MST_GetLastError(disc_.get()), QD_E_FILE_OPEN);
  int not_a_progress_object = 0;
  EXPECT_EQ(Create(&not_a_progress_object), QD_E_INVALID_HANDLE);
}

}  // namespace
}  // namespace quillden::mastering
