// MST_WriteDatadisk onto virtual drives: the disc reads back file for file, is left in the state
// the write type gives, and the job reports through its progress object; the refusals come before
// anything is written.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "datadisk/datadisk_env.h"
#include "platform/fault_injection_env.h"
#include "platform/unicode.h"
#include "quillden/datadisk.h"
#include "quillden/drive.h"
#include "quillden/mastering.h"
#include "quillden/progress.h"
#include "quillden/result.h"
#include "recording_fixture.h"

namespace quillden::recording::testing {
namespace {

std::u16string U16(const std::string& text) {
  return quenvar::platform::Utf8ToUtf16(text);
}

class WriteDatadiskTest : public VirtualDriveTest {
 protected:
  void TearDown() override {
    if (disc_ != nullptr) MST_DestroyDatadisk(disc_);
    VirtualDriveTest::TearDown();
  }
  // A disc of the files MakeFiles puts in folder, every top-level item at the root.
  void BuildDisc(const std::string& folder) {
    disc_ = MST_CreateDatadisk();
    for (const auto& item : std::filesystem::directory_iterator(folder)) {
      const bool is_folder = item.is_directory();
      const std::string target = is_folder ? item.path().filename().string() : "";
      ASSERT_NE(MST_AddDatadiskFile(disc_, U16(item.path().string()).c_str(), U16(target).c_str()),
                INVALID_HANDLE_VALUE)
          << item.path() << " 0x" << std::hex << MST_GetLastError(disc_);
    }
  }
  // Waits for the job, noting every phase seen on the way.
  DWORD Wait(HANDLE progress, std::vector<DWORD>* phases) {
    for (;;) {
      DWORD phase = 0, done = 0, end = 0;
      DWORD status = PRG_GetProgressStatus(progress, &phase, &done, &end);
      if (phases->empty() || phases->back() != phase) phases->push_back(phase);
      if (status != PRG_STATUS_RUNNING && status != PRG_STATUS_CANCEL_REQUESTED) {
        // The status is set just before the worker ends; its exit code follows a moment later.
        while (PRG_GetProgressErrorCode(progress) == QD_E_BUSY) std::this_thread::yield();
        return status;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  }
  HANDLE disc_ = nullptr;
};

struct MediaCase {
  const char* name;
  const char* kind;
  DWORD write_type;
  uint16_t profile_after;
  uint8_t disc_status_after;  // READ DISC INFORMATION: 1 appendable, 2 complete
};
void PrintTo(const MediaCase& c, std::ostream* os) {
  *os << c.name;
}

class WriteDatadiskMediaTest : public WriteDatadiskTest,
                               public ::testing::WithParamInterface<MediaCase> {};

TEST_P(WriteDatadiskMediaTest, FilesReadBackAndDiscIsClosedAsAsked) {
  const MediaCase& c = GetParam();
  OpenDrive(c.kind);
  const std::string folder = WorkPath("files");
  const FileSet files = MakeFiles(folder, 11, (13u << 20) + 77);  // wraps the ring, ends mid-block
  BuildDisc(folder);
  const ULONGLONG size = MST_GetDatadiskSize(disc_, drive_);
  ASSERT_NE(size, ~0ULL);

  HANDLE progress = PRG_CreateProgress();
  ASSERT_EQ(MST_WriteDatadisk(drive_, disc_, c.write_type, progress, FALSE, 0), 0u);
  std::vector<DWORD> phases;
  EXPECT_EQ(Wait(progress, &phases), PRG_STATUS_SUCCEEDED)
      << "0x" << std::hex << PRG_GetProgressErrorCode(progress);
  EXPECT_EQ(PRG_GetProgressErrorCode(progress), 0u);
  _SESSIONTRACKPROGRESS words{};
  EXPECT_EQ(PRG_GetSessionTrackProgress(progress, &words), PRG_STATUS_SUCCEEDED);
  PRG_DestroyProgress(progress);

  // Writing first, flushing and closing after it; never back.
  ASSERT_FALSE(phases.empty());
  EXPECT_TRUE(std::is_sorted(phases.begin(), phases.end())) << ::testing::PrintToString(phases);
  EXPECT_EQ(phases.back(), PRG_PHASE_CLOSING);
  EXPECT_TRUE(std::find(phases.begin(), phases.end(), PRG_PHASE_WRITING) != phases.end() ||
              phases.front() > PRG_PHASE_WRITING);
  // The job's total is the session (sized like MST_GetDatadiskSize, which rounds to 16).
  const DWORD total = words.dwTotalSectors;
  EXPECT_LE(uint64_t{total} * 2048, size);
  EXPECT_GT(uint64_t{total} * 2048 + 16 * 2048, size);

  ExpectImageHolds(path_, total, files);
  EXPECT_EQ(Profile(), c.profile_after);
  drive::DiscInformation info;
  ASSERT_EQ(drive::ReadDiscInformation(drive_, &info), 0u);
  EXPECT_EQ(info.disc_status, c.disc_status_after);
}

INSTANTIATE_TEST_SUITE_P(Media, WriteDatadiskMediaTest,
                         ::testing::Values(MediaCase{"CdrClosed", "cd-r", 2, 0x09, 2},
                                           MediaCase{"DvdMinusROpen", "dvd-r", 1, 0x11, 1},
                                           MediaCase{"DvdPlusROpen", "dvd+r", 1, 0x1B, 1},
                                           MediaCase{"DvdPlusRw", "dvd+rw", 2, 0x1A, 2},
                                           MediaCase{"DvdMinusRw", "dvd-rw", 2, 0x13, 2}),
                         [](const ::testing::TestParamInfo<MediaCase>& info) {
                           return std::string(info.param.name);
                         });

TEST_F(WriteDatadiskTest, CdRunsOutAfterTheSessionWithoutProgressObject) {
  OpenDrive("cd-r");
  const std::string folder = WorkPath("files");
  const FileSet files = MakeFiles(folder, 3, 5000);
  BuildDisc(folder);
  ASSERT_EQ(MST_SetFileSystem(disc_, 1), 0u);  // ISO 9660 + Joliet alone: no UDF anchor
  ASSERT_EQ(MST_WriteDatadisk(drive_, disc_, 2, nullptr, TRUE, 0), 0u);
  // Without a progress object the job ran on this thread; small sessions take 300 blocks on CD.
  _TRACKINFORMATION track{};
  ASSERT_GE(DRV_GetTrackInformation(drive_, 1, &track, FALSE), 1);
  EXPECT_EQ(track.dwStart, 0u);
  // The drive counts the two run-out blocks of a track written at once.
  EXPECT_GE(track.dwSize, 300u);
  EXPECT_LE(track.dwSize, 302u);
  ExpectImageHolds(path_, 300, files);
}

TEST_F(WriteDatadiskTest, CancelEndsTheJobAndClosesDvdPlusRw) {
  OpenDrive("dvd+rw");
  const std::string folder = WorkPath("files");
  MakeFiles(folder, 5, 40u << 20);
  BuildDisc(folder);
  HANDLE progress = PRG_CreateProgress();
  ASSERT_EQ(MST_WriteDatadisk(drive_, disc_, 2, progress, FALSE, 0), 0u);
  // Cancelled once the first blocks reached the drive.
  for (DWORD done = 0; done == 0;) {
    ASSERT_EQ(PRG_GetProgressStatus(progress, nullptr, &done, nullptr), PRG_STATUS_RUNNING);
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  PRG_CancelProgress(progress);
  std::vector<DWORD> phases;
  EXPECT_EQ(Wait(progress, &phases), PRG_STATUS_CANCELLED);
  EXPECT_EQ(PRG_GetProgressErrorCode(progress), QD_E_CANCELLED);
  PRG_DestroyProgress(progress);
  EXPECT_EQ(MST_GetLastError(disc_), QD_E_CANCELLED);
  // The DVD+RW is closed after the last write the cancel let through.
  const std::vector<LoggedCommand> all = log_->All();
  auto last_of = [&all](uint8_t opcode) {
    for (size_t i = all.size(); i > 0; --i) {
      if (all[i - 1].opcode == opcode) return static_cast<int64_t>(i - 1);
    }
    return int64_t{-1};
  };
  EXPECT_GT(last_of(0x5B), last_of(0x2A)) << "the DVD+RW was not closed after the cancel";
  EXPECT_GE(last_of(0x2A), 0);
}

TEST_F(WriteDatadiskTest, MinimallyFinalizedDvdPlusRDualLayerIsPaddedBehindTheSession) {
  OpenDrive("dvd+r-dl");
  const std::string folder = WorkPath("files");
  const FileSet files = MakeFiles(folder, 8, 300000);
  BuildDisc(folder);
  HANDLE progress = PRG_CreateProgress();
  ASSERT_EQ(MST_WriteDatadisk(drive_, disc_, 1, progress, FALSE, 4), 0u);
  std::vector<DWORD> phases;
  EXPECT_EQ(Wait(progress, &phases), PRG_STATUS_SUCCEEDED)
      << std::hex << PRG_GetProgressErrorCode(progress);
  _SESSIONTRACKPROGRESS words{};
  PRG_GetSessionTrackProgress(progress, &words);
  PRG_DestroyProgress(progress);
  EXPECT_EQ(words.dwTotalSectors, 0x40000u);
  _TRACKINFORMATION track{};
  ASSERT_GE(DRV_GetTrackInformation(drive_, 1, &track, FALSE), 1);
  EXPECT_GE(track.dwSize, 0x40000u);
  // The padding follows the whole session: the file systems read as they were planned.
  const ULONGLONG size = MST_GetDatadiskSize(disc_, drive_);
  ExpectImageHolds(path_, size / 2048, files);
}

TEST_F(WriteDatadiskTest, RefusalsComeBeforeAnyWrite) {
  OpenDrive("dvd-r", 2000);
  const std::string folder = WorkPath("files");
  MakeFiles(folder, 9, 8u << 20);  // 4096 blocks: more than the disc holds
  BuildDisc(folder);
  HANDLE progress = PRG_CreateProgress();
  EXPECT_EQ(MST_WriteDatadisk(drive_, disc_, 1, progress, FALSE, 0), QD_E_NO_SPACE);
  EXPECT_EQ(MST_GetLastError(disc_), QD_E_NO_SPACE);
  EXPECT_EQ(MST_WriteDatadisk(drive_, disc_, 4, progress, FALSE, 0), QD_E_INVALID_ARGUMENT);
  EXPECT_EQ(MST_WriteDatadisk(nullptr, disc_, 1, progress, FALSE, 0), QD_E_INVALID_DRIVE);
  EXPECT_EQ(MST_WriteDatadisk(INVALID_HANDLE_VALUE, disc_, 1, progress, FALSE, 0),
            QD_E_INVALID_DRIVE);
  EXPECT_EQ(MST_WriteDatadisk(drive_, nullptr, 1, progress, FALSE, 0), QD_E_INVALID_HANDLE);
  EXPECT_EQ(MST_WriteDatadiskNoExistCheck(drive_, progress, 1, nullptr, FALSE, 0),
            QD_E_INVALID_HANDLE);
  EXPECT_TRUE(log_->Commands(0x2A).empty());  // WRITE (10)
  EXPECT_EQ(PRG_GetProgressStatus(progress, nullptr, nullptr, nullptr), PRG_STATUS_NOT_STARTED);
  PRG_DestroyProgress(progress);

  HANDLE empty = MST_CreateDatadisk();
  EXPECT_EQ(MST_WriteDatadisk(drive_, empty, 1, nullptr, FALSE, 0), QD_E_NOT_FOUND);
  // ISO 9660 cannot record a file of 4 GiB; the plan refuses it before the space is compared.
  const std::string huge = WorkPath("huge.bin");
  { std::ofstream(huge, std::ios::binary).flush(); }
  std::filesystem::resize_file(huge, 4ULL << 30);
  ASSERT_NE(MST_AddDatadiskFile(empty, U16(huge).c_str(), u""), INVALID_HANDLE_VALUE);
  ASSERT_EQ(MST_SetFileSystem(empty, 1), 0u);
  EXPECT_EQ(MST_WriteDatadisk(drive_, empty, 1, nullptr, FALSE, 0), QD_E_FILE_TOO_LARGE_FOR_ISO);
  MST_DestroyDatadisk(empty);
  EXPECT_TRUE(log_->Commands(0x2A).empty());
}

TEST_F(WriteDatadiskTest, WriteOnceDiscWithDataIsRefused) {
  for (const auto& [kind, write_type] : {std::pair<const char*, DWORD>{"dvd-r", 1}, {"cd-r", 2}}) {
    SCOPED_TRACE(kind);
    OpenDrive(kind);
    const std::string folder = WorkPath("files");
    MakeFiles(folder, 2, 3000);
    BuildDisc(folder);
    ASSERT_EQ(MST_WriteDatadisk(drive_, disc_, write_type, nullptr, FALSE, 0), 0u);
    const size_t writes = log_->Commands(0x2A).size();
    // Appendable (left open) or closed: both refused without the disc's imported session.
    EXPECT_EQ(MST_WriteDatadisk(drive_, disc_, write_type, nullptr, FALSE, 0),
              QD_E_MEDIA_NOT_WRITABLE);
    EXPECT_EQ(log_->Commands(0x2A).size(), writes);
    MST_DestroyDatadisk(disc_);
    disc_ = nullptr;
    VirtualDriveTest::TearDown();
  }
}

TEST_F(WriteDatadiskTest, SourceGoneSinceTheCheckEndsTheJobAndLeavesTheTree) {
  OpenDrive("dvd+r");
  const std::string folder = WorkPath("files");
  MakeFiles(folder, 4, 100000);
  BuildDisc(folder);
  std::filesystem::remove(folder + "/readme.txt");
  // Without the existence check the vanished file is found while streaming.
  EXPECT_EQ(MST_WriteDatadiskNoExistCheck(drive_, disc_, 1, nullptr, FALSE, 0),
            QD_E_SOURCE_MISSING);
  WCHAR name[512] = {};
  MST_GetErrorFileName(disc_, name);
  EXPECT_NE(quenvar::platform::Utf16ToUtf8(quenvar::platform::Utf16View(name)).find("readme.txt"),
            std::string::npos);
  EXPECT_EQ(MST_FindFullPathDatadiskFile(disc_, U16("readme.txt").c_str(), nullptr),
            INVALID_HANDLE_VALUE);
}

// Large files are read straight into the recorder's ring: a source that ends early or cannot be
// read in the middle fails the job with the file named; nothing of it is reported as recorded.
TEST_F(WriteDatadiskTest, LargeFileShortenedOrUnreadableMidwayFailsTheJob) {
  for (const bool shortened : {true, false}) {
    SCOPED_TRACE(shortened ? "shortened" : "read error");
    OpenDrive("dvd+r");
    const std::string folder = WorkPath(shortened ? "short" : "unreadable");
    std::filesystem::create_directories(folder);
    const std::string big = folder + "/big.bin";
    {
      std::vector<char> bytes((3u << 20) + 100);
      for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 131 + i / 4099);
      std::ofstream(big, std::ios::binary)
          .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    if (disc_ != nullptr) MST_DestroyDatadisk(disc_);
    BuildDisc(folder);
    quenvar::platform::FaultInjectionEnv env;
    if (shortened) {
      std::filesystem::resize_file(big, (1u << 20) + 5);
    } else {
      env.SetPathFilter(big);
      env.FailNthCall(quenvar::platform::FaultKind::kRead, 6);  // about 320 KiB into the file
      quillden::SetDatadiskEnvForTesting(&env);
    }
    HANDLE progress = PRG_CreateProgress();
    ASSERT_EQ(MST_WriteDatadiskNoExistCheck(drive_, disc_, 1, progress, FALSE, 0), 0u);
    std::vector<DWORD> phases;
    EXPECT_EQ(Wait(progress, &phases), PRG_STATUS_FAILED);
    EXPECT_EQ(PRG_GetProgressErrorCode(progress), QD_E_READ_FILE);
    PRG_DestroyProgress(progress);
    quillden::SetDatadiskEnvForTesting(nullptr);
    if (!shortened) {
      EXPECT_GE(env.CallCount(quenvar::platform::FaultKind::kRead), 6u);
    }
    WCHAR name[512] = {};
    MST_GetErrorFileName(disc_, name);
    EXPECT_NE(quenvar::platform::Utf16ToUtf8(quenvar::platform::Utf16View(name)).find("big.bin"),
              std::string::npos);
    if (shortened) VirtualDriveTest::TearDown();  // the next case on a fresh disc
  }
}

TEST_F(WriteDatadiskTest, ExistenceCheckDropsMissingSources) {
  OpenDrive("dvd+r");
  const std::string folder = WorkPath("files");
  FileSet files = MakeFiles(folder, 6, 100000);
  BuildDisc(folder);
  std::filesystem::remove(folder + "/readme.txt");
  files.erase("readme.txt");
  ASSERT_EQ(MST_WriteDatadisk(drive_, disc_, 1, nullptr, FALSE, 0), 0u);
  const ULONGLONG size = MST_GetDatadiskSize(disc_, drive_);
  ExpectImageHolds(path_, size / 2048, files);
}

}  // namespace
}  // namespace quillden::recording::testing
