// Every kind of engine job that reports through a progress object, cancelled at the edges and at
// random times on virtual recorders:
// - cancelled after it ended, the job keeps its final status and result (a poller sees the end);
// - cancelled before its worker ran, it ends "cancelled" and a job that writes leaves the medium
//   untouched;
// - cancelled at a random moment, it always ends (succeeded, failed or cancelled) and never hangs.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <thread>

#include "audio/wave_file.h"
#include "drive/drive_handle.h"
#include "drive/virtual/virtual_admin.h"
#include "platform/unicode.h"
#include "progress/progress_testing.h"
#include "quillden/audio.h"
#include "quillden/datadisk.h"
#include "quillden/drive.h"
#include "quillden/image.h"
#include "quillden/mastering.h"
#include "quillden/progress.h"
#include "quillden/result.h"
#include "recording_fixture.h"

namespace quillden::recording::testing {
namespace {

namespace fs = std::filesystem;
using quenvar::platform::Utf8ToUtf16;

// A virtual recorder of its own (the fixture's drive_ is the job's target).
struct SecondDrive {
  std::string path;
  HANDLE handle = nullptr;
  void Open(const std::string& file, const std::string& kind) {
    Close();
    path = file;
    std::string error;
    ASSERT_TRUE(drive::CreateVirtualBlank(path, kind, 0, &error)) << error;
    drive::VirtualTiming timing;
    timing.blank_ms = timing.format_ms = timing.close_ms = timing.flush_ms =
        timing.background_format_ms = 0;
    ASSERT_TRUE(drive::SetVirtualTiming(path, timing, &error)) << error;
    auto transport = drive::OpenVirtualRecorder(path, kind, &error);
    ASSERT_NE(transport, nullptr) << error;
    handle = drive::OpenDriveOnTransport(std::move(transport), 0);
  }
  void Close() {
    if (handle != nullptr) DRV_CloseDrive(handle);
    handle = nullptr;
    std::error_code ignored;
    if (!path.empty()) {
      for (const char* suffix : {"", ".state", ".raw"}) fs::remove(path + suffix, ignored);
      fs::remove_all(path + ".work", ignored);
    }
  }
  ~SecondDrive() { Close(); }
};

// One kind of job: Prepare makes the state one run needs (fresh media where the job writes),
// Start starts it with the progress object, Touched tells whether the target medium changed.
struct JobKind {
  std::string name;
  std::function<void()> prepare;
  std::function<DWORD(HANDLE progress)> start;
  std::function<bool()> medium_touched;  // null: the job writes no medium
  // The job's first command goes to the drive on the caller's thread (erasing sends BLANK with the
  // immediate bit before its worker only watches the drive finish): a cancel before the worker
  // runs may find the job already done.
  bool starts_on_callers_thread = false;
};

class CancelJobsTest : public VirtualDriveTest {
 protected:
  void SetUp() override {
    SetProgressTimingForTesting(10, 1000, 10000);  // a worker that ignores a cancel: 10 s, not 100
    folder_ = ::testing::TempDir() + "/cancel-" + std::to_string(::getpid());
    fs::create_directories(folder_);
    files_ = MakeFiles(folder_ + "/files", 7, 1u << 20);
    disc_ = MakeDatadisk(folder_ + "/files", MST_FS_ISO9660_JOLIET_UDF102);
    ASSERT_NE(disc_, nullptr);
    WriteTone(folder_ + "/tone.wav", 44100 * 2);
  }
  void TearDown() override {
    SetProgressTimingForTesting(100, 1000, 10000);
    if (audio_ != nullptr && audio_ != INVALID_HANDLE_VALUE) AUD_DestroyAudiodisk(audio_);
    if (image_ != nullptr && image_ != INVALID_HANDLE_VALUE) CPY_CloseDiskImage(image_);
    if (disc_ != nullptr) MST_DestroyDatadisk(disc_);
    source_.Close();
    CloseTarget();
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
  }

  void CloseTarget() { VirtualDriveTest::TearDown(); }
  void FreshTarget(const std::string& kind) {
    CloseTarget();
    OpenDrive(kind);
  }
  bool TargetBlank() {
    _MEDIAINFORMATION info{};
    return DRV_GetMediaInformation(drive_, &info) == QD_OK && info.dwStatus == MEDIA_STATUS_BLANK;
  }
  // A closed data disc on the target (no progress object).
  void RecordDataDisc() { ASSERT_EQ(MST_WriteDatadisk(drive_, disc_, 2, nullptr, FALSE, 0), 0u); }

  static void WriteTone(const std::string& path, uint32_t frames) {
    std::vector<uint8_t> data(size_t{frames} * 4);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
    const auto header = audio::BuildWaveHeader(static_cast<uint32_t>(data.size()));
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(header.data()),
              static_cast<std::streamsize>(header.size()));
    out.write(reinterpret_cast<const char*>(data.data()),
              static_cast<std::streamsize>(data.size()));
  }

  std::u16string Out(const std::string& name) const { return Utf8ToUtf16(folder_ + "/" + name); }

  std::vector<JobKind> Kinds() {
    std::vector<JobKind> kinds;
    auto blank = [this] { return !TargetBlank(); };
    kinds.push_back({"WriteDataDiscCdR", [this] { FreshTarget("cd-r"); },
                     [this](HANDLE p) { return MST_WriteDatadisk(drive_, disc_, 2, p, FALSE, 0); },
                     blank});
    kinds.push_back({"WriteDataDiscDvdPlusR", [this] { FreshTarget("dvd+r"); },
                     [this](HANDLE p) { return MST_WriteDatadisk(drive_, disc_, 1, p, FALSE, 0); },
                     blank});
    kinds.push_back(
        {"IsoImageFile", [] {},
         [this](HANDLE p) { return MST_CreateISOImage(Out("out.iso").c_str(), disc_, p, FALSE); },
         nullptr});
    kinds.push_back(
        {"DiscImageFileFromTree", [] {},
         [this](HANDLE p) { return MST_CreateDiskImage(Out("tree.wvm").c_str(), disc_, p, FALSE); },
         nullptr});
    kinds.push_back({"DiscImageFromDisc",
                     [this] {
                       if (!source_ready_) PrepareSource();
                     },
                     [this](HANDLE p) {
                       return CPY_CreateDiskImage(source_.handle, Out("disc.wvm").c_str(), p);
                     },
                     nullptr});
    kinds.push_back({"WriteDiscImage",
                     [this] {
                       if (!source_ready_) PrepareSource();
                       FreshTarget("cd-r");
                     },
                     [this](HANDLE p) { return CPY_WriteDiskImage(drive_, image_, 2, p, 0); },
                     blank});
    kinds.push_back(
        {"WriteIsoImage",
         [this] {
           if (!fs::exists(folder_ + "/plain.iso")) {
             ASSERT_EQ(MST_CreateISOImage(Out("plain.iso").c_str(), disc_, nullptr, FALSE), 0u);
           }
           FreshTarget("dvd-r");
         },
         [this](HANDLE p) { return CPY_WriteISOImage(drive_, 2, 1, Out("plain.iso").c_str(), p); },
         blank});
    kinds.push_back({"CopyDrive",
                     [this] {
                       if (!source_ready_) PrepareSource();
                       FreshTarget("cd-r");
                     },
                     [this](HANDLE p) { return CPY_WriteDrive(drive_, source_.handle, 2, p, 0); },
                     blank});
    kinds.push_back({"CompareImage",
                     [this] {
                       if (!source_ready_) PrepareSource();
                     },
                     [this](HANDLE p) { return CPY_CompareDiskImage(source_.handle, image_, p); },
                     nullptr});
    kinds.push_back({"CompareDrive",
                     [this] {
                       if (!source_ready_) PrepareSource();
                       if (!compare_target_ready_) {
                         FreshTarget("cd-r");
                         ASSERT_EQ(CPY_WriteDrive(drive_, source_.handle, 2, nullptr, 0), 0u);
                         compare_target_ready_ = true;
                       }
                     },
                     [this](HANDLE p) { return CPY_CompareDrive(drive_, source_.handle, p); },
                     nullptr});
    kinds.push_back({"Erase",
                     [this] {
                       compare_target_ready_ = false;
                       FreshTarget("cd-rw");
                       RecordDataDisc();
                     },
                     [this](HANDLE p) { return DRV_EraseMedia(drive_, p, TRUE); },
                     [this] { return TargetBlank(); }, true});
    kinds.push_back({"AudioDisc",
                     [this] {
                       compare_target_ready_ = false;
                       FreshTarget("cd-r");
                       if (audio_ != nullptr && audio_ != INVALID_HANDLE_VALUE)
                         AUD_DestroyAudiodisk(audio_);
                       audio_ = AUD_CreateAudiodisk(drive_);
                       ASSERT_NE(audio_, INVALID_HANDLE_VALUE);
                       for (int t = 0; t < 3; ++t) {
                         ASSERT_EQ(AUD_AddAudioTrack(audio_, Out("tone.wav").c_str()), 0u);
                       }
                     },
                     [this](HANDLE p) { return AUD_WriteAudiodisk(audio_, 1, p); }, blank});
    kinds.push_back({"Rip",
                     [this] {
                       if (!source_ready_) PrepareSource();
                     },
                     [this](HANDLE p) {
                       return DRV_RippingTrack(source_.handle, 1, p, Out("track.iso").c_str());
                     },
                     nullptr});
    return kinds;
  }

  // A recorded CD-R in the second drive and an image of it, shared by the reading kinds.
  void PrepareSource() {
    source_.Open(folder_ + "/source.disc", "cd-r");
    ASSERT_EQ(MST_WriteDatadisk(source_.handle, disc_, 2, nullptr, FALSE, 0), 0u);
    ASSERT_EQ(CPY_CreateDiskImage(source_.handle, Out("source.wvm").c_str(), nullptr), 0u);
    image_ = CPY_OpenDiskImage(Out("source.wvm").c_str());
    ASSERT_NE(image_, INVALID_HANDLE_VALUE);
    ASSERT_NE(image_, nullptr);
    source_ready_ = true;
  }

  // Waits until the status is final; false when it is not within limit.
  static bool WaitFinal(HANDLE progress, std::chrono::milliseconds limit) {
    const auto give_up = std::chrono::steady_clock::now() + limit;
    while (true) {
      const DWORD status = PRG_GetProgressStatus(progress, nullptr, nullptr, nullptr);
      if (status != PRG_STATUS_RUNNING && status != PRG_STATUS_CANCEL_REQUESTED) {
        while (PRG_GetProgressErrorCode(progress) == QD_E_BUSY) std::this_thread::yield();
        return true;
      }
      if (std::chrono::steady_clock::now() > give_up) return false;
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
  }

  std::string folder_;
  FileSet files_;
  HANDLE disc_ = nullptr;
  HANDLE audio_ = nullptr;
  HANDLE image_ = nullptr;
  SecondDrive source_;
  bool source_ready_ = false;
  bool compare_target_ready_ = false;
};

TEST_F(CancelJobsTest, CancelAfterTheEndKeepsTheFinalStatus) {
  for (const JobKind& kind : Kinds()) {
    SCOPED_TRACE(kind.name);
    ASSERT_NO_FATAL_FAILURE(kind.prepare());
    HANDLE progress = PRG_CreateProgress();
    ASSERT_EQ(kind.start(progress), 0u);
    ASSERT_TRUE(WaitFinal(progress, std::chrono::seconds(60)));
    const DWORD status = PRG_GetProgressStatus(progress, nullptr, nullptr, nullptr);
    const DWORD result = PRG_GetProgressErrorCode(progress);
    EXPECT_EQ(status, PRG_STATUS_SUCCEEDED) << "0x" << std::hex << result;
    EXPECT_EQ(PRG_CancelProgress(progress), 0u);
    EXPECT_EQ(PRG_GetProgressStatus(progress, nullptr, nullptr, nullptr), status);
    EXPECT_EQ(PRG_GetProgressErrorCode(progress), result);
    EXPECT_EQ(PRG_DestroyProgress(progress), result);
  }
}

TEST_F(CancelJobsTest, CancelBeforeTheWorkerRunsEndsCancelledAndTouchesNothing) {
  for (const JobKind& kind : Kinds()) {
    SCOPED_TRACE(kind.name);
    ASSERT_NO_FATAL_FAILURE(kind.prepare());
    std::atomic<bool> open{false};
    SetWorkerStartGateForTesting([&] {
      while (!open) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    HANDLE progress = PRG_CreateProgress();
    const DWORD started = kind.start(progress);
    if (started != 0u) {
      open = true;
      SetWorkerStartGateForTesting(nullptr);
      ADD_FAILURE() << "start: 0x" << std::hex << started;
      PRG_DestroyProgress(progress);
      continue;
    }
    std::atomic<DWORD> cancelled{0xFFFFFFFFu};
    std::thread canceller([&] { cancelled = PRG_CancelProgress(progress); });
    while (PRG_GetProgressStatus(progress, nullptr, nullptr, nullptr) !=
           PRG_STATUS_CANCEL_REQUESTED) {
      std::this_thread::yield();
    }
    open = true;
    canceller.join();
    SetWorkerStartGateForTesting(nullptr);
    EXPECT_EQ(cancelled, 0u);
    ASSERT_TRUE(WaitFinal(progress, std::chrono::seconds(60)));
    const DWORD status = PRG_GetProgressStatus(progress, nullptr, nullptr, nullptr);
    const DWORD result = PRG_GetProgressErrorCode(progress);
    if (kind.starts_on_callers_thread && status == PRG_STATUS_SUCCEEDED) {
      EXPECT_EQ(result, 0u);
    } else {
      EXPECT_EQ(status, PRG_STATUS_CANCELLED);
      EXPECT_EQ(result, QD_E_CANCELLED);
      if (kind.medium_touched) {
        EXPECT_FALSE(kind.medium_touched()) << "the medium changed";
      }
    }
    PRG_DestroyProgress(progress);
  }
}

// QUENVAR_CANCEL_RUNS runs per kind (30 by default), each cancelled at a random moment of the
// job's typical duration. Prints per kind how the runs ended.
TEST_F(CancelJobsTest, CancelAtRandomTimesNeverHangs) {
  const char* runs_text = std::getenv("QUENVAR_CANCEL_RUNS");
  const int runs = runs_text != nullptr ? std::atoi(runs_text) : 30;
  // QUENVAR_CANCEL_KINDS, when set, names the kinds to run (a comma-separated list).
  const char* only = std::getenv("QUENVAR_CANCEL_KINDS");
  std::mt19937 random(20261208);
  for (const JobKind& kind : Kinds()) {
    if (only != nullptr &&
        ("," + std::string(only) + ",").find("," + kind.name + ",") == std::string::npos)
      continue;
    SCOPED_TRACE(kind.name);
    // The job's duration, uncancelled (the shortest of three runs, so that a slow first run does
    // not push the cancel moments past the end), sets the range of the cancel moments.
    HANDLE progress = PRG_CreateProgress();
    int64_t duration_us = INT64_MAX;
    for (int calibration = 0; calibration < 3; ++calibration) {
      ASSERT_NO_FATAL_FAILURE(kind.prepare());
      const auto begin = std::chrono::steady_clock::now();
      ASSERT_EQ(kind.start(progress), 0u);
      ASSERT_TRUE(WaitFinal(progress, std::chrono::seconds(60)));
      duration_us =
          std::min<int64_t>(duration_us, std::chrono::duration_cast<std::chrono::microseconds>(
                                             std::chrono::steady_clock::now() - begin)
                                             .count());
    }
    duration_us = std::max<int64_t>(duration_us, 1);
    std::map<std::string, int> ends;
    int hangs = 0;
    auto run_begin = std::chrono::steady_clock::now();
    for (int run = 0; run < runs; ++run) {
      ASSERT_NO_FATAL_FAILURE(kind.prepare());
      const DWORD started = kind.start(progress);
      ASSERT_EQ(started, 0u) << "run " << run;
      std::this_thread::sleep_for(std::chrono::microseconds(
          std::uniform_int_distribution<int64_t>(0, duration_us * 6 / 5)(random)));
      const DWORD cancelled = PRG_CancelProgress(progress);
      EXPECT_EQ(cancelled, 0u) << "run " << run;
      if (!WaitFinal(progress, std::chrono::seconds(30))) {
        ++hangs;
        ADD_FAILURE() << "run " << run << " never ended";
        break;
      }
      const DWORD status = PRG_GetProgressStatus(progress, nullptr, nullptr, nullptr);
      const DWORD result = PRG_GetProgressErrorCode(progress);
      if (status == PRG_STATUS_SUCCEEDED) {
        EXPECT_EQ(result, 0u);
        ++ends["succeeded"];
      } else if (status == PRG_STATUS_CANCELLED) {
        EXPECT_EQ(result, QD_E_CANCELLED);
        ++ends["cancelled"];
      } else {
        EXPECT_EQ(status, PRG_STATUS_FAILED);
        ++ends["failed 0x" + [&] {
          char text[16];
          std::snprintf(text, sizeof(text), "%08X", static_cast<unsigned>(result));
          return std::string(text);
        }()];
      }
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - run_begin).count();
    std::string summary;
    for (const auto& [end, count] : ends) summary += " " + end + "=" + std::to_string(count);
    std::printf("%-22s runs=%d hangs=%d job=%lldus total=%.1fs%s\n", kind.name.c_str(), runs, hangs,
                static_cast<long long>(duration_us), seconds, summary.c_str());
    std::fflush(stdout);
    EXPECT_EQ(hangs, 0);
    PRG_DestroyProgress(progress);
  }
}

}  // namespace
}  // namespace quillden::recording::testing
